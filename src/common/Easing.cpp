#include "common/Easing.h"

#include <cmath>

namespace tovrik {

namespace {

double clampUnit(double t)
{
    if (!(t > 0))
        return 0; // also catches NaN
    return t > 1 ? 1 : t;
}

// One coordinate of the cubic Bézier with end points 0 and 1.
double bezierCoordinate(double c1, double c2, double s)
{
    const double u = 1 - s;
    return 3 * u * u * s * c1 + 3 * u * s * s * c2 + s * s * s;
}

double bezierSlope(double c1, double c2, double s)
{
    const double u = 1 - s;
    return 3 * u * u * c1 + 6 * u * s * (c2 - c1) + 3 * s * s * (1 - c2);
}

} // namespace

double cubicBezierTiming(double x1, double y1, double x2, double y2, double t)
{
    t = clampUnit(t);
    if (t == 0 || t == 1)
        return t;
    // Newton's method from s = t, falling back to bisection where the slope
    // is too flat; x(s) is monotonic for control x values within 0...1.
    double s = t;
    for (int i = 0; i < 8; ++i) {
        const double error = bezierCoordinate(x1, x2, s) - t;
        if (std::fabs(error) < 1e-12)
            return bezierCoordinate(y1, y2, s);
        const double slope = bezierSlope(x1, x2, s);
        if (std::fabs(slope) < 1e-9)
            break;
        s -= error / slope;
        if (s < 0 || s > 1)
            break;
    }
    double lo = 0, hi = 1;
    s = t;
    for (int i = 0; i < 64; ++i) {
        const double x = bezierCoordinate(x1, x2, s);
        if (std::fabs(x - t) < 1e-12)
            break;
        if (x < t)
            lo = s;
        else
            hi = s;
        s = (lo + hi) / 2;
    }
    return bezierCoordinate(y1, y2, s);
}

double easedProgress(EasingCurve curve, double t)
{
    switch (curve) {
    case EasingCurve::Linear:
        return clampUnit(t);
    case EasingCurve::EaseIn:
        return cubicBezierTiming(0.42, 0, 1, 1, t);
    case EasingCurve::EaseOut:
        return cubicBezierTiming(0, 0, 0.58, 1, t);
    case EasingCurve::EaseInOut:
        return cubicBezierTiming(0.42, 0, 0.58, 1, t);
    }
    return clampUnit(t);
}

} // namespace tovrik
