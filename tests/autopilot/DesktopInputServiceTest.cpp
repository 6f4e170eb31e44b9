// The desktop input service on the sim backend and the virtual clock: key
// texts, held keys and their release, scrolling, glides, clicks and drags,
// and what is left pressed on every way out (nothing). Then the take-over
// monitor: what counts as the user taking over, the owner tokens of start()
// and stop(), and a tap that comes up late.

#include "autopilot/DesktopInputService.h"
#include "autopilot/UserInputActivityMonitor.h"

#include "common/Constants.h"
#include "interaction/AsyncOutcome.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

namespace tovrik {
namespace {

using platform::MouseButton;
using platform::MouseEventKind;
using platform::RawInputEvent;
using Type = RawInputEvent::Type;
using platform::sim::PostedEvent;
using test::launch;
namespace F = InputFlag;
namespace K = platform::KeyCode;

using Outcome = std::shared_ptr<test::AsyncOutcome<void>>;
using Keys = std::vector<std::pair<uint16_t, bool>>;

// The code and text of the input error that `f` throws (-1 for another
// error); 0 and nothing when it throws none.
std::pair<int, QString> thrown(const std::function<void()>& f)
{
    try {
        f();
    } catch (const TovrikError& e) {
        return {e.domain() == "TovrikInput" ? e.code() : -1, e.message()};
    }
    return {0, {}};
}

std::pair<int, QString> failure(const Outcome& run)
{
    return thrown([&] { run->error ? std::rethrow_exception(run->error) : void(); });
}

class DesktopInputTest : public test::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        svc = std::make_unique<DesktopInputService>();
        svc->onMouseVisual = [this](MouseVisualEventType t, QPointF p) { visuals.emplace_back(t, p); };
    }
    void TearDown() override
    {
        svc.reset();
        SimTest::TearDown();
    }
    std::vector<PostedEvent> posted(PostedEvent::Kind kind) const
    {
        std::vector<PostedEvent> out;
        std::ranges::copy_if(sim->simInput().events(), std::back_inserter(out), [&](auto& e) { return e.kind == kind; });
        return out;
    }
    Keys keys() const
    {
        Keys out;
        for (const auto& e : posted(PostedEvent::Kind::Key))
            out.emplace_back(e.keyCode, e.down);
        return out;
    }
    std::vector<PostedEvent> buttons() const
    {
        auto out = posted(PostedEvent::Kind::Mouse);
        std::erase_if(out, [](auto& e) { return e.mouseKind != MouseEventKind::Down && e.mouseKind != MouseEventKind::Up; });
        return out;
    }
    // Starts `task` and runs the virtual clock until it ended.
    Outcome ended(QCoro::Task<void> task)
    {
        auto run = launch(std::move(task));
        for (double t = 0; t < 30 && !run->done; t += 0.001)
            advance(0.001, 0.001);
        EXPECT_TRUE(run->done);
        return run;
    }

    std::unique_ptr<DesktopInputService> svc;
    std::vector<std::pair<MouseVisualEventType, QPointF>> visuals;
};

TEST_F(DesktopInputTest, KeyTextsBecomeChordsOrAreRefused)
{
    const struct {
        const char* text;
        uint64_t flags;
        uint16_t code;
    } chords[] = {
        {"cmd+shift+t", F::Command | F::Shift, 17}, {"Cmd + Shift + T", F::Command | F::Shift, 17},
        {"command-shift-t", F::Command | F::Shift, 17}, {"meta+shift+t", F::Command | F::Shift, 17},
        {"-", 0, 27}, {"+", 0, 24}, {"ctrl+-", F::Control, 27}, {"cmd++", F::Command, 24},
        {"cmd+=", F::Command, 24}, {"ctrl -", F::Control, 59}, {"Page Down", 0, 121}, {"page_down", 0, 121},
        {"pgdn", 0, 121}, {"left arrow", 0, 123}, {"arrowleft", 0, 123}, {"return key", 0, 36},
        {"space bar", 0, 49}, {"shift", F::Shift, 56}, {"ctrl+option", F::Control | F::Option, 58},
        {"cmd+shift", F::Command | F::Shift, 55}, {"F5", 0, 96}, {"delete", 0, 51}, {"\\", 0, 42},
    };
    for (const auto& c : chords)
        EXPECT_EQ(DesktopInputService::keyChord(QString::fromUtf8(c.text)), (KeyChord{c.flags, c.code})) << c.text;
    for (const char* refused : {"cmd+a+b", "hyper+a", "   ", ""})
        EXPECT_EQ(thrown([&] { DesktopInputService::keyChord(refused); }),
                  std::pair(1, QString("UI Autopilot could not press that keyboard shortcut."))) << refused;
}

