#include "common/Spring.h"

#include <cmath>
#include <numbers>

namespace tovrik {

namespace {
// A spring counts as settled once it is this close to its target and this
// slow; below that nothing visible moves any more.
constexpr double settleDistance = 1e-3;
constexpr double settleSpeed = 1e-2;
} // namespace

double SpringParameters::angularFrequency() const { return 2 * std::numbers::pi / response; }

double SpringParameters::stiffness() const
{
    const double w = angularFrequency();
    return w * w;
}

double SpringParameters::damping() const { return 4 * std::numbers::pi * dampingFraction / response; }

void advanceSpring(const SpringParameters& spring, double dt, double& x, double& v)
{
    if (!(dt > 0) || !std::isfinite(dt))
        return;
    if (!(spring.response > 0)) {
        // A zero response is an instant change.
        x = 0;
        v = 0;
        return;
    }
    const double w0 = spring.angularFrequency();
    const double zeta = std::max(spring.dampingFraction, 0.0);
    const double x0 = x;
    const double v0 = v;
    if (zeta < 1) {
        const double wd = w0 * std::sqrt(1 - zeta * zeta);
        const double decay = std::exp(-zeta * w0 * dt);
        const double a = x0;
        const double b = (v0 + zeta * w0 * x0) / wd;
        const double c = std::cos(wd * dt);
        const double s = std::sin(wd * dt);
        x = decay * (a * c + b * s);
        v = decay * ((b * wd - zeta * w0 * a) * c - (a * wd + zeta * w0 * b) * s);
    } else if (zeta == 1) {
        const double decay = std::exp(-w0 * dt);
        const double b = v0 + w0 * x0;
        x = (x0 + b * dt) * decay;
        v = (b - w0 * (x0 + b * dt)) * decay;
    } else {
        const double root = w0 * std::sqrt(zeta * zeta - 1);
        const double r1 = -zeta * w0 + root;
        const double r2 = -zeta * w0 - root;
        const double c2 = (v0 - r1 * x0) / (r2 - r1);
        const double c1 = x0 - c2;
        const double e1 = std::exp(r1 * dt);
        const double e2 = std::exp(r2 * dt);
        x = c1 * e1 + c2 * e2;
        v = c1 * r1 * e1 + c2 * r2 * e2;
    }
}

void AnimatedScalar::jump(double value)
{
    m_mode = Mode::Idle;
    m_value = value;
    m_target = value;
    m_velocity = 0;
}

void AnimatedScalar::springTo(double target, const SpringParameters& spring, double now)
{
    if (m_mode == Mode::Tween) {
        // Take over from a tween where it stands, at rest.
        advance(now);
        m_velocity = 0;
    } else if (m_mode == Mode::Spring) {
        advance(now);
    } else {
        m_velocity = 0;
    }
    m_target = target;
    m_spring = spring;
    m_time = now;
    m_mode = (m_value == target && m_velocity == 0) ? Mode::Idle : Mode::Spring;
}

void AnimatedScalar::tweenTo(double target, EasingCurve curve, double duration, double now)
{
    if (m_mode != Mode::Idle)
        advance(now);
    m_target = target;
    m_velocity = 0;
    if (!(duration > 0) || m_value == target) {
        m_value = target;
        m_mode = Mode::Idle;
        return;
    }
    m_from = m_value;
    m_start = now;
    m_duration = duration;
    m_curve = curve;
    m_time = now;
    m_mode = Mode::Tween;
}

bool AnimatedScalar::advance(double now)
{
    const double before = m_value;
    switch (m_mode) {
    case Mode::Idle:
        return false;
    case Mode::Spring: {
        double x = m_value - m_target;
        advanceSpring(m_spring, now - m_time, x, m_velocity);
        m_time = std::max(m_time, now);
        m_value = m_target + x;
        if (std::fabs(x) < settleDistance && std::fabs(m_velocity) < settleSpeed) {
            m_value = m_target;
            m_velocity = 0;
            m_mode = Mode::Idle;
        }
        break;
    }
    case Mode::Tween: {
        const double t = (now - m_start) / m_duration;
        if (t >= 1) {
            m_value = m_target;
            m_mode = Mode::Idle;
        } else {
            m_value = m_from + (m_target - m_from) * easedProgress(m_curve, t);
        }
        m_time = std::max(m_time, now);
        break;
    }
    }
    return m_value != before;
}

void AnimatedPoint::jump(QPointF p)
{
    m_x.jump(p.x());
    m_y.jump(p.y());
}

void AnimatedPoint::springTo(QPointF target, const SpringParameters& spring, double now)
{
    m_x.springTo(target.x(), spring, now);
    m_y.springTo(target.y(), spring, now);
}

void AnimatedPoint::tweenTo(QPointF target, EasingCurve curve, double duration, double now)
{
    m_x.tweenTo(target.x(), curve, duration, now);
    m_y.tweenTo(target.y(), curve, duration, now);
}

bool AnimatedPoint::advance(double now)
{
    const bool a = m_x.advance(now);
    const bool b = m_y.advance(now);
    return a || b;
}

} // namespace tovrik
