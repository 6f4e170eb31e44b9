// A bare Xlib program that falls behind the keys it is sent, the way a busy
// terminal does: for each key it first makes a round trip (which reads every
// event waiting on its connection, keyboard map changes among them, ahead of
// the keys still queued), then takes a while, then translates the key with
// the map Xlib holds by then. It takes no pings. Ctrl+S writes what it was
// typed to the file named by its argument and ends it. With "worker" a
// thread of it works in bursts between sleeps meanwhile; with "pipe" a
// thread of it waits in read() on a pipe that never gets anything. With
// "otherpid" or "elsewhere" its window says it belongs to another process
// (_NET_WM_PID) or another machine (WM_CLIENT_MACHINE).
//
//   tovrik-test-lagging-sink FILE [MILLISECONDS_PER_KEY] [worker|pipe|otherpid|elsewhere]

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const int lag = argc > 2 ? std::atoi(argv[2]) : 10;
    const char* other = argc > 3 ? argv[3] : "";
    int never[2];
    if (pipe(never) != 0)
        return 1;
    if (!std::strcmp(other, "worker"))
        std::thread([] {
            volatile unsigned sum = 0;
            for (;;) {
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
                while (std::chrono::steady_clock::now() < until)
                    sum = sum + 1;
                std::this_thread::sleep_for(std::chrono::milliseconds(7));
            }
        }).detach();
    else if (!std::strcmp(other, "pipe"))
        std::thread([&never] {
            char c;
            (void)!read(never[0], &c, 1);
        }).detach();
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy)
        return 1;
    const Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 400, 300, 0, 0, 0xffffff);
    XStoreName(dpy, w, "typing-target");
    if (!std::strcmp(other, "otherpid")) {
        const long pid = getppid();
        XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
    } else if (!std::strcmp(other, "elsewhere")) {
        XChangeProperty(dpy, w, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>("elsewhere.example"), 17);
    }
    XSelectInput(dpy, w, KeyPressMask | KeyReleaseMask);
    XMapWindow(dpy, w);
    std::string typed;
    for (;;) {
        XEvent e;
        XNextEvent(dpy, &e);
        if (e.type != KeyPress)
            continue;
        XSync(dpy, False);
        usleep(useconds_t(lag) * 1000);
        KeySym sym = NoSymbol;
        char ascii[8];
        XLookupString(&e.xkey, ascii, sizeof ascii, &sym, nullptr);
        if ((e.xkey.state & ControlMask) && (sym == XK_s || sym == XK_S)) {
            FILE* f = std::fopen(argv[1], "wb");
            if (!f)
                return 1;
            std::fwrite(typed.data(), 1, typed.size(), f);
            std::fclose(f);
            return 0;
        }
        char utf8[8];
        const int n = xkb_keysym_to_utf8(xkb_keysym_t(sym), utf8, sizeof utf8);
        if (sym == XK_Return)
            typed += '\n';
        else if (sym == XK_Tab)
            typed += '\t';
        else if (n > 1)
            typed.append(utf8, size_t(n - 1));
    }
}