TEST_F(DesktopInputTest, ChordsThatEndOrSwitchTheSessionAreRefusedBeforeAnyKeyGoesOut)
{
    const std::pair<int, QString> refusal(1, "UI Autopilot could not press that keyboard shortcut.");
    for (const char* chord : {"ctrl+alt+backspace", "ctrl+option+delete", "control+alt+f1", "ctrl+alt+F12",
                              "ctrl+alt+shift+f7", "ctrl+alt+forwarddelete"}) {
        EXPECT_EQ(thrown([&] { svc->setHeldKey(chord, true); }), refusal) << chord;
        EXPECT_EQ(failure(ended(svc->pressKey(chord))), refusal) << chord;
        EXPECT_EQ(failure(ended(svc->holdKey(chord, 500))), refusal) << chord;
    }
    EXPECT_TRUE(keys().empty());
    // Put together from held keys, in either order.
    svc->setHeldKey("ctrl+alt", true);
    sim->simInput().clearEvents();
    EXPECT_EQ(failure(ended(svc->pressKey("f2"))), refusal);
    EXPECT_EQ(thrown([&] { svc->setHeldKey("backspace", true); }), refusal);
    svc->releaseHeldInputs();
    svc->setHeldKey("f3", true);
    sim->simInput().clearEvents();
    EXPECT_EQ(thrown([&] { svc->holdModifiers("ctrl+alt"); }), refusal);
    EXPECT_TRUE(keys().empty());
    svc->releaseHeldInputs();
    // Neighbours stay allowed.
    for (const char* chord : {"ctrl+backspace", "alt+f4", "ctrl+f5", "ctrl+alt+t", "ctrl+alt+f13", "cmd+l"})
        EXPECT_EQ(failure(ended(svc->pressKey(chord))).first, 0) << chord;
}

TEST_F(DesktopInputTest, ChordsPressModifiersFirstAndReleaseTheLastPressedKeyFirst)
{
    EXPECT_EQ(svc->inputStateSummary(), QStringLiteral("Held keys: []; mouse: none."));
    svc->setHeldKey(QStringLiteral("cmd+shift+t"), true);
    EXPECT_EQ(svc->inputStateSummary(), QStringLiteral("Held keys: [17, 55, 56]; mouse: none."));
    EXPECT_EQ(svc->heldModifierNames(), QStringLiteral("shift+command"));
    svc->setHeldKey(QStringLiteral("cmd+shift+t"), false);
    EXPECT_EQ(keys(), (Keys{{56, true}, {55, true}, {17, true}, {17, false}, {55, false}, {56, false}}));
    std::vector<uint32_t> mods;
    for (const auto& e : posted(PostedEvent::Kind::Key))
        mods.push_back(e.modifiers);
    using namespace platform;
    EXPECT_EQ(mods, (std::vector<uint32_t>{ModShift, ModShift | ModCommand, ModShift | ModCommand,
                                           ModShift | ModCommand, ModShift, 0}));

    svc->setHeldKey(QStringLiteral("cmd"), true);
    EXPECT_EQ(svc->holdModifiers(QStringLiteral("cmd+shift")), std::vector<uint16_t>{56}); // newly held only
    EXPECT_EQ(svc->inputStateSummary(), QStringLiteral("Held keys: [55, 56]; mouse: none."));
    EXPECT_EQ(svc->heldModifierNames(), QStringLiteral("shift+command"));
    // Releasing everything lifts the key pressed last first (command went
    // down before shift here), whatever the codes or the modifier order.
    svc->setHeldKey(QStringLiteral("a"), true);
    sim->simInput().clearEvents();
    svc->releaseHeldInputs();
    EXPECT_EQ(keys(), (Keys{{0, false}, {56, false}, {55, false}}));
    EXPECT_EQ(std::tuple(svc->hasHeldInput(), svc->hasPendingHeldRelease(), svc->heldModifierNames()),
              std::tuple(false, false, ""));
}

