#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

namespace tovrik {

// Time as the services see it. Production uses the monotonic clock and Qt
// timers; tests install a VirtualClock and step time by hand, so rules such
// as "600 s is the longest hold" are tested instantly.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic seconds since an arbitrary start.
    virtual double now() const = 0;
    // Runs fn once on the main thread after `seconds` (clamped to >= 0), unless
    // the returned id is cancelled or `context` is destroyed first.
    virtual quint64 schedule(double seconds, QObject* context, std::function<void()> fn) = 0;
    virtual void cancel(quint64 id) = 0;

    static Clock& instance();
    // Installs a clock for the process (tests); nullptr restores the real one.
    static void install(Clock* clock);
};

class SystemClock final : public Clock {
public:
    SystemClock();
    ~SystemClock() override;
    double now() const override;
    quint64 schedule(double seconds, QObject* context, std::function<void()> fn) override;
    void cancel(quint64 id) override;
    // The Qt timer interval that waits for `seconds` (or for a day of it).
    static int timerMilliseconds(double seconds);

    struct Impl;

private:
    class Dispatcher;
    Dispatcher* mainThreadDispatcher();
    std::shared_ptr<Impl> d;
};

// A deterministic clock: nothing fires until advance() moves time past it.
class VirtualClock final : public Clock {
public:
    double now() const override { return m_now; }
    quint64 schedule(double seconds, QObject* context, std::function<void()> fn) override;
    void cancel(quint64 id) override;
    // Moves time forward, firing every due callback in time order (callbacks
    // scheduled while advancing fire too when they fall inside the window).
    void advance(double seconds);
    size_t pendingCount() const { return m_entries.size(); }

private:
    struct Entry {
        quint64 id;
        double due;
        QPointer<QObject> context;
        bool hasContext;
        std::function<void()> fn;
    };
    double m_now = 1000.0;
    quint64 m_nextId = 1;
    std::vector<Entry> m_entries;
};

// A timer on the installed clock: single-shot or repeating (at a fixed rate:
// tick n is due n intervals after start()), stopped on destruction.
class ClockTimer : public QObject {
    Q_OBJECT
public:
    explicit ClockTimer(QObject* parent = nullptr);
    ~ClockTimer() override;
    void start(double intervalSeconds, bool repeating = true);
    // Repeating, each tick at a whole multiple of the interval on the
    // clock's time (the first within one interval): timers of one interval
    // started this way tick together, in one wake-up.
    void startOnGrid(double intervalSeconds);
    void stop();
    bool isActive() const { return m_id != 0; }
    double interval() const { return m_interval; }

signals:
    void timeout();

private:
    void arm();
    quint64 m_id = 0;
    double m_interval = 0;
    double m_due = 0;
    bool m_repeating = true;
};

} // namespace tovrik
