#include "overlay/views/TovrikMenuBarPointerShape.h"

namespace tovrik::overlay::TovrikMenuBarPointerShape {

QPainterPath path(const QRectF& rect)
{
    static constexpr QPointF vertices[] = {
        {76.5625, 21.875}, {53.90625, 82.8125}, {44.0625, 59.6875}, {20.3125, 49.53125}};
    const double sx = rect.width() / 100, sy = rect.height() / 100;
    const auto at = [&](QPointF v) { return QPointF(rect.left() + v.x() * sx, rect.top() + v.y() * sy); };
    QPainterPath p;
    p.moveTo(at(vertices[0]));
    for (int i = 1; i < 4; ++i)
        p.lineTo(at(vertices[i]));
    p.closeSubpath();
    return p;
}

} // namespace tovrik::overlay::TovrikMenuBarPointerShape
