#pragma once

// Pointer path geometry: turns a polyline of points (global display
// coordinates, y down) and a duration into timed intermediate positions, so
// that continuous moves and drag paths advance at a steady speed.
//
// Rules of pathSamples(points, milliseconds):
//  - fewer than 2 or more than 256 points: no samples;
//  - duration T: 2000 ms below 1 ms, otherwise clamped to 50..8000 ms;
//  - each segment ends at (cumulative length x T / total length), rounded,
//    or, for a path of zero length, at T x (i + 1) / segments (integers);
//  - a segment of length l and duration d gets max(ceil(l / 8), ceil(d / 16))
//    samples, clamped to 1..512, evenly spaced in place and time;
//  - the start point is not a sample; the last sample is the last point at T.

#include <QPointF>
#include <vector>

namespace tovrik {

struct AutopilotPathSample {
    double x = 0;
    double y = 0;
    int milliseconds = 0; // since the start of the path
};

namespace AutopilotGeometry {
std::vector<AutopilotPathSample> pathSamples(const std::vector<QPointF>& points, int milliseconds);
} // namespace AutopilotGeometry

} // namespace tovrik
