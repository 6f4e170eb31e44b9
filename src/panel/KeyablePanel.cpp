#include "panel/KeyablePanel.h"

#include "platform/Platform.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QRegion>
#include <QShowEvent>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace tovrik {

namespace {

xcb_connection_t* x11Connection()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name)
{
    auto cookie = xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

} // namespace

KeyablePanel::KeyablePanel(const QRect& contentRect, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    setAutoFillBackground(false);
    // Tab focus only: a click on the panel's background or on one of its
    // buttons (which take no focus) leaves the focus where it was, so the ask
    // box keeps it after Ask.
    setFocusPolicy(Qt::TabFocus);
    setWindowTitle(QGuiApplication::applicationDisplayName().isEmpty() ? QStringLiteral("Tovrik")
                                                                        : QGuiApplication::applicationDisplayName());
    setGeometry(contentRect);
    winId(); // create the native window now, so its properties can be set before it maps
    markWindowState();
}

void KeyablePanel::setCornerRadius(double radius)
{
    m_cornerRadius = radius;
    updateMask();
}

bool KeyablePanel::isCompositingManagerRunning()
{
    if (!platform::Platform::isInstalled())
        return true;
    return platform::Platform::get().compositorActive();
}

void KeyablePanel::showEvent(QShowEvent* event)
{
    markWindowState();
    updateMask();
    QWidget::showEvent(event);
}

void KeyablePanel::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    updateMask();
}

void KeyablePanel::updateMask()
{
    if (m_cornerRadius <= 0 || isCompositingManagerRunning()) {
        clearMask();
        return;
    }
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), m_cornerRadius, m_cornerRadius);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}

// An accessory application has no taskbar entry, and its panel is on every
// workspace: the EWMH window state (skip taskbar, skip pager, sticky) and the
// desktop "all" (0xFFFFFFFF) are set before the window maps, where a window
// manager reads them (Qt keeps states it finds on an unmapped window). This
// runs before every map, not only the first: a window manager removes the
// state of a window that is hidden, so a panel shown again would otherwise
// come back with a taskbar entry.
void KeyablePanel::markWindowState()
{
    xcb_connection_t* c = x11Connection();
    // The show event comes before the native window maps; a window already
    // mapped is asked through requestWindowState() instead.
    if (!c || !windowHandle() || windowHandle()->isVisible())
        return;
    const xcb_window_t window = xcb_window_t(windowHandle()->winId());
    const xcb_atom_t state = internAtom(c, "_NET_WM_STATE");
    const xcb_atom_t wanted[] = {internAtom(c, "_NET_WM_STATE_SKIP_TASKBAR"), internAtom(c, "_NET_WM_STATE_SKIP_PAGER"),
                                 internAtom(c, "_NET_WM_STATE_STICKY")};
    if (state == XCB_ATOM_NONE)
        return;
    bool present[3] = {false, false, false};
    auto cookie = xcb_get_property(c, 0, window, state, XCB_ATOM_ATOM, 0, 64);
    if (xcb_get_property_reply_t* reply = xcb_get_property_reply(c, cookie, nullptr)) {
        if (reply->format == 32 && reply->type == XCB_ATOM_ATOM) {
            const auto* data = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
            for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i)
                for (int k = 0; k < 3; ++k)
                    present[k] = present[k] || data[i] == wanted[k];
        }
        std::free(reply);
    }
    xcb_atom_t atoms[3];
    uint32_t count = 0;
    for (int k = 0; k < 3; ++k)
        if (!present[k] && wanted[k] != XCB_ATOM_NONE)
            atoms[count++] = wanted[k];
    if (count > 0)
        xcb_change_property(c, XCB_PROP_MODE_APPEND, window, state, XCB_ATOM_ATOM, 32, count, atoms);
    const xcb_atom_t desktop = internAtom(c, "_NET_WM_DESKTOP");
    const uint32_t allDesktops = 0xFFFFFFFFu;
    if (desktop != XCB_ATOM_NONE)
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, desktop, XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    xcb_flush(c);
}

void KeyablePanel::requestWindowState()
{
    xcb_connection_t* c = x11Connection();
    if (!c || !windowHandle() || !isVisible())
        return;
    const xcb_window_t window = xcb_window_t(windowHandle()->winId());
    xcb_window_t root = XCB_WINDOW_NONE;
    if (xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr)) {
        root = tree->root;
        std::free(tree);
    }
    if (root == XCB_WINDOW_NONE)
        return;
    constexpr uint32_t add = 1, normalApplication = 1;
    const xcb_atom_t state = internAtom(c, "_NET_WM_STATE");
    const auto send = [&](xcb_atom_t type, uint32_t d0, uint32_t d1, uint32_t d2) {
        if (type == XCB_ATOM_NONE)
            return;
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = type;
        event.data.data32[0] = d0;
        event.data.data32[1] = d1;
        event.data.data32[2] = d2;
        // Where the source is told: after the two states of _NET_WM_STATE,
        // right after the desktop of _NET_WM_DESKTOP.
        if (type == state)
            event.data.data32[3] = normalApplication;
        xcb_send_event(c, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
    };
    send(state, add, internAtom(c, "_NET_WM_STATE_SKIP_TASKBAR"), internAtom(c, "_NET_WM_STATE_SKIP_PAGER"));
    send(state, add, internAtom(c, "_NET_WM_STATE_STICKY"), 0);
    send(internAtom(c, "_NET_WM_DESKTOP"), 0xFFFFFFFFu, normalApplication, 0);
    xcb_flush(c);
}

} // namespace tovrik
