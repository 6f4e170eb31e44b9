// The hotkey monitor on the sim event stream: chords, Esc, shortcut capture
// with the modifier-only delay, synthetic events, and the thread hops.

#include "interaction/HotkeyMonitor.h"

#include "common/Constants.h"
#include "support/SimFixture.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace tovrik {
namespace {

using platform::RawInputEvent;
namespace K = platform::KeyCode;
constexpr uint32_t Ctrl = platform::ModControl, Shift = platform::ModShift, Opt = platform::ModOption,
                   Cmd = platform::ModCommand;
constexpr uint16_t KeyK = 40;
using Type = RawInputEvent::Type;

RawInputEvent event(Type type, uint16_t keyCode, uint32_t modifiers, bool autoRepeat, bool synthetic = false,
                    int64_t sourceUserData = 0)
{
    RawInputEvent e;
    std::tie(e.type, e.keyCode, e.modifiers, e.isAutoRepeat, e.isSynthetic, e.sourceUserData) =
        std::make_tuple(type, keyCode, modifiers, autoRepeat, synthetic, sourceUserData);
    return e;
}

class HotkeyMonitorTest : public test::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        monitor = std::make_unique<HotkeyMonitor>();
        monitor->onShortcutPressed = [this] { record("pressed"); };
        monitor->onShortcutReleased = [this] { record("released"); };
        monitor->onPanelShortcutPressed = [this] { record("panel"); };
        monitor->onEscapePressed = [this] { record("escape"); };
        monitor->onShortcutCaptured = [this](ShortcutGesture g) {
            captured.push_back(g);
            record("captured");
        };
        monitor->onShortcutCaptureCanceled = [this] { record("canceled"); };
        monitor->onShortcutCaptureFailed = [this](QString message) {
            failures.push_back(message);
            record("failed");
        };
        ASSERT_TRUE(monitor->start());
    }
    void TearDown() override
    {
        monitor.reset();
        SimTest::TearDown();
    }

    void record(const char* what)
    {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            offMainThreadCalls++;
        calls.push_back(what);
    }

    auto& tap() { return sim->simEventTap(); }
    void flags(uint16_t key, uint32_t mods) { tap().injectFlags(key, mods); }
    // Modifier keys in order, each with the modifiers held after it.
    void flags(std::initializer_list<std::pair<uint16_t, uint32_t>> steps)
    {
        for (const auto& [k, mods] : steps)
            flags(k, mods);
    }
    void key(uint16_t code, bool down, uint32_t mods) { tap().injectKey(code, down, mods); }
    void holdVoiceChord() { flags({{K::Control, Ctrl}, {K::Option, Ctrl | Opt}}); } // the default voice chord
    std::vector<std::string> drained()
    {
        test::drainEvents();
        return calls;
    }
    void beginCapture()
    {
        std::lock_guard lock(monitor->stateLock);
        monitor->beginShortcutCaptureLocked();
    }
    // Runs `f` under the monitor's state lock.
    template <typename F>
    auto locked(F f)
    {
        std::lock_guard lock(monitor->stateLock);
        return f();
    }
    bool capturing() { return locked([this] { return monitor->isCapturingShortcut; }); }

    std::unique_ptr<HotkeyMonitor> monitor;
    std::vector<std::string> calls;
    std::vector<ShortcutGesture> captured;
    std::vector<QString> failures;
    std::atomic<int> offMainThreadCalls{0};
};

using Calls = std::vector<std::string>;

