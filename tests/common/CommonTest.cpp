#include "common/Constants.h"
#include "common/Easing.h"
#include "common/Error.h"
#include "common/Spring.h"
#include "common/Task.h"
#include "common/TextLines.h"
#include "support/SimFixture.h"

#include <QCoreApplication>
#include <QWidget>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <cmath>
#include <numbers>
#include <tuple>

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
    EXPECT_EQ(constants::linuxUpdateManifestPaths,
              (QStringList{"/api/downloads/linux/latest", "/downloads/linux-latest.json"}));
    EXPECT_EQ(constants::linuxUpdatePlatform, "linux");
    EXPECT_EQ(constants::trustedHostedWorkerHosts().size(), 3);
    for (const auto& host : constants::trustedHostedWorkerHosts())
        EXPECT_EQ(host, host.toLower());
    EXPECT_TRUE(constants::defaultHostedWorkerBaseURL().startsWith("https://"));
    EXPECT_FALSE(constants::defaultHostedWorkerBaseURL().endsWith('/'));
    EXPECT_EQ(constants::hostedAccountPageURL(), constants::defaultHostedWorkerBaseURL() + "/account#price-cards");
    EXPECT_TRUE(QRegularExpression("^[0-9A-Z]{10}$").match(constants::macOSDeveloperTeamIdentifier()).hasMatch());
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
    // Timers of one interval on the grid tick at the same moments, whenever
    // each was started, the first within one interval.
    ClockTimer first, second;
    QList<double> firstTicks, secondTicks;
    QObject::connect(&first, &ClockTimer::timeout, [&] { firstTicks << clock.now(); });
    QObject::connect(&second, &ClockTimer::timeout, [&] { secondTicks << clock.now(); });
    first.startOnGrid(1.0 / 60.0);
    clock.advance(0.007);
    second.startOnGrid(1.0 / 60.0);
    clock.advance(0.1);
    ASSERT_EQ(firstTicks.size(), 6);
    EXPECT_LT(firstTicks.first() - (clock.now() - 0.107), 1.0 / 60.0);
    EXPECT_EQ(secondTicks, firstTicks.mid(firstTicks.size() - secondTicks.size()));
    EXPECT_GE(secondTicks.size(), 5);
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

// On the real clock: a callback whose context goes never runs, a cancelled
// one never runs, and one armed
// from inside another's callback still fires.
TEST_F(ClockTest, SystemClockDropsCallbacksOfGoneContextsAndCancelledOnes)
{
    Clock::install(nullptr);
    Clock& c = Clock::instance();
    QStringList fired;
    auto* context = new QObject;
    c.schedule(0.01, context, [&] { fired << "gone"; });
    delete context;
    const auto cancelled = c.schedule(0.01, nullptr, [&] { fired << "cancelled"; });
    c.cancel(cancelled);
    c.schedule(0.02, nullptr, [&] {
        fired << "first";
        c.schedule(0, nullptr, [&] { fired << "second"; });
    });
    EXPECT_TRUE(tovrik::test::spinUntil([&] { return fired.contains("second"); }));
    tovrik::test::spinUntil([] { return false; }, 50);
    EXPECT_EQ(fired, (QStringList{"first", "second"}));
    // A zero wait armed again from its own callback does not keep the event
    // loop from other events: each arming waits for a later pass.
    int chain = 0, seenAt = -1;
    std::function<void()> again = [&] {
        if (++chain == 1)
            QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { seenAt = chain; }, Qt::QueuedConnection);
        if (chain < 1000)
            c.schedule(0, nullptr, again);
    };
    c.schedule(0, nullptr, again);
    EXPECT_TRUE(tovrik::test::spinUntil([&] { return chain == 1000; }));
    EXPECT_GE(seenAt, 0);
    EXPECT_LT(seenAt, 10) << "the chain ran on without letting the queued call in";
    Clock::install(&clock);
}

