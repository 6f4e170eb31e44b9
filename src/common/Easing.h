#pragma once

// Timing curves of the animations the views run: the named curves as cubic
// Bézier timing functions (control points (x1, y1), (x2, y2) between (0, 0)
// and (1, 1)), plus the smoothstep used by the cursor flights.

namespace tovrik {

enum class EasingCurve {
    Linear,
    EaseIn,     // (0.42, 0, 1, 1)
    EaseOut,    // (0, 0, 0.58, 1)
    EaseInOut,  // (0.42, 0, 0.58, 1)
};

// Progress of a cubic Bézier timing function at time fraction t (clamped to
// 0...1): solves x(s) = t for the curve parameter s and returns y(s).
double cubicBezierTiming(double x1, double y1, double x2, double y2, double t);

// Progress of a named curve at time fraction t; t outside 0...1 is clamped,
// a t that is not a number counts as 0.
double easedProgress(EasingCurve curve, double t);

// t² × (3 − 2t), for t in 0...1 (not clamped).
inline double smoothstep(double t) { return t * t * (3.0 - 2.0 * t); }

} // namespace tovrik
