#include "platform/Displays.h"

#include <QGuiApplication>
#include <QScreen>

namespace tovrik::platform {

std::optional<DisplayInfo> Displays::mainDisplay() const
{
    const auto all = displays();
    for (const auto& d : all)
        if (d.isMain)
            return d;
    if (!all.isEmpty())
        return all.first();
    return std::nullopt;
}

std::optional<DisplayInfo> Displays::display(uint32_t displayID) const
{
    for (const auto& d : displays())
        if (d.displayID == displayID)
            return d;
    return std::nullopt;
}

QPointF Displays::pointerLocationAppKit() const { return toAppKit(pointerLocation()); }

QPointF Displays::toAppKit(QPointF p) const
{
    const auto main = mainDisplay();
    const double h = main ? main->bounds.height() : 0.0;
    return QPointF(p.x(), h - p.y());
}

QPointF Displays::globalOriginAmongScreens(const QString& mainName)
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return QPointF(0, 0);
    if (!mainName.isEmpty())
        for (QScreen* s : QGuiApplication::screens())
            if (s->name() == mainName)
                return s->geometry().topLeft();
    if (QScreen* primary = QGuiApplication::primaryScreen())
        return primary->geometry().topLeft();
    return QPointF(0, 0);
}

QPointF Displays::mainDisplayGlobalOrigin() const
{
    const auto main = mainDisplay();
    return globalOriginAmongScreens(main ? main->name : QString());
}

QPointF Displays::globalFromDisplay(QPointF displayPoint) const { return displayPoint + mainDisplayGlobalOrigin(); }

QPointF Displays::displayFromGlobal(QPointF globalPoint) const { return globalPoint - mainDisplayGlobalOrigin(); }

// AppKit y' = H - y against display coordinates, H = the main display's height.
QRectF Displays::globalFromAppKit(const QRectF& frame) const
{
    const auto main = mainDisplay();
    const double h = main ? main->bounds.height() : 0.0;
    const QPointF topLeft = globalFromDisplay(QPointF(frame.x(), h - frame.y() - frame.height()));
    return QRectF(topLeft, frame.size());
}

QRectF Displays::appKitFromGlobal(const QRectF& globalRect) const
{
    const auto main = mainDisplay();
    const double h = main ? main->bounds.height() : 0.0;
    const QPointF topLeft = displayFromGlobal(globalRect.topLeft());
    return QRectF(topLeft.x(), h - topLeft.y() - globalRect.height(), globalRect.width(), globalRect.height());
}

} // namespace tovrik::platform
