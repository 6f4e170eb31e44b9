// The shared return flight: from the pointed place back beside the pointer,
// possibly across screens, published tick by tick.

#include "ControllerFixture.h"

#include <QLineF>
#include <cmath>
#include <vector>

using namespace tovrik;
using namespace tovrik::test;
using platform::sim::SimDisplays;

namespace {

struct Frame {
    bool active;
    std::optional<QPointF> location;
    std::optional<uint32_t> displayID;
    double angle;
    double scale;
    bool operator==(const Frame&) const = default;
};

class ReturnFlightTest : public ControllerTest {
protected:
    void SetUp() override
    {
        ControllerTest::SetUp();
        useDisplays({SimDisplays::make(1, QRectF(0, 0, 4000, 3000), 1.0, true)});
        controller->setIdleBehavior(true, false, false);
        QObject::connect(controller.get(), &overlay::OverlayWindowController::changed, controller.get(), [this]() {
            frames.push_back({controller->isSharedReturnFlightActive(), controller->sharedReturnScreenLocation(),
                              controller->sharedReturnDisplayID(), controller->sharedReturnAngleDegrees(),
                              controller->sharedReturnScale()});
        });
    }

    // Points at `place` (AppKit, on the main display whose height is
    // `mainHeight`), puts the pointer at `pointer` (AppKit) and clears the
    // place, which starts the flight.
    void pointThenReturn(QPointF place, QPointF pointer, double mainHeight = 3000)
    {
        const auto main = sim->displays().mainDisplay();
        const QSizeF image = main->frame.size();
        controller->showResponse(QStringLiteral("there"), QPointF(place.x() - main->frame.x(), mainHeight - place.y()),
                                 image, main, false, 5);
        ASSERT_EQ(controller->targetScreenLocation(), place);
        pointAt(QPointF(pointer.x(), mainHeight - pointer.y()));
        frames.clear();
        controller->clearInteractionVisuals();
    }

    // Runs the flight to its end; returns the number of ticks it took.
    int flyToEnd(int limit = 200)
    {
        int ticks = 0;
        while (controller->isSharedReturnFlightActive() && ticks < limit) {
            const size_t before = frames.size();
            advance(1.0 / 60.0, 1.0 / 60.0);
            if (frames.size() > before)
                ++ticks;
        }
        return ticks;
    }

    std::vector<Frame> frames;
};

} // namespace

TEST_F(ReturnFlightTest, TicksGrowWithDistanceBetween21And46)
{
    const QPointF place(1000, 1500); // the flight starts at place + (4, -4)
    for (auto [distance, expected] : {std::pair{300.0, 21}, {600.0, 30}, {1200.0, 46}, {2000.0, 46}}) {
        // end = pointer + (35, -25) lies `distance` to the right of the start
        pointThenReturn(place, QPointF(1004 + distance - 35, 1496 + 25));
        ASSERT_TRUE(controller->isSharedReturnFlightActive()) << distance;
        EXPECT_EQ(controller->sharedReturnFrameCount(), expected) << distance;
        EXPECT_EQ(controller->sharedReturnScreenLocation(), QPointF(1004, 1496));
        EXPECT_FALSE(controller->targetScreenLocation());
        EXPECT_EQ(flyToEnd(), expected) << distance;
        EXPECT_FALSE(controller->isSharedReturnFlightActive());
    }
    // On millisecond timers that fire late, the 46-tick flight still takes
    // 46/60 s (plus at most one tick), not 46 late ticks.
    CoarseClock coarse(clock);
    Clock::install(&coarse);
    pointThenReturn(place, QPointF(1004 + 1200 - 35, 1496 + 25));
    const double start = clock.now();
    while (controller->isSharedReturnFlightActive() && clock.now() - start < 2)
        clock.advance(0.0005);
    Clock::install(&clock);
    EXPECT_GE(clock.now() - start, 46 / 60.0 - 0.001);
    EXPECT_LE(clock.now() - start, 47 / 60.0);
}

