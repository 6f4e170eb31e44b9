// A clicker for the measuring scripts: connects to the X server once, then
// for every line read on standard input ("X Y") moves the pointer there,
// waits until the server has it, presses and releases the left button
// through XTest, and prints the wall-clock time (ms since the epoch) taken
// just before the press was sent. A script thus times a click from the
// moment it happens, without the start-up of a new process per click.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>
#include <ctime>

int main()
{
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "clicker: cannot open the display\n");
        return 1;
    }
    int eventBase, errorBase, major, minor;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
        std::fprintf(stderr, "clicker: the X server has no XTEST\n");
        return 1;
    }
    int x, y;
    while (std::scanf("%d %d", &x, &y) == 2) {
        XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
        XSync(display, False);
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        XSync(display, False);
        std::printf("%.3f\n", now.tv_sec * 1000.0 + now.tv_nsec / 1e6);
        std::fflush(stdout);
    }
    XCloseDisplay(display);
    return 0;
}
