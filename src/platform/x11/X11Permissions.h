#pragma once

// X11 gates neither synthetic input nor capture: accessibility is trusted
// when XTest and XInput2 are there, screen recording when a 1x1 capture of
// the root works. The microphone follows Qt Multimedia's input devices:
// Authorized while one exists; with none it is NotDetermined until asked,
// Denied after. Privacy pages have no Linux counterpart.

#include "platform/Permissions.h"

namespace tovrik::platform::x11 {

class X11Capture;
class X11EventTap;
class X11Input;

class X11Permissions : public Permissions {
public:
    X11Permissions(X11Input& input, X11EventTap& tap, X11Capture& capture);
    bool accessibilityTrusted() override;
    bool requestAccessibilityTrust() override;
    bool screenCapturePreflight() override;
    bool requestScreenCaptureAccess() override;
    MicrophoneAuthorization microphoneAuthorization() override;
    void requestMicrophoneAccess(std::function<void(bool)> completion) override;
    bool hasMicrophoneInputDevice() override;
    bool openPrivacyPane(PrivacyPane pane) override;

private:
    X11Input& m_input;
    X11EventTap& m_tap;
    X11Capture& m_capture;
    bool m_microphoneAsked = false;
};

} // namespace tovrik::platform::x11
