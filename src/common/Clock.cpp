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

// Qt timers take whole milliseconds in an int: a delay is rounded to the
// nearest millisecond (so fixed-rate callers average out exactly), and one
// longer than a day runs as a chain of day-long waits toward its due time.
int SystemClock::timerMilliseconds(double seconds)
{
    constexpr double day = 86400.0;
    return int(std::llround(std::min(clampDelay(seconds), day) * 1000.0));
}

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
    const double due = now() + clampDelay(seconds);
    QObject::connect(timer, &QTimer::timeout, timer,
                     [weak, id, timer, guard, hasContext, due, fn = std::move(fn)]() {
                         auto impl = weak.lock();
                         // A wait longer than one Qt timer can hold: wait on.
                         if (impl && due - impl->elapsed.nsecsElapsed() / 1e9 > 0.0005) {
                             timer->start(timerMilliseconds(due - impl->elapsed.nsecsElapsed() / 1e9));
                             return;
                         }
                         if (impl)
                             impl->timers.remove(id);
                         timer->deleteLater();
                         if (hasContext && !guard)
                             return;
                         fn();
                     });
    d->timers.insert(id, timer);
    timer->start(timerMilliseconds(seconds));
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
    m_due = Clock::instance().now() + m_interval;
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
    Clock& clock = Clock::instance();
    m_id = clock.schedule(m_due - clock.now(), this, [this]() {
        m_id = 0;
        if (m_repeating) {
            // Fixed rate: the next tick is due one interval after this one
            // was due, not after it ran, so late ticks do not add up; ticks
            // missed entirely (a stalled loop) are skipped, not bunched.
            const double now = Clock::instance().now();
            m_due += m_interval;
            if (m_interval > 0 && m_due <= now)
                m_due += std::ceil((now - m_due) / m_interval + 1e-9) * m_interval;
            else if (m_interval <= 0)
                m_due = now;
            arm();
        }
        emit timeout();
    });
}

} // namespace tovrik
