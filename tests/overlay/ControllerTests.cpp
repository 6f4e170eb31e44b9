// OverlayWindowController: published state, idle behaviour, status lines,
// hiding and clearing; presenting an answer (the pointed place mapped from
// screenshot pixels, the pinned bubble and its two mouse-down monitors); the
// shared return flight from the pointed place back beside the pointer,
// possibly across screens, published tick by tick.

#include "ControllerFixture.h"

#include <QApplication>
#include <QLineF>
#include <QMouseEvent>
#include <QWindow>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

using namespace tovrik;
using namespace tovrik::test;
using overlay::OverlayWindowController;
using platform::sim::SimDisplays;
using ControllerStateTest = ControllerTest;
using PresentationTest = ControllerTest;

namespace {

std::optional<QPointF> map(std::optional<QPointF> p, QSizeF size, QRectF frame = QRectF(0, 0, 1280, 800))
{
    platform::DisplayInfo screen;
    screen.displayID = 7;
    screen.frame = frame;
    return OverlayWindowController::mapGlobalScreenLocation(p, size, screen);
}

struct PressRecorder : QWidget {
    int presses = 0;
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

// What the controller publishes of the shared return flight at one change.
struct Frame {
    bool active;
    std::optional<QPointF> location;
    std::optional<uint32_t> displayID;
    double angle, scale;
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

TEST_F(ControllerStateTest, StartsIdleWithoutWindowsClampsTheAudioLevelAndAnnouncesEachChangeOnce)
{
    EXPECT_EQ(controller->voiceState(), TovrikVoiceState::idle);
    EXPECT_FALSE(controller->keepOverlayVisibleWhenIdle());
    expectNoReturnFlight();
    EXPECT_TRUE(live().isEmpty());
    EXPECT_TRUE(std::isinf(controller->autopilotReturnAfter()) && controller->autopilotReturnAfter() < 0);
    EXPECT_NE(overlay::OverlayWindowController().autopilotClickID(), controller->autopilotClickID());
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (auto [level, expected] : {std::pair{1.7, 1.0}, {-0.2, 0.0}, {0.4, 0.4}, {nan, 0.0}, {inf, 1.0}}) {
        controller->updateAudioPowerLevel(level);
        EXPECT_DOUBLE_EQ(controller->audioPowerLevel(), expected) << level;
    }
    // Every operation announces its changes once; no change announces nothing.
    controller->updateAudioPowerLevel(0.0);
    changes = 0;
    controller->showResponse(QStringLiteral("answer"), QPointF(10, 10), QSizeF(1440, 900), display(1), true, 3, true);
    EXPECT_EQ(changes, 1);
    controller->updateAudioPowerLevel(0.0); // unchanged
    EXPECT_EQ(changes, 1);
    controller->setIdleBehavior(false, false, true); // unchanged
    EXPECT_EQ(changes, 1);
    controller->dismissResponseBubble();
    EXPECT_EQ(changes, 2);
}

TEST_F(ControllerStateTest, VoiceStatesAndIdleBehaviourShowTheWindowsAndIdleFadesThemOnceNothingElseShows)
{
    controller->updateVoiceState(TovrikVoiceState::listening);
    ASSERT_EQ(live().size(), 1);
    EXPECT_TRUE(live().first()->isVisible());
    controller->updateVoiceState(TovrikVoiceState::idle);
    EXPECT_TRUE(live().isEmpty());
    EXPECT_EQ(fading().size(), 1);
    advance(0.24); // of 0.25 s
    EXPECT_EQ(fading().size(), 1);
    advance(0.05);
    EXPECT_TRUE(fading().isEmpty());
    // Idle with a status still shown keeps the windows until the due hide fades them.
    controller->updateVoiceState(TovrikVoiceState::processing);
    controller->showStatus(QStringLiteral("couldn't reach the service"), std::nullopt, true);
    controller->hide(3);
    controller->updateVoiceState(TovrikVoiceState::idle);
    EXPECT_EQ(live().size(), 1);
    EXPECT_TRUE(fading().isEmpty());
    EXPECT_TRUE(controller->isTransparent());
    advance(3.01);
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    EXPECT_TRUE(live().isEmpty());
    EXPECT_EQ(fading().size(), 1);
    advance(0.3);
    // Kept visible only when ready and not transient.
    controller->setIdleBehavior(true, false, true);
    EXPECT_TRUE(controller->keepOverlayVisibleWhenIdle() && controller->isTransparent());
    ASSERT_EQ(live().size(), 1);

    controller->setIdleBehavior(true, true, false);
    EXPECT_FALSE(controller->keepOverlayVisibleWhenIdle() || controller->isTransparent());
    EXPECT_TRUE(live().isEmpty());
    EXPECT_EQ(fading().size(), 1);
    advance(0.26);
    EXPECT_TRUE(fading().isEmpty());

    controller->setIdleBehavior(false, false, false);
    EXPECT_FALSE(controller->keepOverlayVisibleWhenIdle());
    EXPECT_TRUE(live().isEmpty());
}

TEST_F(ControllerStateTest, AHideRunsLaterReplacesThePendingOneAndAStatusCancelsIt)
{
    controller->showStatus(QStringLiteral("listening"), std::nullopt, false);
    controller->hide(2);
    advance(1.0);
    controller->showStatus(QStringLiteral("still thinking"), std::nullopt, false);
    EXPECT_FALSE(controller->hasPendingHide());
    advance(3.0);
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("still thinking"));
    EXPECT_EQ(live().size(), 1);

