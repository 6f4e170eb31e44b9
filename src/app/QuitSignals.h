#pragma once

// SIGTERM, SIGINT, SIGHUP and SIGQUIT (a logout, `kill`, Ctrl+C or Ctrl+\ in
// a terminal, a closed terminal, a service manager) end Tovrik through the
// same quit path as the Quit menu item: the event loop returns, held keys
// and buttons are let go, the autopilot and any recording stop, lent keycodes
// are given back.
//
// A signal handler may do next to nothing safely, so the handler only writes
// the signal's number, one byte, to one end of a socket pair; a socket
// notifier on the other end runs `onSignal` on the main thread at the next
// turn of the event loop. A signal that arrives before the loop runs waits in
// the socket. Every further signal asks again (the quit path is idempotent).

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tovrik::app {

class QuitSignals : public QObject {
public:
    // Installs the handlers; `onSignal` gets the signal's number.
    explicit QuitSignals(std::function<void(int)> onSignal, QObject* parent = nullptr);
    // Restores the signals' previous dispositions.
    ~QuitSignals() override;

    bool isInstalled() const { return m_installed; }
    static const int kSignals[4];

private:
    void readPending();

    std::function<void(int)> m_onSignal;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_installed = false;
};

} // namespace tovrik::app
