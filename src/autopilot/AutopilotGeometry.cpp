#include "autopilot/AutopilotGeometry.h"

#include <algorithm>
#include <cmath>

namespace tovrik::AutopilotGeometry {

std::vector<AutopilotPathSample> pathSamples(const std::vector<QPointF>& points, int milliseconds)
{
    std::vector<AutopilotPathSample> samples;
    if (points.size() < 2 || points.size() > 256)
        return samples;
    const int64_t total = milliseconds < 1 ? 2000 : std::clamp(milliseconds, 50, 8000);
    const size_t segments = points.size() - 1;
    std::vector<double> lengths(segments);
    double length = 0;
    for (size_t i = 0; i < segments; ++i) {
        lengths[i] = std::hypot(points[i + 1].x() - points[i].x(), points[i + 1].y() - points[i].y());
        length += lengths[i];
    }
    double cumulative = 0;
    int64_t previousEnd = 0;
    for (size_t i = 0; i < segments; ++i) {
        cumulative += lengths[i];
        const int64_t end = length == 0 ? total * int64_t(i + 1) / int64_t(segments)
                                        : int64_t(std::llround(cumulative * double(total) / length));
        const int64_t duration = end - previousEnd;
        const double byLength = std::ceil(lengths[i] / 8.0);
        const double byTime = std::ceil(double(duration) / 16.0);
        const int count = int(std::clamp(std::max(byLength, byTime), 1.0, 512.0));
        const QPointF from = points[i];
        const QPointF to = points[i + 1];
        int64_t last = previousEnd;
        for (int k = 1; k <= count; ++k) {
            const double f = double(k) / count;
            last = previousEnd + int64_t(std::llround(f * double(duration)));
            samples.push_back({from.x() + (to.x() - from.x()) * f, from.y() + (to.y() - from.y()) * f, int(last)});
        }
        previousEnd = last;
    }
    return samples;
}

} // namespace tovrik::AutopilotGeometry
