#pragma once

// From a model's screenshot pixel to a place on a live display.
//
// A target is refused (TovrikError "TovrikUIAutopilot") when there is no
// point (3) or capture (4), the named screen is not among the captures (12),
// several screens were captured and none is named (13), the point lies
// outside the screenshot (14, 0 <= x < width) or the display is gone,
// inactive or reconfigured since the screenshot (16). The detail conversion
// maps a pixel of a native-resolution crop back to an overview pixel of the
// same display (30 when it lies outside the crop).

#include "autopilot/UIAutopilotAction.h"
#include "interaction/ScreenCapturePayload.h"

#include <functional>
#include <optional>

namespace tovrik {

class ScreenCaptureService;

UIAutopilotTarget resolveUIAutopilotTarget(const UIAutopilotAction& action, const ScreenCapturePayloads& captures,
                                           std::optional<QPointF> imagePoint, std::optional<qint64> screenNumber,
                                           const ScreenCaptureService& service);
// The global display point (y down) of a resolved target.
QPointF globalPoint(const UIAutopilotTarget& target);
QPointF convertDetailPoint(const AutopilotDetail& detail, QPointF point);

} // namespace tovrik
