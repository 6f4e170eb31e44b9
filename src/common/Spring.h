#pragma once

// Animated values for the views: springs described by a response (seconds)
// and a damping fraction, and timed tweens along an easing curve. A value
// is stepped to an absolute time (seconds on tovrik::Clock), so the same
// animation gives the same numbers whatever the frame rate, and tests step
// it by hand.
//
// Spring model (unit mass): stiffness k = (2π / response)², damping
// c = 4π × dampingFraction / response; a damping fraction of 1 is critical,
// below 1 the value overshoots and rings.

#include "common/Easing.h"

#include <QPointF>

namespace tovrik {

struct SpringParameters {
    double response = 0.55;
    double dampingFraction = 0.825;

    double stiffness() const;
    double damping() const;
    double angularFrequency() const; // 2π / response
};

// Moves (displacement from the target, velocity) forward by dt seconds along
// the exact solution of the damped spring. Non-positive or non-finite dt
// leaves the state unchanged.
void advanceSpring(const SpringParameters& spring, double dt, double& displacement, double& velocity);

// One animated number.
class AnimatedScalar {
public:
    AnimatedScalar() = default;
    explicit AnimatedScalar(double value) : m_value(value), m_target(value) {}

    // The value shown at `now` after the last advance.
    double value() const { return m_value; }
    double target() const { return m_target; }
    double velocity() const { return m_velocity; }
    bool isAnimating() const { return m_mode != Mode::Idle; }

    // Sets the value at once; any running animation stops.
    void jump(double value);
    // Springs from the current value (and velocity) to `target`; a running
    // spring keeps its velocity when retargeted.
    void springTo(double target, const SpringParameters& spring, double now);
    // Tweens from the current value to `target` over `duration` seconds.
    void tweenTo(double target, EasingCurve curve, double duration, double now);
    // Steps the animation to the absolute time `now`; returns whether the
    // shown value changed.
    bool advance(double now);

private:
    enum class Mode { Idle, Spring, Tween };
    Mode m_mode = Mode::Idle;
    double m_value = 0;
    double m_target = 0;
    double m_velocity = 0;
    double m_time = 0;
    SpringParameters m_spring;
    // Tween.
    double m_from = 0;
    double m_start = 0;
    double m_duration = 0;
    EasingCurve m_curve = EasingCurve::Linear;
};

// Two animated numbers moved together.
class AnimatedPoint {
public:
    AnimatedPoint() = default;
    explicit AnimatedPoint(QPointF p) : m_x(p.x()), m_y(p.y()) {}

    QPointF value() const { return {m_x.value(), m_y.value()}; }
    QPointF target() const { return {m_x.target(), m_y.target()}; }
    bool isAnimating() const { return m_x.isAnimating() || m_y.isAnimating(); }
    void jump(QPointF p);
    void springTo(QPointF target, const SpringParameters& spring, double now);
    void tweenTo(QPointF target, EasingCurve curve, double duration, double now);
    bool advance(double now);

private:
    AnimatedScalar m_x;
    AnimatedScalar m_y;
};

} // namespace tovrik
