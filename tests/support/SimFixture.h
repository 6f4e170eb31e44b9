#pragma once

// Base fixture for tests on the sim backend: a fresh SimPlatform and a
// VirtualClock per test, and helpers to let queued main-thread work run.

#include "common/Clock.h"
#include "platform/sim/SimPlatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <gtest/gtest.h>
#include <cmath>
#include <functional>

namespace tovrik::test {

// Runs queued events until `done` holds or `timeoutMs` of real time passed.
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents();
        if (!done())
            QThread::msleep(1);
    }
    return true;
}

// Runs the events that are queued right now (a few rounds).
inline void drainEvents()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

// A virtual clock that runs callbacks the way real timers do: each delay
// rounded to whole milliseconds and every callback `latency` seconds late.
class CoarseClock final : public Clock {
public:
    explicit CoarseClock(VirtualClock& inner, double latency = 0.0007) : m_inner(inner), m_latency(latency) {}
    double now() const override { return m_inner.now(); }
    quint64 schedule(double seconds, QObject* context, std::function<void()> fn) override
    {
        const double ms = std::round(std::max(seconds, 0.0) * 1000.0);
        return m_inner.schedule(ms / 1000.0 + m_latency, context, std::move(fn));
    }
    void cancel(quint64 id) override { m_inner.cancel(id); }

private:
    VirtualClock& m_inner;
    double m_latency;
};

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = &platform::sim::SimPlatform::install();
        Clock::install(&clock);
    }
    void TearDown() override
    {
        drainEvents();
        // What a returning event loop does: the objects handed to
        // deleteLater() (a dropped model's network services, spent timers)
        // go now, while this test's clock and platform still stand.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Clock::install(nullptr);
    }
    // Advances the virtual clock, draining queued events between steps so
    // that main-thread hops land in order.
    void advance(double seconds, double step = 0.01)
    {
        for (double left = seconds; left > 1e-12; left -= step) {
            clock.advance(std::min(step, left));
            drainEvents();
        }
    }

    platform::sim::SimPlatform* sim = nullptr;
    VirtualClock clock;
};

} // namespace tovrik::test
