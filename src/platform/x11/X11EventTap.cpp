#include "platform/x11/X11EventTap.h"

#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Input.h"
#include "platform/x11/SyntheticLedger.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/Xcb.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <cmath>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xinput.h>

namespace tovrik::platform::x11 {

namespace {

// The raw events a tap selects for the kinds it listens to.
uint32_t rawMask(uint32_t events)
{
    uint32_t mask = 0;
    if (events & TapKeys)
        mask |= XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
    if (events & TapButtons)
        mask |= XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE;
    if (events & TapMotion)
        mask |= XCB_INPUT_XI_EVENT_MASK_RAW_MOTION;
    return mask;
}

struct SelectMask {
    xcb_input_event_mask_t head;
    uint32_t mask;
};

// Everything the tap thread uses; shared by the session and the thread so
// that either may end first.
struct TapState {
    XcbConnection conn;
    int wakeFd = -1;
    uint8_t xiOpcode = 0;
    QString name;
    std::function<void(const RawInputEvent&)> handler;
    std::function<QPointF(QPointF)> toPoints;
    PostingMasters masters;
    std::set<uint16_t> ourSlaves;
    uint64_t ledgerCursor = 0; // entries of the ledger spent for this tap
    std::shared_ptr<PhysicalKeys> physical;
    KeyboardMapping map;
    std::set<uint8_t> keysDown;
    std::set<uint16_t> modifierKeysDown;   // macOS codes of held modifier keys
    std::set<std::pair<uint16_t, uint16_t>> physicalModifiersDown; // (source, macOS code), not ours
    bool capsLocked = false;
    std::set<uint8_t> buttonsDown;
    std::atomic<bool> stopping{false};

    ~TapState()
    {
        if (physical)
            physical->tapStopped();
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    // A key or button event is ours when it comes from the XTEST slave of
    // our masters and the ledger holds it; anything else is someone else's.
    bool isOurs(uint16_t source, uint8_t type, uint8_t detail)
    {
        return ourSlaves.count(source) > 0 && SyntheticLedger::instance().consume(ledgerCursor, type, detail);
    }

    void refreshDevices() { 
        const auto slaves = xtestSlavesOf(queryXIDevices(conn), masters);
        ourSlaves = std::set<uint16_t>(slaves.begin(), slaves.end());
    }

    // The modifiers of an event: of every key down for our own events, of
    // the keys that devices other than ours hold for everybody else's.
    uint32_t modifiers(bool ours = true) const
    {
        uint32_t flags = capsLocked ? uint32_t(ModCapsLock) : 0u;
        if (ours) {
            for (uint16_t mac : modifierKeysDown)
                if (mac != KeyCode::CapsLock)
                    flags |= modifierFlagForMacKeyCode(mac);
        } else {
            for (const auto& [source, mac] : physicalModifiersDown)
                if (mac != KeyCode::CapsLock)
                    flags |= modifierFlagForMacKeyCode(mac);
        }
        return flags;
    }

    QPointF pointer(uint16_t device)
    {
        XcbReply<xcb_input_xi_query_pointer_reply_t> reply(xcb_input_xi_query_pointer_reply(
            conn, xcb_input_xi_query_pointer(conn, conn.root(), device), nullptr));
        if (!reply)
            return {};
        return toPoints(QPointF(reply->root_x / 65536.0, reply->root_y / 65536.0));
    }

    void deliver(const RawInputEvent& e)
    {
        if (stopping.load())
            return;
        try {
            handler(e);
        } catch (...) {
            // A handler's failure must not end the tap.
        }
    }

    void initialState(const std::array<bool, 256>& physicalSeed)
    {
        map.load(conn);
        XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(conn, xcb_query_keymap(conn), nullptr));
        if (keys)
            for (int kc = map.minKeycode(); kc <= map.maxKeycode() && kc < 256; ++kc)
                if (keys->keys[kc / 8] & (1 << (kc % 8))) {
                    keysDown.insert(uint8_t(kc));
                    if (auto mac = map.macKeyCode(uint8_t(kc)); mac && modifierFlagForMacKeyCode(*mac)) {
                        modifierKeysDown.insert(*mac);
                        if (physicalSeed[size_t(kc)])
                            physicalModifiersDown.insert({0, *mac});
                    }
                }
        XcbReply<xcb_query_pointer_reply_t> ptr(xcb_query_pointer_reply(conn, xcb_query_pointer(conn, conn.root()), nullptr));
        if (ptr) {
            capsLocked = ptr->mask & XCB_MOD_MASK_LOCK;
            for (int b = 1; b <= 5; ++b)
                if (ptr->mask & (XCB_BUTTON_MASK_1 << (b - 1)))
                    buttonsDown.insert(uint8_t(b));
        }
    }

