#include "overlay/views/CursorBuddyModel.h"
#include "support/SimFixture.h"

#include <QLineF>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <cmath>
#include <tuple>

// Snapshots are built with designated initializers: the members left out
// keep their defaults, which GCC 12 would report one by one.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tovrik;
using namespace tovrik::overlay;
using Mode = BuddyNavigationMode;

namespace {

// Global AppKit frames: screen A at the origin, screen B to its right.
const QRectF kBig(0, 0, 2560, 1440);
const QRectF kA(0, 0, 1440, 900);
const QRectF kB(1440, 0, 1440, 900);
const OverlayViewSnapshot kKept{.keepOverlayVisibleWhenIdle = true};

class ViewCompanion : public tovrik::test::SimTest {
protected:
    // A companion on the screen `frame` (resting at `restAt` there, with the
    // pointer moved to match, when given).
    std::unique_ptr<CursorBuddyModel> make(uint32_t id, QRectF frame, OverlayViewSnapshot state = {},
                                           std::optional<QPointF> restAt = {})
    {
        if (restAt)
            restCompanionAt(frame, *restAt);
        auto model = std::make_unique<CursorBuddyModel>(id, frame, [this]() { return pointer; });
        model->appear(state);
        return model;
    }
    // The global point of `local` (y down) on a screen whose frame is `frame`.
    static QPointF global(QRectF frame, QPointF local) { return QPointF(frame.left() + local.x(), frame.bottom() - local.y()); }
    // Puts the pointer so that the companion rests at `local` (pointer + (35, 25)).
    void restCompanionAt(QRectF frame, QPointF local) { pointer = global(frame, local - QPointF(35, 25)); }
    void step(double seconds) { clock.advance(seconds); }
    // Points `model` at a global place (or nowhere).
    static void pointTo(CursorBuddyModel& model, std::optional<QPointF> place, OverlayViewSnapshot s = {})
    {
        s.targetScreenLocation = place;
        model.update(s);
    }

    QPointF pointer{100, 100};
};

} // namespace

TEST_F(ViewCompanion, FlightsRunTheirTickCountsAndEndPointing)
{
    // The last run is on millisecond timers that fire late: flights keep their length.
    tovrik::test::CoarseClock coarse(clock);
    for (const auto& [signedDistance, ticks] : {std::pair{300.0, 21}, {600.0, 30}, {2000.0, 46}, {-2000.0, 46}}) {
        if (signedDistance < 0)
            Clock::install(&coarse);
        const double distance = std::abs(signedDistance);
        auto model = make(1, kBig, {}, QPointF(100, 100));
        ASSERT_EQ(model->cursorPosition(), QPointF(100, 100));
        // The resting point is the place + (4, 4): put it `distance` to the right.
        pointTo(*model, global(kBig, QPointF(96 + distance, 96)));
        EXPECT_EQ(model->flightFrameCount(), ticks) << distance;
        // Nothing moves during the 0.12 s turn.
        step(0.11);
        EXPECT_EQ(model->cursorPosition(), QPointF(100, 100));
        // Ticks 1 ... n−1 fly; tick n lands.
        step(0.01 + (ticks - 1) / 60.0 - 0.004);
        EXPECT_EQ(model->buddyNavigationMode(), Mode::navigatingToTarget) << distance;
        EXPECT_NE(model->cursorPosition(), QPointF(100 + distance, 100));
        step(0.008);
        EXPECT_EQ(model->buddyNavigationMode(), Mode::pointingAtTarget) << distance;
        EXPECT_EQ(model->cursorPosition(), QPointF(100 + distance, 100));
        EXPECT_FALSE(model->isFlightRunning() || model->buddyFlightScale() != 1.0);
        // The arrival turn faces the place: (−4, −4) from the resting point.
        EXPECT_NEAR(std::fmod(model->triangleRotationDegrees() + 1.5, 360.0), 0, 1e-9);
    }
    Clock::install(&clock);
}

