#include "platform/Displays.h"

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

} // namespace tovrik::platform
