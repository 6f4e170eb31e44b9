#pragma once

// A listen-only tap over XInput2 raw events. Each tap runs on a QThread of
// its own (the thread's objectName is the full requested name; the system
// thread name is its first 15 bytes) with its own xcb connection, and stops
// through an eventfd polled together with the connection's socket.
//
// Raw events are selected on the root window for all master devices, so the
// tap sees input whatever window has focus or grabs it. A key or button is
// `isSynthetic` when it comes from the XTEST slave of our posting masters
// and consumes an entry of the process's ledger (see SyntheticLedger.h);
// motion when it comes from that slave. Every tap also keeps the physical
// key state (keys held by devices that are not ours) that SyntheticInput
// reports, and the modifiers of an event that is not ours are those of the
// physical keys only. Modifier keys arrive
// as FlagsChanged with the modifier state after the key; a press of a key
// that is already down is an auto-repeat. Pointer locations come from an
// XIQueryPointer of the event's master (motion is coalesced per batch).
//
// A session does not depend on the platform that made it: it may be stopped
// (or destroyed) after the platform is gone.

#include "platform/Input.h"
#include "platform/x11/SyntheticLedger.h"
#include "platform/x11/XInputDevices.h"

#include <QStringList>

class QThread;
#include <memory>
#include <mutex>

namespace tovrik::platform::x11 {

class X11Displays;
class X11Input;

// Ends a listening thread that polls `wakeFd`: wakes it and joins it, or,
// when called from that very thread (a handler stopping its own tap), lets
// it delete itself once it has returned. `thread` is null afterwards.
void endListeningThread(QThread*& thread, int wakeFd);

class X11EventTap : public EventTap {
public:
    X11EventTap(X11Displays& displays, X11Input& input);
    ~X11EventTap() override;

    bool isAvailable() const { return m_hasXInput2; }
    std::unique_ptr<EventTapSession> start(const QString& threadName,
                                           std::function<void(const RawInputEvent&)> handler,
                                           uint32_t events = TapAllEvents) override;
    std::unique_ptr<EventTapSession> addGlobalMouseDownMonitor(
        std::function<void(MouseButton, QPointF)> handler) override;

    // The full names of the taps running now.
    QStringList threadNames() const;

    // The system thread name a tap thread gets for `name`.
    static QByteArray systemThreadName(const QString& name);

    // The running taps, shared with their sessions.
    struct Registry {
        std::mutex mutex;
        std::vector<std::pair<quint64, QString>> running;
        quint64 nextId = 1;
        quint64 add(const QString& name);
        void remove(quint64 id);
    };

private:
    X11Displays& m_displays;
    X11Input& m_input;
    bool m_hasXInput2 = false;
    std::shared_ptr<Registry> m_registry = std::make_shared<Registry>();
    std::shared_ptr<PhysicalKeys> m_physical = std::make_shared<PhysicalKeys>();
};

} // namespace tovrik::platform::x11
