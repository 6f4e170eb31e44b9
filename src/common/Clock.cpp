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
#include <map>
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

// The main thread's callbacks wait in one queue behind one Qt timer, armed
// for the earliest: arming a frame allocates nothing but its entry (60 Hz
// tickers arm one per frame), and callbacks due together (tickers on one
// frame grid, ClockTimer::startOnGrid) run in one wake-up of the thread. A
// call from another thread gets a QTimer of its own, which lives and fires
// in that thread.
class SystemClock::Dispatcher : public QObject {
public:
    struct Entry {
        std::multimap<double, quint64>::iterator queued;
        QPointer<QObject> guard;
        bool hasContext = false;
        QMetaObject::Connection onContextGone;
        std::function<void()> fn;
    };

    static constexpr double kWatchContextBeyond = 1.0;
    // Qt timers count whole milliseconds: a callback due this close runs now.
    static constexpr double kDueTolerance = 0.0005;

    explicit Dispatcher(const QElapsedTimer& elapsed) : m_elapsed(elapsed) {}

    void add(quint64 id, double seconds, QObject* context, std::function<void()> fn)
    {
        Entry entry;
        entry.guard = context;
        entry.hasContext = context != nullptr;
        // A long wait of a context that goes is dropped with it, not held
        // until it would have been due; a short one (a frame) is let run
        // out, which is cheaper than watching its context.
        if (context && seconds > kWatchContextBeyond)
            entry.onContextGone = QObject::connect(context, &QObject::destroyed, this, [this, id] { remove(id); });
        entry.fn = std::move(fn);
        entry.queued = m_queue.emplace(now() + clampDelay(seconds), id);
        m_entries.emplace(id, std::move(entry));
        arm();
    }

    bool remove(quint64 id)
    {
        auto it = m_entries.find(id);
        if (it == m_entries.end())
            return false;
        if (it->second.queued != m_queue.end())
            m_queue.erase(it->second.queued);
        QObject::disconnect(it->second.onContextGone);
        m_entries.erase(it);
        // An earlier wake-up than needed finds nothing due and arms anew.
        if (m_queue.empty() && m_timerId) {
            killTimer(m_timerId);
            m_timerId = 0;
        }
        return true;
    }

protected:
    void timerEvent(QTimerEvent* event) override
    {
        if (event->timerId() != m_timerId)
            return;
        killTimer(m_timerId);
        m_timerId = 0;
        // Everything due now leaves the queue and runs in the order it is
        // due; a callback may cancel one still waiting its turn. What a
        // callback adds waits for a later pass of the event loop (a zero
        // wait armed again and again must not keep the loop from events),
        // for which the timer is armed as it is added (a callback may also
        // run a nested event loop).
        const double until = now() + kDueTolerance;
        std::vector<quint64> due;
        while (!m_queue.empty() && m_queue.begin()->first <= until) {
            due.push_back(m_queue.begin()->second);
            m_entries.at(due.back()).queued = m_queue.end();
            m_queue.erase(m_queue.begin());
        }
        for (const quint64 id : due) {
            auto it = m_entries.find(id);
            if (it == m_entries.end())
                continue;
            Entry entry = std::move(it->second);
            m_entries.erase(it);
            QObject::disconnect(entry.onContextGone);
            if (entry.hasContext && !entry.guard)
                continue;
            entry.fn();
        }
        arm();
        // Windows a callback marked for repainting (an animation's frame)
        // are painted now, in the pass that changed them, rather than by a
        // later pass of the event loop among whatever else it brings.
        if (!due.empty())
            QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    }

private:
    double now() const { return m_elapsed.nsecsElapsed() / 1e9; }

    // The Qt timer waits for the earliest callback (a wait longer than one
    // Qt timer can hold is waited out in steps).
    void arm()
    {
        if (m_queue.empty())
            return;
        const double due = m_queue.begin()->first;
        if (m_timerId && m_armedFor <= due)
            return;
        if (m_timerId)
            killTimer(m_timerId);
        m_armedFor = due;
        m_timerId = startTimer(timerMilliseconds(due - now()), Qt::PreciseTimer);
    }

    const QElapsedTimer& m_elapsed;
    std::multimap<double, quint64> m_queue; // due -> id
    std::unordered_map<quint64, Entry> m_entries;
    int m_timerId = 0;
    double m_armedFor = 0;
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

void ClockTimer::startOnGrid(double intervalSeconds)
{
    stop();
    m_interval = clampDelay(intervalSeconds);
    m_repeating = true;
    const double now = Clock::instance().now();
    m_due = m_interval > 0 ? (std::floor(now / m_interval) + 1) * m_interval : now;
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
