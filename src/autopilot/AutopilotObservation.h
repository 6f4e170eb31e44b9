#pragma once

// What the loop watchdog is shown before an action: the action's signature
// (every field that changes what the action does, the label excluded) and a
// 320-pixel-wide RGBA sample of every display, lowest display id first.

#include "autopilot/UIAutopilotAction.h"
#include "interaction/ScreenCapturePayload.h"

#include <QByteArray>
#include <QFuture>
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
struct AutopilotObservationSample {
    QByteArray bytes;
    QString failure;
};
using AutopilotObservationJob = QList<QFuture<AutopilotObservationSample>>;
AutopilotObservationJob startAutopilotObservation(const ScreenCapturePayloads& captures);
QCoro::Task<QByteArray> finishAutopilotObservation(AutopilotObservationJob job);
// A point as "(x, y)", each coordinate with at least one decimal.
QString autopilotPointText(QPointF point);

} // namespace tovrik