TEST_F(ViewCompanion, FlightArcLiftsSwellsAndTurnsAlongThePathEvenWhenItHasNoLength)
{
    auto model = make(1, kBig, {}, QPointF(100, 700));
    pointTo(*model, global(kBig, QPointF(1096, 696))); // 1000 to the right, 46 ticks
    ASSERT_EQ(model->flightFrameCount(), 46);
    // The opening turn faces the lifted control point (600, 620): up and right.
    EXPECT_NEAR(model->triangleRotationDegrees(), CursorBuddyModel::headingDegrees(QPointF(500, -80)), 1e-9);
    // Tick 23 is the middle of the flight: t = 0.5, s = 0.5.
    step(0.12 + 22 / 60.0 + 0.002);
    const QPointF mid = QPointF(100, 700) * 0.25 + QPointF(600, 620) * 0.5 + QPointF(1100, 700) * 0.25;
    EXPECT_NEAR(QLineF(model->cursorPosition(), mid).length(), 0, 1e-9);
    EXPECT_NEAR(model->buddyFlightScale(), 1.16, 1e-12);
    // The tangent at the middle is horizontal: heading of (1, 0).
    EXPECT_NEAR(std::fmod(model->triangleRotationDegrees() - 133.5, 360.0), 0, 1e-9);
    // The glyph is drawn where the flight is, without a spring in between.
    EXPECT_EQ(model->presentation().glyphCentre, model->cursorPosition());
    // A flight of length 0 still runs 21 ticks, swells and turns.
    auto still = make(1, kA, {}, QPointF(500, 400));
    pointTo(*still, global(kA, QPointF(496, 396)));
    EXPECT_EQ(still->flightFrameCount(), 21);
    EXPECT_DOUBLE_EQ(still->triangleRotationDegrees(), 133.5);
    step(0.12 + 10 / 60.0 + 0.002);
    EXPECT_GT(still->buddyFlightScale(), 1.1);
    step(11 / 60.0);
    EXPECT_EQ(still->buddyNavigationMode(), Mode::pointingAtTarget);
    EXPECT_EQ(still->cursorPosition(), QPointF(500, 400));
    EXPECT_DOUBLE_EQ(still->triangleRotationDegrees(), -1.5);
}

TEST_F(ViewCompanion, PlacesJustOffScreenOrNotFiniteAndTheTurnsAndBubblePlacement)
{
    // Screens are widened by one point.
    EXPECT_TRUE(CursorBuddyModel::isOnScreen(kA, QPointF(1441, 901)));
    auto model = make(1, kA);
    for (const QPointF place : {QPointF(-1.5, 500), QPointF(qQNaN(), 300), QPointF(200, qInf())}) {
        EXPECT_FALSE(CursorBuddyModel::isOnScreen(kA, place));
        pointTo(*model, place);
        EXPECT_EQ(model->buddyNavigationMode(), Mode::followingCursor);
        EXPECT_FALSE(model->isFlightRunning());
    }
    EXPECT_EQ(std::pair(CursorBuddyModel::flightFrameCountFor(qQNaN()), CursorBuddyModel::flightFrameCountFor(qInf())), std::pair(0, 0));
    pointTo(*model, QPointF(-1, 500));
    EXPECT_EQ(model->buddyNavigationMode(), Mode::navigatingToTarget);
    // A pointer that reads as not a number leaves the companion where it was.
    pointTo(*model, std::nullopt);
    const QPointF before = model->cursorPosition();
    pointer = QPointF(qQNaN(), qQNaN());
    step(0.1);
    EXPECT_EQ(model->cursorPosition(), before);
    // Turns are never wrapped into a range.
    for (const auto& [from, to, turned] : {std::tuple{700.0, 0.0, 720.0}, {170.0, -170.0, 190.0}, {-170.0, 170.0, -190.0},
                                          {0.0, 180.0, 180.0}, {10.0, 1090.0, 10.0}})
        EXPECT_DOUBLE_EQ(CursorBuddyModel::shortestTurn(from, to), turned) << from << " to " << to;
    EXPECT_DOUBLE_EQ(CursorBuddyModel::headingDegrees(QPointF(0, 0)), 133.5);
    EXPECT_DOUBLE_EQ(CursorBuddyModel::headingDegrees(QPointF(-4, -4)), -1.5);
    // The bubble stays inside the screen.
    const QSizeF screen(1440, 900);
    EXPECT_EQ(CursorBuddyModel::bubbleTopLeftFor(QSizeF(296, 40), screen, QPointF(0, 0)), QPointF(10, 18));
    EXPECT_EQ(CursorBuddyModel::bubbleTopLeftFor(QSizeF(2000, 40), screen, QPointF(700, 300)).x(), 8);
    EXPECT_EQ(CursorBuddyModel::bubbleTopLeftFor(QSizeF(296, 1200), screen, QPointF(700, 300)).y(), 8);
    EXPECT_EQ(CursorBuddyModel::bubbleTopLeftFor(QSizeF(296, 40), screen, QPointF(-50, -50)), QPointF(8, 8));
    EXPECT_EQ(CursorBuddyModel::bubbleTopLeftFor(QSizeF(296, 40), screen, QPointF(700, 890)).y(), 852);
    // A shown bubble is measured and placed beside the companion.
    model = make(1, kA, {}, QPointF(1435, 300));
    OverlayViewSnapshot s{.voiceState = TovrikVoiceState::responding, .bubbleText = QStringLiteral("hello there")};
    model->update(s);
    ASSERT_TRUE(model->isBubbleShown() && model->presentation().bubbleShown);
    EXPECT_EQ(model->bubbleSize().width(), 296);
    EXPECT_EQ(model->presentation().bubbleTopLeft, QPointF(1136, 318));
    // The size is kept while no bubble is shown.
    const QSizeF measured = model->bubbleSize();
    model->update({});
    EXPECT_FALSE(model->isBubbleShown());
    EXPECT_EQ(model->bubbleSize(), measured);
}

