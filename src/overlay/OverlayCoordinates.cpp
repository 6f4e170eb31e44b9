#include "overlay/OverlayCoordinates.h"

#include "platform/Platform.h"

#include <algorithm>

namespace tovrik::overlay {

QPointF displayToAppKit(QPointF displayPoint, double mainDisplayHeight)
{
    return QPointF(displayPoint.x(), mainDisplayHeight - displayPoint.y());
}

bool frameContains(const QRectF& frame, QPointF p)
{
    return p.x() >= frame.left() && p.x() < frame.left() + frame.width() && p.y() >= frame.top()
        && p.y() < frame.top() + frame.height();
}

double squaredDistanceToFrame(const QRectF& frame, QPointF p)
{
    const double minX = frame.left(), maxX = frame.left() + frame.width();
    const double minY = frame.top(), maxY = frame.top() + frame.height();
    const double dx = p.x() < minX ? minX - p.x() : (p.x() > maxX ? p.x() - maxX : 0.0);
    const double dy = p.y() < minY ? minY - p.y() : (p.y() > maxY ? p.y() - maxY : 0.0);
    return dx * dx + dy * dy;
}

QPointF localFromGlobal(const QRectF& screenFrame, QPointF p)
{
    return QPointF(p.x() - screenFrame.left(), screenFrame.top() + screenFrame.height() - p.y());
}

QRectF qtGeometryForDisplay(const platform::DisplayInfo& display, QPointF mainRootOrigin)
{
    return display.bounds.translated(mainRootOrigin);
}

QPointF mainDisplayRootOrigin(const QList<platform::DisplayInfo>& displays)
{
    if (platform::Platform::isInstalled())
        return platform::Platform::get().displays().mainDisplayGlobalOrigin();
    const platform::DisplayInfo* main = nullptr;
    for (const auto& d : displays)
        if (d.isMain) {
            main = &d;
            break;
        }
    if (!main && !displays.isEmpty())
        main = &displays.first();
    return platform::Displays::globalOriginAmongScreens(main ? main->name : QString());
}

} // namespace tovrik::overlay
