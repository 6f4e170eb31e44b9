#pragma once

// The real backend of the platform layer on an X11 display (see
// docs/platform.md): XRandR displays, XTest synthetic input, XInput2 event
// taps, root-window capture, permissions, the Secret Service keychain and
// Qt's multimedia, speech and desktop services.

#include "platform/Platform.h"

#include <QString>
#include <memory>

namespace tovrik::platform::x11 {

class X11Displays;
class X11Input;
class X11EventTap;
class X11Capture;
class X11Permissions;
class X11Workspace;
class X11AudioInput;
class X11AudioOutput;
class X11Speech;
class XcbConnection;

class X11Platform : public Platform {
public:
    // Needs a QGuiApplication on the xcb platform plugin.
    X11Platform();
    ~X11Platform() override;

    // Creates the backend and installs it as Platform::get(). False (with a
    // one-line reason in `error`) when there is no usable X11 display or
    // the session is a Wayland one (even with Xwayland); nothing is
    // installed then.
    static bool install(QString* error = nullptr);

    // Whether the X server answered.
    bool isConnected() const;

    Displays& displays() override;
    SyntheticInput& input() override;
    EventTap& eventTap() override;
    DisplayCapture& capture() override;
    Permissions& permissions() override;
    Keychain& keychain() override;
    Workspace& workspace() override;
    AudioInput& audioInput() override;
    AudioOutput& audioOutput() override;
    SpeechSynthesizer& speech() override;
    // A compositing manager owns the _NET_WM_CM_S<screen> selection.
    bool compositorActive() override;

    X11Displays& x11Displays() { return *m_displays; }
    X11Input& x11Input() { return *m_input; }
    X11EventTap& x11EventTap() { return *m_tap; }
    X11Capture& x11Capture() { return *m_capture; }

private:
    // Declared first, so destroyed last: the input given back (held keys and
    // buttons let go, lent keycodes returned) before any media object goes.
    std::unique_ptr<X11AudioInput> m_audioIn;
    std::unique_ptr<X11AudioOutput> m_audioOut;
    std::unique_ptr<X11Speech> m_speech;
    std::unique_ptr<X11Displays> m_displays;
    std::unique_ptr<X11Input> m_input;
    std::unique_ptr<X11EventTap> m_tap;
    std::unique_ptr<X11Capture> m_capture;
    std::unique_ptr<X11Permissions> m_permissions;
    std::unique_ptr<Keychain> m_keychain;
    std::unique_ptr<X11Workspace> m_workspace;
    std::unique_ptr<XcbConnection> m_conn; // for quick queries of the platform's own
};

// How Qt draws our windows on X11, set while the QApplication is made:
// without the shared-memory extension. The overlay sends small regions (the
// arrow, the click ripple) 60 times a second, and through shared memory Qt
// waits for the server (a round trip) before a frame may draw where the last
// one was sent; through the connection a frame waits for nothing. The screen
// capture keeps its shared memory (a connection of its own). Made right
// before the application and let go right after it, so that programs
// started later do not inherit the setting; a setting the user made stays.
class QtWindowDrawingSetting {
public:
    QtWindowDrawingSetting();
    ~QtWindowDrawingSetting();
    QtWindowDrawingSetting(const QtWindowDrawingSetting&) = delete;
    QtWindowDrawingSetting& operator=(const QtWindowDrawingSetting&) = delete;

private:
    bool m_set = false;
};

} // namespace tovrik::platform::x11