TEST_F(DesktopInputTest, HeldKeysAreReleased120SecondsAfterTheLastChangeAndAfterAFailedRelease)
{
    svc->setHeldKey(QStringLiteral("a"), true);
    advance(100, 1);
    svc->setHeldKey(QStringLiteral("b"), true);
    advance(119.5, 0.5);
    EXPECT_EQ(keys().size(), 2u);
    advance(1, 0.5);
    EXPECT_EQ(keys(), (Keys{{0, true}, {11, true}, {11, false}, {0, false}}));
    // A release that cannot be posted keeps the key and tries again later.
    svc->setHeldKey(QStringLiteral("c"), true);
    sim->simInput().setFailing(true);
    svc->releaseHeldInputs();
    EXPECT_EQ(svc->inputStateSummary(), QStringLiteral("Held keys: [8]; mouse: none."));
    sim->simInput().setFailing(false);
    advance(121, 1);
    EXPECT_FALSE(svc->hasHeldInput());
}

TEST_F(DesktopInputTest, ScrollingCutsTheAmountIntoSharesTwelveMillisecondsApart)
{
    const struct {
        const char* direction;
        int pixels;
        bool vertical;
        std::vector<int> deltas;
    } cases[] = {
        {" Up ", 170, true, {56, 57, 57}},          {"down", 100, true, {-50, -50}},
        {"left", -300, false, {-75, -75, -75, -75}}, {"sideways", 0, true, {-1}},
        {"right", 5000, false, std::vector<int>(30, 80)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.direction);
        sim->simInput().clearEvents();
        auto run = ended(svc->scroll(QString::fromUtf8(c.direction), c.pixels));
        EXPECT_FALSE(run->error);
        const auto wheel = posted(PostedEvent::Kind::Scroll);
        std::vector<int> deltas;
        for (size_t i = 0; i < wheel.size(); ++i) {
            EXPECT_TRUE(wheel[i].pixelUnits);
            EXPECT_EQ(c.vertical ? wheel[i].deltaX : wheel[i].deltaY, 0);
            deltas.push_back(c.vertical ? wheel[i].deltaY : wheel[i].deltaX);
            if (i > 0) {
                EXPECT_NEAR(wheel[i].at - wheel[i - 1].at, 0.012, 1e-6);
            }
        }
        EXPECT_EQ(deltas, c.deltas);
    }
    // A take-over between steps stops the scroll with the take-over text.
    sim->simInput().clearEvents();
    svc->shouldAbortForUserInput = [this] { return posted(PostedEvent::Kind::Scroll).size() >= 2; };
    auto stopped = ended(svc->scroll(QStringLiteral("down"), 800));
    EXPECT_EQ(failure(stopped), std::make_pair(2, DesktopInputService::kTakeoverMessage));
    EXPECT_EQ(posted(PostedEvent::Kind::Scroll).size(), 2u);
}

