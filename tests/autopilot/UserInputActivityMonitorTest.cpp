// The take-over monitor on the sim backend: what counts as the user taking
// over, the owner tokens of start() and stop(), and a tap that comes up late.

#include "autopilot/UserInputActivityMonitor.h"

#include "common/Constants.h"
#include "platform/Platform.h"
#include "support/SimFixture.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

namespace tovrik {
namespace {

using platform::RawInputEvent;
using Type = RawInputEvent::Type;
namespace K = platform::KeyCode;

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
    tap.injectMouseDown(platform::MouseButton::Left, QPointF(3, 4));
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