    controller->hide(5);
    controller->hide(1);
    advance(1.01);
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    // A delay of 0, below 0 or not finite: deferred, never inline.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (double delay : {0.0, -3.0, nan, -inf, inf}) {
        controller->showStatus(QStringLiteral("x"), std::nullopt, false);
        controller->hide(delay);
        EXPECT_EQ(controller->bubbleText(), QStringLiteral("x"));
        advance(0.001);
        EXPECT_TRUE(controller->bubbleText().isEmpty()) << delay;
    }
    // A late hide after the controller is gone does nothing.
    controller->hide(1);
    controller.reset();
    advance(1.5);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST_F(ControllerStateTest, ADueHideOrAClearEmptiesBubbleTargetAndLevelButNotTheVoiceState)
{
    controller->updateVoiceState(TovrikVoiceState::responding);
    controller->updateAudioPowerLevel(0.6);
    controller->showResponse(QStringLiteral("there"), QPointF(100, 100), QSizeF(1440, 900), display(1), false, 2);
    ASSERT_TRUE(controller->targetScreenLocation());
    advance(2.01);
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_EQ(std::pair(controller->audioPowerLevel(), controller->voiceState()), std::pair(0.0, TovrikVoiceState::responding));
    EXPECT_EQ(live().size(), 1); // not idle: no fade
    // Clearing acts at once, but dismissing an unpinned bubble keeps its hide.
    controller->updateVoiceState(TovrikVoiceState::idle);
    controller->showResponse(QStringLiteral("answer"), std::nullopt, QSizeF(), std::nullopt, false, 4);
    controller->dismissResponseBubble();
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("answer"));
    EXPECT_TRUE(controller->hasPendingHide());
    controller->updateAudioPowerLevel(0.3);
    controller->clearInteractionVisuals();
    EXPECT_FALSE(controller->hasPendingHide());
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    EXPECT_EQ(controller->audioPowerLevel(), 0.0);
    EXPECT_EQ(fading().size(), 1);
}

TEST_F(ControllerStateTest, AScreenChangeEndsTheSharedReturnFlightBeforeRebuilding)
{
    controller->setIdleBehavior(true, false, false);
    controller->showResponse(QStringLiteral("here"), QPointF(200, 200), QSizeF(1440, 900), display(1), false, 1);
    controller->clearInteractionVisuals();
    ASSERT_TRUE(controller->isSharedReturnFlightActive());
    useDisplays(twoScreens());
    expectNoReturnFlight();
    EXPECT_EQ(live().size(), 2);
}

TEST(MappingTest, ScreenshotPixelsScaleOntoTheFrameClampedInsideItOrGiveNoPlace)
{
    const QSizeF image(2560, 1600);
    EXPECT_EQ(map(QPointF(1280, 400), image), QPointF(640, 600));
    EXPECT_EQ(map(QPointF(2559, 1599), image), QPointF(1279, 0.5));
    EXPECT_EQ(map(QPointF(5000, -20), image), QPointF(1279, 799));
    EXPECT_EQ(map(QPointF(0, 0), image), QPointF(0, 799)); // top-left pixel: top edge less 1
    EXPECT_EQ(map(QPointF(1280, 400), image, QRectF(1440, 100, 1280, 800)), QPointF(2080, 700));
    // An empty image counts as one pixel: the top-left corner.
    EXPECT_EQ(map(QPointF(640, 400), QSizeF(0, 0), QRectF(-1280, 100, 1280, 800)), QPointF(-1280, 899));
    // No point, no screen or input that is not finite: no place.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(map(std::nullopt, QSizeF(10, 10)));
    EXPECT_FALSE(OverlayWindowController::mapGlobalScreenLocation(QPointF(1, 1), QSizeF(10, 10), std::nullopt));
    EXPECT_FALSE(map(QPointF(nan, 10), QSizeF(100, 100)));
    EXPECT_FALSE(map(QPointF(10, inf), QSizeF(100, 100)));
    EXPECT_FALSE(map(QPointF(10, 10), QSizeF(nan, 100)));
    EXPECT_FALSE(map(QPointF(10, 10), QSizeF(100, 100), QRectF(0, 0, nan, 800)));
}

TEST_F(PresentationTest, AnAnswerWithAPointSetsTheMappedPlaceShowsTheWindowsHidesLaterAndEndsAReturnFlight)
{
    controller->showResponse(QStringLiteral("click here"), QPointF(2880, 900), QSizeF(2880, 1800), display(1), true, 5);
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("click here"));
    EXPECT_EQ(controller->targetScreenLocation(), QPointF(1439, 450));
    EXPECT_TRUE(controller->isTransparent());
    EXPECT_FALSE(controller->isResponseBubblePinned() || controller->hasResponseDismissGlobalMonitor());
    EXPECT_EQ(live().size(), 1);
    EXPECT_EQ(controller->voiceState(), TovrikVoiceState::idle); // the caller sets responding
    advance(4.9);
    EXPECT_TRUE(controller->targetScreenLocation());
    advance(0.2);
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    // Without a point, with one that is not finite, or without a screen: nowhere.
    controller->showResponse(QStringLiteral("b"), QPointF(std::numeric_limits<double>::quiet_NaN(), 3),
                             QSizeF(100, 100), display(1), false, 5);
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("b"));
    controller->showResponse(QStringLiteral("c"), QPointF(10, 10), QSizeF(100, 100), std::nullopt, false, 5);
    EXPECT_FALSE(controller->targetScreenLocation());
    // A new answer ends a running return flight.
    controller->setIdleBehavior(true, false, false);
    controller->showResponse(QStringLiteral("p"), QPointF(1000, 100), QSizeF(1440, 900), display(1), false, 1);
    controller->dismissResponseBubble();
    controller->clearInteractionVisuals();
    ASSERT_TRUE(controller->isSharedReturnFlightActive());
    controller->showResponse(QStringLiteral("q"), QPointF(20, 20), QSizeF(1440, 900), display(1), false, 1);
    EXPECT_FALSE(controller->isSharedReturnFlightActive());
    EXPECT_EQ(controller->targetScreenLocation(), QPointF(20, 880));
}

