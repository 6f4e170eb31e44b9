#include "overlay/X11Support.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <X11/Xlib.h>
#include <cstdlib>
#include <vector>

namespace tovrik::overlay::x11 {

namespace {

xcb_connection_t* qtConnection(int* defaultScreen)
{
    if (!onX11())
        return nullptr;
    auto* native = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!native)
        return nullptr;
    if (defaultScreen) {
        Display* dpy = native->display();
        *defaultScreen = dpy ? DefaultScreen(dpy) : 0;
    }
    return native->connection();
}

} // namespace

bool onX11()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

bool compositorRunning()
{
    int screen = 0;
    xcb_connection_t* c = qtConnection(&screen);
    if (!c)
        return true;
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr);
    if (!atom)
        return false;
    const xcb_atom_t selection = atom->atom;
    std::free(atom);
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    if (!owner)
        return false;
    const bool running = owner->owner != XCB_NONE;
    std::free(owner);
    return running;
}

void syncWithServer()
{
    xcb_connection_t* c = qtConnection(nullptr);
    if (!c)
        return;
    xcb_flush(c);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

bool setNativeWindowMapped(QWidget* window, bool mapped)
{
    xcb_connection_t* c = qtConnection(nullptr);
    if (!c || !window || !window->isWindow() || !window->testAttribute(Qt::WA_WState_Created))
        return false;
    const auto id = xcb_window_t(window->winId());
    if (mapped)
        xcb_map_window(c, id);
    else
        xcb_unmap_window(c, id);
    xcb_flush(c);
    return true;
}

bool setNativeWindowShape(QWidget* window, const std::optional<QRegion>& shape)
{
    xcb_connection_t* c = qtConnection(nullptr);
    if (!c || !window || !window->isWindow())
        return false;
    const auto id = xcb_window_t(window->winId()); // created now if need be
    if (!shape) {
        xcb_shape_mask(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, id, 0, 0, XCB_NONE);
    } else {
        const double ratio = window->devicePixelRatioF();
        std::vector<xcb_rectangle_t> rects;
        for (const QRect& r : *shape) {
            const QRect d = ratio == 1.0 ? r : QRectF(QPointF(r.topLeft()) * ratio, QSizeF(r.size()) * ratio).toAlignedRect();
            rects.push_back({int16_t(d.x()), int16_t(d.y()), uint16_t(d.width()), uint16_t(d.height())});
        }
        xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED, id, 0, 0,
                             uint32_t(rects.size()), rects.data());
    }
    xcb_flush(c);
    return true;
}

bool clearNativeWindowArea(QWidget* window, const QRegion& pixels)
{
    xcb_connection_t* c = qtConnection(nullptr);
    if (!c || !window || !window->isWindow() || !window->testAttribute(Qt::WA_WState_Created))
        return false;
    const auto id = xcb_window_t(window->winId());
    std::vector<xcb_rectangle_t> rects;
    for (const QRect& r : pixels)
        rects.push_back({int16_t(r.x()), int16_t(r.y()), uint16_t(r.width()), uint16_t(r.height())});
    if (!rects.empty()) {
        // Pixel 0 of a 32-bit window: every channel 0, fully transparent.
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const uint32_t values[] = {0, 0};
        xcb_create_gc(c, gc, id, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
        xcb_poly_fill_rectangle(c, id, gc, uint32_t(rects.size()), rects.data());
        xcb_free_gc(c, gc);
    }
    xcb_flush(c);
    return true;
}

} // namespace tovrik::overlay::x11
