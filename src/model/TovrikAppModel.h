#pragma once

// TovrikAppModel: the one observable model of the process. It lives on the
// main thread, owns the long-lived services, and publishes the state that the
// panel and the overlay read. Every published property has a getter and a
// setter that compares and emits changed() once when the value really
// changed; derived values are plain getters computed from that state.
//
// Asynchronous actions run as main-thread tasks (tovrik::startTask) that hold
// the model through a QPointer and re-check it after every co_await.
// Staleness is handled by counters: the interaction version for turns, the
// session epoch and the refresh generation for account refreshes, the Google
// attempt number for Google sign-in.
//
// The hotkey monitor's panel chord, Esc and shortcut-capture callbacks are
// wired here; its push-to-talk press and release callbacks belong to the
// voice turn and are set by it.
//
// Start-up: the constructor creates the services, loads and normalises the
// settings, wires the monitor callbacks and reads the permission state; it
// does no network work (a second instance constructs a model too before it
// hands over). launch() starts the hotkey monitor, refreshes the account and
// retries revocations of earlier sign-outs that failed.

#include "model/ModelTypes.h"

#include "common/Task.h"
#include "platform/Types.h"
#include "settings/ShortcutGesture.h"
#include "settings/TovrikSettings.h"
#include "settings/VoiceCatalogue.h"

#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QSet>
#include <QSizeF>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace tovrik {

class ClockTimer;
namespace overlay {
class OverlayWindowController;
class AgentActivityWindowController;
}
using overlay::OverlayWindowController;
using overlay::AgentActivityWindowController;
class SettingsStore;
struct SettingsLoadResult;
class AudioRecorderService;
class SpeechPlayer;
class FallbackSpeaker;
class ScreenCaptureService;
class HotkeyMonitor;
class HostedBackendClient;
class GoogleDesktopAuthService;
class DesktopInputService;
class UserInputActivityMonitor;
class TovrikAgentRunner;
struct UIAutopilotAction;
struct ScreenCapturePayload;
using ScreenCapturePayloads = QList<ScreenCapturePayload>;
class MacUpdateService;
struct HostedAuthSessionPayload;
struct HostedAccountSummaryPayload;

class TovrikAppModel : public QObject {
    Q_OBJECT
public:
    TovrikAppModel();
    ~TovrikAppModel() override;

    // ---- lifecycle ----
    void launch();
    void setOpenSettingsHandler(std::function<void()> handler);
    // Calls the open-settings handler when one is set.
    void openSettingsWindow();
    // Ends the application's event loop (queued, like the menu's Quit item).
    void quit();

    // ---- services (created once, in this order, kept for the model's life) ----
    SettingsStore& settingsStore() { return *m_settingsStore; }
    AudioRecorderService& audioRecorderService() { return *m_audioRecorderService; }
    // Plays spoken answers.
    SpeechPlayer& speechPlayer() { return *m_speechPlayer; }
    // Plays voice samples of the voice screen.
    SpeechPlayer& voicePreviewPlayer() { return *m_voicePreviewPlayer; }
    FallbackSpeaker& fallbackSpeaker() { return *m_fallbackSpeaker; }
    ScreenCaptureService& screenCaptureService() { return *m_screenCaptureService; }
    HotkeyMonitor& hotkeyMonitor() { return *m_hotkeyMonitor; }
    HostedBackendClient& hostedBackendClient() { return *m_hostedBackendClient; }
    GoogleDesktopAuthService& googleAuthService() { return *m_googleAuthService; }
    MacUpdateService& macUpdateService() { return *m_macUpdateService; }
    OverlayWindowController* overlayController() const { return m_overlayController.get(); }
    DesktopInputService& desktopInputService() { return *m_desktopInputService; }
    UserInputActivityMonitor& userInputActivityMonitor() { return *m_userInputActivityMonitor; }
    TovrikAgentRunner& agentRunner() { return *m_agentRunner; }
    // The agent activity panel's controller (its panel is never shown).
    AgentActivityWindowController* agentActivityController() const { return m_agentActivityController.get(); }

