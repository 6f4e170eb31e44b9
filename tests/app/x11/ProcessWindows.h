#pragma once

// The top-level windows of a process on the test command's X server, found
// with plain xcb queries (_NET_WM_PID).

#include "platform/x11/Xcb.h"

#include <QRect>
#include <QString>
#include <vector>
#include <xcb/xcb.h>

namespace tovrik::app {

using platform::x11::XcbReply;

struct WindowInfo {
    xcb_window_t id = 0;
    QRect geometry; // root coordinates
    QString name;
    std::vector<uint32_t> states;
};

// Mapped, viewable top-level windows of process `pid`.
inline std::vector<WindowInfo> viewableWindowsOf(platform::x11::XcbConnection& c, qint64 pid)
{
    using platform::x11::getProperty;
    const auto atom = [&](const char* name) { return platform::x11::internAtom(c, name); };
    std::vector<WindowInfo> out;
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, c.root()), nullptr));
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
        const xcb_window_t w = xcb_query_tree_children(tree.get())[i];
        const auto pids = getProperty(c, w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL).cardinals();
        XcbReply<xcb_get_window_attributes_reply_t> attrs(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr));
        XcbReply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr));
        if (!pids.empty() && qint64(pids[0]) == pid && attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE && geo)
            out.push_back({w, QRect(geo->x, geo->y, geo->width, geo->height),
                           QString::fromUtf8(getProperty(c, w, atom("_NET_WM_NAME")).data),
                           getProperty(c, w, atom("_NET_WM_STATE"), XCB_ATOM_ATOM).cardinals()});
    }
    return out;
}

} // namespace tovrik::app
