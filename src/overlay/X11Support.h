#pragma once

// The few X11 facts the overlay needs that Qt does not give: whether a
// compositor runs, and a round trip that makes sure the server has processed
// our window changes. Both answer sensibly when Qt does not run on X11
// (offscreen tests): a compositor is assumed and syncing does nothing.

namespace tovrik::overlay::x11 {

// True when Qt runs on the xcb platform.
bool onX11();
// True when some client owns the _NET_WM_CM_S<screen> selection of the
// default screen (a compositing manager runs), or when not on X11.
bool compositorRunning();
// Flushes Qt's X connection and waits for a reply from the server, so every
// request sent before (unmapping our windows) has been processed.
void syncWithServer();

} // namespace tovrik::overlay::x11