    // ---- settings ----
    const TovrikSettings& settings() const { return m_settings; }
    // Stores and publishes `settings`; on failure the previous settings stay
    // active and settingsStatusMessage() tells why. Returns whether it saved.
    bool saveSettings(const TovrikSettings& settings);
    const QString& settingsStatusMessage() const { return m_settingsStatusMessage; }
    // Whether loading at start-up was blocked by a Keychain read error (and
    // no retry has read the items since).
    bool settingsLoadBlockedByKeychain() const { return m_loadBlockedByKeychain; }
    // The sign-in screen's retry after a blocked read: reads the Keychain
    // items again, letting the keyring ask the user once to unlock it. The
    // outcome shows in hostedAuthStatusMessage().
    void retryKeychainRead();
    // Whether a save that must not be lost (a sign-out's) failed and is
    // being retried.
    bool hasOwedSettingsSave() const { return m_settingsSaveOwed; }
    // Seconds before the first retry of such a save; each further retry
    // waits twice as long as the one before, at most owedSaveRetryMaxSeconds.
    static constexpr double owedSaveRetrySeconds = 10;
    static constexpr double owedSaveRetryMaxSeconds = 300;

    // ---- state tests ----
    bool isHostedAccountSignedIn() const;
    bool hasValidWorkerBaseURL() const;
    bool requiresAuthentication() const;
    bool requiresPermissionGrant() const;
    bool isAppReady() const;
    bool canUseChatOnly() const;
    // In points, before panelDisplayScale.
    QSizeF preferredPanelSize() const;
    QString headerStatusText() const;
    QString settingsPanelTitle() const;

    // ---- panel pages ----
    bool isShowingAdvancedSettings() const { return m_isShowingAdvancedSettings; }
    bool isShowingShortcutSettings() const { return m_isShowingShortcutSettings; }
    bool isShowingVoiceSettings() const { return m_isShowingVoiceSettings; }
    void showAdvancedSettings();
    void showMainScreen();
    void showVoiceSettings();
    void showShortcutSettings();

    // ---- permissions ----
    void refreshPermissions();
    bool accessibilityGranted() const { return m_accessibilityGranted; }
    bool screenRecordingGranted() const { return m_screenRecordingGranted; }
    bool microphoneGranted() const { return m_microphoneGranted; }
    bool microphoneNeedsSettings() const { return m_microphoneNeedsSettings; }
    bool hasMicrophoneInputDevice() const { return m_hasMicrophoneInputDevice; }
    bool permissionIntroDismissed() const { return m_permissionIntroDismissed; }
    void setPermissionIntroDismissed(bool value);
    ScreenRecordingPermissionFlow screenRecordingPermissionFlow() const { return m_screenRecordingFlow; }
    bool isMicrophoneStepSkipped() const { return m_microphoneStepSkipped; }
    std::optional<PermissionSetupStep> activePermissionStep() const;
    int activePermissionStepNumber() const;
    bool canSkipCurrentPermission() const;
    QString activePermissionTitle() const;
    QString activePermissionSubtitle() const;
    QString activePermissionActionTitle() const;
    bool isCurrentPermissionBusy() const { return m_isCurrentPermissionBusy; }
    void performCurrentPermissionAction();
    void skipCurrentOptionalPermission();
    // The permission whose guide should be on screen, none when hidden. The
    // guide window follows this value through changed().
    std::optional<PermissionGuideKind> visiblePermissionGuideKind() const { return m_visiblePermissionGuideKind; }
    // How long a microphone prompt may stay unanswered before the busy state
    // is given up (the system may never call back).
    static constexpr double permissionRequestTimeout = 60.0;