TEST_F(HotkeyMonitorTest, RunsOneTapOnItsNamedThreadAndStopsIt)
{
    EXPECT_EQ(tap().activeTapCount(), 1);
    EXPECT_TRUE(tap().threadNames().contains(QStringLiteral("ai.tovrik.mac.hotkey-monitor")));
    EXPECT_TRUE(monitor->start()); // already running: no second tap
    EXPECT_EQ(tap().activeTapCount(), 1);
    monitor->stop();
    EXPECT_FALSE(monitor->isRunning());
    EXPECT_EQ(tap().activeTapCount(), 0);
    holdVoiceChord();
    EXPECT_EQ(drained(), Calls{});
    tap().setStartFails(true);
    EXPECT_FALSE(monitor->start());
    EXPECT_FALSE(monitor->isRunning());
    // Events the tap queued before the monitor went away call nothing.
    tap().setStartFails(false);
    ASSERT_TRUE(monitor->start());
    holdVoiceChord();
    monitor.reset();
    EXPECT_EQ(drained(), Calls{});
    EXPECT_EQ(tap().activeTapCount(), 0);
}

TEST_F(HotkeyMonitorTest, ModifierOnlyChordsNeedExactlyTheirModifiers)
{
    // The voice chord is reported later, never inside the tap's call.
    holdVoiceChord();
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(locked([this] { return monitor->shortcutActive; }));
    EXPECT_EQ(drained(), Calls{"pressed"});
    flags(K::Option, Ctrl);
    EXPECT_EQ(drained(), (Calls{"pressed", "released"}));
    EXPECT_FALSE(locked([this] { return monitor->shortcutActive; }));
    calls.clear();
    // Control+Option+Command is not Control+Option.
    flags({{K::Command, Ctrl | Cmd}, {K::Option, Ctrl | Cmd | Opt}});
    EXPECT_EQ(drained(), Calls{});
    // Letting go of Command leaves exactly the chord: it goes down now.
    flags(K::Command, Ctrl | Opt);
    EXPECT_EQ(drained(), Calls{"pressed"});
    // Caps lock does not count as a chord modifier.
    flags(K::CapsLock, Ctrl | Opt | platform::ModCapsLock);
    EXPECT_EQ(drained(), Calls{"pressed"});
    // Adding Shift turns it into the panel chord: the voice chord is up. A
    // key while the panel chord is held reports nothing more.
    flags(K::Shift, Ctrl | Opt | Shift);
    key(K::A + 1, true, Ctrl | Shift | Opt);
    key(K::A + 1, false, Ctrl | Shift | Opt);
    EXPECT_EQ(drained(), (Calls{"pressed", "released", "panel"}));
    // Back to the voice chord while releasing Shift: pressed again, then up.
    flags({{K::Shift, Ctrl | Opt}, {K::Option, Ctrl}, {K::Control, 0}});
    EXPECT_EQ(drained(), (Calls{"pressed", "released", "panel", "pressed", "released"}));
    EXPECT_FALSE(locked([this] { return monitor->panelShortcutActive; }));
    // The panel chord held afresh reports its down edge again.
    calls.clear();
    flags({{K::Control, Ctrl}, {K::Shift, Ctrl | Shift}, {K::Option, Ctrl | Shift | Opt}});
    EXPECT_EQ(drained(), Calls{"panel"});
}

