// Which window is in front, asked of the server in as few round trips as it
// allows: every request of a batch goes out before its first reply is read
// (a capture asks this once a step; one by one it took a dozen trips).

#include "platform/x11/X11Capture.h"

#include <QRect>

#include <optional>
#include <vector>

namespace tovrik::platform::x11 {

namespace {

// A window's title: its EWMH name when it has one, else the legacy one.
struct TitleRequest {
    PropertyRequest utf8, legacy;

    TitleRequest(xcb_connection_t* conn, xcb_window_t w, xcb_atom_t nameAtom, xcb_atom_t utf8Atom)
        : utf8(requestProperty(conn, w, nameAtom, utf8Atom))
        , legacy(requestProperty(conn, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING))
    {
    }

    QString take(xcb_connection_t* conn) const
    {
        const PropertyValue named = propertyReply(conn, utf8);
        const PropertyValue plain = propertyReply(conn, legacy);
        return named.isValid() ? QString::fromUtf8(named.data) : QString::fromLatin1(plain.data);
    }
};

// The top-level window that holds `focus` when no window manager says
// which window is active (or its client window below a frame).
xcb_window_t focusedTopLevel(xcb_connection_t* conn, xcb_window_t root, xcb_window_t focus)
{
    auto hasClass = [conn](const PropertyRequest& r) { return propertyReply(conn, r).isValid(); };
    xcb_window_t w = focus;
    for (int depth = 0; depth < 64; ++depth) {
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn, xcb_query_tree(conn, w), nullptr));
        if (!tree || tree->parent == root || tree->parent == XCB_WINDOW_NONE)
            break;
        w = tree->parent;
    }
    const PropertyRequest ownClass = requestProperty(conn, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
    const auto children = xcb_query_tree(conn, w);
    const bool classed = hasClass(ownClass);
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn, children, nullptr));
    if (classed || !tree)
        return w;
    const xcb_window_t* child = xcb_query_tree_children(tree.get());
    std::vector<PropertyRequest> classes;
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i)
        classes.push_back(requestProperty(conn, child[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING));
    xcb_window_t found = w;
    for (size_t i = 0; i < classes.size(); ++i)
        if (hasClass(classes[i]) && found == w)
            found = child[i]; // every reply is still read: none may stay queued
    return found;
}

} // namespace

ForegroundInfo X11Capture::foreground()
{
    ForegroundInfo info;
    if (!m_conn.ok())
        return info;
    xcb_connection_t* conn = m_conn;
    const xcb_window_t root = m_conn.root();

    const auto focusCookie = xcb_get_input_focus(conn);
    const PropertyRequest net = requestProperty(conn, root, m_activeWindowAtom, XCB_ATOM_WINDOW);
    XcbReply<xcb_get_input_focus_reply_t> focusReply(xcb_get_input_focus_reply(conn, focusCookie, nullptr));
    const xcb_window_t focus = focusReply ? focusReply->focus : xcb_window_t(XCB_WINDOW_NONE);
    const auto netActive = propertyReply(conn, net).cardinals();
    xcb_window_t active = netActive.empty() ? xcb_window_t(XCB_WINDOW_NONE) : netActive[0];
    if (active == XCB_WINDOW_NONE && focus != XCB_WINDOW_NONE && focus != XCB_INPUT_FOCUS_POINTER_ROOT
        && focus != root)
        active = focusedTopLevel(conn, root, focus);

    std::optional<TitleRequest> focusTitle;
    if (focus != XCB_WINDOW_NONE && focus != XCB_INPUT_FOCUS_POINTER_ROOT)
        focusTitle.emplace(conn, focus, m_wmNameAtom, m_utf8StringAtom);
    if (active != XCB_WINDOW_NONE) {
        const PropertyRequest pid = requestProperty(conn, active, m_wmPidAtom, XCB_ATOM_CARDINAL);
        const PropertyRequest cls = requestProperty(conn, active, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
        const auto geoCookie = xcb_get_geometry(conn, active);
        const auto posCookie = xcb_translate_coordinates(conn, active, root, 0, 0);
        const TitleRequest activeTitle(conn, active, m_wmNameAtom, m_utf8StringAtom);

        const auto pids = propertyReply(conn, pid).cardinals();
        if (!pids.empty())
            info.processID = pids[0];
        const QList<QByteArray> names = propertyReply(conn, cls).data.split('\0');
        if (names.size() >= 2)
            info.bundleIdentifier = QString::fromUtf8(names[1]);
        XcbReply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(conn, geoCookie, nullptr));
        XcbReply<xcb_translate_coordinates_reply_t> pos(xcb_translate_coordinates_reply(conn, posCookie, nullptr));
        QRect geometry;
        if (geo && pos)
            geometry = QRect(pos->dst_x, pos->dst_y, geo->width, geo->height);
        info.frontWindowSignature = QStringLiteral("%1|%2|%3,%4 %5x%6")
                                        .arg(info.bundleIdentifier, activeTitle.take(conn))
                                        .arg(geometry.x())
                                        .arg(geometry.y())
                                        .arg(geometry.width())
                                        .arg(geometry.height());
    }
    if (focusTitle)
        info.focusedElementSignature = QStringLiteral("window 0x%1|%2").arg(focus, 0, 16).arg(focusTitle->take(conn));
    return info;
}

} // namespace tovrik::platform::x11