    // ---- hosted account ----
    const QString& hostedAuthEmailInput() const { return m_hostedAuthEmailInput; }
    void setHostedAuthEmailInput(const QString& value);
    const QString& hostedAuthPasswordInput() const { return m_hostedAuthPasswordInput; }
    void setHostedAuthPasswordInput(const QString& value);
    const QString& hostedAuthStatusMessage() const { return m_hostedAuthStatusMessage; }
    void setHostedAuthStatusMessage(const QString& value);
    bool hasHostedAuthStatusMessage() const;
    bool isHostedEmailAuthVisible() const { return m_isHostedEmailAuthVisible; }
    void setHostedEmailAuthVisible(bool value);
    // True while an email submission, a Google attempt or a busy account
    // refresh runs (any of them).
    bool isHostedAuthBusy() const { return m_isHostedAuthBusy; }
    void signInHostedAccount();
    void createHostedAccount();
    // The email submission; `action` is "signin" or "signup".
    QCoro::Task<void> submitHostedEmailAuth(QString action);
    // The email validation rule of the sign-in form.
    static bool isValidEmailAddress(const QString& email);
    bool applyHostedAuthResult(const HostedAuthSessionPayload& result, const QString& successMessage);
    void continueWithGoogleSignIn();
    QString hostedCreditsBalanceValue() const;
    bool canRefreshHostedAccount() const;
    QCoro::Task<void> refreshHostedAccount(bool showBusyState);
    // Starts a refresh of the credit balance and returns at once.
    void scheduleHostedCreditRefresh();
    void openHostedAccountPage();

    // ---- agent projects folder ----
    static const QString agentProjectsFolderName; // "agent-projects"
    // The folder in the application's data folder; not made by asking.
    QString agentProjectsFolderPath() const;
    // Makes the folder (0700) when it is not there and returns its path; on
    // failure settingsStatusMessage() says why and there is no path.
    std::optional<QString> ensureAgentProjectsFolder();
    // Makes the folder if needed and opens it in the desktop's file manager;
    // a failure to open is reported later in settingsStatusMessage().
    void openAgentProjectsFolder();
    void signOutHostedAccount();
    // Revokes every stored pending sign-out in the background; the ones that
    // fail stay stored for the next launch.
    void retryPendingSignOuts();
    int hostedSessionEpoch() const { return m_hostedSessionEpoch; }
    quint64 googleSignInAttempt() const { return m_googleSignInAttempt; }
    // Number of revocations currently running (tests and diagnostics).
    int runningRevocationCount() const { return int(m_revocationsInFlight.size()); }

    // ---- interaction state ----
    quint64 interactionVersion() const { return m_interactionVersion; }
    // Raises the interaction version and returns the new value.
    quint64 beginNewInteractionVersion();
    TovrikVoiceState voiceState() const { return m_voiceState; }
    void setVoiceState(TovrikVoiceState state);
    const QString& lastTranscript() const { return m_lastTranscript; }
    void setLastTranscript(const QString& value);
    bool isAgentBusy() const { return m_isAgentBusy; }
    void setAgentBusy(bool value);
    bool isUIAutopilotBusy() const { return m_isUIAutopilotBusy; }
    void setUIAutopilotBusy(bool value);
    bool hotkeyMonitorActive() const { return m_hotkeyMonitorActive; }
    // The running interaction's task (voice turn, typed turn, autopilot run).
    void setInteractionTask(TaskHandle task) { m_interactionTask = std::move(task); }
    const TaskHandle& interactionTask() const { return m_interactionTask; }
    void cancelActiveInteraction(bool invalidateCurrentInteraction);
    // The conversation kept with the settings record (in memory only, never
    // written to the settings file).
    const ConversationHistory& conversationHistory() const { return m_settings.conversationHistory; }
    // Trims both sides, caps each at 1600 characters, appends a non-empty
    // turn and keeps the last 12. Returns whether a turn was added.
    bool appendConversationTurn(const QString& userTranscript, const QString& assistantResponse);
    // Suspends the calling task for max(seconds, 0); throws CancellationError
    // when `token` is cancelled during the pause.
    static QCoro::Task<void> sleep(double seconds, CancellationToken token = {});
    void refreshOverlayPresence();