TEST_F(HotkeyMonitorTest, ChordWithAKeyGoesDownOnTheKeyAndUpOnItsReleaseOrAModifierReleaseEscOnEachPhysicalPress)
{
    locked([this] { monitor->voiceShortcut = ShortcutGesture{ShortcutModifiers(Cmd | Shift), KeyK}; });
    flags({{K::Command, Cmd}, {K::Shift, Cmd | Shift}});
    EXPECT_EQ(drained(), Calls{}); // the modifiers alone are not the chord
    key(KeyK, true, Cmd | Shift);
    tap().inject(event(Type::KeyDown, KeyK, Cmd | Shift, /*autoRepeat*/ true));
    EXPECT_EQ(drained(), Calls{"pressed"});
    key(KeyK, false, Cmd | Shift);
    EXPECT_EQ(drained(), (Calls{"pressed", "released"}));
    // Down again, then Shift is let go before the key: up at that moment.
    key(KeyK, true, Cmd | Shift);
    flags(K::Shift, Cmd);
    key(KeyK, false, Cmd);
    EXPECT_EQ(drained(), (Calls{"pressed", "released", "pressed", "released"}));
    // The key with other modifiers (only Command) is not the chord.
    key(KeyK, true, Cmd);
    key(KeyK, false, Cmd);
    EXPECT_EQ(drained().size(), 4u);
    // Esc reports each physical press, neither repeats nor our own events.
    calls.clear();
    key(K::Escape, true, 0);
    key(K::Escape, false, 0);
    tap().inject(event(Type::KeyDown, K::Escape, 0, /*autoRepeat*/ true));
    key(K::Escape, true, Shift);
    EXPECT_EQ(drained(), (Calls{"escape", "escape"}));
    calls.clear();

    tap().inject(event(Type::FlagsChanged, K::Control, Ctrl, false, /*synthetic*/ true));
    tap().inject(event(Type::FlagsChanged, K::Option, Ctrl | Opt, false, /*synthetic*/ true));
    // Carrying the marker is enough even without the flag.
    RawInputEvent esc = event(Type::KeyDown, K::Escape, 0, false, false, constants::syntheticInputEventSourceUserData());
    tap().inject(esc);
    // Posted through the synthetic-input service (echoed into the tap as ours).
    sim->simInput().postKey(K::Escape, true, 0);
    sim->simInput().postKey(K::Escape, false, 0);
    EXPECT_EQ(drained(), Calls{});
    EXPECT_FALSE(locked([this] { return monitor->shortcutActive; }));
    // A physical Esc with another source value is reported.
    esc.sourceUserData = constants::syntheticInputEventSourceUserData() ^ 2;
    tap().inject(esc);
    EXPECT_EQ(drained(), Calls{"escape"});
}

TEST_F(HotkeyMonitorTest, CaptureTakesAKeyChordAndSuppressesChordsWhileItRuns)
{
    beginCapture();
    // A key without modifiers, or one without a name, fails; capture goes on.
    key(KeyK, true, 0);
    key(KeyK, false, 0);
    key(K::A, true, Cmd); // code 0 means "no key" in a shortcut
    EXPECT_EQ(drained(), (Calls{"failed", "failed"}));
    EXPECT_EQ(failures, (std::vector<QString>{HotkeyMonitor::kCaptureNeedsModifierMessage,
                                              HotkeyMonitor::kCaptureUnsupportedKeyMessage}));
    EXPECT_TRUE(capturing());
    calls.clear();
    flags({{K::Command, 0}, {K::Control, Ctrl}});
    flags(K::Option, Ctrl | Opt); // the voice chord does not fire during capture
    flags({{K::Option, Ctrl}, {K::Control, 0}, {K::Command, Cmd}, {K::Shift, Cmd | Shift}});
    key(KeyK, true, Cmd | Shift);
    EXPECT_FALSE(capturing());
    EXPECT_EQ(drained(), Calls{"captured"});
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0].modifiers.rawValue, Cmd | Shift);
    EXPECT_EQ(captured[0].keyCode, KeyK);
    EXPECT_EQ(captured[0].text(), QStringLiteral("shift+command+k"));
    // Capture is over: the next Control+Option is an ordinary chord again,
    // and the Control+Option held during the capture never fired its press.
    key(KeyK, false, Cmd | Shift);
    flags({{K::Shift, Cmd}, {K::Command, 0}});
    holdVoiceChord();
    EXPECT_EQ(drained(), (Calls{"captured", "pressed"}));
    advance(1.0);
    EXPECT_EQ(calls.size(), 2u); // no late modifier-only capture
}

