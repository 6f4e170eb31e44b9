// Permission onboarding: the probes through the platform layer, the active
// step with its texts, the actions of the onboarding screen and the guide.

#include "model/TovrikAppModel.h"

#include "common/Clock.h"
#include "platform/Platform.h"

namespace tovrik {

namespace {
platform::Permissions& permissions() { return platform::Platform::get().permissions(); }
} // namespace

void TovrikAppModel::refreshPermissions()
{
    platform::Permissions& probes = permissions();
    const bool accessibility = probes.accessibilityTrusted();
    const bool screenRecording = probes.screenCapturePreflight();
    const platform::MicrophoneAuthorization microphone = probes.microphoneAuthorization();
    const bool microphoneDevice = probes.hasMicrophoneInputDevice();

    publish(m_accessibilityGranted, accessibility);
    publish(m_screenRecordingGranted, screenRecording);
    publish(m_microphoneGranted, microphone == platform::MicrophoneAuthorization::Authorized);
    publish(m_microphoneNeedsSettings, microphone == platform::MicrophoneAuthorization::Denied
                                           || microphone == platform::MicrophoneAuthorization::Restricted);
    publish(m_hasMicrophoneInputDevice, microphoneDevice);
    if (screenRecording)
        publish(m_screenRecordingFlow, ScreenRecordingPermissionFlow::idle);

    if (m_visiblePermissionGuideKind) {
        bool granted = false;
        switch (*m_visiblePermissionGuideKind) {
        case PermissionGuideKind::microphone:
            granted = m_microphoneGranted;
            break;
        case PermissionGuideKind::screenRecording:
            granted = m_screenRecordingGranted;
            break;
        case PermissionGuideKind::accessibility:
            granted = m_accessibilityGranted;
            break;
        }
        if (granted)
            hidePermissionGuide();
    }
    refreshOverlayPresence();
}

void TovrikAppModel::setPermissionIntroDismissed(bool value) { publish(m_permissionIntroDismissed, value); }

void TovrikAppModel::setCurrentPermissionBusy(bool value) { publish(m_isCurrentPermissionBusy, value); }

std::optional<PermissionSetupStep> TovrikAppModel::activePermissionStep() const
{
    if (!m_microphoneStepSkipped && !m_microphoneGranted)
        return PermissionSetupStep::microphone;
    if (!m_screenRecordingGranted)
        return PermissionSetupStep::screenRecording;
    if (!m_accessibilityGranted)
        return PermissionSetupStep::accessibility;
    return std::nullopt;
}

int TovrikAppModel::activePermissionStepNumber() const
{
    const auto step = activePermissionStep();
    return step ? int(*step) + 1 : 3;
}

bool TovrikAppModel::canSkipCurrentPermission() const
{
    return activePermissionStep() == PermissionSetupStep::microphone;
}

QString TovrikAppModel::activePermissionTitle() const
{
    const auto step = activePermissionStep();
    if (!step)
        return {};
    switch (*step) {
    case PermissionSetupStep::microphone:
        return QStringLiteral("Microphone is optional.");
    case PermissionSetupStep::screenRecording:
        return QStringLiteral("I need screen content.");
    case PermissionSetupStep::accessibility:
        return QStringLiteral("I need app control.");
    }
    return {};
}

QString TovrikAppModel::activePermissionSubtitle() const
{
    const auto step = activePermissionStep();
    if (!step)
        return {};
    switch (*step) {
    case PermissionSetupStep::microphone:
        if (!m_hasMicrophoneInputDevice)
            return QStringLiteral("Connect a microphone, refresh, or skip voice setup.");
        if (m_microphoneNeedsSettings)
            return QStringLiteral("Flip the Microphone toggle on.");
        if (!m_isCurrentPermissionBusy)
            return QStringLiteral("Only while you're holding the shortcut.");
        return QStringLiteral("Click Allow in the system prompt.");
    case PermissionSetupStep::screenRecording:
        if (m_screenRecordingFlow == ScreenRecordingPermissionFlow::awaitingSystemPrompt)
            return QStringLiteral("Click Open Settings in the system prompt.");
        return QStringLiteral("Approve the capture check so I can see the active screen.");
    case PermissionSetupStep::accessibility:
        return QStringLiteral("Approve control access so I can guide apps.");
    }
    return {};
}

QString TovrikAppModel::activePermissionActionTitle() const
{
    if (m_isCurrentPermissionBusy)
        return QStringLiteral("Allowing...");
    const auto step = activePermissionStep();
    if (!step)
        return {};
    switch (*step) {
    case PermissionSetupStep::microphone:
        if (!m_hasMicrophoneInputDevice)
            return QStringLiteral("Refresh");
        if (m_microphoneNeedsSettings)
            return QStringLiteral("Open");
        return QStringLiteral("Allow");
    case PermissionSetupStep::screenRecording:
        return QStringLiteral("Allow");
    case PermissionSetupStep::accessibility:
        return QStringLiteral("Open");
    }
    return {};
}

void TovrikAppModel::performCurrentPermissionAction()
{
    setPermissionIntroDismissed(true);
    refreshPermissions();
    const auto step = activePermissionStep();
    if (!step)
        return;
    platform::Permissions& probes = permissions();
    switch (*step) {
    case PermissionSetupStep::microphone: {
        if (!m_hasMicrophoneInputDevice)
            return; // the refresh above is the whole action
        switch (probes.microphoneAuthorization()) {
        case platform::MicrophoneAuthorization::NotDetermined:
            requestMicrophonePermission();
            break;
        case platform::MicrophoneAuthorization::Authorized:
            setCurrentPermissionBusy(false);
            break;
        case platform::MicrophoneAuthorization::Denied:
        case platform::MicrophoneAuthorization::Restricted:
            setCurrentPermissionBusy(false);
            probes.openPrivacyPane(platform::PrivacyPane::Microphone);
            showPermissionGuide(PermissionGuideKind::microphone);
            break;
        }
        return;
    }
    case PermissionSetupStep::screenRecording:
        if (m_screenRecordingFlow != ScreenRecordingPermissionFlow::idle) {
            publish(m_screenRecordingFlow, ScreenRecordingPermissionFlow::settingsFallback);
            probes.openPrivacyPane(platform::PrivacyPane::ScreenRecording);
            showPermissionGuide(PermissionGuideKind::screenRecording);
            return;
        }
        {
            setCurrentPermissionBusy(true);
            const bool granted = probes.requestScreenCaptureAccess();
            setCurrentPermissionBusy(false);
            if (!granted)
                publish(m_screenRecordingFlow, ScreenRecordingPermissionFlow::awaitingSystemPrompt);
            refreshPermissions();
        }
        return;
    case PermissionSetupStep::accessibility: {
        setCurrentPermissionBusy(true);
        const bool trusted = probes.requestAccessibilityTrust();
        setCurrentPermissionBusy(false);
        if (!trusted) {
            probes.openPrivacyPane(platform::PrivacyPane::Accessibility);
            showPermissionGuide(PermissionGuideKind::accessibility);
        }
        refreshPermissions();
        return;
    }
    }
}

void TovrikAppModel::requestMicrophonePermission()
{
    setCurrentPermissionBusy(true);
    const quint64 generation = ++m_microphoneRequestGeneration;
    // The system may never answer: the busy state is given up after a while
    // so that the onboarding buttons do not stay disabled for good.
    if (m_microphoneTimeoutId)
        Clock::instance().cancel(m_microphoneTimeoutId);
    m_microphoneTimeoutId = Clock::instance().schedule(permissionRequestTimeout, this, [this, generation]() {
        if (generation != m_microphoneRequestGeneration)
            return;
        m_microphoneTimeoutId = 0;
        setCurrentPermissionBusy(false);
        refreshPermissions();
    });
    QPointer<TovrikAppModel> weak(this);
    permissions().requestMicrophoneAccess([weak, generation](bool) {
        if (!isAlive(weak))
            return;
        if (generation == weak->m_microphoneRequestGeneration) {
            if (weak->m_microphoneTimeoutId) {
                Clock::instance().cancel(weak->m_microphoneTimeoutId);
                weak->m_microphoneTimeoutId = 0;
            }
            weak->setCurrentPermissionBusy(false);
        }
        weak->refreshPermissions();
    });
}

void TovrikAppModel::skipCurrentOptionalPermission()
{
    if (activePermissionStep() != PermissionSetupStep::microphone)
        return;
    publish(m_microphoneStepSkipped, true);
    // A prompt still open no longer owns the busy state.
    ++m_microphoneRequestGeneration;
    if (m_microphoneTimeoutId) {
        Clock::instance().cancel(m_microphoneTimeoutId);
        m_microphoneTimeoutId = 0;
    }
    setCurrentPermissionBusy(false);
    hidePermissionGuide();
    refreshPermissions();
}

void TovrikAppModel::showPermissionGuide(PermissionGuideKind kind)
{
    publish(m_visiblePermissionGuideKind, std::optional<PermissionGuideKind>(kind));
}

void TovrikAppModel::hidePermissionGuide()
{
    publish(m_visiblePermissionGuideKind, std::optional<PermissionGuideKind>());
}

} // namespace tovrik
