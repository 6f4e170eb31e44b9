#pragma once

// An X client that types and clicks through a master device pair of its own
// (a second seat created for the test), like a second keyboard or a
// remote-desktop seat. Our event taps treat only the XTEST slaves of the
// masters our own synthetic input uses as ours, so everything this client
// does counts as physical input of another client. The seat is removed again
// when the object goes.

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstring>
#include <string>
#include <unistd.h>

namespace tovrik::test {

class SecondSeatClient {
public:
    SecondSeatClient()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            return;
        int opcode = 0, event = 0, error = 0;
        int major = 2, minor = 2;
        if (!XQueryExtension(m_display, "XInputExtension", &opcode, &event, &error) ||
            XIQueryVersion(m_display, &major, &minor) != Success)
            return;
        static int serial = 0;
        m_name = "tovrik-test-seat-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        XIAddMasterInfo add;
        std::memset(&add, 0, sizeof add);
        add.type = XIAddMaster;
        add.name = const_cast<char*>(m_name.c_str());
        add.send_core = True;
        add.enable = True;
        XIChangeHierarchy(m_display, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
        XSync(m_display, False);
        int count = 0;
        XIDeviceInfo* devices = XIQueryDevice(m_display, XIAllMasterDevices, &count);
        const std::string pointerName = m_name + " pointer";
        for (int i = 0; i < count; ++i)
            if (devices[i].use == XIMasterPointer && pointerName == devices[i].name)
                m_masterPointer = devices[i].deviceid;
        XIFreeDeviceInfo(devices);
        if (m_masterPointer == 0)
            return;
        // XTest requests of this client now go through the new seat.
        XISetClientPointer(m_display, None, m_masterPointer);
        XSync(m_display, False);
        m_ready = true;
    }
    ~SecondSeatClient()
    {
        if (!m_display)
            return;
        if (m_masterPointer != 0) {
            XIRemoveMasterInfo remove;
            std::memset(&remove, 0, sizeof remove);
            remove.type = XIRemoveMaster;
            remove.deviceid = m_masterPointer;
            remove.return_mode = XIFloating;
            XIChangeHierarchy(m_display, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&remove), 1);
            XSync(m_display, False);
        }
        XCloseDisplay(m_display);
    }
    SecondSeatClient(const SecondSeatClient&) = delete;
    SecondSeatClient& operator=(const SecondSeatClient&) = delete;

    bool ready() const { return m_ready; }

    void key(KeySym sym, bool down)
    {
        XTestFakeKeyEvent(m_display, XKeysymToKeycode(m_display, sym), down ? True : False, CurrentTime);
        XSync(m_display, False);
    }
    // Moves this seat's pointer to (x, y) on the screen and clicks `button`
    // (1 left, 2 middle, 3 right).
    void click(int x, int y, unsigned button = 1)
    {
        XTestFakeMotionEvent(m_display, DefaultScreen(m_display), x, y, CurrentTime);
        XTestFakeButtonEvent(m_display, button, True, CurrentTime);
        XTestFakeButtonEvent(m_display, button, False, CurrentTime);
        XSync(m_display, False);
    }

private:
    Display* m_display = nullptr;
    std::string m_name;
    int m_masterPointer = 0;
    bool m_ready = false;
};

} // namespace tovrik::test