TEST_F(ViewCompanion, RestingPointKeeps20PointsFromTheEdgeButFacesThePlaceAndFinishingTurnsToAFullTurn)
{
    auto model = make(1, kA, {}, QPointF(700, 450));
    const QPointF place(1435, 450); // local, 5 points from the right edge
    pointTo(*model, global(kA, place));
    step(2);
    ASSERT_EQ(model->buddyNavigationMode(), Mode::pointingAtTarget);
    EXPECT_EQ(model->cursorPosition(), QPointF(1420, 454));
    const double facing = CursorBuddyModel::headingDegrees(place - QPointF(1420, 454));
    EXPECT_NEAR(std::remainder(model->triangleRotationDegrees() - facing, 360.0), 0, 1e-9);
    // A place on the seam between screens is flown to by both, each resting
    // 20 points inside its own edge.
    auto a = make(1, kA);
    auto b = make(2, kB);
    pointTo(*a, QPointF(1440.5, 450));
    pointTo(*b, QPointF(1440.5, 450));
    step(2);
    EXPECT_EQ(std::pair(a->cursorPosition().x(), b->cursorPosition().x()), std::pair(1420.0, 20.0));
    EXPECT_TRUE(a->buddyIsVisibleOnThisScreen() && b->buddyIsVisibleOnThisScreen());
    // After a flight that faced down-left, the heading winds back to the
    // nearest multiple of 360 when the companion returns.
    model = make(1, kA);
    pointTo(*model, global(kA, QPointF(200, 800)));
    step(2);
    ASSERT_EQ(model->buddyNavigationMode(), Mode::pointingAtTarget);
    const double before = model->triangleRotationDegrees();
    pointTo(*model, std::nullopt); // not kept visible: snap back
    EXPECT_EQ(model->buddyNavigationMode(), Mode::followingCursor);
    EXPECT_FALSE(model->isReturningToCursor());
    EXPECT_DOUBLE_EQ(model->triangleRotationDegrees(), 360.0 * std::round(before / 360.0));
    EXPECT_EQ(model->cursorPosition(), CursorBuddyModel::localPoint(kA, pointer) + QPointF(35, 25));
}

// What the companion shows while following on its own screen, per voice state.
TEST_F(ViewCompanion, VisibilityTableForEveryVoiceState)
{
    struct Row { TovrikVoiceState state; bool keep; QString text; bool glyph, bubble, waveform, spinner; };
    const QString text = QStringLiteral("answer"), spaces = QStringLiteral("   ");
    const Row rows[] = {
        {TovrikVoiceState::idle, false, {}, false, false, false, false},
        {TovrikVoiceState::idle, true, {}, true, false, false, false},
        {TovrikVoiceState::idle, false, text, false, true, false, false},
        {TovrikVoiceState::listening, true, text, false, true, true, false},
        {TovrikVoiceState::listening, false, {}, false, false, true, false},
        {TovrikVoiceState::processing, true, {}, false, false, false, true},
        {TovrikVoiceState::processing, false, text, false, true, false, true},
        {TovrikVoiceState::responding, false, {}, false, false, false, false},
        {TovrikVoiceState::responding, false, text, true, true, false, false},
        {TovrikVoiceState::responding, false, spaces, false, true, false, false},
        {TovrikVoiceState::responding, true, {}, true, false, false, false},
    };
    auto model = make(1, kA);
    ASSERT_TRUE(model->isCursorOnThisScreen());
    int i = 0;
    for (const Row& row : rows) {
        model->update({.voiceState = row.state, .bubbleText = row.text, .keepOverlayVisibleWhenIdle = row.keep});
        EXPECT_EQ(model->shouldShowCursorGuide(), row.glyph) << i;
        EXPECT_EQ(model->isBubbleShown(), row.bubble) << i;
        EXPECT_EQ(model->isWaveformShown(), row.waveform) << i;
        EXPECT_EQ(model->isSpinnerShown(), row.spinner) << i;
        // Once the ease has run, the drawn opacities agree.
        step(0.5);
        const auto p = model->presentation();
        EXPECT_EQ(p.glyphOpacity > 0, row.glyph) << i;
        EXPECT_EQ(p.waveformOpacity, row.waveform ? 1.0 : 0.0) << i;
        EXPECT_EQ(p.spinnerOpacity, row.spinner ? 1.0 : 0.0) << i;
        ++i;
    }
    // During a UI Autopilot run the glyph, bubble and spinner are hidden; the
    // waveform still follows the voice state.
    OverlayViewSnapshot busy{.voiceState = TovrikVoiceState::processing, .bubbleText = text,
                             .keepOverlayVisibleWhenIdle = true, .isUIAutopilotBusy = true};
    model->update(busy);
    EXPECT_FALSE(model->shouldShowCursorGuide() || model->isBubbleShown() || model->isSpinnerShown());
    busy.voiceState = TovrikVoiceState::listening;
    model->update(busy);
    EXPECT_TRUE(model->isWaveformShown());
    // Transparent mode draws the glyph at 0.72.
    model->update({.isTransparent = true, .keepOverlayVisibleWhenIdle = true});
    step(0.5);
    EXPECT_DOUBLE_EQ(model->presentation().glyphOpacity, 0.72);
}

