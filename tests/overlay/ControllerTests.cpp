// OverlayWindowController: published state, idle behaviour, status lines,
// hiding, clearing and the change notification.

#include "ControllerFixture.h"

#include <cmath>
#include <limits>

using namespace tovrik;
using namespace tovrik::test;
using ControllerStateTest = ControllerTest;

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
