// The hotkey monitor on the real X server: keys of another seat (a second
// keyboard, a remote-desktop client) reach it, our own XTest keys do not.

#include "interaction/HotkeyMonitor.h"

#include "platform/Platform.h"
#include "platform/x11/X11Platform.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <X11/keysym.h>

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace tovrik {
namespace {

namespace K = platform::KeyCode;
using Calls = std::vector<std::string>;

TEST(HotkeyMonitorX11Test, KeysOfAnotherSeatAreReportedOurOwnXTestKeysAreNot)
{
    QString error;
    ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    Calls calls;
    int offMainThread = 0;
    const auto record = [&](const char* what) -> std::function<void()> {
        return [&calls, &offMainThread, what] {
            offMainThread += QThread::currentThread() != QCoreApplication::instance()->thread();
            calls.push_back(what);
        };
    };
    HotkeyMonitor monitor;
    monitor.onShortcutPressed = record("pressed");
    monitor.onShortcutReleased = record("released");
    monitor.onPanelShortcutPressed = record("panel");
    monitor.onEscapePressed = record("escape");
    ASSERT_TRUE(monitor.start());
    const auto waitForCalls = [&](size_t n) { return test::spinUntil([&] { return calls.size() >= n; }, 10000); };

    test::SecondSeat other;
    ASSERT_TRUE(other.ok());
    // Control, Shift, Alt: the panel chord, passing through no exact
    // Control+Alt, so the voice chord does not go down. Then the voice chord.
    ASSERT_TRUE(other.chord({XK_Control_L, XK_Shift_L, XK_Alt_L}));
    ASSERT_TRUE(other.chord({XK_Control_L, XK_Alt_L}));
    ASSERT_TRUE(waitForCalls(3));
    EXPECT_EQ(calls, (Calls{"panel", "pressed", "released"}));
    // Our own synthetic input: the same chord and Esc, posted through XTest.
    auto& input = platform::Platform::get().input();
    ASSERT_TRUE(input.postKey(K::Control, true, platform::ModControl));
    ASSERT_TRUE(input.postKey(K::Option, true, platform::ModControl | platform::ModOption));
    ASSERT_TRUE(input.postKey(K::Option, false, platform::ModControl));
    ASSERT_TRUE(input.postKey(K::Control, false, 0));
    ASSERT_TRUE(input.postKey(K::Escape, true, 0));
    ASSERT_TRUE(input.postKey(K::Escape, false, 0));
    // Then a physical Esc of the other seat. Raw events arrive in order, so
    // once it is here anything of ours would have been reported before it.
    ASSERT_TRUE(other.tap(XK_Escape));
    ASSERT_TRUE(waitForCalls(4));
    test::drainEvents();
    EXPECT_EQ(calls, (Calls{"panel", "pressed", "released", "escape"}));
    EXPECT_EQ(offMainThread, 0);
}

} // namespace
} // namespace tovrik