TEST_F(ViewCompanion, SharedReturnFlightIsDrawnByItsDisplayOnlyWithThePointingLook)
{
    restCompanionAt(kA, QPointF(300, 300));
    OverlayViewSnapshot s{.targetScreenLocation = QPointF(2000, 500), .keepOverlayVisibleWhenIdle = true};
    auto a = make(1, kA, s);
    auto b = make(2, kB, s);
    step(2);
    ASSERT_EQ(b->buddyNavigationMode(), Mode::pointingAtTarget);
    const QPointF bRest = b->cursorPosition();
    // The controller clears the place and starts its shared flight at once.
    s = {.keepOverlayVisibleWhenIdle = true, .isSharedReturnFlightActive = true,
         .sharedReturnScreenLocation = QPointF(2004, 496), .sharedReturnDisplayID = 2, .sharedReturnAngleDegrees = 400,
         .sharedReturnScale = 1.1};
    a->update(s);
    b->update(s);
    EXPECT_FALSE(b->isFlightRunning());
    EXPECT_TRUE(b->isReturningToCursor() && b->buddyIsVisibleOnThisScreen());
    EXPECT_EQ(b->buddyNavigationMode(), Mode::navigatingToTarget);
    EXPECT_FALSE(a->buddyIsVisibleOnThisScreen());
    EXPECT_EQ(b->renderedCursorPosition(), QPointF(564, 404));
    EXPECT_EQ(std::pair(a->cursorGuideMorphProgress(), b->cursorGuideMorphProgress()), std::pair(1.0, 1.0));
    const auto p = b->presentation();
    EXPECT_EQ(std::tuple(p.glyphCentre, p.glyphAngle, p.glyphScale), std::tuple(QPointF(564, 404), 400.0, 1.1));
    EXPECT_EQ(b->cursorPosition(), bRest);
    // The flight ends: every screen's companion resumes following.
    a->update(kKept);
    b->update(kKept);
    EXPECT_EQ(b->buddyNavigationMode(), Mode::followingCursor);
    EXPECT_FALSE(b->isReturningToCursor());
}

TEST_F(ViewCompanion, FlyBackIsCancelledBeyond100Points)
{
    for (const double move : {100.0, 101.0}) {
        auto model = make(1, kA, kKept, QPointF(300, 300));
        pointTo(*model, global(kA, QPointF(1200, 700)), kKept);
        step(2);
        ASSERT_EQ(model->buddyNavigationMode(), Mode::pointingAtTarget);
        pointTo(*model, std::nullopt, kKept);
        ASSERT_TRUE(model->isReturningToCursor() && model->isFlightRunning());
        EXPECT_EQ(model->cursorPositionWhenNavigationStarted(), CursorBuddyModel::localPoint(kA, pointer));
        EXPECT_EQ(model->cursorGuideMorphProgress(), 0.0);
        step(0.05);
        pointer += QPointF(0, move); // up on screen
        step(0.02);
        EXPECT_EQ(model->buddyNavigationMode(), move > 100 ? Mode::followingCursor : Mode::navigatingToTarget) << move;
        EXPECT_EQ(model->isFlightRunning(), move <= 100) << move;
        EXPECT_TRUE(move <= 100 || model->buddyFlightScale() == 1.0);
        step(2); // the path is not bent: it still ends beside the old pointer
        EXPECT_EQ(model->buddyNavigationMode(), Mode::followingCursor);
    }
}

