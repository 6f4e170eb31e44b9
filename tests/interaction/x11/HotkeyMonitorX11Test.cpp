// The hotkey monitor on the real X server: keys of another seat (a second
// keyboard, a remote-desktop client) reach it, our own XTest keys do not.

#include "interaction/HotkeyMonitor.h"

#include "platform/Platform.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <X11/keysym.h>

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <string>

namespace tovrik {
namespace {

namespace K = platform::KeyCode;

using test::SecondSeat;

class HotkeyMonitorX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        monitor = std::make_unique<HotkeyMonitor>();
        monitor->onShortcutPressed = [this] { record("pressed"); };
        monitor->onShortcutReleased = [this] { record("released"); };
        monitor->onPanelShortcutPressed = [this] { record("panel"); };
        monitor->onEscapePressed = [this] { record("escape"); };
        ASSERT_TRUE(monitor->start());
    }
    void TearDown() override
    {
        monitor.reset();
        platform::sim::SimPlatform::install();
    }
    void record(const char* what)
    {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++offMainThread;
        calls.push_back(what);
    }
    bool waitForCalls(size_t n) { return test::spinUntil([&] { return calls.size() >= n; }, 10000); }

    std::unique_ptr<HotkeyMonitor> monitor;
    std::vector<std::string> calls;
    int offMainThread = 0;
};

using Calls = std::vector<std::string>;

TEST_F(HotkeyMonitorX11Test, KeysOfAnotherSeatAreReportedOurOwnXTestKeysAreNot)
{
    SecondSeat other;
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
