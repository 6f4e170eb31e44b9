#include "support/SimFixture.h"

#include <QThread>

namespace tovrik::test {

bool spinUntil(const std::function<bool()>& done, int timeoutMs)
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

void drainEvents()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void SimTest::SetUp()
{
    sim = &platform::sim::SimPlatform::install();
    Clock::install(&clock);
}

void SimTest::TearDown()
{
    drainEvents();
    // What a returning event loop does: the objects handed to deleteLater()
    // (a dropped model's network services, spent timers) go now, while this
    // test's clock and platform still stand.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Clock::install(nullptr);
}

void SimTest::advance(double seconds, double step)
{
    double left = seconds;
    while (left > 1e-12) {
        const double s = std::min(step, left);
        clock.advance(s);
        left -= s;
        drainEvents();
    }
}

} // namespace tovrik::test
