#include "platform/x11/X11Permissions.h"

#include "platform/x11/X11Capture.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"

#include <QCoreApplication>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMetaObject>
#include <QProcess>
#include <QStandardPaths>

namespace tovrik::platform::x11 {

X11Permissions::X11Permissions(X11Input& input, X11EventTap& tap, X11Capture& capture)
    : m_input(input), m_tap(tap), m_capture(capture)
{
}

bool X11Permissions::accessibilityTrusted() { return m_input.isAvailable() && m_tap.isAvailable(); }

QStringList X11Permissions::missingInputExtensions()
{
    QStringList missing;
    if (!m_input.isAvailable())
        missing << QStringLiteral("XTEST");
    if (!m_tap.isAvailable())
        missing << QStringLiteral("XInput2");
    return missing;
}

bool X11Permissions::requestAccessibilityTrust() { return accessibilityTrusted(); }

bool X11Permissions::screenCapturePreflight()
{
    // Whether the root can be read is a fact of the server (its security
    // policy), not of the moment: one capture learns it, and only a lost
    // connection (no server to read from) changes the answer.
    if (!m_capture.isConnected()) {
        m_screenCaptureWorks.reset();
        return false;
    }
    if (!m_screenCaptureWorks)
        m_screenCaptureWorks = !m_capture.captureRootRect(QRect(0, 0, 1, 1)).isNull();
    return *m_screenCaptureWorks;
}

bool X11Permissions::requestScreenCaptureAccess()
{
    // Asked for by the user: learnt afresh.
    m_screenCaptureWorks.reset();
    return screenCapturePreflight();
}

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

std::optional<SettingsCommand> privacySettingsCommand(PrivacyPane pane, const QString& currentDesktop,
                                                      const std::function<bool(const QString&)>& isInstalled)
{
    if (pane != PrivacyPane::Microphone)
        return std::nullopt;
    struct Candidate {
        const char* desktop; // a name of XDG_CURRENT_DESKTOP, or nullptr for any desktop
        SettingsCommand command;
    };
    static const Candidate candidates[] = {
        {"GNOME", {QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}}},
        {"Unity", {QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}}},
        {"Budgie", {QStringLiteral("budgie-control-center"), {QStringLiteral("sound")}}},
        {"KDE", {QStringLiteral("systemsettings"), {QStringLiteral("kcm_pulseaudio")}}},
        {"KDE", {QStringLiteral("systemsettings5"), {QStringLiteral("kcm_pulseaudio")}}},
        {"X-Cinnamon", {QStringLiteral("cinnamon-settings"), {QStringLiteral("sound")}}},
        {"MATE", {QStringLiteral("mate-volume-control"), {QStringLiteral("--page=input")}}},
        {"LXQt", {QStringLiteral("pavucontrol-qt"), {QStringLiteral("--tab=4")}}},
        // Any desktop (XFCE, LXDE, a bare window manager): the volume
        // control's "Input Devices" tab.
        {nullptr, {QStringLiteral("pavucontrol"), {QStringLiteral("--tab=4")}}},
        {nullptr, {QStringLiteral("pavucontrol-qt"), {QStringLiteral("--tab=4")}}},
    };
    const QStringList desktops = currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const Candidate& c : candidates) {
        const bool forThisDesktop =
            !c.desktop || desktops.contains(QString::fromLatin1(c.desktop), Qt::CaseInsensitive);
        if (forThisDesktop && isInstalled(c.command.program))
            return c.command;
    }
    return std::nullopt;
}

bool X11Permissions::openPrivacyPane(PrivacyPane pane)
{
    const auto command = privacySettingsCommand(pane, qEnvironmentVariable("XDG_CURRENT_DESKTOP"),
                                                [](const QString& program) {
                                                    return !QStandardPaths::findExecutable(program).isEmpty();
                                                });
    return command && QProcess::startDetached(command->program, command->arguments);
}

} // namespace tovrik::platform::x11