    void handleKey(const xcb_input_raw_key_press_event_t* raw, bool down)
    {
        const auto keycode = uint8_t(raw->detail);
        const bool repeat = down && (keysDown.count(keycode) || (raw->flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT));
        const bool ours = isOurs(raw->sourceid, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode);
        if (down)
            keysDown.insert(keycode);
        else
            keysDown.erase(keycode);
        if (physical && !ours) {
            if (down)
                physical->press(raw->sourceid, keycode);
            else
                physical->release(raw->sourceid, keycode);
        }
        const auto mac = map.macKeyCode(keycode);
        if (!mac)
            return; // a key without a macOS counterpart (or one we lent a symbol)
        RawInputEvent e;
        e.keyCode = *mac;
        e.isSynthetic = ours;
        e.isAutoRepeat = repeat;
        if (modifierFlagForMacKeyCode(*mac)) {
            if (repeat)
                return;
            if (down) {
                modifierKeysDown.insert(*mac);
                if (!ours)
                    physicalModifiersDown.insert({raw->sourceid, *mac});
                if (*mac == KeyCode::CapsLock)
                    capsLocked = !capsLocked;
            } else {
                modifierKeysDown.erase(*mac);
                if (!ours) {
                    physicalModifiersDown.erase({raw->sourceid, *mac});
                    physicalModifiersDown.erase({0, *mac});
                }
            }
            e.type = RawInputEvent::Type::FlagsChanged;
        } else {
            e.type = down ? RawInputEvent::Type::KeyDown : RawInputEvent::Type::KeyUp;
        }
        e.modifiers = modifiers(ours);
        deliver(e);
    }

    void handleButton(const xcb_input_raw_button_press_event_t* raw, bool down)
    {
        const auto button = uint8_t(raw->detail);
        RawInputEvent e;
        e.isSynthetic = isOurs(raw->sourceid, down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button);
        e.modifiers = modifiers(e.isSynthetic);
        if (button >= 4 && button <= 7) {
            if (!down)
                return;
            e.type = RawInputEvent::Type::Scroll;
            e.button = MouseButton::Middle;
            e.location = pointer(raw->deviceid);
            deliver(e);
            return;
        }
        if (down)
            buttonsDown.insert(button);
        else
            buttonsDown.erase(button);
        e.type = down ? RawInputEvent::Type::MouseDown : RawInputEvent::Type::MouseUp;
        e.button = button == 1 ? MouseButton::Left
            : button == 2      ? MouseButton::Middle
            : button == 3      ? MouseButton::Right
                               : MouseButton::Other;
        e.location = pointer(raw->deviceid);
        deliver(e);
    }

    void flushMotion(uint16_t device, bool synthetic)
    {
        RawInputEvent e;
        const bool dragging = buttonsDown.count(1) || buttonsDown.count(2) || buttonsDown.count(3);
        e.type = dragging ? RawInputEvent::Type::MouseDragged : RawInputEvent::Type::MouseMoved;
        e.button = buttonsDown.count(1) ? MouseButton::Left
            : buttonsDown.count(3)      ? MouseButton::Right
                                        : buttonsDown.count(2) ? MouseButton::Middle : MouseButton::Left;
        e.isSynthetic = synthetic;
        e.modifiers = modifiers(synthetic);
        e.location = pointer(device);
        deliver(e);
    }