TEST_F(DesktopInputTest, GlidesTakeTheirStepCountsAndPauses)
{
    const struct {
        double distance;
        size_t moves; // steps plus the final move
        double pause;
    } cases[] = {{9.9, 1, 0}, {10, 9, 0.030}, {100, 9, 0.030}, {1000, 16, 0.016}, {2000, 27, 0.009}};
    for (const auto& c : cases) {
        sim->simDisplays().setPointerLocation(QPointF(100, 100));
        sim->simInput().clearEvents();
        ended(svc->moveSmoothly(QPointF(100 + c.distance, 100)));
        const auto moves = posted(PostedEvent::Kind::Mouse);
        ASSERT_EQ(moves.size(), c.moves) << c.distance;
        for (size_t i = 1; i < moves.size(); ++i)
            EXPECT_NEAR(moves[i].at - moves[i - 1].at, c.pause, 1e-6) << c.distance << " step " << i;
        EXPECT_EQ(moves.back().point, QPointF(100 + c.distance, 100));
        EXPECT_TRUE(visuals.empty()); // plain moves are not mirrored
    }
}

TEST_F(DesktopInputTest, ACancelledClickReleasesWhereThePointerIsThenEndsCancelled)
{
    CancellationSource source;
    auto run = launch(svc->click(QPointF(300, 200), source.token()));
    for (int i = 0; i < 2000 && buttons().empty(); ++i)
        advance(0.001, 0.001);
    ASSERT_EQ(buttons().size(), 1u);
    EXPECT_EQ(std::tuple(buttons()[0].point, buttons()[0].clickCount), std::tuple(QPointF(300, 200), 1));
    sim->simDisplays().setPointerLocation(QPointF(310, 205)); // moved during the hold
    source.cancel();
    ASSERT_TRUE(test::spinUntil([&] { return run->done; }));
    EXPECT_TRUE(run->cancelled());
    ASSERT_EQ(buttons().size(), 2u);
    EXPECT_EQ(std::tuple(buttons()[1].mouseKind, buttons()[1].point), std::tuple(MouseEventKind::Up, QPointF(310, 205)));
    // The settling moves and both button events were mirrored.
    ASSERT_GE(visuals.size(), 4u);
    EXPECT_EQ(visuals[visuals.size() - 2].first, MouseVisualEventType::leftMouseDown);
    EXPECT_EQ(visuals.back().first, MouseVisualEventType::leftMouseUp);
}

TEST_F(DesktopInputTest, DragsRefuseBadPathsAndReleaseEverythingWhenCancelledHalfway)
{
    const std::vector<QPointF> tooMany(257, QPointF(5, 5));
    for (const auto& points : {std::vector<QPointF>{QPointF(1, 1)}, tooMany}) {
        auto run = launch(svc->dragPath(points, 500, "left", {}, {}, {}));
        ASSERT_TRUE(run->done);
        EXPECT_EQ(failure(run), std::pair(2, QString("A new drag requires 2 to 256 points and no held mouse button.")));
    }
    EXPECT_TRUE(sim->simInput().events().empty());

    svc->setHeldKey(QStringLiteral("shift"), true);
    sim->simDisplays().setPointerLocation(QPointF(0, 0));
    CancellationSource source;
    auto run = launch(svc->dragPath({QPointF(0, 0), QPointF(400, 0)}, 1000, "right", {}, {}, {}, source.token()));
    advance(0.6, 0.001); // a glide of 0 points, then half of the path
    ASSERT_EQ(buttons().size(), 1u);
    const QPointF reached = sim->simDisplays().pointerLocation();
    EXPECT_TRUE(reached.x() > 100 && reached.x() < 300) << reached.x();
    EXPECT_EQ(posted(PostedEvent::Kind::Mouse).back().mouseKind, MouseEventKind::Drag);
    source.cancel();
    ASSERT_TRUE(test::spinUntil([&] { return run->done; }));
    EXPECT_TRUE(run->cancelled());
    const auto b = buttons();
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(std::tuple(b[1].mouseKind, b[1].button, b[1].point), std::tuple(MouseEventKind::Up, MouseButton::Right, reached));
    EXPECT_EQ(keys().back(), std::make_pair(uint16_t(56), false));
    EXPECT_FALSE(svc->hasHeldInput());
}

