#include "overlay/OverlayCoordinates.h"

#include "platform/Platform.h"
#include "platform/x11/X11Displays.h"

#include <QGuiApplication>
#include <QScreen>
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
    const platform::DisplayInfo* main = nullptr;
    for (const auto& d : displays)
        if (d.isMain) {
            main = &d;
            break;
        }
    if (!main && !displays.isEmpty())
        main = &displays.first();
    const double dpr = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->devicePixelRatio() : 1.0;
    // On X11 the display registry knows where each display lies in the root
    // window (RandR monitors need not be screens Qt knows about).
    if (main && platform::Platform::isInstalled()) {
        if (const auto* x11 = dynamic_cast<const platform::x11::X11Displays*>(&platform::Platform::get().displays())) {
            const QRect pixels = x11->pixelRect(main->displayID);
            if (!pixels.isEmpty())
                return QPointF(pixels.topLeft()) / (dpr > 0 ? dpr : 1.0);
        }
    }
    const auto screens = QGuiApplication::screens();
    if (main && !main->name.isEmpty()) {
        for (QScreen* s : screens)
            if (s->name() == main->name)
                return s->geometry().topLeft();
    }
    if (QScreen* primary = QGuiApplication::primaryScreen())
        return primary->geometry().topLeft();
    return QPointF(0, 0);
}

} // namespace tovrik::overlay
