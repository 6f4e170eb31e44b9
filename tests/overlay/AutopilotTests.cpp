// The UI Autopilot busy state and the autopilot cursor that mirrors every
// synthetic mouse event.

#include "ControllerFixture.h"

#include <limits>

using namespace tovrik;
using namespace tovrik::test;
using overlay::MouseVisualEventType;

namespace {

class AutopilotStateTest : public ControllerTest {
protected:
    // The main display is 1440 x 900: display y 50 is AppKit y 850.
    void startRun()
    {
        pointAt(QPointF(700, 400)); // AppKit (700, 500)
        controller->setUIAutopilotBusy(true);
    }
};

} // namespace

TEST_F(AutopilotStateTest, BusyPlacesTheCursorBesideThePointerFollowsItShowsTheWindowsAndBusyAgainRestarts)
{
    startRun();
    EXPECT_TRUE(controller->isUIAutopilotBusy() && controller->isAutopilotCursorTimerRunning());
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(735, 475));
    EXPECT_EQ(live().size(), 1);

    pointAt(QPointF(100, 800)); // AppKit (100, 100)
    advance(1.0 / 60.0);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(135, 75));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.0);

    // An idle follow with a still pointer announces nothing.
    changes = 0;
    advance(0.5);
    EXPECT_EQ(changes, 0);

    // Busy again restarts the timer and clears the pin and the ripple; the
    // busy overlay is never faded as idle.
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    const QUuid id = controller->autopilotClickID();
    startRun();
    EXPECT_FALSE(controller->autopilotPinned() || controller->autopilotClickLocation());
    EXPECT_EQ(controller->autopilotClickID(), id);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(735, 475));
    EXPECT_TRUE(controller->isAutopilotCursorTimerRunning());
    controller->updateVoiceState(TovrikVoiceState::idle);
    controller->setIdleBehavior(false, false, false);
    controller->clearInteractionVisuals();
    EXPECT_EQ(live().size(), 1);
    EXPECT_TRUE(fading().isEmpty());
}

TEST_F(AutopilotStateTest, APressPinsWithANewClickAndItsReleaseGlidesBesideThePlaceIn045s)
{
    startRun();
    const QUuid before = controller->autopilotClickID();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(300, 200));
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(300, 700));
    EXPECT_EQ(controller->autopilotClickLocation(), QPointF(300, 700));
    EXPECT_TRUE(controller->autopilotPinned());
    const QUuid first = controller->autopilotClickID();
    EXPECT_NE(first, before) << "a new ripple";
    // Pinned: the follow timer leaves it alone.
    pointAt(QPointF(1000, 600));
    advance(0.2);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(300, 700));

    const double releasedAt = clock.now();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseUp, QPointF(300, 200));
    EXPECT_FALSE(controller->autopilotPinned());
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(335, 675));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.45);
    EXPECT_DOUBLE_EQ(controller->autopilotReturnAfter(), releasedAt + 0.45);
    EXPECT_EQ(controller->autopilotClickLocation(), QPointF(300, 700)); // the press stays marked

    pointAt(QPointF(900, 100)); // AppKit (900, 800)
    advance(0.43);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(335, 675));
    advance(0.04);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(935, 775));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.0);
    controller->recordAutopilotMouse(MouseVisualEventType::rightMouseDown, QPointF(300, 200));
    EXPECT_NE(controller->autopilotClickID(), first); // same place, new ripple
}

TEST_F(AutopilotStateTest, DragsAndPreparedPressesCarryThePinnedCursorAndUnpinnedMotionOrBadPointsDoNothing)
{
    // Outside a run, events and prepared presses are ignored.
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    controller->prepareAutopilotPress(QPointF(10, 10));
    EXPECT_FALSE(controller->autopilotCursorLocation() || controller->autopilotClickLocation() || controller->autopilotPinned());
    EXPECT_TRUE(live().isEmpty());
    startRun();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(nan, 3));
    controller->prepareAutopilotPress(QPointF(4, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(controller->autopilotPinned());
    const auto resting = controller->autopilotCursorLocation();
    controller->recordAutopilotMouse(MouseVisualEventType::scrollWheel, QPointF(10, 10));
    controller->recordAutopilotMouse(MouseVisualEventType::mouseMoved, QPointF(10, 10));
    EXPECT_EQ(controller->autopilotCursorLocation(), resting);

    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDragged, QPointF(50, 60));
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(50, 840));
    controller->recordAutopilotMouse(MouseVisualEventType::other, QPointF(70, 80));
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(70, 820));
    EXPECT_EQ(controller->autopilotClickLocation(), QPointF(10, 890));

    // A prepared press pins and glides onto its point in 0.35 s until released.
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseUp, QPointF(70, 80));
    ASSERT_FALSE(controller->autopilotPinned());
    controller->prepareAutopilotPress(QPointF(400, 300));
    EXPECT_TRUE(controller->autopilotPinned());
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(400, 600));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.35);
    pointAt(QPointF(10, 10));
    advance(0.5);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(400, 600));
    // Released, the next tick follows the pointer again.
    controller->releaseAutopilotCursor();
    pointAt(QPointF(500, 500));
    advance(1.0 / 60.0);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(535, 375));
}

TEST_F(AutopilotStateTest, EndingARunClearsTheCursorAndFadesIn017sUnlessAStatusIsUp)
{
    startRun();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    controller->setUIAutopilotBusy(false);
    EXPECT_FALSE(controller->autopilotCursorLocation() || controller->autopilotClickLocation());
    EXPECT_FALSE(controller->autopilotPinned() || controller->isAutopilotCursorTimerRunning());
    EXPECT_TRUE(live().isEmpty());
    EXPECT_EQ(fading().size(), 1);
    advance(0.16);
    EXPECT_EQ(fading().size(), 1);
    advance(0.03);
    EXPECT_TRUE(fading().isEmpty());

    startRun();
    controller->showStatus(QStringLiteral("done"), std::nullopt, false);
    controller->setUIAutopilotBusy(false);
    EXPECT_EQ(live().size(), 1);
    EXPECT_TRUE(fading().isEmpty());
    controller->hide(1);
    advance(1.01);
    EXPECT_EQ(fading().size(), 1); // the ordinary 0.25 s fade
    advance(0.2);
    EXPECT_EQ(fading().size(), 1);
    advance(0.06);
    EXPECT_TRUE(fading().isEmpty());
}
