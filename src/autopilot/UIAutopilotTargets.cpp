#include "autopilot/UIAutopilotTargets.h"

#include "autopilot/UIAutopilotParsing.h"
#include "interaction/ScreenCaptureService.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cmath>

namespace tovrik {

UIAutopilotTarget resolveUIAutopilotTarget(const UIAutopilotAction& action, const ScreenCapturePayloads& captures,
                                           std::optional<QPointF> imagePoint, std::optional<qint64> screenNumber,
                                           const ScreenCaptureService& service)
{
    const std::optional<QPointF> point = imagePoint ? imagePoint : action.imagePoint;
    if (!point)
        throw autopilotError(3, QStringLiteral("UI Autopilot action is missing target coordinates."));
    if (captures.isEmpty())
        throw autopilotError(4, QStringLiteral("No screen capture is available."));
    const std::optional<qint64> number = screenNumber ? screenNumber : action.screenNumber;
    const ScreenCapturePayload* capture = nullptr;
    if (number) {
        const auto it = std::find_if(captures.begin(), captures.end(),
                                     [&](const ScreenCapturePayload& c) { return c.screenNumber == *number; });
        if (it == captures.end())
            throw autopilotError(12, QStringLiteral("UI Autopilot referenced an unavailable display."));
        capture = &*it;
    } else if (captures.size() == 1) {
        capture = &captures.first();
    } else {
        throw autopilotError(13, QStringLiteral("UI Autopilot must identify the target display when more than one "
                                                "screen is connected."));
    }

    const auto display = platform::Platform::get().displays().display(capture->displayID);
    if (!display || !display->isActive || !service.screenConfigurationIsCurrent(*capture))
        throw autopilotError(16, QStringLiteral("The target display changed after the screenshot. UI Autopilot "
                                                "stopped before acting."));

    const double W = std::max(capture->pixelSize.width(), 1);
    const double H = std::max(capture->pixelSize.height(), 1);
    const double x = point->x();
    const double y = point->y();
    if (!(x >= 0 && x < W && y >= 0 && y < H))
        throw autopilotError(14, QStringLiteral("UI Autopilot returned coordinates outside the selected screen."));

    UIAutopilotTarget target;
    target.capture = *capture;
    target.imagePoint = *point;
    target.displayID = capture->displayID;
    target.displayLocalPoint = QPointF(x * std::max(capture->displayBounds.width(), 1.0) / W,
                                       y * std::max(capture->displayBounds.height(), 1.0) / H);
    return target;
}

QPointF globalPoint(const UIAutopilotTarget& target)
{
    return target.capture.displayBounds.topLeft() + target.displayLocalPoint;
}

QPointF convertDetailPoint(const AutopilotDetail& detail, QPointF point)
{
    const double x = point.x();
    const double y = point.y();
    if (!(std::isfinite(x) && std::isfinite(y) && x >= 0 && y >= 0 && x < detail.region.width()
          && y < detail.region.height()))
        throw autopilotError(30, QStringLiteral("Point outside the current detail image."));
    const ScreenCapturePayload& c = detail.capture;
    return QPointF((x + detail.region.left()) * c.pixelSize.width() / std::max(c.nativePixelSize.width(), 1),
                   (y + detail.region.top()) * c.pixelSize.height() / std::max(c.nativePixelSize.height(), 1));
}

} // namespace tovrik
