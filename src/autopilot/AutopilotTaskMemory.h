#pragma once

// The bounded memory of one UI Autopilot run.
//
// At most 8 detailed recent events and 6 shortened digests of older ones are
// kept; older events are only counted. The model's own task state (goal, next
// step, completed milestones, facts, blockers) is kept as it reported it. The
// memory goes into every step request as JSON (toPromptJSON) and is summed up
// in plain text (toResumeSummary) for the turn that an interrupted run leaves.
// Texts are clipped by UTF-16 units and never split a surrogate pair. The
// memory is untrusted history: the JSON says so, and so does `prompt`.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace tovrik {

class AutopilotTaskMemory {
public:
    static constexpr int maxRecent = 8;
    static constexpr int maxArchive = 6;

    AutopilotTaskMemory() = default;

    void record(qint64 step, const QString& message, const QString& action, const QString& result,
                const QString& status = QStringLiteral("dispatched"));
    // `state` is the decision's "task_state" object; nullptr changes nothing.
    void updateReportedState(const QJsonObject* state, qint64 step);
    QString toPromptJSON() const;
    QString toResumeSummary() const;

    // The instruction text appended to the step request's system prompt.
    static const QString& prompt();
    // At most `limit` UTF-16 units: longer texts keep limit - 1 units (one
    // less when that would split a pair) and end in "…".
    static QString clip(const QString& text, int limit);

    qint64 totalRecorded = 0;
    const QJsonArray& recent() const { return m_recent; }
    const QJsonArray& archive() const { return m_archive; }
    const QJsonObject& reported() const { return m_reported; }
    qint64 compactedThrough() const { return m_compactedThrough; }
    qint64 reportedAt() const { return m_reportedAt; }

private:
    QJsonArray m_recent;
    QJsonArray m_archive;
    QJsonObject m_reported;
    qint64 m_compactedThrough = 0;
    qint64 m_reportedAt = 0;
};

} // namespace tovrik
