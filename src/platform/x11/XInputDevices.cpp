#include "platform/x11/XInputDevices.h"

#include "platform/x11/Xcb.h"

#include <xcb/xinput.h>

namespace tovrik::platform::x11 {

bool XIDevice::isXTest() const
{
    return (type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER || type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD)
        && name.contains(" XTEST ");
}

bool initXInput2(xcb_connection_t* conn)
{
    const auto* ext = xcb_get_extension_data(conn, &xcb_input_id);
    if (!ext || !ext->present)
        return false;
    XcbReply<xcb_input_xi_query_version_reply_t> reply(
        xcb_input_xi_query_version_reply(conn, xcb_input_xi_query_version(conn, 2, 2), nullptr));
    return reply && (reply->major_version > 2 || (reply->major_version == 2 && reply->minor_version >= 2));
}

std::vector<XIDevice> queryXIDevices(xcb_connection_t* conn)
{
    std::vector<XIDevice> out;
    XcbReply<xcb_input_xi_query_device_reply_t> reply(
        xcb_input_xi_query_device_reply(conn, xcb_input_xi_query_device(conn, XCB_INPUT_DEVICE_ALL), nullptr));
    if (!reply)
        return out;
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem; xcb_input_xi_device_info_next(&it)) {
        XIDevice d;
        d.id = it.data->deviceid;
        d.type = it.data->type;
        d.attachment = it.data->attachment;
        d.name = QByteArray(xcb_input_xi_device_info_name(it.data), it.data->name_len);
        out.push_back(d);
    }
    return out;
}

PostingMasters postingMasters(xcb_connection_t* conn)
{
    PostingMasters m;
    XcbReply<xcb_input_xi_get_client_pointer_reply_t> reply(xcb_input_xi_get_client_pointer_reply(
        conn, xcb_input_xi_get_client_pointer(conn, XCB_WINDOW_NONE), nullptr));
    const auto devices = queryXIDevices(conn);
    uint16_t pointer = reply ? reply->deviceid : 0;
    if (!pointer) // no client pointer yet: the server picks the first master pointer
        for (const auto& d : devices)
            if (d.type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER) {
                pointer = d.id;
                break;
            }
    for (const auto& d : devices)
        if (d.id == pointer && d.type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER) {
            m.pointer = d.id;
            m.keyboard = d.attachment;
        }
    return m;
}

std::vector<uint16_t> xtestSlavesOf(const std::vector<XIDevice>& devices, PostingMasters masters)
{
    // Masters unknown (XInput2 missing on the posting connection): every
    // XTEST slave counts, so our own input is never taken for a person's.
    const bool any = masters.pointer == 0 && masters.keyboard == 0;
    std::vector<uint16_t> out;
    for (const auto& d : devices)
        if (d.isXTest()
            && (any || (d.attachment != 0 && (d.attachment == masters.pointer || d.attachment == masters.keyboard))))
            out.push_back(d.id);
    return out;
}

} // namespace tovrik::platform::x11