    // ---- typed chat ----
    const QString& chatOnlyInput() const { return m_chatOnlyInput; }
    void setChatOnlyInput(const QString& value);
    const QString& chatOnlyStatusMessage() const { return m_chatOnlyStatusMessage; }
    void setChatOnlyStatusMessage(const QString& value);
    bool isChatOnlyBusy() const { return m_isChatOnlyBusy; }
    void setChatOnlyBusy(bool value);
    bool canSendChatOnlyMessage() const;
    QString chatOnlySendButtonTitle() const;

    // ---- voice catalogue ----
    QList<VoiceMenuOption> voiceMenuOptions() const;
    QString selectedElevenLabsVoiceLabel() const;
    const QString& voicePreviewStatusMessage() const { return m_voicePreviewStatusMessage; }
    void setVoicePreviewStatusMessage(const QString& value);
    bool hasVoicePreviewStatusMessage() const;

    // ---- shortcuts ----
    const ShortcutGesture& voiceShortcut() const { return m_voiceShortcut; }
    const ShortcutGesture& panelShortcut() const { return m_panelShortcut; }
    ShortcutCaptureTarget shortcutCaptureTarget() const { return m_shortcutCaptureTarget; }
    const QString& shortcutCaptureStatusMessage() const { return m_shortcutCaptureStatusMessage; }
    bool hasShortcutCaptureStatusMessage() const;
    QString voiceShortcutCaptureButtonText() const;
    QString panelShortcutCaptureButtonText() const;
    void beginVoiceShortcutCapture();
    void beginPanelShortcutCapture();
    void resetShortcutsToDefaults();
    // What the hotkey monitor's capture callbacks run on the main thread.
    void handleShortcutCaptured(const ShortcutGesture& gesture);
    void handleShortcutCaptureCanceled();
    void handleShortcutCaptureFailed(const QString& message);

    // ---- toggles and updates ----
    void setUIAutopilotEnabled(bool enabled);
    const QString& updateStatusMessage() const { return m_updateStatusMessage; }
    void setUpdateStatusMessage(const QString& value);
    bool isUpdateCheckBusy() const { return m_isUpdateCheckBusy; }
    void setUpdateCheckBusy(bool value);
    // "Check for updates": check, ask, download, hand off to the swap script.
    // Does nothing while a check is busy; returns at once.
    void checkForUpdates();
    // The install question: true for "Install and restart". The default asks
    // with a modal message box; tests inject their answer.
    using UpdateConfirmation = std::function<bool(const QString& message, const QString& informativeText)>;
    void setUpdateConfirmation(UpdateConfirmation confirm) { m_updateConfirmation = std::move(confirm); }
    // The error text of an update failure: trimmed, "see update log." when
    // empty, cut to 92 characters + "..." from 96 characters on.
    static QString shortUpdateErrorDescription(std::exception_ptr error);

    // ---- errors ----
    // The user-facing text of an error of the account and turn actions.
    static QString errorDescription(std::exception_ptr error);