TEST_F(ReturnFlightTest, ThePathArchesUpwardSwellsTo116AndTurnsTheShortWayUnwrapped)
{
    pointThenReturn(QPointF(1000, 1500), QPointF(1004 + 600 - 35, 1496 + 25));
    flyToEnd();
    ASSERT_GE(frames.size(), 3u);
    double maxScale = 0, maxY = 0;
    for (size_t i = 0; i + 2 < frames.size(); ++i) { // the last two: arrival, then the reset
        ASSERT_TRUE(frames[i].location);
        maxScale = std::max(maxScale, frames[i].scale);
        maxY = std::max(maxY, frames[i].location->y());
        EXPECT_LE(frames[i].scale, 1.16 + 1e-12);
    }
    EXPECT_NEAR(maxScale, 1.16, 1e-9); // 30 ticks: tick 15 is mid-flight
    // The control point is lifted by min(0.2 * 600, 80) = 80, so the middle
    // of the path (tick 15: t = s = 0.5) is 40 points above both ends.
    EXPECT_NEAR(maxY, 1496 + 40, 1e-9);
    // The tick that arrives publishes the end, then the flight resets.
    EXPECT_EQ(frames.back(), (Frame{false, std::nullopt, std::nullopt, 0.0, 1.0}));

    // A steep flight downward: the raw heading of its first tangent (5, -220)
    // is atan2(220, 5) + 90 + 43.5 = 222.2 degrees; the short way from 0 is
    // -137.8.
    pointThenReturn(QPointF(1000, 2500), QPointF(1014 - 35, 1896 + 25));
    ASSERT_TRUE(controller->isSharedReturnFlightActive());
    const double first = controller->sharedReturnAngleDegrees();
    EXPECT_NEAR(first, std::atan2(220.0, 5.0) * 180 / M_PI + 133.5 - 360, 1e-9);
    flyToEnd();
    double previous = first;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        EXPECT_LE(std::abs(frames[i].angle - previous), 180.0);
        EXPECT_GT(frames[i].angle, -140.0);
        EXPECT_LT(frames[i].angle, -136.0);
        previous = frames[i].angle;
    }
}

TEST_F(ReturnFlightTest, APointerMoveOfMoreThan100PointsEndsTheFlightAt101Not99AndShortOnesNeverStart)
{
    const QPointF pointer(1004 + 600 - 35, 1496 + 25);
    pointThenReturn(QPointF(1000, 1500), pointer);
    advance(1.0 / 60.0, 1.0 / 60.0);
    pointAt(QPointF(pointer.x() + 99, 3000 - pointer.y()));
    advance(1.0 / 60.0, 1.0 / 60.0);
    EXPECT_TRUE(controller->isSharedReturnFlightActive());
    EXPECT_EQ(controller->sharedReturnFrame(), 2);

    pointAt(QPointF(pointer.x() + 101, 3000 - pointer.y()));
    advance(1.0 / 60.0, 1.0 / 60.0);
    expectNoReturnFlight();

    // Nothing flies for a pointer resting under 2 points from the start
    // (end = start + (1, 1)), nor when the overlay is not kept visible.
    pointThenReturn(QPointF(1000, 1500), QPointF(1004 + 1 - 35, 1496 + 1 + 25));
    EXPECT_FALSE(controller->isSharedReturnFlightActive());
    EXPECT_FALSE(controller->targetScreenLocation());
    controller->setIdleBehavior(false, false, false);
    pointThenReturn(QPointF(1000, 1500), QPointF(2000, 1000));
    EXPECT_FALSE(controller->isSharedReturnFlightActive());
    // A flight whose controller is gone stops its timer.
    controller->setIdleBehavior(true, false, false);
    pointThenReturn(QPointF(1000, 1500), QPointF(2000, 1000));
    ASSERT_TRUE(controller->isSharedReturnFlightActive());
    controller.reset();
    advance(1.0);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST_F(ReturnFlightTest, TheDrawingScreenSwitchesAtTheFirstTickOnTheOtherScreen)
{
    // Every tick but the reset is drawn at least a point inside screen 1
    // (right edge `right`) or screen 2 (left edge `left`), switching once.
    const auto flyAcross = [&](double right, double left, QPointF place, QPointF pointer) {
        pointThenReturn(place, pointer, 900);
        EXPECT_TRUE(controller->isSharedReturnFlightActive());
        flyToEnd();
        int switches = 0;
        bool sawAnEdge = false;
        for (size_t i = 0; i + 1 < frames.size(); ++i) {
            const Frame& f = frames[i];
            const double x = f.location.value_or(QPointF(qQNaN(), 0)).x();
            EXPECT_TRUE(f.displayID == 1u ? x <= right - 1 : f.displayID == 2u && x >= left + 1) << x;
            sawAnEdge |= x == right - 1 || x == left + 1;
            switches += i > 0 && frames[i - 1].displayID != f.displayID;
        }
        EXPECT_EQ(switches, 1);
        EXPECT_EQ(frames.front().displayID, std::optional<uint32_t>(1));
        EXPECT_EQ(frames[frames.size() - 2].displayID, std::optional<uint32_t>(2));
        return sawAnEdge;
    };
    useDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 1.0, true), SimDisplays::make(2, QRectF(1440, 0, 1440, 900))});
    flyAcross(1440, 1440, QPointF(1000, 450), QPointF(2200, 450));
    // In a gap between screens the nearest screen draws, one point inside.
    useDisplays({SimDisplays::make(1, QRectF(0, 0, 1000, 900), 1.0, true), SimDisplays::make(2, QRectF(1300, 0, 1000, 900))});
    EXPECT_TRUE(flyAcross(1000, 1300, QPointF(600, 450), QPointF(1900, 450)));
}