    // Handles what has arrived; true when there was anything. Pointer
    // queries read replies, which may pull new events into xcb's queue
    // without the socket becoming readable again, so the caller repeats
    // until a pass finds nothing before it waits on the socket.
    bool drain()
    {
        bool any = false;
        uint16_t motionDevice = 0;
        bool motionSynthetic = false;
        while (auto* ev = xcb_poll_for_event(conn)) {
            any = true;
            const uint8_t type = ev->response_type & 0x7f;
            if (type == XCB_GE_GENERIC && reinterpret_cast<xcb_ge_generic_event_t*>(ev)->extension == xiOpcode) {
                const auto eventType = reinterpret_cast<xcb_ge_generic_event_t*>(ev)->event_type;
                if (eventType == XCB_INPUT_RAW_MOTION) {
                    const auto* raw = reinterpret_cast<xcb_input_raw_motion_event_t*>(ev);
                    if (motionDevice && motionDevice != raw->deviceid)
                        flushMotion(motionDevice, motionSynthetic);
                    motionDevice = raw->deviceid;
                    motionSynthetic = ourSlaves.count(raw->sourceid) > 0;
                } else {
                    if (motionDevice) {
                        flushMotion(motionDevice, motionSynthetic);
                        motionDevice = 0;
                    }
                    switch (eventType) {
                    case XCB_INPUT_RAW_KEY_PRESS:
                    case XCB_INPUT_RAW_KEY_RELEASE:
                        handleKey(reinterpret_cast<xcb_input_raw_key_press_event_t*>(ev),
                                  eventType == XCB_INPUT_RAW_KEY_PRESS);
                        break;
                    case XCB_INPUT_RAW_BUTTON_PRESS:
                    case XCB_INPUT_RAW_BUTTON_RELEASE:
                        handleButton(reinterpret_cast<xcb_input_raw_button_press_event_t*>(ev),
                                     eventType == XCB_INPUT_RAW_BUTTON_PRESS);
                        break;
                    case XCB_INPUT_HIERARCHY:
                        refreshDevices();
                        break;
                    default:
                        break;
                    }
                }
            } else if (type == XCB_MAPPING_NOTIFY) {
                map.load(conn);
            }
            std::free(ev);
        }
        if (motionDevice)
            flushMotion(motionDevice, motionSynthetic);
        return any;
    }

    // The thread body: runs until stop() or a broken connection, which
    // ends the tap with a TapDisabled event.
    void run()
    {
        pollfd fds[2] = {{xcb_get_file_descriptor(conn), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        auto lost = [this] {
            RawInputEvent e;
            e.type = RawInputEvent::Type::TapDisabled;
            deliver(e);
        };
        while (!stopping.load()) {
            while (drain() && !stopping.load()) {
            }
            if (xcb_connection_has_error(conn))
                return lost();
            xcb_flush(conn);
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return lost();
            if (fds[1].revents & POLLIN)
                return;
        }
    }
};

} // namespace

void endListeningThread(QThread*& thread, int wakeFd)
{
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    if (QThread::currentThread() == thread) {
        // Stopped from its own handler: the thread ends after the handler
        // returns and deletes itself.
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    } else {
        thread->wait();
        delete thread;
    }
    thread = nullptr;
}

class X11TapSession : public EventTapSession {
public:
    X11TapSession(std::shared_ptr<X11EventTap::Registry> registry, quint64 id, std::shared_ptr<TapState> state,
                  QThread* thread)
        : m_registry(std::move(registry)), m_id(id), m_state(std::move(state)), m_thread(thread)
    {
    }
    ~X11TapSession() override { stop(); }