    // ==== turns: push-to-talk, typed chat, voice preview ====
    // Owned by the turn code (ModelVoiceTurn.cpp, ModelChatTurn.cpp,
    // ModelReplyRoad.cpp, ModelVoicePreview.cpp).
    //
    // The push-to-talk chord's edges, called on the main thread by the hotkey
    // monitor's callbacks (and by the release watchdog).
    void handlePushToTalkPressed();
    void handlePushToTalkReleased();
    // True from a press that started a recording until its release.
    bool isPushToTalkRecording() const { return m_pushToTalkRecording; }
    // The interaction version of the running push-to-talk recording (0: none).
    quint64 activePushToTalkInteractionVersion() const { return m_activePushToTalkVersion; }
    // The spoken turn after a release: transcription, then the reply road.
    QCoro::Task<void> runVoiceInteraction(QString recordingPath, quint64 interactionVersion,
                                          CancellationToken token = {});
    // The panel's "Ask" button.
    void sendChatOnlyMessage();
    // The typed turn that sendChatOnlyMessage() starts.
    QCoro::Task<void> runChatOnlyInteraction(QString prompt, quint64 interactionVersion,
                                             CancellationToken token = {});
    // Shows the answer (bubble, pointed place) and speaks it unless text-only
    // mode is on; hosted speech first, the system voice when that fails for a
    // reason other than credits.
    QCoro::Task<void> presentAssistantResponse(QString text, std::optional<QPointF> point, QSizeF imageSize,
                                               std::optional<platform::DisplayInfo> screen,
                                               quint64 interactionVersion, CancellationToken token = {});
    // Selects `voiceID` and plays its sample on the preview player.
    void previewElevenLabsVoice(const QString& voiceID);
    quint64 voicePreviewRequestID() const { return m_voicePreviewRequestID; }
    // ---- UI Autopilot (ModelAutopilotRun.cpp, ModelAutopilotStep.cpp,
    // ModelAutopilotDispatch.cpp) ----
    // One spoken or typed request carried out on the desktop, step by step,
    // until the model reports done, the watchdog stops it, an error ends it
    // or a newer interaction makes it stale. Throws what ended it.
    QCoro::Task<void> runUIAutopilotInteraction(QString prompt, quint64 interactionVersion,
                                                CancellationToken token = {});
    const std::optional<PendingUIAutopilotMemory>& pendingUIAutopilotMemory() const { return m_pendingUIAutopilotMemory; }
    void beginPendingUIAutopilotMemory(const QString& prompt, quint64 interactionVersion);
    void clearPendingUIAutopilotMemory(quint64 interactionVersion);
    static QString interruptedUIAutopilotMemoryText(const QString& progressSummary);
    // Performs one parsed action with the desktop input service; returns the
    // observation text sent back to the model.
    QCoro::Task<QString> performUIAutopilotAction(UIAutopilotAction action, ScreenCapturePayloads captures,
                                                  quint64 interactionVersion, CancellationToken token = {});
    // Throws CancellationError for a stale version, the Esc error when the
    // user took over.
    void ensureUIAutopilotCanControlInput(quint64 interactionVersion) const;

    static inline const QString kHoldLongerStatus = QStringLiteral("hold a little longer to talk");
    static inline const QString kEmptyTranscriptStatus = QStringLiteral("i didn't catch that");
    // How long a status line of a turn stays in the overlay, in seconds.
    static constexpr double turnStatusHideDelay = 2.5;
    // Longest "Sample failed: " description before it is cut.
    static constexpr int voicePreviewErrorMaxLength = 80;
    // ==== end of the turns block ====

signals:
    // Emitted after any published property changed.
    void changed();

private:
    template <typename T>
    void publish(T& field, const T& value)
    {
        if (field == value)
            return;
        field = value;
        emit changed();
    }

