#include "overlay/views/CursorShapes.h"

#include <QLineF>
#include <cmath>
#include <limits>
#include <numbers>

namespace tovrik::overlay {

namespace {

constexpr double machineEpsilon = std::numeric_limits<double>::epsilon();

double distance(QPointF a, QPointF b) { return std::hypot(b.x() - a.x(), b.y() - a.y()); }

// The point `trim` units from `corner` towards `other`, at most 45 % of the edge.
QPointF trimPoint(QPointF corner, QPointF other, double trim)
{
    const double length = distance(corner, other);
    if (length <= machineEpsilon)
        return corner;
    const double f = std::min(trim / length, 0.45);
    return corner + (other - corner) * f;
}

struct Corner {
    QPointF a; // on the edge towards the previous corner
    QPointF p; // the corner itself (control point)
    QPointF b; // on the edge towards the next corner
    QPointF at(double t) const
    {
        const double u = 1 - t;
        return a * (u * u) + p * (2 * t * u) + b * (t * t);
    }
};

Corner corner(int i)
{
    using namespace TovrikNavigationPointerShape;
    const QPointF p = relativeVertices[i];
    const QPointF prev = relativeVertices[(i + 3) % 4];
    const QPointF next = relativeVertices[(i + 1) % 4];
    return {trimPoint(p, prev, cornerTrims[i]), p, trimPoint(p, next, cornerTrims[i])};
}

} // namespace

QVector<QPointF> TovrikNavigationPointerShape::roundedOutline()
{
    const Corner corners[4] = {corner(0), corner(1), corner(2), corner(3)};
    QVector<QPointF> points;
    points.reserve(101);
    for (int k = 0; k <= 12; ++k)
        points.append(corners[0].at(k / 24.0 + 0.5));
    for (int i = 1; i <= 3; ++i) {
        points.append(corners[i].a);
        for (int k = 1; k <= 24; ++k)
            points.append(corners[i].at(k / 24.0));
    }
    points.append(corners[0].a);
    for (int k = 1; k <= 12; ++k)
        points.append(corners[0].at(k / 24.0));
    if (points.size() > 1 && distance(points.last(), points.first()) <= 0.0001)
        points.removeLast();
    return points;
}

namespace {

// The outline resampled into `pointCount` points, in the design box.
QVector<QPointF> designBoxSamples(int pointCount)
{
    QVector<QPointF> samples;
    const QVector<QPointF> outline = TovrikNavigationPointerShape::roundedOutline();
    const qsizetype n = outline.size();
    if (n == 0)
        return samples;
    QVector<double> lengths(n);
    double total = 0;
    for (qsizetype k = 0; k < n; ++k) {
        lengths[k] = distance(outline[k], outline[(k + 1) % n]);
        total += lengths[k];
    }
    samples.reserve(pointCount);
    for (int j = 0; j < pointCount; ++j) {
        const double target = total * j / pointCount;
        double running = 0;
        QPointF sample = outline[0];
        for (qsizetype k = 0; k < n; ++k) {
            const double before = running;
            running += lengths[k];
            if (target <= running) {
                const double f = lengths[k] <= machineEpsilon ? 0 : (target - before) / lengths[k];
                sample = outline[k] + (outline[(k + 1) % n] - outline[k]) * f;
                break;
            }
        }
        samples.append(sample);
    }
    return samples;
}

} // namespace

QVector<QPointF> TovrikNavigationPointerShape::sampledNavigationPoints(const QRectF& rect, int pointCount)
{
    if (pointCount < 1)
        return {};
    // The design-box samples depend on the count only; the glyph is redrawn
    // on every flight tick, so the usual count's are computed once.
    static const QVector<QPointF> usual = designBoxSamples(defaultPointCount);
    const QVector<QPointF> design = pointCount == defaultPointCount ? usual : designBoxSamples(pointCount);
    QVector<QPointF> samples;
    samples.reserve(design.size());
    for (const QPointF& sample : design)
        samples.append(QPointF(rect.left() + sample.x() * rect.width() / 100,
                               rect.top() + sample.y() * rect.height() / 100));
    return samples;
}

QVector<QPointF> TovrikMorphingCursorShape::blendedPoints(const QRectF& rect, double progress)
{
    double p = progress;
    if (!(p > 0))
        p = 0; // at or below 0, and not a number
    else if (p > 1)
        p = 1;
    const QVector<QPointF> pointer =
        TovrikNavigationPointerShape::sampledNavigationPoints(rect, TovrikNavigationPointerShape::defaultPointCount);
    const QPointF centre = rect.center();
    const QPointF first = pointer.isEmpty() ? centre : pointer.first();
    const double radius = 0.24 * std::min(rect.width(), rect.height());
    const double a0 = std::atan2(first.y() - centre.y(), first.x() - centre.x());
    constexpr int circleCount = 144;
    const qsizetype count = std::min<qsizetype>(pointer.size(), circleCount);
    // The circle runs round in the same direction as the pointer outline, so
    // that every point travels to its counterpart without the outline
    // folding through itself mid-morph. The pointer's outline order runs
    // counter-clockwise on screen (y down), which is decreasing angle.
    double twiceArea = 0;
    for (qsizetype k = 0; k < pointer.size(); ++k) {
        const QPointF a = pointer[k];
        const QPointF b = pointer[(k + 1) % pointer.size()];
        twiceArea += a.x() * b.y() - b.x() * a.y();
    }
    const double direction = twiceArea < 0 ? -1.0 : 1.0;
    QVector<QPointF> blended;
    blended.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        const double angle = a0 + direction * 2 * std::numbers::pi * double(i) / circleCount;
        const QPointF onCircle(centre.x() + radius * std::cos(angle), centre.y() + radius * std::sin(angle));
        blended.append(pointer[i] + (onCircle - pointer[i]) * p);
    }
    return blended;
}

QPainterPath TovrikMorphingCursorShape::path(const QRectF& rect, double progress)
{
    const QVector<QPointF> points = blendedPoints(rect, progress);
    QPainterPath result;
    if (points.isEmpty())
        return result;
    result.moveTo(points[0]);
    for (qsizetype i = 1; i < points.size(); ++i)
        result.lineTo(points[i]);
    result.closeSubpath();
    return result;
}

QPainterPath TovrikMorphingCursorShape::path(const QRectF& rect) const { return path(rect, m_progress); }

} // namespace tovrik::overlay
