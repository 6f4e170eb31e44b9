#pragma once

// What the loop watchdog is shown before an action: the action's signature
// (every field that changes what the action does, the label excluded) and a
// 320-pixel-wide RGBA sample of every display, lowest display id first.

#include "autopilot/UIAutopilotAction.h"
#include "interaction/ScreenCapturePayload.h"

#include <QByteArray>
#include <QFuture>
#include <QHash>
#include <qcoro/qcorotask.h>
#include <QString>

namespace tovrik {

// 15 fields joined by "|"; points read "(100.0, 200.0)".
QString autopilotActionSignature(const UIAutopilotAction& action);
// The concatenated samples. Throws TovrikError "TovrikUIAutopilot" code 30
// when a JPEG cannot be decoded or sampled.
QByteArray autopilotObservationImage(const ScreenCapturePayloads& captures);

// The same, each display sampled on a worker thread: started right after
// the capture, so that the sampling runs while the step waits for the
// model, and collected (with the same errors) when the watchdog needs it.
// A display whose JPEG is byte for byte the one of the run's previous step
// keeps that step's sample (decoding the same data gives the same sample):
// the displays a run does not touch cost nothing to watch.
struct AutopilotObservationSample {
    QByteArray bytes;
    QString failure;
};
struct AutopilotObservationPart {
    uint32_t displayID = 0;
    QByteArray jpeg;
    QFuture<AutopilotObservationSample> sample;
};
using AutopilotObservationJob = QList<AutopilotObservationPart>;
// The last sample of each display, kept by a run from step to step.
using AutopilotObservationMemo = QHash<uint32_t, std::pair<QByteArray, QByteArray>>;
AutopilotObservationJob startAutopilotObservation(const ScreenCapturePayloads& captures,
                                                  const AutopilotObservationMemo* memo = nullptr);
QCoro::Task<QByteArray> finishAutopilotObservation(AutopilotObservationJob job,
                                                   AutopilotObservationMemo* memo = nullptr);
// A point as "(x, y)", each coordinate with at least one decimal.
QString autopilotPointText(QPointF point);

} // namespace tovrik