// A window a clock callback marks for repainting is painted before that
// pass of the clock returns to the event loop (an animation frame costs one
// wake-up, not two): before a call the callback queued runs.
TEST_F(ClockTest, SystemClockPaintsWhatItsCallbacksMarkedInTheSamePass)
{
    struct Counted : QWidget {
        int paints = 0;
        void paintEvent(QPaintEvent*) override { ++paints; }
    } window;
    window.resize(40, 40);
    window.show();
    ASSERT_TRUE(tovrik::test::spinUntil([&] { return window.paints > 0; }));
    Clock::install(nullptr);
    int before = -1, seen = -1;
    Clock::instance().schedule(0.005, nullptr, [&] {
        before = window.paints;
        window.update();
        QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { seen = window.paints; }, Qt::QueuedConnection);
    });
    EXPECT_TRUE(tovrik::test::spinUntil([&] { return seen >= 0; }));
    EXPECT_EQ(seen, before + 1);
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

TEST(SpringParameters, StiffnessAndDampingFollowResponseAndFractionAndTheClosedFormMatchesIntegration)
{
    const SpringParameters s{0.2, 0.6};
    EXPECT_NEAR(s.stiffness(), std::pow(2 * std::numbers::pi / 0.2, 2), 1e-9);
    EXPECT_NEAR(s.damping(), 4 * std::numbers::pi * 0.6 / 0.2, 1e-12);
    // Critical damping of a unit mass is 2√k: a fraction of 1 is exactly that.
    const SpringParameters critical{0.3, 1.0};
    EXPECT_NEAR(critical.damping(), 2 * std::sqrt(critical.stiffness()), 1e-9);
    // The closed-form step agrees with a fine numeric integration of
    // x'' = −k x − c v for under-, critically and over-damped springs.
    for (double zeta : {0.3, 0.6, 0.82, 1.0, 1.7}) {
        const SpringParameters s{0.2, zeta};
        double x = 100, v = -40;
        advanceSpring(s, 0.13, x, v);
        double xi = 100, vi = -40;
        const double h = 1e-6;
        for (int i = 0; i < 130000; ++i) {
            const double a = -s.stiffness() * xi - s.damping() * vi;
            vi += a * h;
            xi += vi * h;
        }
        EXPECT_NEAR(x, xi, 0.01) << zeta;
        EXPECT_NEAR(v, vi, 0.2) << zeta;
    }
}

TEST(AnimatedScalarSpring, SettlesAndOvershootsAsDampedAndRetargetingKeepsVelocity)
{
    AnimatedScalar value(0);
    value.springTo(100, {0.2, 0.6}, 0);
    double peak = 0;
    for (int i = 1; i <= 30; ++i) {
        value.advance(i / 60.0);
        peak = std::max(peak, value.value());
    }
    // A fraction of 0.6 overshoots by e^(−πζ/√(1−ζ²)) ≈ 9.5 %.
    EXPECT_NEAR(peak, 109.5, 0.6);
    // Within 1 % after 0.3 s.
    value.advance(0.3);
    EXPECT_NEAR(value.value(), 100, 1.0);
    value.advance(2.0);
    EXPECT_FALSE(value.isAnimating());
    EXPECT_EQ(value.value(), 100);
    // Retargeting keeps the velocity.
    AnimatedScalar a(0);
    a.springTo(100, {0.2, 0.6}, 0);
    a.advance(0.05);
    const double v = a.velocity();
    ASSERT_GT(v, 0);
    a.springTo(50, {0.2, 0.6}, 0.05);
    EXPECT_DOUBLE_EQ(a.velocity(), v);
    // Starting from rest instead moves less in the next instant.
    AnimatedScalar b(a.value());
    b.springTo(50, {0.2, 0.6}, 0.05);
    a.advance(0.06);
    b.advance(0.06);
    EXPECT_GT(a.value(), b.value());
}

