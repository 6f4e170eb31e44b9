#pragma once

// The few X11 facts the overlay needs that Qt does not give: whether a
// compositor runs, and a round trip that makes sure the server has processed
// our window changes. Both answer sensibly when Qt does not run on X11
// (offscreen tests): a compositor is assumed and syncing does nothing.

#include <QRegion>
#include <optional>

class QWidget;

namespace tovrik::overlay::x11 {

// True when Qt runs on the xcb platform.
bool onX11();
// True when some client owns the _NET_WM_CM_S<screen> selection of the
// default screen (a compositing manager runs), or when not on X11.
bool compositorRunning();
// Flushes Qt's X connection and waits for a reply from the server, so every
// request sent before (unmapping our windows) has been processed.
void syncWithServer();
// Maps or unmaps the native X window of top-level `window` directly, behind
// Qt's back: Qt keeps the widget shown and its backing store as it is, so
// mapping it again shows the same pixels without painting them anew (Qt only
// flushes what the server exposes). False, doing nothing, when not on X11 or
// the widget has no native window.
bool setNativeWindowMapped(QWidget* window, bool mapped);
// Sets the bounding shape of the native X window of top-level `window` (in
// its logical pixels; nullopt: the whole window), creating that window if
// need be. Unlike a widget mask this leaves Qt painting the whole window
// into its backing store: only the server shows less. False, doing nothing,
// when not on X11.
bool setNativeWindowShape(QWidget* window, const std::optional<QRegion>& shape);
// Makes `pixels` (device pixels from the window's top-left corner) of the
// native X window of top-level `window` fully transparent, behind Qt's back:
// its backing store keeps what it drew, and flushing that region shows it
// again. For a 32-bit window shown by a compositor, which then repaints just
// that region. False, doing nothing, when not on X11 or the widget has no
// native window.
bool clearNativeWindowArea(QWidget* window, const QRegion& pixels);

} // namespace tovrik::overlay::x11