TEST_F(HotkeyMonitorTest, ModifierOnlyChordIsTakenOnceHeldUnchangedForTheCaptureDelayAndEscEndOrRestartDropItsPendingWork)
{
    beginCapture();
    // A lone modifier held fails, and the capture goes on.
    flags(K::Shift, Shift);
    advance(0.6);
    EXPECT_EQ(calls, Calls{"failed"});
    EXPECT_EQ(failures, std::vector<QString>{HotkeyMonitor::kCaptureNeedsTwoModifiersMessage});
    EXPECT_TRUE(capturing());
    calls.clear();
    flags(K::Shift, 0);
    // Released before the delay: nothing taken.
    holdVoiceChord();
    advance(0.3);
    flags({{K::Option, Ctrl}, {K::Control, 0}});
    advance(2.0);
    EXPECT_EQ(calls, Calls{});
    holdVoiceChord();
    EXPECT_EQ(locked([this] { return monitor->captureModifiers.rawValue; }), Ctrl | Opt);
    advance(0.51);
    EXPECT_EQ(calls, Calls{});
    EXPECT_TRUE(capturing());
    advance(0.02);
    EXPECT_EQ(calls, Calls{"captured"});
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0], (ShortcutGesture{ShortcutModifiers(Ctrl | Opt), 0}));
    EXPECT_FALSE(capturing());
    EXPECT_TRUE(locked([this] { return monitor->captureWorkItem == nullptr; }));
    // Every change of the held modifiers restarts the delay.
    flags({{K::Option, Ctrl}, {K::Control, 0}});
    calls.clear();
    beginCapture();
    holdVoiceChord();
    advance(0.4);
    flags(K::Shift, Ctrl | Opt | Shift);
    advance(0.4); // 0.8 s since Control+Option, 0.4 s since Shift
    EXPECT_EQ(calls, Calls{});
    advance(0.13);
    ASSERT_EQ(captured.size(), 2u);
    EXPECT_EQ(captured[1].modifiers.rawValue, Ctrl | Shift | Opt);
    // Esc, ending or restarting the capture drops the pending work.
    flags({{K::Shift, Ctrl | Opt}, {K::Option, Ctrl}, {K::Control, 0}});
    drained();
    calls.clear();
    const auto holdChordThen = [&](const std::function<void()>& action) {
        beginCapture();
        holdVoiceChord();
        advance(0.2);
        action();
        EXPECT_TRUE(locked([this] { return monitor->captureWorkItem == nullptr && monitor->captureModifiers.rawValue == 0; }));
        EXPECT_EQ(clock.pendingCount(), 0u);
        advance(1.0);
    };
    // Esc cancels, and is not reported as Esc.
    holdChordThen([&] { key(K::Escape, true, Ctrl | Opt); });
    EXPECT_FALSE(capturing());
    EXPECT_EQ(calls, Calls{"canceled"});
    key(K::Escape, true, 0);
    EXPECT_EQ(drained(), (Calls{"canceled", "escape"}));
    calls.clear();
    // Ending or restarting (e.g. "Change" on the other row) calls nothing back.
    holdChordThen([&] { EXPECT_TRUE(locked([this] { return monitor->endShortcutCaptureLocked(); })); });
    EXPECT_FALSE(capturing());
    EXPECT_FALSE(locked([this] { return monitor->endShortcutCaptureLocked(); }));
    holdChordThen([&] { beginCapture(); });
    EXPECT_TRUE(capturing());
    EXPECT_EQ(calls, Calls{});
}

TEST_F(HotkeyMonitorTest, EventsFromAnotherThreadReachTheCallbacksOnTheMainThread)
{
    beginCapture();
    std::thread worker([this] {
        tap().injectFlags(K::Control, Ctrl);
        tap().injectFlags(K::Option, Ctrl | Opt);
    });
    worker.join();
    // The modifier-only capture is armed on the main thread by a queued hop.
    advance(0.6);
    EXPECT_EQ(calls, Calls{"captured"});

    std::thread worker2([this] {
        for (int i = 0; i < 200; ++i) {
            tap().injectFlags(K::Option, Ctrl);
            tap().injectFlags(K::Option, Ctrl | Opt);
        }
        tap().injectFlags(K::Option, Ctrl);
    });
    // The main thread reads and writes the shared state meanwhile.
    for (int i = 0; i < 200; ++i)
        locked([this] { monitor->panelShortcutActive = false; });
    worker2.join();
    test::drainEvents();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "pressed"), 200);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "released"), 200);
    EXPECT_EQ(offMainThreadCalls.load(), 0);
}

} // namespace
} // namespace tovrik