    // lifecycle / settings
    void loadAndNormaliseSettings();
    void wireHotkeyMonitor();
    void handleEscapePressed();
    void setSettingsInMemory(const TovrikSettings& settings);
    void setHotkeyMonitorActive(bool value);
    void handMonitorShortcuts(bool clearActiveFlags);
    bool storeShortcutsInSettings();
    void keepShortcutsAfterFailedSave(const ShortcutGesture& voice, const ShortcutGesture& panel);
    // Saves `settings`; `userAction`: the keyring may ask once to unlock.
    // On failure the previous settings stay and the settings status message
    // is set. Returns whether it saved.
    bool storeSettings(const TovrikSettings& settings, bool userAction);
    // The in-memory settings must reach the disk: retried until they do.
    void oweSettingsSave();
    void retryOwedSettingsSave();
    // A load's messages go to the screen the panel opens on.
    void showLoadMessage(const SettingsLoadResult& loaded);
    // permissions
    void setCurrentPermissionBusy(bool value);
    void showPermissionGuide(PermissionGuideKind kind);
    void hidePermissionGuide();
    void requestMicrophonePermission();
    // account
    void updateHostedAuthBusy();
    QString hostedOriginForRequests() const;
    // A turn is likely soon: readies the capture's buffers and, signed in,
    // a connection to the hosted origin.
    void prepareForLikelyTurn();
    // Revokes `token` on the service in the background. A failure keeps it
    // among the pending sign-outs (stored with the settings); a success
    // removes it from them.
    void revokeInBackground(const QString& token);
    QCoro::Task<void> revokeSessionToken(QString origin, QString token);
    void addPendingSignOut(const QString& token);
    void removePendingSignOut(const QString& token);
    QCoro::Task<void> runGoogleSignIn(QString origin, quint64 attempt, CancellationToken token);
    // shortcuts
    void setShortcutCaptureTarget(ShortcutCaptureTarget target);
    void setShortcutCaptureStatusMessage(const QString& value);

    std::unique_ptr<SettingsStore> m_settingsStore;
    std::unique_ptr<AudioRecorderService> m_audioRecorderService;
    std::unique_ptr<SpeechPlayer> m_speechPlayer;
    std::unique_ptr<SpeechPlayer> m_voicePreviewPlayer;
    std::unique_ptr<FallbackSpeaker> m_fallbackSpeaker;
    std::unique_ptr<ScreenCaptureService> m_screenCaptureService;
    std::unique_ptr<HotkeyMonitor> m_hotkeyMonitor;
    std::unique_ptr<HostedBackendClient> m_hostedBackendClient;
    std::unique_ptr<GoogleDesktopAuthService> m_googleAuthService;
    std::unique_ptr<MacUpdateService> m_macUpdateService;
    std::unique_ptr<OverlayWindowController> m_overlayController;
    std::unique_ptr<DesktopInputService> m_desktopInputService;
    // Shared so that the input service's abort check can see it is gone.
    std::shared_ptr<UserInputActivityMonitor> m_userInputActivityMonitor;
    std::unique_ptr<AgentActivityWindowController> m_agentActivityController;
    std::unique_ptr<TovrikAgentRunner> m_agentRunner;

    std::function<void()> m_openSettingsWindow;
    bool m_launched = false;
    // Cancelled when the model goes away: every request the model started
    // is aborted before the client that runs it is destroyed.
    CancellationSource m_lifetime;
    bool m_destroying = false;
    // Whether a task that held the model weakly may still touch it.
    static bool isAlive(const QPointer<TovrikAppModel>& model) { return model && !model->m_destroying; }

    TovrikSettings m_settings;
    QString m_settingsStatusMessage;
    bool m_loadBlockedByKeychain = false;
    bool m_settingsSaveOwed = false;
    quint64 m_owedSaveRetryId = 0;
    double m_owedSaveRetryDelay = owedSaveRetrySeconds;

    bool m_isShowingAdvancedSettings = false;
    bool m_isShowingShortcutSettings = false;
    bool m_isShowingVoiceSettings = false;

    bool m_accessibilityGranted = false;
    bool m_screenRecordingGranted = false;
    bool m_microphoneGranted = false;
    bool m_microphoneNeedsSettings = false;
    bool m_hasMicrophoneInputDevice = false;
    bool m_permissionIntroDismissed = false;
    bool m_microphoneStepSkipped = false;
    bool m_isCurrentPermissionBusy = false;
    ScreenRecordingPermissionFlow m_screenRecordingFlow = ScreenRecordingPermissionFlow::idle;
    std::optional<PermissionGuideKind> m_visiblePermissionGuideKind;
    quint64 m_microphoneRequestGeneration = 0;
    quint64 m_microphoneTimeoutId = 0;