TEST_F(DesktopInputTest, AnUnreadablePointerGivesOneMoveAndFailsTheSettleCheck)
{
    sim->simDisplays().setPointerReadable(false);
    auto run = ended(svc->click(QPointF(50, 60)));
    EXPECT_EQ(failure(run), std::pair(2, QString("UI Autopilot could not verify the pointer position.")));
    EXPECT_TRUE(buttons().empty());
    // One move for the glide, one exact move, then the settle's four.
    EXPECT_EQ(posted(PostedEvent::Kind::Mouse).size(), 6u);
}

TEST_F(DesktopInputTest, TheHeldButtonFollowsItsNameAndItsReleaseAlwaysGoesOut)
{
    svc->setHeldMouse(QStringLiteral("Left"), true, QPointF(10, 10), 1);
    EXPECT_EQ(svc->inputStateSummary(), QStringLiteral("Held keys: []; mouse: Left."));
    EXPECT_EQ(thrown([&] { svc->setHeldMouse("right", true, QPointF(10, 10), 1); }).second,
              "Use move or mouse_up to finish the held mouse gesture.");
    svc->setHeldMouse(QStringLiteral("left"), false, QPointF(10, 10), 1); // not the held name
    EXPECT_EQ(buttons().size(), 1u);
    // Moves with a held button drag it and are mirrored as a left drag.
    svc->move(QPointF(20, 20));
    EXPECT_EQ(posted(PostedEvent::Kind::Mouse).back().mouseKind, MouseEventKind::Drag);
    EXPECT_EQ(visuals.back().first, MouseVisualEventType::leftMouseDragged);
    svc->shouldAbortForUserInput = [] { return true; };
    svc->setHeldMouse(QStringLiteral("Left"), false, QPointF(20, 20), 1);
    EXPECT_FALSE(svc->hasHeldMouseButton());
    EXPECT_EQ(buttons().size(), 2u);
    // releaseHeldInputs lets go of a held right button where the pointer is.
    svc->shouldAbortForUserInput = nullptr;
    svc->setHeldMouse(QStringLiteral("right"), true, QPointF(30, 30), 1);
    svc->move(QPointF(35, 36)); // a right drag, mirrored as a left one
    EXPECT_EQ(posted(PostedEvent::Kind::Mouse).back().button, MouseButton::Right);
    EXPECT_EQ(visuals.back().first, MouseVisualEventType::leftMouseDragged);
    visuals.clear();
    svc->releaseHeldInputs();
    const auto b = buttons();
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(std::tuple(b[3].button, b[3].point, b[3].clickCount), std::tuple(MouseButton::Right, QPointF(35, 36), 1));
    ASSERT_EQ(visuals.size(), 1u);
    EXPECT_EQ(visuals[0].first, MouseVisualEventType::rightMouseUp);
}

TEST_F(DesktopInputTest, DisplayLocalDoubleClickAndACancelledDrag)
{
    sim->simDisplays().setDisplays({platform::sim::SimDisplays::make(1, QRectF(0, 0, 1440, 900), 1, true),
                                    platform::sim::SimDisplays::make(2, QRectF(1440, 0, 800, 600))});
    int checks = 0;
    ended(svc->doubleClick(2, QPointF(10, 20), [&] { ++checks; }));
    ASSERT_EQ(buttons().size(), 4u);
    for (const auto& b : buttons())
        EXPECT_EQ(b.point, QPointF(1450, 20));
    EXPECT_EQ(checks, 2);
    // The pointer cannot be found at the end of a drag: Esc cancels it in
    // the target, then the button goes up where the drag began.
    sim->simInput().clearEvents();
    svc->onMouseVisual = [this](MouseVisualEventType t, QPointF) {
        if (t == MouseVisualEventType::leftMouseDown)
            sim->simDisplays().setPointerReadable(false);
    };
    auto run = ended(svc->drag(1, QPointF(100, 100), 2, QPointF(50, 50), {}, {}));
    EXPECT_EQ(failure(run), std::make_pair(2, QStringLiteral("UI Autopilot could not verify the pointer position.")));
    EXPECT_EQ(keys(), (Keys{{53, true}, {53, false}}));
    ASSERT_EQ(buttons().size(), 2u);
    EXPECT_EQ(std::tuple(buttons()[1].mouseKind, buttons()[1].point), std::tuple(MouseEventKind::Up, QPointF(100, 100)));
}

