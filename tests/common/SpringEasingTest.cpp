#include "common/Easing.h"
#include "common/Spring.h"

#include <gtest/gtest.h>
#include <cmath>
#include <numbers>
#include <tuple>

using namespace tovrik;

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

