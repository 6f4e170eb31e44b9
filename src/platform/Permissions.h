#pragma once

#include <QStringList>

#include <functional>

namespace tovrik::platform {

enum class MicrophoneAuthorization { NotDetermined, Restricted, Denied, Authorized };
enum class PrivacyPane { Microphone, ScreenRecording, Accessibility };

class Permissions {
public:
    virtual ~Permissions() = default;
    virtual bool accessibilityTrusted() = 0;
    // Asks for trust (prompting where the platform prompts); returns the state.
    virtual bool requestAccessibilityTrust() = 0;
    virtual bool screenCapturePreflight() = 0;
    virtual bool requestScreenCaptureAccess() = 0;
    virtual MicrophoneAuthorization microphoneAuthorization() = 0;
    // Completion runs on the main thread with the answer.
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;
    virtual bool hasMicrophoneInputDevice() = 0;
    // Opens the system's privacy settings page; false when there is none.
    virtual bool openPrivacyPane(PrivacyPane pane) = 0;
    // The display server's extensions that input control lacks: "XTEST"
    // (synthetic input) and "XInput2" (following the devices). Empty when
    // nothing is known to be missing.
    virtual QStringList missingInputExtensions() { return {}; }
};

} // namespace tovrik::platform
