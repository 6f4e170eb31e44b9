#pragma once

// X11 gates neither synthetic input nor capture: accessibility is trusted
// when XTest and XInput2 are there, screen recording when a 1x1 capture of
// the root works. Both are facts of the server: the extensions are learnt
// when the backend connects, the capture once (again after an explicit
// request, and never while the connection is lost), so asking costs no
// request to the server. The microphone follows Qt Multimedia's input devices:
// Authorized while one exists; with none it is NotDetermined until asked,
// Denied after.
//
// Privacy pages: the desktop's own settings page for the facility, where one
// exists. The microphone's is the sound input settings of the running desktop
// (XDG_CURRENT_DESKTOP), else a PulseAudio volume control's input tab. X11
// gates neither capture nor synthetic input, so no desktop has a page for
// screen recording or for control of other apps: those open nothing.

#include "platform/Permissions.h"

#include <QStringList>
#include <functional>
#include <optional>

namespace tovrik::platform::x11 {

struct SettingsCommand {
    QString program;
    QStringList arguments;
    bool operator==(const SettingsCommand&) const = default;
};

// The command that opens `pane` on the desktop named by `currentDesktop`
// (XDG_CURRENT_DESKTOP, colon-separated), given which programs are installed.
std::optional<SettingsCommand> privacySettingsCommand(PrivacyPane pane, const QString& currentDesktop,
                                                      const std::function<bool(const QString&)>& isInstalled);

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
    QStringList missingInputExtensions() override;

private:
    X11Input& m_input;
    X11EventTap& m_tap;
    X11Capture& m_capture;
    bool m_microphoneAsked = false;
    std::optional<bool> m_screenCaptureWorks;
};

} // namespace tovrik::platform::x11
