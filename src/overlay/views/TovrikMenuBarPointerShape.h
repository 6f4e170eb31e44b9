#pragma once

// The small pointer glyph of the agent activity tile: a four-cornered
// arrowhead pointing up and to the right, with sharp corners (the mirror
// image of the companion's pointer outline, without its rounding). The
// caller fills, strokes, sizes and places it.

#include <QPainterPath>
#include <QRectF>

namespace tovrik::overlay::TovrikMenuBarPointerShape {

// The closed outline for `rect`: the vertices of the 100 × 100 design box
// (76.5625, 21.875) tip, (53.90625, 82.8125), (44.0625, 59.6875) notch,
// (20.3125, 49.53125), each axis scaled on its own, from the rect's top-left.
QPainterPath path(const QRectF& rect);

} // namespace tovrik::overlay::TovrikMenuBarPointerShape
