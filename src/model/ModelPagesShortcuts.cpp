// Panel pages and the shortcut screen's actions: capture, reset and the
// hotkey monitor's capture reports.

#include "model/TovrikAppModel.h"

#include "interaction/HotkeyMonitor.h"
#include "interaction/SpeechPlayer.h"

#include <mutex>

namespace tovrik {

// ---- pages ----

void TovrikAppModel::showAdvancedSettings()
{
    if (m_isShowingVoiceSettings)
        stopVoicePreview();
    publish(m_isShowingShortcutSettings, false);
    publish(m_isShowingVoiceSettings, false);
    publish(m_isShowingAdvancedSettings, true);
}

void TovrikAppModel::showMainScreen()
{
    if (m_isShowingShortcutSettings) {
        bool wasCapturing = false;
        {
            std::lock_guard<std::mutex> lock(m_hotkeyMonitor->stateLock);
            wasCapturing = m_hotkeyMonitor->endShortcutCaptureLocked();
        }
        if (wasCapturing || m_shortcutCaptureTarget != ShortcutCaptureTarget::none)
            handleShortcutCaptureCanceled();
        publish(m_isShowingShortcutSettings, false);
    } else if (m_isShowingVoiceSettings) {
        stopVoicePreview();
        publish(m_isShowingVoiceSettings, false);
    } else {
        publish(m_isShowingAdvancedSettings, false);
    }
}

void TovrikAppModel::showVoiceSettings()
{
    stopVoicePreview();
    setVoicePreviewStatusMessage(QString());
    publish(m_isShowingVoiceSettings, true);
}

void TovrikAppModel::showShortcutSettings()
{
    setShortcutCaptureStatusMessage(QString());
    publish(m_isShowingShortcutSettings, true);
}

// ---- shortcuts ----

void TovrikAppModel::setShortcutCaptureTarget(ShortcutCaptureTarget target) { publish(m_shortcutCaptureTarget, target); }

void TovrikAppModel::setShortcutCaptureStatusMessage(const QString& value)
{
    publish(m_shortcutCaptureStatusMessage, value);
}

void TovrikAppModel::beginVoiceShortcutCapture()
{
    setShortcutCaptureTarget(ShortcutCaptureTarget::voice);
    setShortcutCaptureStatusMessage(QStringLiteral("Press the new voice shortcut. Esc cancels."));
    std::lock_guard<std::mutex> lock(m_hotkeyMonitor->stateLock);
    m_hotkeyMonitor->beginShortcutCaptureLocked();
}

void TovrikAppModel::beginPanelShortcutCapture()
{
    setShortcutCaptureTarget(ShortcutCaptureTarget::panel);
    setShortcutCaptureStatusMessage(QStringLiteral("Press the new menu shortcut. Esc cancels."));
    std::lock_guard<std::mutex> lock(m_hotkeyMonitor->stateLock);
    m_hotkeyMonitor->beginShortcutCaptureLocked();
}

void TovrikAppModel::resetShortcutsToDefaults()
{
    {
        std::lock_guard<std::mutex> lock(m_hotkeyMonitor->stateLock);
        m_hotkeyMonitor->endShortcutCaptureLocked();
    }
    // The capture ends here without a queued cancel report: that report
    // would land after this reset and replace its message.
    setShortcutCaptureTarget(ShortcutCaptureTarget::none);
    const ShortcutGesture voice = m_voiceShortcut;
    const ShortcutGesture panel = m_panelShortcut;
    publish(m_voiceShortcut, ShortcutGesture::defaultVoiceShortcut());
    publish(m_panelShortcut, ShortcutGesture::defaultPanelShortcut());
    handMonitorShortcuts(true);
    setShortcutCaptureStatusMessage(QStringLiteral("Shortcuts reset to defaults."));
    if (!storeShortcutsInSettings())
        keepShortcutsAfterFailedSave(voice, panel);
}

void TovrikAppModel::keepShortcutsAfterFailedSave(const ShortcutGesture& voice, const ShortcutGesture& panel)
{
    // The previous shortcuts stay active, and the page says why.
    publish(m_voiceShortcut, voice);
    publish(m_panelShortcut, panel);
    handMonitorShortcuts(true);
    setShortcutCaptureStatusMessage(m_settingsStatusMessage);
}

void TovrikAppModel::handleShortcutCaptured(const ShortcutGesture& gesture)
{
    const ShortcutCaptureTarget target = m_shortcutCaptureTarget;
    const ShortcutGesture voice = m_voiceShortcut;
    const ShortcutGesture panel = m_panelShortcut;
    setShortcutCaptureTarget(ShortcutCaptureTarget::none);
    switch (target) {
    case ShortcutCaptureTarget::none:
        return;
    case ShortcutCaptureTarget::voice:
        if (gesture == m_panelShortcut) {
            setShortcutCaptureStatusMessage(QStringLiteral("That shortcut is already used."));
            return;
        }
        publish(m_voiceShortcut, gesture);
        setShortcutCaptureStatusMessage(QStringLiteral("Voice shortcut updated."));
        break;
    case ShortcutCaptureTarget::panel:
        if (gesture == m_voiceShortcut) {
            setShortcutCaptureStatusMessage(QStringLiteral("That shortcut is already used."));
            return;
        }
        publish(m_panelShortcut, gesture);
        setShortcutCaptureStatusMessage(QStringLiteral("Menu shortcut updated."));
        break;
    }
    handMonitorShortcuts(true);
    if (!storeShortcutsInSettings())
        keepShortcutsAfterFailedSave(voice, panel);
}

void TovrikAppModel::handleShortcutCaptureCanceled()
{
    setShortcutCaptureTarget(ShortcutCaptureTarget::none);
    setShortcutCaptureStatusMessage(QStringLiteral("Shortcut change canceled."));
}

void TovrikAppModel::handleShortcutCaptureFailed(const QString& message)
{
    setShortcutCaptureStatusMessage(message);
}

void TovrikAppModel::handMonitorShortcuts(bool clearActiveFlags)
{
    const ShortcutGesture voice = m_voiceShortcut.isUsable() ? m_voiceShortcut : ShortcutGesture::defaultVoiceShortcut();
    const ShortcutGesture panel = m_panelShortcut.isUsable() ? m_panelShortcut : ShortcutGesture::defaultPanelShortcut();
    std::lock_guard<std::mutex> lock(m_hotkeyMonitor->stateLock);
    m_hotkeyMonitor->voiceShortcut = voice;
    m_hotkeyMonitor->panelShortcut = panel;
    if (clearActiveFlags) {
        m_hotkeyMonitor->shortcutActive = false;
        m_hotkeyMonitor->panelShortcutActive = false;
    }
}

bool TovrikAppModel::storeShortcutsInSettings()
{
    TovrikSettings settings = m_settings;
    settings.voiceShortcut = m_voiceShortcut.text();
    settings.panelShortcut = m_panelShortcut.text();
    return saveSettings(settings);
}

} // namespace tovrik
