#include "common/Constants.h"
#include "common/Error.h"
#include "common/Task.h"
#include "support/SimFixture.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace tovrik;
using tovrik::test::SimTest;

TEST(Constants, MarkerIsOddNonZeroAndDrawnPerLaunch)
{
    const int64_t first = constants::syntheticInputEventSourceUserData();
    EXPECT_EQ(first & 1, 1); // odd, so never 0
    ASSERT_TRUE(constants::initialize()); // a second launch draws again
    EXPECT_EQ(constants::syntheticInputEventSourceUserData() & 1, 1);
    EXPECT_NE(constants::syntheticInputEventSourceUserData(), first);
}

TEST(Constants, ValuesAndForms)
{
    EXPECT_EQ(constants::singleInstanceShowPanelNotification, "ai.tovrik.mac.show-panel");
    EXPECT_EQ(constants::macOSUpdateManifestPaths.first(), "/api/downloads/macos/latest");
    EXPECT_EQ(constants::macOSUpdateManifestPaths.size(), 2);
    EXPECT_EQ(constants::trustedHostedWorkerHosts().size(), 3);
    for (const auto& host : constants::trustedHostedWorkerHosts())
        EXPECT_EQ(host, host.toLower());
    EXPECT_TRUE(constants::defaultHostedWorkerBaseURL().startsWith("https://"));
    EXPECT_FALSE(constants::defaultHostedWorkerBaseURL().endsWith('/'));
    EXPECT_EQ(constants::hostedAccountPageURL(), constants::defaultHostedWorkerBaseURL() + "/account#price-cards");
    const QString team = constants::macOSDeveloperTeamIdentifier();
    EXPECT_EQ(team.size(), 10);
    for (QChar c : team)
        EXPECT_TRUE(c.isDigit() || (c.isUpper() && c.isLetter()));
    ASSERT_EQ(constants::elevenLabsVoiceOptions().size(), 6);
    EXPECT_EQ(constants::elevenLabsVoiceOptions().first().id, constants::defaultElevenLabsVoiceID);
    EXPECT_EQ(constants::elevenLabsVoiceOptions()[4].category, "Unisex");
    EXPECT_EQ(constants::turquoiseAccent(), QColor(47, 125, 246));
    EXPECT_EQ(constants::panelSurface(), QColor(32, 32, 32));
    EXPECT_EQ(constants::readyPanelWidth, 320);
}

TEST(Errors, DescribeAndCancellation)
{
    const auto e = std::make_exception_ptr(TovrikError("TovrikPointing", 3, "no point"));
    EXPECT_EQ(describeException(e), "no point");
    EXPECT_FALSE(isCancellation(e));
    EXPECT_TRUE(isCancellation(std::make_exception_ptr(CancellationError())));
    EXPECT_EQ(describeException(std::make_exception_ptr(std::runtime_error("boom"))), "boom");
}

class ClockTest : public SimTest {};

TEST_F(ClockTest, VirtualClockFiresInOrderAndHonoursCancelAndContext)
{
    QStringList fired;
    auto* context = new QObject;
    clock.schedule(0.5, nullptr, [&] { fired << "b"; });
    clock.schedule(0.2, nullptr, [&] { fired << "a"; });
    const auto cancelled = clock.schedule(0.3, nullptr, [&] { fired << "x"; });
    clock.schedule(0.4, context, [&] { fired << "gone"; });
    clock.cancel(cancelled);
    delete context;
    clock.advance(0.3);
    EXPECT_EQ(fired, QStringList{"a"});
    clock.advance(1.0);
    EXPECT_EQ(fired, (QStringList{"a", "b"}));
    // Negative and non-finite delays fire at once.
    clock.schedule(-3, nullptr, [&] { fired << "neg"; });
    clock.schedule(std::nan(""), nullptr, [&] { fired << "nan"; });
    clock.advance(0);
    EXPECT_EQ(fired.size(), 4);
}

TEST_F(ClockTest, RepeatingClockTimer)
{
    ClockTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &ClockTimer::timeout, [&] { ++ticks; });
    timer.start(0.12);
    clock.advance(0.5);
    timer.stop();
    clock.advance(1.0);
    EXPECT_EQ(ticks, 4);

    // On millisecond timers that fire late, a 60 Hz timer still ticks 60
    // times a second: each tick is due a fixed interval after the last was
    // due, not after it ran.
    tovrik::test::CoarseClock coarse(clock);
    Clock::install(&coarse);
    ticks = 0;
    timer.start(1.0 / 60.0);
    clock.advance(1.0 + 0.001);
    timer.stop();
    Clock::install(&clock);
    EXPECT_EQ(ticks, 60);
}

TEST_F(ClockTest, SystemClockWaitsOutDelaysLongerThanAnIntOfMilliseconds)
{
    Clock::install(nullptr);
    EXPECT_EQ(SystemClock::timerMilliseconds(1.0 / 60.0), 17);
    EXPECT_EQ(SystemClock::timerMilliseconds(30.0 * 86400), 86400000);
    // 2^32 ms + 20 ms: a plain int cast wraps this to 20 ms.
    bool fired = false;
    const auto id = Clock::instance().schedule(4294967.316, nullptr, [&] { fired = true; });
    tovrik::test::spinUntil([&] { return fired; }, 150);
    EXPECT_FALSE(fired);
    Clock::instance().cancel(id);
    // Short delays still fire.
    Clock::instance().schedule(0.005, nullptr, [&] { fired = true; });
    EXPECT_TRUE(tovrik::test::spinUntil([&] { return fired; }));
    Clock::install(&clock);
}

namespace {
QCoro::Task<void> sleeper(double seconds, CancellationToken token, std::shared_ptr<QString> result)
{
    try {
        co_await sleepFor(seconds, token);
        *result = "woke";
    } catch (const CancellationError&) {
        *result = "cancelled";
    }
}
} // namespace

TEST_F(ClockTest, SleepWakesOnTimeOrAtOnceOnCancel)
{
    for (const bool cancel : {false, true}) {
        auto result = std::make_shared<QString>();
        auto handle = startTask([result](CancellationToken t) { return sleeper(600, t, result); });
        advance(599.9, 10);
        EXPECT_TRUE(result->isEmpty() && !handle.isFinished());
        if (cancel)
            handle.cancel();
        else
            advance(0.2);
        tovrik::test::drainEvents();
        EXPECT_EQ(*result, cancel ? "cancelled" : "woke");
        EXPECT_TRUE(handle.isFinished());
        EXPECT_EQ(clock.pendingCount(), 0u);
    }

    // A token cancelled before the sleep throws without waiting.
    CancellationSource source;
    source.cancel();
    auto c = std::make_shared<QString>();
    startTask([c, tok = source.token()](CancellationToken) { return sleeper(5, tok, c); });
    tovrik::test::drainEvents();
    EXPECT_EQ(*c, "cancelled");
}
