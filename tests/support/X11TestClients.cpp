#include "support/X11TestClients.h"

#include "platform/x11/X11Keymap.h"

#include <cstring>
#include <vector>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

namespace tovrik::test {

using namespace platform::x11;

XClient::XClient() : m_conn(nullptr) {}
XClient::~XClient() = default;

uint8_t XClient::keycodeFor(uint32_t keysym)
{
    KeyboardMapping map;
    if (!map.load(m_conn))
        return 0;
    const auto codes = map.keycodesFor(keysym);
    return codes.empty() ? 0 : codes.front();
}

namespace {
bool fake(const XcbConnection& c, uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0)
{
    auto cookie = xcb_test_fake_input_checked(c, type, detail, XCB_CURRENT_TIME, c.root(), x, y, 0);
    XcbReply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
    return !error && c.sync();
}
} // namespace

bool XClient::key(uint32_t keysym, bool down)
{
    const uint8_t kc = keycodeFor(keysym);
    return kc && fake(m_conn, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, kc);
}

bool XClient::chord(std::initializer_list<uint32_t> keysyms)
{
    bool ok = true;
    for (uint32_t k : keysyms)
        ok = key(k, true) && ok;
    for (auto k = std::rbegin(keysyms); k != std::rend(keysyms); ++k)
        ok = key(*k, false) && ok;
    return ok;
}

bool XClient::moveTo(QPoint p) { return fake(m_conn, XCB_MOTION_NOTIFY, 0, int16_t(p.x()), int16_t(p.y())); }

bool XClient::button(uint8_t b, bool down) { return fake(m_conn, down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, b); }

bool XClient::click(QPoint p, uint8_t b) { return moveTo(p) && button(b, true) && button(b, false); }

SecondSeat::SecondSeat(const QByteArray& name)
{
    if (!m_conn.ok() || !initXInput2(m_conn))
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
    XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, cookie));
    if (error)
        return;
    for (const auto& d : queryXIDevices(m_conn))
        if (d.type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER && d.name == name + " pointer")
            m_pointer = d.id;
    if (!m_pointer)
        return;
    // This client's XTest input now goes through the new master pair.
    XcbReply<xcb_generic_error_t> setError(
        xcb_request_check(m_conn, xcb_input_xi_set_client_pointer_checked(m_conn, XCB_WINDOW_NONE, m_pointer)));
    if (setError)
        m_pointer = 0;
}

SecondSeat::~SecondSeat()
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
    XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, cookie));
}

} // namespace tovrik::test
