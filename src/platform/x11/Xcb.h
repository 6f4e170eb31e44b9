#pragma once

// Small helpers over xcb shared by the x11 backend. Every facility opens its
// own xcb connection: xcb reports a broken connection as a state instead of
// exiting the process (as Xlib's default I/O error handler would), and a
// connection of its own keeps one facility's requests from queueing behind
// another's.

#include <QByteArray>
#include <QString>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>
#include <functional>

namespace tovrik::platform::x11 {

// Owns an xcb connection (closed on destruction).
class XcbConnection {
public:
    XcbConnection() = default;
    // Connects to $DISPLAY (or `displayName`); check ok() afterwards.
    explicit XcbConnection(const char* displayName);
    ~XcbConnection();
    XcbConnection(const XcbConnection&) = delete;
    XcbConnection& operator=(const XcbConnection&) = delete;
    XcbConnection(XcbConnection&& other) noexcept;
    XcbConnection& operator=(XcbConnection&& other) noexcept;

    bool ok() const { return m_conn && !xcb_connection_has_error(m_conn); }
    xcb_connection_t* get() const { return m_conn; }
    operator xcb_connection_t*() const { return m_conn; }
    int screenNumber() const { return m_screenNumber; }
    xcb_screen_t* screen() const;
    xcb_window_t root() const;
    // A round trip: every request sent so far has been processed on return.
    bool sync() const;

private:
    xcb_connection_t* m_conn = nullptr;
    int m_screenNumber = 0;
};

// free()s xcb replies.
struct XcbFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

xcb_atom_t internAtom(xcb_connection_t* conn, const char* name, bool onlyIfExists = false);
QByteArray atomName(xcb_connection_t* conn, xcb_atom_t atom);

// Reads a whole property; empty when absent. `type` XCB_ATOM_ANY accepts any.
struct PropertyValue {
    xcb_atom_t type = XCB_ATOM_NONE;
    uint8_t format = 0;
    QByteArray data;
    bool isValid() const { return type != XCB_ATOM_NONE; }
    std::vector<uint32_t> cardinals() const;
};
PropertyValue getProperty(xcb_connection_t* conn, xcb_window_t window, xcb_atom_t property,
                          xcb_atom_t type = XCB_ATOM_ANY);
// The same in two halves, so that several requests can go out before the
// first reply is waited for (one round trip for all of them).
struct PropertyRequest {
    xcb_get_property_cookie_t cookie{};
    bool sent = false;
};
PropertyRequest requestProperty(xcb_connection_t* conn, xcb_window_t window, xcb_atom_t property,
                                xcb_atom_t type = XCB_ATOM_ANY);
PropertyValue propertyReply(xcb_connection_t* conn, const PropertyRequest& request);

// True when a compositing manager owns the _NET_WM_CM_S<screen> selection.
bool compositorRunning(xcb_connection_t* conn, int screenNumber);
// The same on a connection of its own to $DISPLAY; false without a display.
bool compositorRunning();

// Whether the server offers an extension (by its protocol name).
bool hasExtension(xcb_connection_t* conn, const char* name);

// A 32-bit id that stays the same for a display name across rebuilds and
// restarts (FNV-1a of the name; never 0, which means "no display").
uint32_t stableDisplayID(const QByteArray& name);

// Opens the two connections a RECORD context needs (one to control it, one
// that does nothing but receive its data) on the default display; false
// where either fails or the server has no RECORD 1.13.
bool openRecordPair(XcbConnection& control, XcbConnection& data);

// Hands every block that the RECORD context enabled by request `sequence`
// has delivered on `data` so far to `take` (category, client id base, the
// protocol bytes and whether the client's byte order is swapped). False
// once the connection broke.
bool drainRecord(XcbConnection& data, unsigned int sequence,
                 const std::function<void(uint8_t category, uint32_t idBase, const uint8_t* bytes, size_t length,
                                          bool swapped)>& take);

} // namespace tovrik::platform::x11
