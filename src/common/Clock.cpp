#include "common/Clock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimerEvent>
#include <QHash>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

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

// Timers of the main thread are Qt timers of one object: arming one is a
// timer registration, with nothing allocated but the callback's entry (60 Hz
// tickers arm one per frame). A call from another thread gets a QTimer of
// its own, which lives and fires in that thread.
class SystemClock::Dispatcher : public QObject {
public:
    struct Entry {
        int timerId = 0;
        double due = 0;
        QPointer<QObject> guard;
        bool hasContext = false;
        QMetaObject::Connection onContextGone;
        std::function<void()> fn;
    };

    static constexpr double kWatchContextBeyond = 1.0;

    explicit Dispatcher(const QElapsedTimer& elapsed) : m_elapsed(elapsed) {}

    void add(quint64 id, double seconds, QObject* context, std::function<void()> fn)
    {
        Entry entry;
        entry.due = now() + clampDelay(seconds);
        entry.guard = context;
        entry.hasContext = context != nullptr;
        // A long wait of a context that goes is dropped with it, not held
        // until it would have been due; a short one (a frame) is let run
        // out, which is cheaper than watching its context.
        if (context && seconds > kWatchContextBeyond)
            entry.onContextGone = QObject::connect(context, &QObject::destroyed, this, [this, id] { remove(id); });
        entry.fn = std::move(fn);
        entry.timerId = startTimer(timerMilliseconds(seconds), Qt::PreciseTimer);
        m_byTimer.insert(entry.timerId, id);
        m_entries.emplace(id, std::move(entry));
    }

    bool remove(quint64 id)
    {
        auto it = m_entries.find(id);
        if (it == m_entries.end())
            return false;
        killTimer(it->second.timerId);
        m_byTimer.remove(it->second.timerId);
        QObject::disconnect(it->second.onContextGone);
        m_entries.erase(it);
        return true;
    }

protected:
    void timerEvent(QTimerEvent* event) override
    {
        const int timerId = event->timerId();
        killTimer(timerId);
        const auto byTimer = m_byTimer.find(timerId);
        if (byTimer == m_byTimer.end())
            return;
        const quint64 id = *byTimer;
        m_byTimer.erase(byTimer);
        auto it = m_entries.find(id);
        if (it == m_entries.end())
            return;
        // A wait longer than one Qt timer can hold: wait on.
        const double left = it->second.due - now();
        if (left > 0.0005) {
            it->second.timerId = startTimer(timerMilliseconds(left), Qt::PreciseTimer);
            m_byTimer.insert(it->second.timerId, id);
            return;
        }
        Entry entry = std::move(it->second);
        m_entries.erase(it);
        QObject::disconnect(entry.onContextGone);
        if (entry.hasContext && !entry.guard)
            return;
        entry.fn();
    }

private:
    double now() const { return m_elapsed.nsecsElapsed() / 1e9; }

    const QElapsedTimer& m_elapsed;
    std::unordered_map<quint64, Entry> m_entries;
    QHash<int, quint64> m_byTimer;
};

struct SystemClock::Impl {
    QElapsedTimer elapsed;
    std::atomic<quint64> nextId = 1;
    // The main thread's timers, made there when first needed.
    std::unique_ptr<Dispatcher> dispatcher;
    // Timers armed from other threads.
    std::mutex mutex;
    QHash<quint64, QPointer<QTimer>> timers;
};

namespace {
// The clocks whose main-thread dispatcher the application's end releases.
std::vector<std::weak_ptr<SystemClock::Impl>>& pendingDispatchers()
{
    static std::vector<std::weak_ptr<SystemClock::Impl>> clocks;
    return clocks;
}
} // namespace

// Qt timers take whole milliseconds in an int: a delay is rounded to the
// nearest millisecond (so fixed-rate callers average out exactly), and one
// longer than a day runs as a chain of day-long waits toward its due time.
int SystemClock::timerMilliseconds(double seconds)
{
    constexpr double day = 86400.0;
    return int(std::llround(std::min(clampDelay(seconds), day) * 1000.0));
}

SystemClock::SystemClock() : d(std::make_shared<Impl>()) { d->elapsed.start(); }

SystemClock::~SystemClock() = default;

double SystemClock::now() const { return d->elapsed.nsecsElapsed() / 1e9; }

SystemClock::Dispatcher* SystemClock::mainThreadDispatcher()
{
    auto* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return nullptr;
    if (!d->dispatcher) {
        d->dispatcher = std::make_unique<Dispatcher>(d->elapsed);
        // The timers go with the application (callbacks still pending then
        // would never run); a later application gets a dispatcher anew.
        pendingDispatchers().push_back(d);
        qAddPostRoutine([] {
            for (const auto& weak : std::exchange(pendingDispatchers(), {}))
                if (auto impl = weak.lock())
                    impl->dispatcher.reset();
        });
    }
    return d->dispatcher.get();
}

quint64 SystemClock::schedule(double seconds, QObject* context, std::function<void()> fn)
{
    const quint64 id = d->nextId++;
    if (Dispatcher* dispatcher = mainThreadDispatcher()) {
        dispatcher->add(id, seconds, context, std::move(fn));
        return id;
    }
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
                         if (impl) {
                             std::lock_guard lock(impl->mutex);
                             impl->timers.remove(id);
                         }
                         timer->deleteLater();
                         if (hasContext && !guard)
                             return;
                         fn();
                     });
    {
        std::lock_guard lock(d->mutex);
        d->timers.insert(id, timer);
    }
    timer->start(timerMilliseconds(seconds));
    return id;
}

void SystemClock::cancel(quint64 id)
{
    if (d->dispatcher && QThread::currentThread() == d->dispatcher->thread() && d->dispatcher->remove(id))
        return;
    QPointer<QTimer> timer;
    {
        std::lock_guard lock(d->mutex);
        timer = d->timers.take(id);
    }
    if (timer) {
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