TEST_F(DesktopInputTest, TypingGoesByCharacterAndTimedHoldsAreClampedAndReleased)
{
    int checks = 0;
    auto typed = ended(svc->typeText(QStringLiteral("e\u0301\U0001F642a"), [&] { ++checks; }));
    std::vector<QString> texts;
    for (const auto& e : posted(PostedEvent::Kind::Text))
        texts.push_back(e.text);
    EXPECT_EQ(texts, (std::vector<QString>{"e\u0301", "\U0001F642", "a"}));
    EXPECT_EQ(checks, 3);

    svc->shouldAbortForUserInput = [this] { return posted(PostedEvent::Kind::Text).size() >= 4; };
    auto stopped = ended(svc->typeText(QStringLiteral("xyz")));
    EXPECT_EQ(failure(stopped), std::make_pair(2, DesktopInputService::kTakeoverMessage));
    EXPECT_EQ(posted(PostedEvent::Kind::Text).size(), 4u);
    // A character that cannot be typed ends the text, saying how much of
    // it was typed (the one character before it).
    svc->shouldAbortForUserInput = [this] {
        sim->simInput().setFailing(posted(PostedEvent::Kind::Text).size() >= 5);
        return false;
    };
    auto cut = ended(svc->typeText(QStringLiteral("pq🙂s")));
    EXPECT_EQ(failure(cut), std::make_pair(2, DesktopInputService::kUnicodeEventMessage
                                                  + " 1 of 4 characters were typed; the rest was not."));
    // Other causes say what happened, with the same count after it.
    sim->simInput().setTypingFailure(platform::TypingFailure::FocusMoved);
    auto moved = ended(svc->typeText(QStringLiteral("pq")));
    EXPECT_EQ(failure(moved), std::make_pair(2, QStringLiteral("UI Autopilot stopped typing because another window took "
                                                               "the keyboard focus. 0 of 2 characters were typed; the rest was not.")));
    sim->simInput().setTypingFailure(platform::TypingFailure::NoKeyboardEvent);
    sim->simInput().setFailing(false);
    svc->shouldAbortForUserInput = nullptr;

    for (const auto& [asked, held] : {std::pair{0, 0.1}, std::pair{20000, 8.0}}) {
        sim->simInput().clearEvents();
        auto run = ended(svc->holdKey(QStringLiteral("cmd+c"), asked));
        const auto k = posted(PostedEvent::Kind::Key);
        ASSERT_EQ(k.size(), 4u);
        EXPECT_NEAR(k[2].at - k[1].at, held, 0.0015);
        EXPECT_FALSE(svc->hasHeldInput());
    }
}

TEST_F(DesktopInputTest, AFailedPostIsAnInputErrorAndTheServiceLetsGoWhenItEnds)
{
    sim->simInput().setFailing(true);
    EXPECT_EQ(thrown([&] { svc->setHeldKey("ctrl+a", true); }),
              std::pair(2, QString("UI Autopilot could not create a keyboard event.")));
    EXPECT_FALSE(svc->hasHeldInput());
    sim->simInput().setFailing(false);
    svc->setHeldKey(QStringLiteral("ctrl+a"), true);
    svc->setHeldMouse(QStringLiteral("middle"), true, QPointF(5, 5), 1);
    // The process quits: everything goes up once, before the service goes.
    ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
    EXPECT_EQ(keys(), (Keys{{59, true}, {0, true}, {0, false}, {59, false}}));
    EXPECT_EQ(buttons().back().mouseKind, MouseEventKind::Up);
    svc->setHeldKey(QStringLiteral("x"), true);
    svc.reset(); // and whatever is pressed when the service goes
    EXPECT_EQ(keys().back(), std::make_pair(uint16_t(7), false));
}