TEST(AnimatedScalarTween, FollowsItsCurveAndEndsExactly)
{
    AnimatedScalar a(10);
    a.tweenTo(20, EasingCurve::Linear, 0.08, 5.0);
    a.advance(5.04);
    EXPECT_NEAR(a.value(), 15, 1e-9);
    a.advance(5.08);
    EXPECT_EQ(a.value(), 20);
    EXPECT_FALSE(a.isAnimating());
    // A jump stops a running tween.
    a.tweenTo(0, EasingCurve::EaseInOut, 1, 6);
    a.jump(3);
    EXPECT_FALSE(a.advance(7));
    EXPECT_EQ(a.value(), 3);
}

TEST(Easing, NamedCurvesAreTheirCubicBeziers)
{
    for (double t : {0.1, 0.25, 0.5, 0.8}) {
        EXPECT_NEAR(easedProgress(EasingCurve::EaseIn, t), cubicBezierTiming(0.42, 0, 1, 1, t), 1e-12);
        EXPECT_NEAR(easedProgress(EasingCurve::Linear, t), t, 1e-12);
    }
    // Symmetric ease-in-out passes through the middle.
    EXPECT_NEAR(easedProgress(EasingCurve::EaseInOut, 0.5), 0.5, 1e-9);
    EXPECT_NEAR(easedProgress(EasingCurve::EaseInOut, 0.2) + easedProgress(EasingCurve::EaseInOut, 0.8), 1, 1e-9);
    // Ease-in starts slow, ease-out starts fast, and they mirror each other.
    EXPECT_LT(easedProgress(EasingCurve::EaseIn, 0.3), 0.3);
    EXPECT_GT(easedProgress(EasingCurve::EaseOut, 0.3), 0.3);
    EXPECT_NEAR(easedProgress(EasingCurve::EaseIn, 0.3), 1 - easedProgress(EasingCurve::EaseOut, 0.7), 1e-9);
    // Known value of the ease-in-out curve: x(s)=t solved by hand at s = 0.25.
    const double s = 0.25;
    const double x = 3 * 0.75 * 0.75 * s * 0.42 + 3 * 0.75 * s * s * 0.58 + s * s * s;
    const double y = 3 * 0.75 * s * s + s * s * s;
    EXPECT_NEAR(easedProgress(EasingCurve::EaseInOut, x), y, 1e-9);
    EXPECT_EQ(std::tuple(easedProgress(EasingCurve::EaseOut, -2), easedProgress(EasingCurve::EaseOut, 3),
                         easedProgress(EasingCurve::EaseIn, std::nan(""))),
              std::tuple(0.0, 1.0, 0.0));
}


TEST(TextCuts, CountAndCutByUserPerceivedCharacters)
{
    const QString thumbs = QStringLiteral("\U0001F44D\U0001F3FD");             // thumbs up with a skin tone
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467"); // one joined emoji
    const QString flag = QStringLiteral("\U0001F1EB\U0001F1F7");
    const QString accented = QStringLiteral("e\u0301");
    struct Cut {
        QString text;
        int limit;
        QString kept;
    };
    const Cut cuts[] = {
        {QStringLiteral("abc") + thumbs + QStringLiteral("d"), 4, QStringLiteral("abc") + thumbs},
        {QStringLiteral("abc") + thumbs + QStringLiteral("d"), 3, QStringLiteral("abc")},
        {family + family, 1, family},
        {flag + flag + flag, 2, flag + flag},
        {accented.repeated(3), 2, accented.repeated(2)},
        {QStringLiteral("short"), 10, QStringLiteral("short")},
        {QStringLiteral("abc"), 0, QString()},
    };
    for (const Cut& c : cuts)
        EXPECT_EQ(prefixCharacters(c.text, c.limit), c.kept) << c.text.toStdString() << " / " << c.limit;
    for (const QString& each : {thumbs, family, flag, accented})
        EXPECT_EQ(characterCount(each + each + QStringLiteral("x") + each), 4) << each.toStdString();
    EXPECT_EQ(characterCount(QString()), 0);
}
