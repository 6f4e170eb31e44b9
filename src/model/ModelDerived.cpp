// Derived values of the model: the state tests the panel reads, the panel
// size and header word, titles and button texts, the credit balance text and
// the voice list.

#include "model/TovrikAppModel.h"

#include "common/Constants.h"
#include "hosted/TrustedOrigins.h"

#include <QLocale>

namespace tovrik {

bool isBlank(const QString& text) { return text.trimmed().isEmpty(); }

QString voiceStateDisplayName(TovrikVoiceState state)
{
    switch (state) {
    case TovrikVoiceState::idle:
        return QStringLiteral("Ready");
    case TovrikVoiceState::listening:
        return QStringLiteral("Listening");
    case TovrikVoiceState::processing:
        return QStringLiteral("Thinking");
    case TovrikVoiceState::responding:
        return QStringLiteral("Responding");
    }
    return QStringLiteral("Ready");
}

// ---- state tests ----

bool TovrikAppModel::isHostedAccountSignedIn() const { return !isBlank(m_settings.hostedAccountSessionToken); }

bool TovrikAppModel::hasValidWorkerBaseURL() const
{
    return normalizedTrustedHostedWorkerBaseURL(m_settings.workerBaseURL).has_value();
}

bool TovrikAppModel::requiresAuthentication() const { return !isHostedAccountSignedIn() || !hasValidWorkerBaseURL(); }

bool TovrikAppModel::requiresPermissionGrant() const
{
    return isHostedAccountSignedIn() && hasValidWorkerBaseURL() && (!m_accessibilityGranted || !m_screenRecordingGranted);
}

bool TovrikAppModel::isAppReady() const
{
    return isHostedAccountSignedIn() && hasValidWorkerBaseURL() && m_accessibilityGranted && m_screenRecordingGranted;
}

bool TovrikAppModel::canUseChatOnly() const
{
    return isHostedAccountSignedIn() && hasValidWorkerBaseURL() && m_screenRecordingGranted;
}

QSizeF TovrikAppModel::preferredPanelSize() const
{
    using namespace constants;
    double height = menuPanelHeight;
    if (m_isShowingAdvancedSettings) {
        if (m_isShowingShortcutSettings) {
            height = shortcutSettingsPanelHeight;
            if (!isBlank(m_shortcutCaptureStatusMessage))
                height += shortcutSettingsPanelStatusExtraHeight;
        } else if (m_isShowingVoiceSettings) {
            height = voiceSettingsPanelHeight;
        } else {
            height = isAppReady() ? fullSettingsPanelHeight : setupSettingsPanelHeight;
            // One status line under "Check for updates": the settings
            // message when there is one, else the update status.
            if (!isBlank(m_updateStatusMessage) || !isBlank(m_settingsStatusMessage))
                height += updateStatusExtraHeight;
        }
    } else if (requiresAuthentication()) {
        height = m_isHostedEmailAuthVisible ? authenticationExpandedPanelHeight : authenticationPanelHeight;
        if (!isBlank(m_hostedAuthStatusMessage))
            height += authenticationStatusExtraHeight;
        if (m_loadBlockedByKeychain)
            height += authenticationKeyringRetryExtraHeight;
    } else if (requiresPermissionGrant()) {
        height = canUseChatOnly() ? activePermissionChatPanelHeight : activePermissionPanelHeight;
    }
    return QSizeF(readyPanelWidth, height);
}

QString TovrikAppModel::headerStatusText() const
{
    if (!isHostedAccountSignedIn() || !hasValidWorkerBaseURL())
        return QStringLiteral("Sign in");
    if (requiresPermissionGrant())
        return QStringLiteral("Setup");
    if (m_isAgentBusy)
        return QStringLiteral("Agent");
    if (m_isUIAutopilotBusy)
        return QStringLiteral("UI Agent");
    if (m_isChatOnlyBusy)
        return QStringLiteral("Chatting");
    switch (m_voiceState) {
    case TovrikVoiceState::idle:
        return QStringLiteral("Active");
    case TovrikVoiceState::listening:
        return QStringLiteral("Listening");
    case TovrikVoiceState::processing:
        return QStringLiteral("Processing");
    case TovrikVoiceState::responding:
        return QStringLiteral("Responding");
    }
    return QStringLiteral("Active");
}

QString TovrikAppModel::settingsPanelTitle() const
{
    if (m_isShowingVoiceSettings)
        return QStringLiteral("Voice");
    if (m_isShowingShortcutSettings)
        return QStringLiteral("Shortcuts");
    return QStringLiteral("Settings");
}

// ---- account ----

bool TovrikAppModel::hasHostedAuthStatusMessage() const { return !isBlank(m_hostedAuthStatusMessage); }

QString TovrikAppModel::hostedCreditsBalanceValue() const
{
    const qint64 balance = std::max<qint64>(m_settings.hostedAccountCreditsBalance, 0);
    // The decimal formatter of the user's locale, always grouped.
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    const QString text = locale.toString(balance);
    return text.isEmpty() ? QString::number(balance) : text;
}

bool TovrikAppModel::canRefreshHostedAccount() const
{
    return !m_isHostedAuthBusy && isHostedAccountSignedIn() && hasValidWorkerBaseURL();
}

// ---- typed chat ----

bool TovrikAppModel::canSendChatOnlyMessage() const
{
    if (!isHostedAccountSignedIn())
        return false;
    if (!hasValidWorkerBaseURL())
        return false;
    if (!m_screenRecordingGranted)
        return false;
    if (m_isChatOnlyBusy)
        return false;
    if (m_isAgentBusy)
        return false;
    if (m_isUIAutopilotBusy)
        return false;
    return !isBlank(m_chatOnlyInput);
}

QString TovrikAppModel::chatOnlySendButtonTitle() const
{
    return m_isChatOnlyBusy ? QStringLiteral("...") : QStringLiteral("Ask");
}

// ---- voice catalogue ----

QList<VoiceMenuOption> TovrikAppModel::voiceMenuOptions() const
{
    return tovrik::voiceMenuOptions(m_settings.elevenLabsVoiceID);
}

QString TovrikAppModel::selectedElevenLabsVoiceLabel() const
{
    return tovrik::selectedElevenLabsVoiceLabel(m_settings.elevenLabsVoiceID);
}

bool TovrikAppModel::hasVoicePreviewStatusMessage() const { return !isBlank(m_voicePreviewStatusMessage); }

// ---- shortcuts ----

bool TovrikAppModel::hasShortcutCaptureStatusMessage() const { return !isBlank(m_shortcutCaptureStatusMessage); }

QString TovrikAppModel::voiceShortcutCaptureButtonText() const
{
    return m_shortcutCaptureTarget == ShortcutCaptureTarget::voice ? QStringLiteral("Listening")
                                                                   : QStringLiteral("Change");
}

QString TovrikAppModel::panelShortcutCaptureButtonText() const
{
    return m_shortcutCaptureTarget == ShortcutCaptureTarget::panel ? QStringLiteral("Listening")
                                                                   : QStringLiteral("Change");
}

} // namespace tovrik
