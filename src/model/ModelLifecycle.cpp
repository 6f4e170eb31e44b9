// The model's life: services, start-up, settings loading and saving, the
// hotkey monitor's wiring, interaction bookkeeping and error texts.

#include "model/TovrikAppModel.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "autopilot/DesktopInputService.h"
#include "autopilot/TovrikAgentRunner.h"
#include "autopilot/UserInputActivityMonitor.h"
#include "hosted/GoogleDesktopAuthService.h"
#include "hosted/HTTPError.h"
#include "hosted/HostedBackendClient.h"
#include "hosted/TrustedOrigins.h"
#include "interaction/AudioRecorderService.h"
#include "interaction/FallbackSpeaker.h"
#include "interaction/HotkeyMonitor.h"
#include "interaction/ScreenCaptureService.h"
#include "interaction/SpeechPlayer.h"
#include "overlay/AgentActivityWindowController.h"
#include "overlay/OverlayWindowController.h"
#include "settings/SettingsStore.h"
#include "updater/MacUpdateService.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>

namespace tovrik {

TovrikAppModel::TovrikAppModel()
    : m_settingsStore(std::make_unique<SettingsStore>()),
      m_audioRecorderService(std::make_unique<AudioRecorderService>()),
      m_speechPlayer(std::make_unique<SpeechPlayer>()),
      m_voicePreviewPlayer(std::make_unique<SpeechPlayer>()),
      m_fallbackSpeaker(std::make_unique<FallbackSpeaker>()),
      m_screenCaptureService(std::make_unique<ScreenCaptureService>()),
      m_hotkeyMonitor(std::make_unique<HotkeyMonitor>()),
      m_hostedBackendClient(std::make_unique<HostedBackendClient>()),
      m_googleAuthService(std::make_unique<GoogleDesktopAuthService>()),
      m_macUpdateService(std::make_unique<MacUpdateService>(
          constants::appDisplayName, constants::defaultHostedWorkerBaseURL(), constants::linuxUpdateManifestPaths,
          constants::linuxUpdatePlatform, constants::appBundleIdentifierFallback,
          constants::macOSDeveloperTeamIdentifier())),
      m_overlayController(std::make_unique<OverlayWindowController>()),
      m_desktopInputService(std::make_unique<DesktopInputService>()),
      m_userInputActivityMonitor(std::make_shared<UserInputActivityMonitor>()),
      m_agentActivityController(std::make_unique<AgentActivityWindowController>()),
      m_agentRunner(std::make_unique<TovrikAgentRunner>())
{
    m_googleAuthService->setBackendClient(m_hostedBackendClient.get());
    loadAndNormaliseSettings();
    wireHotkeyMonitor();
    wireUIAutopilot();
    refreshPermissions();
}

TovrikAppModel::~TovrikAppModel()
{
    m_destroying = true;
    m_lifetime.cancel();
    m_googleSignInTask.cancel();
    m_interactionTask.cancel();
    if (m_microphoneTimeoutId)
        Clock::instance().cancel(m_microphoneTimeoutId);
    if (m_owedSaveRetryId)
        Clock::instance().cancel(m_owedSaveRetryId);
    // The monitor's thread must be gone before the callbacks it could post
    // reach a model that no longer exists (they hold it weakly anyway).
    m_hotkeyMonitor->stop();
    m_userInputActivityMonitor->stop();
    // A hold in progress ends here, while everything it may reach still
    // exists (a quit while the chord was held crashed in the release
    // watchdog, fired from inside the microphone's teardown).
    endPushToTalkForTeardown();
    // A cancelled task wakes through a queued call: let the cancelled ones
    // unwind now, while the services they were using still exist (a UI
    // Autopilot run cut by a quit in the middle of typing resumed after the
    // input service was gone).
    if (QCoreApplication::instance())
        for (int pass = 0; pass < 3; ++pass)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    // The requests aborted above still have work queued on the network
    // thread; destroying their access managers in this same turn crashes
    // that thread. The two network services go once the event loop has run.
    if (QCoreApplication::instance()) {
        m_googleAuthService.release()->deleteLater();
        m_hostedBackendClient.release()->deleteLater();
        m_macUpdateService.release()->deleteLater();
    }
}

// ---- start-up ----

void TovrikAppModel::loadAndNormaliseSettings()
{
    // At start nothing may wait for the user: a locked keyring is reported
    // on the sign-in screen, which offers to try again.
    SettingsLoadResult loaded = m_settingsStore->load(false);
    m_loadBlockedByKeychain = loaded.keychainReadFailed;
    TovrikSettings settings = loaded.settings;
    bool changed = false;
    const auto force = [&changed](auto& field, const auto& value) {
        if (field != value) {
            field = value;
            changed = true;
        }
    };
    // A sign-out whose save was cut short is finished now.
    if (loaded.finishedSignOut) {
        settings.hostedAccountEmail.clear();
        settings.hostedAccountCreditsBalance = 0;
        changed = true;
    }

    force(settings.hostedModel, constants::expertHostedThinkingModel);
    force(settings.uiAutopilotMaxSteps, 0);

    const ShortcutGesture voice =
        ShortcutGesture::parseUsable(settings.voiceShortcut, ShortcutGesture::defaultVoiceShortcut());
    const ShortcutGesture panel =
        ShortcutGesture::parseUsable(settings.panelShortcut, ShortcutGesture::defaultPanelShortcut());
    force(settings.voiceShortcut, voice.text());
    force(settings.panelShortcut, panel.text());

    const std::optional<QString> origin = normalizedTrustedHostedWorkerBaseURL(settings.workerBaseURL);
    const std::optional<QString> legacy = normalizedTrustedHostedWorkerBaseURL(constants::legacyHostedWorkerBaseURL());
    if (!origin || origin == legacy)
        force(settings.workerBaseURL, constants::defaultHostedWorkerBaseURL());

    m_settings = settings;
    m_voiceShortcut = voice;
    m_panelShortcut = panel;

    // A blocked Keychain read means the record lacks secrets it may really
    // have: writing it back could look like a sign-out, so it is not saved.
    // A file with values of the wrong type is written back with the fields
    // that were read and defaults for the others (a copy of it is kept).
    showLoadMessage(loaded);
    if ((changed || !loaded.wronglyTypedFields.isEmpty()) && !m_loadBlockedByKeychain) {
        const SettingsSaveResult result = m_settingsStore->save(m_settings);
        if (!result.ok)
            m_settingsStatusMessage = result.message;
    }
}

void TovrikAppModel::showLoadMessage(const SettingsLoadResult& loaded)
{
    if (loaded.message.trimmed().isEmpty())
        return;
    publish(m_settingsStatusMessage, loaded.message);
    // An unread Keychain leaves the session unknown, so the panel opens on
    // the sign-in screen; otherwise the ready screen's status line has it.
    if (loaded.keychainReadFailed || !isHostedAccountSignedIn())
        setHostedAuthStatusMessage(loaded.message);
    else
        setChatOnlyStatusMessage(loaded.message);
}

void TovrikAppModel::retryKeychainRead()
{
    const SettingsLoadResult loaded = m_settingsStore->reloadSecrets(m_settings, true);
    m_loadBlockedByKeychain = loaded.keychainReadFailed;
    emit changed();
    if (loaded.keychainReadFailed) {
        showLoadMessage(loaded);
        return;
    }
    TovrikSettings settings = loaded.settings;
    if (loaded.finishedSignOut) {
        settings.hostedAccountEmail.clear();
        settings.hostedAccountCreditsBalance = 0;
    }
    setHostedAuthStatusMessage(QString());
    publish(m_settingsStatusMessage, QString());
    setSettingsInMemory(settings);
    ++m_hostedSessionEpoch;
    refreshOverlayPresence();
    // What the blocked start could not write back, and what it could not
    // start: the account refresh and the queued sign-outs.
    storeSettings(m_settings, false);
    if (m_launched) {
        if (isHostedAccountSignedIn())
            startTask([this](CancellationToken) { return refreshHostedAccount(false); });
        retryPendingSignOuts();
    }
}

void TovrikAppModel::wireHotkeyMonitor()
{
    // The monitor calls back on the main thread, queued; each callback holds
    // the model weakly and does nothing once the model is going.
    QPointer<TovrikAppModel> weak(this);
    HotkeyMonitor& monitor = *m_hotkeyMonitor;
    monitor.onPanelShortcutPressed = [weak]() {
        if (isAlive(weak))
            weak->openSettingsWindow();
    };
    monitor.onEscapePressed = [weak]() {
        if (isAlive(weak))
            weak->handleEscapePressed();
    };
    monitor.onShortcutCaptured = [weak](ShortcutGesture gesture) {
        if (isAlive(weak))
            weak->handleShortcutCaptured(gesture);
    };
    monitor.onShortcutCaptureCanceled = [weak]() {
        if (isAlive(weak))
            weak->handleShortcutCaptureCanceled();
    };
    monitor.onShortcutCaptureFailed = [weak](QString message) {
        if (isAlive(weak))
            weak->handleShortcutCaptureFailed(message);
    };
    // The push-to-talk press and release belong to the voice turn
    // (ModelVoiceTurn.cpp), which sets them with its metering and watchdog.
    wirePushToTalk();
}

void TovrikAppModel::launch()
{
    m_launched = true;
    refreshPermissions();
    handMonitorShortcuts(false);
    setHotkeyMonitorActive(m_hotkeyMonitor->start());
    refreshOverlayPresence();
    if (isHostedAccountSignedIn())
        startTask([this](CancellationToken) { return refreshHostedAccount(false); });
    retryPendingSignOuts();
}

void TovrikAppModel::setOpenSettingsHandler(std::function<void()> handler) { m_openSettingsWindow = std::move(handler); }

void TovrikAppModel::openSettingsWindow()
{
    if (m_openSettingsWindow)
        m_openSettingsWindow();
}

void TovrikAppModel::quit()
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), []() { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

void TovrikAppModel::handleEscapePressed()
{
    // While a run's take-over monitor runs it sees the same physical Esc and
    // stops the run with its own, more precise text; this handler covers
    // the moments of a busy run without a monitor.
    if (!m_isUIAutopilotBusy || m_userInputActivityMonitor->isRunning())
        return;
    cancelActiveInteraction(true);
    setVoiceState(TovrikVoiceState::idle);
    m_overlayController->updateVoiceState(TovrikVoiceState::idle);
    setChatOnlyStatusMessage(QStringLiteral("UI Autopilot stopped."));
}

// ---- settings ----

bool TovrikAppModel::saveSettings(const TovrikSettings& settings) { return storeSettings(settings, true); }

bool TovrikAppModel::storeSettings(const TovrikSettings& settings, bool userAction)
{
    const SettingsSaveResult result = m_settingsStore->save(settings, userAction);
    if (!result.ok) {
        publish(m_settingsStatusMessage, result.message);
        return false;
    }
    // What is on disk now is the settings in memory after this call.
    m_settingsSaveOwed = false;
    publish(m_settingsStatusMessage, QString());
    setSettingsInMemory(settings);
    refreshOverlayPresence();
    return true;
}

void TovrikAppModel::oweSettingsSave()
{
    if (!m_settingsSaveOwed)
        m_owedSaveRetryDelay = owedSaveRetrySeconds;
    m_settingsSaveOwed = true;
    if (m_owedSaveRetryId)
        return;
    QPointer<TovrikAppModel> weak(this);
    const double delay = m_owedSaveRetryDelay;
    // A lasting failure (a full disk, a locked keyring) is not retried, and
    // logged, every few seconds for as long as it lasts.
    m_owedSaveRetryDelay = std::min(2 * m_owedSaveRetryDelay, owedSaveRetryMaxSeconds);
    m_owedSaveRetryId = Clock::instance().schedule(delay, this, [weak]() {
        if (isAlive(weak))
            weak->retryOwedSettingsSave();
    });
}

void TovrikAppModel::retryOwedSettingsSave()
{
    m_owedSaveRetryId = 0;
    if (!m_settingsSaveOwed)
        return;
    const QString failure = m_settingsStatusMessage;
    if (!storeSettings(m_settings, false)) {
        oweSettingsSave();
        return;
    }
    // The failure the sign-in screen showed is over.
    if (m_hostedAuthStatusMessage == failure)
        setHostedAuthStatusMessage(QString());
}

void TovrikAppModel::setSettingsInMemory(const TovrikSettings& settings) { publish(m_settings, settings); }

void TovrikAppModel::setUIAutopilotEnabled(bool enabled)
{
    TovrikSettings settings = m_settings;
    settings.isUIAutopilotEnabled = enabled;
    saveSettings(settings);
    if (!enabled && m_isUIAutopilotBusy) {
        cancelActiveInteraction(true);
        setVoiceState(TovrikVoiceState::idle);
        m_overlayController->updateVoiceState(TovrikVoiceState::idle);
    }
}

void TovrikAppModel::setUpdateStatusMessage(const QString& value) { publish(m_updateStatusMessage, value); }
void TovrikAppModel::setUpdateCheckBusy(bool value) { publish(m_isUpdateCheckBusy, value); }

// ---- interaction bookkeeping ----

quint64 TovrikAppModel::beginNewInteractionVersion() { return ++m_interactionVersion; }

void TovrikAppModel::setVoiceState(TovrikVoiceState state) { publish(m_voiceState, state); }
void TovrikAppModel::setLastTranscript(const QString& value) { publish(m_lastTranscript, value); }
void TovrikAppModel::setAgentBusy(bool value) { publish(m_isAgentBusy, value); }
void TovrikAppModel::setUIAutopilotBusy(bool value) { publish(m_isUIAutopilotBusy, value); }
void TovrikAppModel::setHotkeyMonitorActive(bool value) { publish(m_hotkeyMonitorActive, value); }
void TovrikAppModel::setChatOnlyInput(const QString& value)
{
    // Text typed into an idle ask box: a turn and its capture are likely.
    if (!value.isEmpty() && value != m_chatOnlyInput && !m_isChatOnlyBusy)
        prepareForLikelyTurn();
    publish(m_chatOnlyInput, value);
}
void TovrikAppModel::setChatOnlyStatusMessage(const QString& value) { publish(m_chatOnlyStatusMessage, value); }
void TovrikAppModel::setChatOnlyBusy(bool value) { publish(m_isChatOnlyBusy, value); }
void TovrikAppModel::setVoicePreviewStatusMessage(const QString& value) { publish(m_voicePreviewStatusMessage, value); }

bool TovrikAppModel::appendConversationTurn(const QString& userTranscript, const QString& assistantResponse)
{
    TovrikSettings settings = m_settings;
    if (!settings.appendConversationTurn(userTranscript, assistantResponse))
        return false;
    setSettingsInMemory(settings);
    return true;
}

void TovrikAppModel::cancelActiveInteraction(bool invalidateCurrentInteraction)
{
    appendInterruptedUIAutopilotTurn(m_interactionVersion);
    if (invalidateCurrentInteraction)
        ++m_interactionVersion;
    m_interactionTask.cancel();
    m_interactionTask = TaskHandle();
    setChatOnlyBusy(false);
    setAgentBusy(false);
    setUIAutopilotBusy(false);
    m_overlayController->setUIAutopilotBusy(false);
    m_overlayController->clearInteractionVisuals();
}

QCoro::Task<void> TovrikAppModel::sleep(double seconds, CancellationToken token)
{
    co_await sleepFor(std::max(seconds, 0.0), token);
}

void TovrikAppModel::refreshOverlayPresence()
{
    // Before launch() (and in a second instance, which never launches) the
    // overlay stays untouched.
    if (!m_launched)
        return;
    m_overlayController->setIdleBehavior(isAppReady(), m_settings.isTransientCursorModeEnabled,
                                         m_settings.isTransparentCursorOverlayEnabled);
}

// ---- errors ----

QString TovrikAppModel::errorDescription(std::exception_ptr error)
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const HTTPError& e) {
        switch (e.kind()) {
        case HTTPError::Kind::invalidResponse:
            return QStringLiteral("invalid api response");
        case HTTPError::Kind::timedOut:
            return QStringLiteral("request timed out");
        case HTTPError::Kind::failedStatus: {
            const QString message = e.serviceMessage().trimmed();
            return message.isEmpty() ? QStringLiteral("request failed") : message;
        }
        case HTTPError::Kind::transport:
            break; // described like any other error below
        }
    } catch (...) {
    }
    const QString description = describeException(error);
    if (description.contains(QStringLiteral("keyboard shortcut"), Qt::CaseInsensitive)
        || description.contains(QStringLiteral("unsupported key"), Qt::CaseInsensitive))
        return QStringLiteral("UI Autopilot could not press that keyboard shortcut.");
    return description;
}

} // namespace tovrik
