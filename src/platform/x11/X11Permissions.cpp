#include "platform/x11/X11Permissions.h"

#include "platform/x11/X11Capture.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"

#include <QCoreApplication>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMetaObject>

namespace tovrik::platform::x11 {

X11Permissions::X11Permissions(X11Input& input, X11EventTap& tap, X11Capture& capture)
    : m_input(input), m_tap(tap), m_capture(capture)
{
}

bool X11Permissions::accessibilityTrusted() { return m_input.isAvailable() && m_tap.isAvailable(); }

bool X11Permissions::requestAccessibilityTrust() { return accessibilityTrusted(); }

bool X11Permissions::screenCapturePreflight() { return !m_capture.captureRootRect(QRect(0, 0, 1, 1)).isNull(); }

bool X11Permissions::requestScreenCaptureAccess() { return screenCapturePreflight(); }

bool X11Permissions::hasMicrophoneInputDevice() { return !QMediaDevices::audioInputs().isEmpty(); }

MicrophoneAuthorization X11Permissions::microphoneAuthorization()
{
    if (hasMicrophoneInputDevice())
        return MicrophoneAuthorization::Authorized;
    return m_microphoneAsked ? MicrophoneAuthorization::Denied : MicrophoneAuthorization::NotDetermined;
}

void X11Permissions::requestMicrophoneAccess(std::function<void(bool)> completion)
{
    m_microphoneAsked = true;
    const bool granted = hasMicrophoneInputDevice();
    if (!completion)
        return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [completion = std::move(completion), granted]() { completion(granted); },
        Qt::QueuedConnection);
}

bool X11Permissions::openPrivacyPane(PrivacyPane) { return false; }

} // namespace tovrik::platform::x11
