#include "common/Clock.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace tovrik {

namespace {
Clock* g_installed = nullptr;

double clampDelay(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return 0;
    return seconds;
}
} // namespace

Clock& Clock::instance()
{
    static SystemClock systemClock;
    return g_installed ? *g_installed : systemClock;
}

void Clock::install(Clock* clock) { g_installed = clock; }

struct SystemClock::Impl {
    QElapsedTimer elapsed;
    quint64 nextId = 1;
    QHash<quint64, QPointer<QTimer>> timers;
};

SystemClock::SystemClock() : d(std::make_shared<Impl>()) { d->elapsed.start(); }

double SystemClock::now() const { return d->elapsed.nsecsElapsed() / 1e9; }

quint64 SystemClock::schedule(double seconds, QObject* context, std::function<void()> fn)
{
    const quint64 id = d->nextId++;
    auto* timer = new QTimer();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    if (context)
        QObject::connect(context, &QObject::destroyed, timer, &QObject::deleteLater);
    std::weak_ptr<Impl> weak = d;
    QPointer<QObject> guard(context);
    const bool hasContext = context != nullptr;
    QObject::connect(timer, &QTimer::timeout, timer, [weak, id, timer, guard, hasContext, fn = std::move(fn)]() {
        if (auto impl = weak.lock())
            impl->timers.remove(id);
        timer->deleteLater();
        if (hasContext && !guard)
            return;
        fn();
    });
    d->timers.insert(id, timer);
    timer->start(int(std::llround(clampDelay(seconds) * 1000.0)));
    return id;
}

void SystemClock::cancel(quint64 id)
{
    if (auto timer = d->timers.take(id)) {
        timer->stop();
        timer->deleteLater();
    }
}

quint64 VirtualClock::schedule(double seconds, QObject* context, std::function<void()> fn)
{
    const quint64 id = m_nextId++;
    m_entries.push_back({id, m_now + clampDelay(seconds), QPointer<QObject>(context), context != nullptr, std::move(fn)});
    return id;
}

void VirtualClock::cancel(quint64 id)
{
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(), [id](const Entry& e) { return e.id == id; }),
                    m_entries.end());
}

void VirtualClock::advance(double seconds)
{
    const double end = m_now + clampDelay(seconds);
    for (;;) {
        auto next = std::min_element(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) {
            return a.due < b.due || (a.due == b.due && a.id < b.id);
        });
        if (next == m_entries.end() || next->due > end + 1e-12)
            break;
        Entry entry = std::move(*next);
        m_entries.erase(next);
        m_now = std::max(m_now, entry.due);
        if (entry.hasContext && !entry.context)
            continue;
        entry.fn();
    }
    m_now = end;
}

ClockTimer::ClockTimer(QObject* parent) : QObject(parent) {}

ClockTimer::~ClockTimer() { stop(); }

void ClockTimer::start(double intervalSeconds, bool repeating)
{
    stop();
    m_interval = clampDelay(intervalSeconds);
    m_repeating = repeating;
    arm();
}

void ClockTimer::stop()
{
    if (m_id != 0) {
        Clock::instance().cancel(m_id);
        m_id = 0;
    }
}

void ClockTimer::arm()
{
    m_id = Clock::instance().schedule(m_interval, this, [this]() {
        m_id = 0;
        if (m_repeating)
            arm();
        emit timeout();
    });
}

} // namespace tovrik
