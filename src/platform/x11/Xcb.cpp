#include "platform/x11/Xcb.h"

#include <cstdlib>
#include <cstring>
#include <xcb/record.h>
#include <xcb/xcbext.h>

namespace tovrik::platform::x11 {

XcbConnection::XcbConnection(const char* displayName)
{
    m_conn = xcb_connect(displayName, &m_screenNumber);
}

XcbConnection::~XcbConnection()
{
    if (m_conn)
        xcb_disconnect(m_conn);
}

XcbConnection::XcbConnection(XcbConnection&& other) noexcept
    : m_conn(other.m_conn), m_screenNumber(other.m_screenNumber)
{
    other.m_conn = nullptr;
}

XcbConnection& XcbConnection::operator=(XcbConnection&& other) noexcept
{
    if (this != &other) {
        if (m_conn)
            xcb_disconnect(m_conn);
        m_conn = other.m_conn;
        m_screenNumber = other.m_screenNumber;
        other.m_conn = nullptr;
    }
    return *this;
}

xcb_screen_t* XcbConnection::screen() const
{
    if (!ok())
        return nullptr;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(m_conn));
    for (int i = 0; it.rem; ++i, xcb_screen_next(&it))
        if (i == m_screenNumber)
            return it.data;
    return nullptr;
}

xcb_window_t XcbConnection::root() const
{
    auto* s = screen();
    return s ? s->root : xcb_window_t(XCB_WINDOW_NONE);
}

bool XcbConnection::sync() const
{
    if (!ok())
        return false;
    XcbReply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
    return bool(reply);
}

xcb_atom_t internAtom(xcb_connection_t* conn, const char* name, bool onlyIfExists)
{
    XcbReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(conn, xcb_intern_atom(conn, onlyIfExists, uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

QByteArray atomName(xcb_connection_t* conn, xcb_atom_t atom)
{
    if (atom == XCB_ATOM_NONE)
        return {};
    XcbReply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(conn, xcb_get_atom_name(conn, atom), nullptr));
    if (!reply)
        return {};
    return QByteArray(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

std::vector<uint32_t> PropertyValue::cardinals() const
{
    std::vector<uint32_t> out;
    if (format != 32)
        return out;
    out.resize(size_t(data.size()) / 4);
    std::memcpy(out.data(), data.constData(), out.size() * 4);
    return out;
}

PropertyValue getProperty(xcb_connection_t* conn, xcb_window_t window, xcb_atom_t property, xcb_atom_t type)
{
    return propertyReply(conn, requestProperty(conn, window, property, type));
}

PropertyRequest requestProperty(xcb_connection_t* conn, xcb_window_t window, xcb_atom_t property, xcb_atom_t type)
{
    if (property == XCB_ATOM_NONE || window == XCB_WINDOW_NONE)
        return {};
    // Long enough for titles, WM_CLASS and work areas of many desktops.
    return {xcb_get_property(conn, 0, window, property, type, 0, 1 << 16), true};
}

PropertyValue propertyReply(xcb_connection_t* conn, const PropertyRequest& request)
{
    PropertyValue value;
    if (!request.sent)
        return value;
    XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(conn, request.cookie, nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return value;
    value.type = reply->type;
    value.format = reply->format;
    value.data = QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                            xcb_get_property_value_length(reply.get()));
    return value;
}

bool compositorRunning(xcb_connection_t* conn, int screenNumber)
{
    if (!conn || xcb_connection_has_error(conn))
        return false;
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screenNumber);
    const xcb_atom_t atom = internAtom(conn, name.constData());
    if (atom == XCB_ATOM_NONE)
        return false;
    XcbReply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(conn, xcb_get_selection_owner(conn, atom), nullptr));
    return reply && reply->owner != XCB_WINDOW_NONE;
}

bool compositorRunning()
{
    XcbConnection conn(nullptr);
    return conn.ok() && compositorRunning(conn, conn.screenNumber());
}

bool hasExtension(xcb_connection_t* conn, const char* name)
{
    XcbReply<xcb_query_extension_reply_t> reply(
        xcb_query_extension_reply(conn, xcb_query_extension(conn, uint16_t(std::strlen(name)), name), nullptr));
    return reply && reply->present;
}

uint32_t stableDisplayID(const QByteArray& name)
{
    uint32_t h = 2166136261u;
    for (char c : name) {
        h ^= uint8_t(c);
        h *= 16777619u;
    }
    return h == 0 ? 1 : h;
}

bool openRecordPair(XcbConnection& control, XcbConnection& data)
{
    control = XcbConnection(nullptr);
    data = XcbConnection(nullptr);
    if (!control.ok() || !data.ok())
        return false;
    const auto* ext = xcb_get_extension_data(control, &xcb_record_id);
    if (!ext || !ext->present)
        return false;
    XcbReply<xcb_record_query_version_reply_t> version(
        xcb_record_query_version_reply(control, xcb_record_query_version(control, 1, 13), nullptr));
    return bool(version);
}

bool drainRecord(XcbConnection& data, unsigned int sequence,
                 const std::function<void(uint8_t category, uint32_t idBase, const uint8_t* bytes, size_t length,
                                          bool swapped)>& take)
{
    void* raw = nullptr;
    xcb_generic_error_t* error = nullptr;
    while (xcb_poll_for_reply(data, sequence, &raw, &error)) {
        std::free(error);
        error = nullptr;
        auto* reply = static_cast<xcb_record_enable_context_reply_t*>(raw);
        raw = nullptr;
        if (!reply)
            continue;
        take(reply->category, reply->xid_base, xcb_record_enable_context_data(reply),
             size_t(xcb_record_enable_context_data_length(reply)), reply->client_swapped);
        std::free(reply);
    }
    return !xcb_connection_has_error(data);
}

} // namespace tovrik::platform::x11
