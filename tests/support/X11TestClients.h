#pragma once

// Helpers for the x11 backend tests on the real X server: another X client
// that posts input through a master device of its own (a second seat, as a
// remote-desktop server or a second keyboard and mouse would), and one that
// posts through the core master like any other XTest client.

#include "platform/x11/XInputDevices.h"
#include "platform/x11/Xcb.h"

#include <QByteArray>
#include <QPoint>
#include <cstdint>
#include <initializer_list>

namespace tovrik::test {

class XClient {
public:
    // A plain client on the core master.
    XClient();
    virtual ~XClient();
    bool ok() const { return m_conn.ok(); }
    // XTest through this client's masters; every call waits for the server.
    bool key(uint32_t keysym, bool down);
    bool tap(uint32_t keysym) { return key(keysym, true) && key(keysym, false); }
    // Presses the keys in order and releases them in reverse.
    bool chord(std::initializer_list<uint32_t> keysyms);
    bool moveTo(QPoint rootPixel);
    bool button(uint8_t button, bool down);
    bool click(QPoint rootPixel, uint8_t button = 1);
    xcb_connection_t* conn() const { return m_conn; }

protected:
    platform::x11::XcbConnection m_conn;
    uint8_t keycodeFor(uint32_t keysym);
};

// A client whose XTest input goes through a new master pair created for it
// (removed again on destruction, its slaves left floating).
class SecondSeat : public XClient {
public:
    explicit SecondSeat(const QByteArray& name = "tovrik-test-seat");
    ~SecondSeat() override;
    bool ok() const { return XClient::ok() && m_pointer != 0; }

private:
    uint16_t m_pointer = 0;
};

} // namespace tovrik::test
