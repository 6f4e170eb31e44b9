// libFuzzer target: a step reply of the hosted model. Any input must give a
// decision or one of our errors, never a crash or another exception; what a
// decision carries must go through the run memory, whose JSON must parse
// back and keep its bounds.

#include "autopilot/AutopilotTaskMemory.h"
#include "autopilot/UIAutopilotParsing.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString reply = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const tovrik::UIAutopilotDecision d = tovrik::parseUIAutopilotDecision(reply);
        tovrik::AutopilotTaskMemory memory;
        for (int step = 1; step <= 10; ++step) {
            memory.updateReportedState(d.taskState ? &*d.taskState : nullptr, step);
            memory.record(step, d.message, d.action.logDescription(), d.action.text + d.verificationEvidence,
                          d.verificationStatus);
        }
        const QString json = memory.toPromptJSON();
        if (!QJsonDocument::fromJson(json.toUtf8()).isObject() || json.contains(QLatin1Char('<'))
            || memory.recent().size() != 8 || memory.archive().size() != 2
            || memory.toResumeSummary().size() > 1500)
            std::abort();
    } catch (const tovrik::TovrikError&) {
    }
    return 0;
}