TEST_F(ViewCompanion, FollowingSpringsTowardsThePointerAndThenRests)
{
    auto model = make(1, kA, kKept, QPointF(300, 300));
    step(0.5);
    QSignalSpy changes(model.get(), &CursorBuddyModel::presentationChanged);
    step(1.0);
    // An idle companion with a still pointer draws nothing new.
    EXPECT_EQ(changes.count(), 0);
    pointer += QPointF(200, 0);
    step(0.05);
    EXPECT_EQ(model->cursorPosition(), QPointF(500, 300));
    EXPECT_TRUE(model->presentation().glyphCentre.x() > 300 && model->presentation().glyphCentre.x() < 500);
    step(1.0);
    EXPECT_EQ(model->presentation().glyphCentre, QPointF(500, 300));
    changes.clear();
    step(1.0);
    EXPECT_EQ(changes.count(), 0);
}

TEST_F(ViewCompanion, SpinnerContinuesItsTurnAfterBeingHiddenDisappearStopsAllAndTheLevelEases)
{
    OverlayViewSnapshot s{.voiceState = TovrikVoiceState::processing};
    auto model = make(1, kA, s); // the spinner starts turning when the view appears
    step(0.3);
    EXPECT_NEAR(model->presentation().spinnerRotation, 0.3 * 450, 1e-6);
    s.voiceState = TovrikVoiceState::idle;
    model->update(s);
    step(0.5);
    EXPECT_EQ(model->presentation().spinnerOpacity, 0.0);
    s.voiceState = TovrikVoiceState::processing;
    model->update(s);
    step(0.1);
    // 0.9 s after the view appeared: 405°, i.e. 45° into its second turn.
    EXPECT_NEAR(model->presentation().spinnerRotation, 45, 1e-6);
    // While pointing the spinner is hidden whatever the voice state.
    s.targetScreenLocation = global(kA, QPointF(1000, 600));
    model->update(s);
    EXPECT_TRUE(model->shouldShowCursorGuide() && !model->isSpinnerShown());
    // Disappearing stops every timer, the flight's too.
    EXPECT_TRUE(model->isTracking() && model->isFlightRunning());
    model->disappear();
    EXPECT_FALSE(model->isTracking() || model->isFlightRunning());
    const QPointF before = model->cursorPosition();
    step(2);
    EXPECT_EQ(model->cursorPosition(), before);
    EXPECT_EQ(clock.pendingCount(), 0u);
    // The audio level eases, and one that is not a number draws silence.
    s = {.voiceState = TovrikVoiceState::listening, .audioPowerLevel = qQNaN()};
    model = make(1, kA, s);
    step(0.3);
    EXPECT_EQ(std::pair(model->presentation().waveformOpacity, model->presentation().audioPowerLevel), std::pair(1.0, 0.0));
    s.audioPowerLevel = 0.5;
    model->update(s);
    step(0.04);
    EXPECT_TRUE(model->presentation().audioPowerLevel > 0 && model->presentation().audioPowerLevel < 0.5);
    step(0.05);
    EXPECT_EQ(model->presentation().audioPowerLevel, 0.5);
}

// A status line shows on the screen it was given, and its every change
// (a new text, the same text again after a hide, the hide) is announced to
// the view even while the pointer rests.
TEST_F(ViewCompanion, AStatusShowsOnItsScreenAndEveryChangeOfItIsAnnounced)
{
    auto a = make(1, kA, kKept, QPointF(300, 300));
    auto b = make(2, kB, kKept);
    const auto status = [&](const char* text, std::optional<uint32_t> display) {
        a->update({.bubbleText = QString::fromUtf8(text), .statusDisplayID = display, .keepOverlayVisibleWhenIdle = true});
        b->update(a->controllerState());
    };
    QSignalSpy announced(a.get(), &CursorBuddyModel::presentationChanged);
    for (int round = 0; round < 2; ++round) {
        status("no microphone found", 1);
        EXPECT_TRUE(a->presentation().bubbleShown && !b->isBubbleShown());
        EXPECT_EQ(announced.count(), 2 * round + 1);
        status("", std::nullopt);
        EXPECT_FALSE(a->presentation().bubbleShown);
        EXPECT_EQ(announced.count(), 2 * round + 2);
    }
    // The pointer's screen need not be the status's screen.
    status("sign in first", 2);
    EXPECT_TRUE(b->isBubbleShown() && !a->isBubbleShown());
}
