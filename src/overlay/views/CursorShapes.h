#pragma once

// The companion cursor's outline: a small rounded arrow-head pointer that
// blends point by point into a circle. Pure geometry, also used by the
// panel's product mark.

#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QVector>

namespace tovrik::overlay {

// The rounded pointer outline, designed in a 100 × 100 box (y down).
namespace TovrikNavigationPointerShape {

// The four corners in outline order: tip, lower wing, inner notch, right wing.
inline constexpr QPointF relativeVertices[4] = {
    {23.4375, 21.875}, {46.09375, 82.8125}, {55.9375, 59.6875}, {79.6875, 49.53125}};
// Rounding length of each corner, design-box units.
inline constexpr double cornerTrims[4] = {8, 7, 4.5, 7};
// The number of samples every user asks for.
inline constexpr int defaultPointCount = 144;

// The closed polyline of the rounded outline in the design box, before
// resampling (100 points, starting in the middle of the tip's rounding).
QVector<QPointF> roundedOutline();

// The rounded outline resampled into `pointCount` points evenly spaced along
// its length and fitted to `rect`. A count below 1 gives an empty list.
QVector<QPointF> sampledNavigationPoints(const QRectF& rect, int pointCount = defaultPointCount);

} // namespace TovrikNavigationPointerShape

// The pointer (progress 0) morphed towards a circle of radius 0.24 × the
// shorter side (progress 1); progress is clamped to 0...1 when the path is
// built. The circle starts at the angle of the pointer's first sample and
// runs round in the pointer outline's own direction.
class TovrikMorphingCursorShape {
public:
    explicit TovrikMorphingCursorShape(double progress = 0) : m_progress(progress) {}

    double progress() const { return m_progress; }
    void setProgress(double progress) { m_progress = progress; }

    // The closed blended outline fitted to `rect`.
    QPainterPath path(const QRectF& rect) const;
    // The same as a plain function (used by the panel's mark).
    static QPainterPath path(const QRectF& rect, double progress);
    // The blended points themselves (empty for an empty outline).
    static QVector<QPointF> blendedPoints(const QRectF& rect, double progress);

private:
    double m_progress = 0;
};

} // namespace tovrik::overlay