TEST_F(PresentationTest, APinnedBubbleHasBothMonitorsAndAClickAnywhereOrInOurWindowDismissesIt)
{
    controller->showResponse(QStringLiteral("kept"), QPointF(50, 50), QSizeF(1440, 900), display(1), false, 2, true);
    EXPECT_TRUE(controller->isResponseBubblePinned() && pinnedIffMonitored());
    EXPECT_FALSE(controller->hasPendingHide());
    advance(10);
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("kept")); // no timed hide

    sim->simEventTap().injectMouseDown(platform::MouseButton::Right, QPointF(5, 5));
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("kept")); // not inline
    drainEvents();
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_FALSE(controller->isResponseBubblePinned());
    EXPECT_TRUE(pinnedIffMonitored());
    // A second pinned answer installs no second pair: removing the one pair
    // leaves no monitor behind that could still dismiss the bubble.
    controller->showResponse(QStringLiteral("one"), std::nullopt, QSizeF(), std::nullopt, false, 2, true);
    controller->showResponse(QStringLiteral("two"), std::nullopt, QSizeF(), std::nullopt, false, 2, true);
    controller->stopResponseDismissMonitors();
    sim->simEventTap().injectMouseDown(platform::MouseButton::Left, QPointF(5, 5));
    drainEvents();
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("two"));
    // A click in our own window dismisses it too and still reaches the window.
    PressRecorder panel;
    panel.resize(200, 100);
    panel.show();
    controller->showResponse(QStringLiteral("kept"), std::nullopt, QSizeF(), std::nullopt, false, 2, true);
    ASSERT_TRUE(controller->isResponseBubblePinned());
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), panel.mapToGlobal(QPointF(10, 10)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(panel.windowHandle(), &press);
    EXPECT_EQ(panel.presses, 1);
    drainEvents();
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    EXPECT_FALSE(controller->isResponseBubblePinned());
    EXPECT_TRUE(pinnedIffMonitored());
}

TEST_F(PresentationTest, PinnedIfAndOnlyIfTheMonitorsAreInstalledAndAStatusUnpins)
{
    const std::function<void()> unpinning[] = {
        [&] { controller->showStatus(QStringLiteral("s"), std::nullopt, false); },
        [&] { controller->showResponse(QStringLiteral("u"), std::nullopt, QSizeF(), std::nullopt, false, 2, false); },
        [&] { controller->clearInteractionVisuals(); },
        [&] { controller->dismissResponseBubble(); },
    };
    for (const auto& unpin : unpinning) {
        controller->showResponse(QStringLiteral("p"), QPointF(10, 10), QSizeF(1440, 900), display(1), false, 2, true);
        EXPECT_TRUE(controller->isResponseBubblePinned() && pinnedIffMonitored());
        unpin();
        EXPECT_FALSE(controller->isResponseBubblePinned());
        EXPECT_TRUE(pinnedIffMonitored());
    }
    // A status line also clears the pointed place (not kept visible: no flight).
    controller->showResponse(QStringLiteral("p"), QPointF(10, 10), QSizeF(1440, 900), display(1), false, 2, true);
    unpinning[0]();
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_FALSE(controller->isSharedReturnFlightActive());
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("s"));
}

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