    QString m_hostedAuthEmailInput;
    QString m_hostedAuthPasswordInput;
    QString m_hostedAuthStatusMessage;
    bool m_isHostedEmailAuthVisible = false;
    bool m_isHostedAuthBusy = false;
    int m_emailAuthInFlight = 0;
    bool m_googleSignInInFlight = false;
    int m_busyRefreshesInFlight = 0;
    int m_hostedSessionEpoch = 0;
    quint64 m_hostedAccountRefreshGeneration = 0;
    quint64 m_googleSignInAttempt = 0;
    TaskHandle m_googleSignInTask;
    QSet<QString> m_revocationsInFlight;

    quint64 m_interactionVersion = 0;
    TovrikVoiceState m_voiceState = TovrikVoiceState::idle;
    QString m_lastTranscript;
    bool m_isAgentBusy = false;
    bool m_isUIAutopilotBusy = false;
    bool m_hotkeyMonitorActive = false;
    TaskHandle m_interactionTask;

    QString m_chatOnlyInput;
    QString m_chatOnlyStatusMessage;
    bool m_isChatOnlyBusy = false;

    QString m_voicePreviewStatusMessage;

    ShortcutGesture m_voiceShortcut;
    ShortcutGesture m_panelShortcut;
    ShortcutCaptureTarget m_shortcutCaptureTarget = ShortcutCaptureTarget::none;
    QString m_shortcutCaptureStatusMessage;

    QString m_updateStatusMessage;
    bool m_isUpdateCheckBusy = false;
    UpdateConfirmation m_updateConfirmation;
    QCoro::Task<void> checkForUpdatesAsync();

    // ==== turns (private) ====
    void wirePushToTalk();
    void pushToTalkWatchdogTick();
    // Ends a hold for good as the model goes: stops its timers and closes the
    // microphone without a turn.
    void endPushToTalkForTeardown();
    // The release's work: closes the microphone and starts the spoken turn.
    void finishPushToTalk();
    void showTurnStatus(const QString& text);
    void handleInteractionFailure(std::exception_ptr error);
    void finishTurnIdle(double hideDelay);
    // Capture, the hosted reply, the point tag, history and presentation.
    QCoro::Task<void> runReplyRoad(QString request, QString workload, quint64 interactionVersion,
                                   CancellationToken token);
    QCoro::Task<void> runVoicePreview(QString voiceID, quint64 requestID, CancellationToken token);
    // Ends the voice sample: its request, its playback and any status it
    // would still write.
    void stopVoicePreview();
    // Throws CancellationError when the model went away or `version` is stale.
    static void ensureCurrent(const QPointer<TovrikAppModel>& model, quint64 version);
    bool m_pushToTalkRecording = false;
    quint64 m_activePushToTalkVersion = 0;
    double m_pushToTalkPressedAt = 0;
    double m_pushToTalkIgnorePressesUntil = -1;
    ClockTimer* m_pushToTalkWatchdog = nullptr;
    quint64 m_pushToTalkDeadlineId = 0; // the longest hold's end
    bool m_pushToTalkClosingMicrophone = false; // a release is closing it
    bool m_pushToTalkPressWaiting = false;      // a press came meanwhile
    quint64 m_voicePreviewRequestID = 0;
    TaskHandle m_voicePreviewTask;
    quint64 m_voicePreviewLifetimeHook = 0; // cancels the sample when the model goes
    // UI Autopilot (private)
    void wireUIAutopilot();
    void handleUserInputTakeover();
    // Turns the pending run memory of `interactionVersion` into an
    // interrupted-run turn.
    void appendInterruptedUIAutopilotTurn(quint64 interactionVersion);
    void refreshPendingUIAutopilotSummary(quint64 interactionVersion, const QString& summary);
    QCoro::Task<void> runUIAutopilotSteps(QString prompt, quint64 interactionVersion, CancellationToken token);
    std::optional<PendingUIAutopilotMemory> m_pendingUIAutopilotMemory;
};

// Blank: empty after trimming whitespace and line breaks.
bool isBlank(const QString& text);

} // namespace tovrik
