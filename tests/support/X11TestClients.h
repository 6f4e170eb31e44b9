#pragma once

// Helpers for the x11 backend tests on the real X server: another X client
// that posts input through a master device of its own (a second seat, as a
// remote-desktop server or a second keyboard and mouse would), and one that
// posts through the core master like any other XTest client.

#include "platform/x11/X11Keymap.h"
#include "platform/x11/XInputDevices.h"
#include "platform/x11/Xcb.h"

#include <QByteArray>
#include <QPoint>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

namespace tovrik::test {

class XClient {
public:
    // A plain client on the core master.
    XClient() : m_conn(nullptr) {}
    virtual ~XClient() = default;
    bool ok() const { return m_conn.ok(); }
    // XTest through this client's masters; every call waits for the server.
    bool key(uint32_t keysym, bool down)
    {
        platform::x11::KeyboardMapping map;
        const auto codes = map.load(m_conn) ? map.keycodesFor(keysym) : std::vector<uint8_t>();
        return !codes.empty() && fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, codes.front());
    }
    bool tap(uint32_t keysym) { return key(keysym, true) && key(keysym, false); }
    bool keycode(uint8_t code, bool down) { return fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code); }
    // Presses the keys in order and releases them in reverse.
    bool chord(std::initializer_list<uint32_t> keysyms)
    {
        bool ok = true;
        for (uint32_t k : keysyms)
            ok = key(k, true) && ok;
        for (auto k = std::rbegin(keysyms); k != std::rend(keysyms); ++k)
            ok = key(*k, false) && ok;
        return ok;
    }
    bool moveTo(QPoint p) { return fake(XCB_MOTION_NOTIFY, 0, int16_t(p.x()), int16_t(p.y())); }
    bool button(uint8_t b, bool down) { return fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, b); }
    bool click(QPoint p, uint8_t b = 1) { return moveTo(p) && button(b, true) && button(b, false); }
    xcb_connection_t* conn() const { return m_conn; }

protected:
    platform::x11::XcbConnection m_conn;

private:
    bool fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0)
    {
        auto cookie = xcb_test_fake_input_checked(m_conn, type, detail, XCB_CURRENT_TIME, m_conn.root(), x, y, 0);
        platform::x11::XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, cookie));
        return !error && m_conn.sync();
    }
};

// A client whose XTest input goes through a new master pair created for it
// (removed again on destruction, its slaves left floating).
class SecondSeat : public XClient {
public:
    explicit SecondSeat(const QByteArray& name = "tovrik-test-seat")
    {
        if (!m_conn.ok() || !platform::x11::initXInput2(m_conn))
            return;
        // AddMaster: type 1, length in 4-byte units, name length, send core
        // events, enable; then the name padded to 4 bytes.
        const int padded = (name.size() + 3) & ~3;
        std::vector<uint8_t> buffer(size_t(8 + padded), 0);
        auto* add = reinterpret_cast<xcb_input_add_master_t*>(buffer.data());
        add->type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER;
        add->len = uint16_t(buffer.size() / 4);
        add->name_len = uint16_t(name.size());
        add->send_core = 1;
        add->enable = 1;
        std::memcpy(buffer.data() + 8, name.constData(), size_t(name.size()));
        auto cookie = xcb_input_xi_change_hierarchy_checked(
            m_conn, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(buffer.data()));
        platform::x11::XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, cookie));
        if (error)
            return;
        for (const auto& d : platform::x11::queryXIDevices(m_conn))
            if (d.type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER && d.name == name + " pointer")
                m_pointer = d.id;
        if (!m_pointer)
            return;
        // This client's XTest input now goes through the new master pair.
        platform::x11::XcbReply<xcb_generic_error_t> setError(
            xcb_request_check(m_conn, xcb_input_xi_set_client_pointer_checked(m_conn, XCB_WINDOW_NONE, m_pointer)));
        if (setError)
            m_pointer = 0;
    }
    ~SecondSeat() override
    {
        if (!m_pointer || !m_conn.ok())
            return;
        xcb_input_remove_master_t remove{};
        remove.type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_REMOVE_MASTER;
        remove.len = sizeof remove / 4;
        remove.deviceid = m_pointer;
        remove.return_mode = XCB_INPUT_CHANGE_MODE_FLOAT;
        auto cookie = xcb_input_xi_change_hierarchy_checked(m_conn, 1,
                                                            reinterpret_cast<const xcb_input_hierarchy_change_t*>(&remove));
        platform::x11::XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, cookie));
    }
    bool ok() const { return XClient::ok() && m_pointer != 0; }

private:
    uint16_t m_pointer = 0;
};

} // namespace tovrik::test
