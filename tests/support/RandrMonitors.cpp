#include "support/RandrMonitors.h"

#include "platform/x11/Xcb.h"

#include <xcb/randr.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace tovrik::test {

using platform::x11::XcbConnection;
using platform::x11::XcbReply;

bool setMonitor(const char* name, QRect r, bool primary, uint32_t output)
{
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy)
        return false;
    const Atom atom = XInternAtom(dpy, name, False);
    if (r.isEmpty()) {
        XRRDeleteMonitor(dpy, DefaultRootWindow(dpy), atom);
    } else {
        XRRMonitorInfo* m = XRRAllocateMonitor(dpy, output ? 1 : 0);
        m->name = atom;
        m->primary = primary;
        m->automatic = False;
        m->x = r.x();
        m->y = r.y();
        m->width = r.width();
        m->height = r.height();
        m->mwidth = r.width() / 4;
        m->mheight = r.height() / 4;
        if (output)
            m->outputs[0] = output;
        XRRSetMonitor(dpy, DefaultRootWindow(dpy), m);
        XRRFreeMonitors(m);
    }
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return true;
}

uint32_t firstOutput()
{
    XcbConnection c(nullptr);
    XcbReply<xcb_randr_query_version_reply_t> v(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    XcbReply<xcb_randr_get_screen_resources_current_reply_t> res(
        xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, c.root()), nullptr));
    if (!res || xcb_randr_get_screen_resources_current_outputs_length(res.get()) == 0)
        return 0;
    return xcb_randr_get_screen_resources_current_outputs(res.get())[0];
}

} // namespace tovrik::test
