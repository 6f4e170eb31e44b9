#pragma once

// The take-over monitor of UI Autopilot: watches the user's input on a tap
// thread of its own ("ai.tovrik.mac.user-input-activity") and raises a sticky
// flag when the user presses the physical Esc key, or when the tap is lost
// (a broken X connection: the monitor can no longer know what it missed).
// Our own synthetic input never counts (RawInputEvent::isSynthetic: on X11
// the per-process ledger of posted keys and buttons decides).
//
// Ownership. A run that starts the monitor gets an owner token from start();
// stop(token) acts only while that run still owns the monitor, so the late
// clean-up of an older run cannot stop the tap of a newer one. start() waits
// at most 2 s for the tap; a tap that comes up after start() gave up is
// stopped at once instead of being kept (a generation check).
//
// Threads. start(), stop(), reset() and the queries are called on the main
// thread; the tap's handler runs on the tap thread; every field is guarded
// by stateLock. onPhysicalUserInput is called on the tap thread, after the
// lock is released, once per reset: the receiver hops to its own thread.

#include <QString>
#include <functional>
#include <memory>
#include <mutex>

namespace tovrik::platform {
struct RawInputEvent;
}

namespace tovrik {

class UserInputActivityMonitor {
public:
    static inline const QString threadName = QStringLiteral("ai.tovrik.mac.user-input-activity");
    // How long start() waits for the tap.
    static constexpr double kStartTimeoutSeconds = 2.0;
    // 0 is never a valid owner token.
    using OwnerToken = quint64;

    UserInputActivityMonitor();
    ~UserInputActivityMonitor(); // stops the tap
    UserInputActivityMonitor(const UserInputActivityMonitor&) = delete;
    UserInputActivityMonitor& operator=(const UserInputActivityMonitor&) = delete;

    // Set on the main thread before start(); called on the tap thread at the
    // first take-over after a reset.
    std::function<void()> onPhysicalUserInput;

    // Stops any earlier tap and starts a new one; returns its owner token,
    // or 0 when no tap was installed within 2 s (the monitor is then stopped).
    OwnerToken start();
    // Stops the tap when `token` still owns it; otherwise does nothing.
    void stop(OwnerToken token);
    // Stops whatever tap runs (shut-down). Safe when stopped.
    void stop();
    bool isRunning() const;
    // The token of the running tap (0 when stopped).
    OwnerToken owner() const;

    // Clears the flag and the time of the last counted input.
    void reset();
    bool hasUserTakenOverSinceReset() const;
    // Whether counted input came at most `seconds` ago (false after reset).
    bool hasRecentUserInput(double seconds) const;

    // The tap handler (tap thread); public so that the behaviour can be
    // driven without a tap.
    void handle(const platform::RawInputEvent& event);

    mutable std::mutex stateLock;

private:
    struct Shared;
    void recordTakeover();
    std::shared_ptr<Shared> m_shared;
};

} // namespace tovrik