    void stop() override
    {
        if (!m_thread)
            return;
        m_state->stopping.store(true);
        endListeningThread(m_thread, m_state->wakeFd);
        m_registry->remove(m_id);
    }

private:
    std::shared_ptr<X11EventTap::Registry> m_registry;
    quint64 m_id;
    std::shared_ptr<TapState> m_state;
    QThread* m_thread;
};

X11EventTap::X11EventTap(X11Displays& displays, X11Input& input)
    : m_displays(displays), m_input(input)
{
    m_input.setPhysicalKeys(m_physical);
    XcbConnection probe(nullptr);
    m_hasXInput2 = probe.ok() && initXInput2(probe);
}

X11EventTap::~X11EventTap() = default;

QByteArray X11EventTap::systemThreadName(const QString& name) { return name.toUtf8().left(15); }

QStringList X11EventTap::threadNames() const
{
    std::lock_guard lock(m_registry->mutex);
    QStringList names;
    for (const auto& r : m_registry->running)
        names << r.second;
    return names;
}

quint64 X11EventTap::Registry::add(const QString& name)
{
    std::lock_guard lock(mutex);
    const quint64 id = nextId++;
    running.emplace_back(id, name);
    return id;
}

void X11EventTap::Registry::remove(quint64 id)
{
    std::lock_guard lock(mutex);
    running.erase(std::remove_if(running.begin(), running.end(), [id](const auto& r) { return r.first == id; }),
                  running.end());
}

std::unique_ptr<EventTapSession> X11EventTap::start(const QString& threadName,
                                                    std::function<void(const RawInputEvent&)> handler, uint32_t events)
{
    if (!handler)
        return nullptr;
    auto state = std::make_shared<TapState>();
    state->conn = XcbConnection(nullptr);
    if (!state->conn.ok() || !initXInput2(state->conn))
        return nullptr;
    const auto* ext = xcb_get_extension_data(state->conn, &xcb_input_id);
    state->xiOpcode = ext->major_opcode;
    state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0)
        return nullptr;
    state->name = threadName;
    state->handler = std::move(handler);
    state->toPoints = [mapping = m_displays.mapping()](QPointF px) { return mapping->fromRootPixels(px); };
    state->masters = m_input.masters();

    const SelectMask masks[2] = {{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, rawMask(events)},
                                 {{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_HIERARCHY}};
    // The raw and hierarchy selections go in one request each (a device id
    // may appear once per request).
    auto c1 = xcb_input_xi_select_events_checked(state->conn, state->conn.root(), 1, &masks[0].head);
    auto c2 = xcb_input_xi_select_events_checked(state->conn, state->conn.root(), 1, &masks[1].head);
    XcbReply<xcb_generic_error_t> e1(xcb_request_check(state->conn, c1));
    XcbReply<xcb_generic_error_t> e2(xcb_request_check(state->conn, c2));
    if (e1 || e2)
        return nullptr;
    state->refreshDevices();
    state->ledgerCursor = SyntheticLedger::instance().latest();
    const auto physicalSeed = m_input.coreKeysNotOurs();
    state->physical = m_physical;
    m_physical->tapStarted(physicalSeed);
    state->initialState(physicalSeed);
    // Events that arrived before this point are history.
    while (auto* ev = xcb_poll_for_event(state->conn))
        std::free(ev);

    auto* thread = QThread::create([state]() {
        pthread_setname_np(pthread_self(), X11EventTap::systemThreadName(state->name).constData());
        state->run();
    });
    thread->setObjectName(threadName);
    thread->start();

    const quint64 id = m_registry->add(threadName);
    return std::make_unique<X11TapSession>(m_registry, id, state, thread);
}

std::unique_ptr<EventTapSession> X11EventTap::addGlobalMouseDownMonitor(std::function<void(MouseButton, QPointF)> handler)
{
    if (!handler)
        return nullptr;
    // Delivered on the main thread; a queued call that arrives after the
    // monitor was removed is dropped.
    auto alive = std::make_shared<std::atomic<bool>>(true);
    auto shared = std::make_shared<std::function<void(MouseButton, QPointF)>>(std::move(handler));
    auto session = start(QStringLiteral("tovrik.mouse-down-monitor"), [alive, shared](const RawInputEvent& e) {
        if (e.type != RawInputEvent::Type::MouseDown || e.isSynthetic)
            return;
        auto* app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [alive, shared, button = e.button, location = e.location]() {
                if (alive->load())
                    (*shared)(button, location);
            },
            Qt::QueuedConnection);
    }, TapButtons);
    if (!session)
        return nullptr;

    class MonitorSession : public EventTapSession {
    public:
        MonitorSession(std::unique_ptr<EventTapSession> inner, std::shared_ptr<std::atomic<bool>> alive)
            : m_inner(std::move(inner)), m_alive(std::move(alive))
        {
        }
        ~MonitorSession() override { stop(); }
        void stop() override
        {
            m_alive->store(false);
            if (m_inner)
                m_inner->stop();
        }

    private:
        std::unique_ptr<EventTapSession> m_inner;
        std::shared_ptr<std::atomic<bool>> m_alive;
    };
    return std::make_unique<MonitorSession>(std::move(session), alive);
}

} // namespace tovrik::platform::x11
