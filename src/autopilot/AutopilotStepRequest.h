#pragma once

// The request of one UI Autopilot step: the system prompt (the contract of
// the JSON actions), the user message built from the task and the loop's
// state, and the fixed endpoint parameters.

#include <QString>

namespace tovrik {

struct AutopilotStepRequest {
    static inline const QString workload = QStringLiteral("autopilot");
    static constexpr double timeoutInterval = 70;

    // The fixed text (each line ending in a newline) followed by the run
    // memory's instruction text.
    static const QString& systemPrompt();
    static QString userMessage(const QString& prompt, qint64 step, const QString& memoryJSON,
                               const QString& inputStateSummary, const QString& note,
                               const QString& lastExpectedResult);
};

} // namespace tovrik
