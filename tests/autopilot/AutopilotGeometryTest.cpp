// Pointer path samples: counts, spacing in place and time, and the limits.

#include "autopilot/AutopilotGeometry.h"

#include <gtest/gtest.h>

namespace tovrik {
namespace {

using AutopilotGeometry::pathSamples;

TEST(AutopilotGeometryTest, SamplesAdvanceAboutEightPointsAndSixteenMillisecondsAtATime)
{
    const auto line = pathSamples({QPointF(0, 0), QPointF(100, 0)}, 400);
    ASSERT_EQ(line.size(), 25u);
    for (size_t i = 0; i < line.size(); ++i) {
        EXPECT_DOUBLE_EQ(line[i].x, 4.0 * double(i + 1));
        EXPECT_EQ(line[i].milliseconds, 16 * int(i + 1));
    }
    // Time follows length: 30 of 120 points end at a quarter of the time.
    const auto bend = pathSamples({QPointF(0, 0), QPointF(30, 0), QPointF(30, 90)}, 1000);
    const auto corner = std::find_if(bend.begin(), bend.end(), [](auto& s) { return s.x == 30 && s.y == 0; });
    ASSERT_NE(corner, bend.end());
    EXPECT_EQ(corner->milliseconds, 250);
    EXPECT_EQ(bend.back().milliseconds, 1000);
    EXPECT_EQ(bend.back().y, 90);
    // A path of zero length spreads the time evenly over its segments.
    const auto still = pathSamples({QPointF(5, 5), QPointF(5, 5), QPointF(5, 5)}, 100);
    ASSERT_EQ(still.size(), 8u);
    EXPECT_EQ(still[3].milliseconds, 50);
}

TEST(AutopilotGeometryTest, DurationsAreClampedAndPointCountsLimited)
{
    const struct {
        int asked;
        int total;
    } durations[] = {{0, 2000}, {-5, 2000}, {20000, 8000}, {10, 50}, {700, 700}};
    for (const auto& d : durations) {
        const auto s = pathSamples({QPointF(0, 0), QPointF(10, 0)}, d.asked);
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(s.back().milliseconds, d.total) << d.asked;
    }
    EXPECT_TRUE(pathSamples({QPointF(1, 1)}, 500).empty());
    EXPECT_TRUE(pathSamples(std::vector<QPointF>(257, QPointF(1, 1)), 500).empty());
    EXPECT_EQ(pathSamples(std::vector<QPointF>(256, QPointF(1, 1)), 500).size(), 255u);
    // At most 512 samples a segment.
    EXPECT_EQ(pathSamples({QPointF(0, 0), QPointF(10000, 0)}, 100).size(), 512u);
}

} // namespace
} // namespace tovrik