class UserInputActivityMonitorTest : public test::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        monitor.onPhysicalUserInput = [this] { ++callbacks; };
    }
    static RawInputEvent key(uint16_t code, Type type = Type::KeyDown, bool synthetic = false, int64_t userData = 0)
    {
        RawInputEvent e;
        std::tie(e.type, e.keyCode, e.isSynthetic, e.sourceUserData) = std::tuple(type, code, synthetic, userData);
        return e;
    }
    UserInputActivityMonitor monitor;
    std::atomic<int> callbacks{0};
};

TEST_F(UserInputActivityMonitorTest, OnlyTheUsersEscOrALostTapCountsAndOnlyTheOwnerStopsTheTap)
{
    auto& tap = sim->simEventTap();
    const auto token = monitor.start();
    ASSERT_NE(token, 0u);
    EXPECT_EQ(tap.threadNames(), QStringList{UserInputActivityMonitor::threadName});
    // Ours (synthetic, or marked as ours), a release, other keys, a click.
    for (const auto& e : {key(K::Escape, Type::KeyDown, true),
                          key(K::Escape, Type::KeyDown, false, constants::syntheticInputEventSourceUserData()),
                          key(K::Escape, Type::KeyUp), key(K::A), key(K::Return)})
        tap.inject(e);
    tap.injectMouseDown(MouseButton::Left, QPointF(3, 4));
    EXPECT_FALSE(monitor.hasUserTakenOverSinceReset() || monitor.hasRecentUserInput(3600));

    tap.inject(key(K::Escape));
    tap.inject(key(K::Escape));
    EXPECT_TRUE(monitor.hasUserTakenOverSinceReset());
    EXPECT_EQ(callbacks.load(), 1);
    advance(5, 1);
    EXPECT_TRUE(monitor.hasRecentUserInput(5));
    EXPECT_FALSE(monitor.hasRecentUserInput(4));

    monitor.reset();
    EXPECT_FALSE(monitor.hasUserTakenOverSinceReset() || monitor.hasRecentUserInput(3600));
    tap.inject(key(0, Type::TapDisabled));
    EXPECT_TRUE(monitor.hasUserTakenOverSinceReset());
    EXPECT_EQ(callbacks.load(), 2);
    monitor.stop(token);
    EXPECT_EQ(tap.activeTapCount(), 0);
    // Only the owner of the running tap can stop it.
    const auto first = monitor.start(), second = monitor.start();
    ASSERT_TRUE(first && second && first != second) << first << " " << second;
    EXPECT_EQ(tap.activeTapCount(), 1);
    monitor.stop(first); // a stale run's clean-up
    EXPECT_TRUE(monitor.isRunning());
    EXPECT_EQ(tap.activeTapCount(), 1);
    monitor.stop(second);
    EXPECT_EQ(tap.activeTapCount(), 0);
    monitor.stop(second);
    monitor.stop();

    tap.setStartFails(true);
    EXPECT_EQ(monitor.start(), 0u);
    EXPECT_FALSE(monitor.isRunning());
}

TEST_F(UserInputActivityMonitorTest, ATapThatComesUpAfterStartGaveUpIsNotKept)
{
    auto& tap = sim->simEventTap();
    tap.setStartDelay(2300);
    EXPECT_EQ(monitor.start(), 0u);
    EXPECT_FALSE(monitor.isRunning());
    // The installer finishes after start() returned: its tap goes at once.
    ASSERT_TRUE(test::spinUntil([&] { return tap.activeTapCount() == 0 && !monitor.isRunning(); }, 3000));
    QThread::msleep(500);
    EXPECT_EQ(tap.activeTapCount(), 0);
    EXPECT_EQ(monitor.owner(), 0u);
}

} // namespace
} // namespace tovrik
