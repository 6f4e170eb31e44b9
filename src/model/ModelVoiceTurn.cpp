// The push-to-talk turn: the voice chord's press starts a recording after the
// readiness checks, its release (or the release watchdog) ends it and runs
// the spoken turn: transcription, then the reply road.
//
// Timing rules, all on tovrik::Clock: the watchdog polls the physical keys
// every 0.12 s; a hold under 0.2 s is refused with "hold a little longer to
// talk" and a press within 0.24 s after such a tap is ignored; a hold ends by
// itself after 600 s.

#include "model/ModelTurnSupport.h"
#include "model/TovrikAppModel.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "hosted/HostedBackendClient.h"
#include "interaction/AudioRecorderService.h"
#include "interaction/FallbackSpeaker.h"
#include "interaction/HotkeyMonitor.h"
#include "interaction/ScreenCaptureService.h"
#include "interaction/SpeechPlayer.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Input.h"
#include "platform/Platform.h"

#include <utility>

namespace tovrik {

namespace {

// Whether every key of `chord` is physically held (our own synthetic keys do
// not count).
bool isChordPhysicallyHeld(const ShortcutGesture& chord)
{
    const platform::SyntheticInput& input = platform::Platform::get().input();
    const uint32_t wanted = chord.modifiers.rawValue;
    const uint32_t held = input.physicalModifiers() & 15u;
    if ((held & wanted) != wanted)
        return false;
    return chord.keyCode == 0 || input.isKeyPhysicallyDown(chord.keyCode);
}

} // namespace

void TovrikAppModel::wirePushToTalk()
{
    QPointer<TovrikAppModel> weak(this);
    m_hotkeyMonitor->onShortcutPressed = [weak]() {
        if (isAlive(weak))
            weak->handlePushToTalkPressed();
    };
    m_hotkeyMonitor->onShortcutReleased = [weak]() {
        if (isAlive(weak))
            weak->handlePushToTalkReleased();
    };
    // Connected to the overlay itself, so the link ends when the overlay goes
    // (it goes before the recorder when the model is destroyed).
    connect(m_audioRecorderService.get(), &AudioRecorderService::audioPowerLevelChanged,
            m_overlayController.get(), &OverlayWindowController::updateAudioPowerLevel);
    m_pushToTalkWatchdog = new ClockTimer(this);
    connect(m_pushToTalkWatchdog, &ClockTimer::timeout, this, &TovrikAppModel::pushToTalkWatchdogTick);
}

void TovrikAppModel::handlePushToTalkPressed()
{
    // Closing the microphone's stream runs the event loop: a press that
    // arrives while a release closes it is taken once the release is done
    // (it would otherwise start a recording in the middle of the release,
    // which then finished the new recording instead of its own).
    if (m_pushToTalkClosingMicrophone) {
        m_pushToTalkPressWaiting = true;
        return;
    }
    const double now = Clock::instance().now();
    if (m_pushToTalkRecording || now < m_pushToTalkIgnorePressesUntil)
        return;

    // Keeps the record on disk current before a turn starts. After a blocked
    // Keychain read the record lacks secrets it may really have, so it is not
    // written back.
    if (!m_loadBlockedByKeychain && !storeSettings(m_settings, false))
        setChatOnlyStatusMessage(m_settingsStatusMessage);
    cancelActiveInteraction(true);
    m_speechPlayer->stop();
    m_fallbackSpeaker->stop();
    refreshPermissions();

    QString problem;
    if (!isHostedAccountSignedIn() || !hasValidWorkerBaseURL())
        problem = QStringLiteral("sign in first");
    else if (!m_accessibilityGranted)
        problem = QStringLiteral("allow accessibility first");
    else if (!m_screenRecordingGranted)
        problem = QStringLiteral("allow screen recording first");
    else if (!m_hotkeyMonitorActive)
        problem = QStringLiteral("shortcut monitor is off");
    else if (!m_hasMicrophoneInputDevice)
        problem = QStringLiteral("no microphone found");
    else if (!m_microphoneGranted)
        problem = QStringLiteral("allow microphone first");
    if (!problem.isEmpty()) {
        openSettingsWindow();
        showTurnStatus(problem);
        setVoiceState(TovrikVoiceState::idle);
        m_overlayController->updateVoiceState(TovrikVoiceState::idle);
        return;
    }

    try {
        m_audioRecorderService->startRecording();
    } catch (...) {
        handleInteractionFailure(std::current_exception());
        return;
    }
    m_pushToTalkRecording = true;
    m_pushToTalkPressedAt = now;
    // The turn captures the screens and sends them once the chord is released.
    prepareForLikelyTurn();
    m_activePushToTalkVersion = m_interactionVersion;
    setVoiceState(TovrikVoiceState::listening);
    m_overlayController->updateVoiceState(TovrikVoiceState::listening);
    m_pushToTalkWatchdog->start(constants::pushToTalkReleaseWatchdogInterval, true);
    // The longest hold ends on time, not at the next watchdog tick. The
    // deadline goes with the hold's release; should one still fire late, it
    // finds another press time and does nothing.
    if (m_pushToTalkDeadlineId)
        Clock::instance().cancel(m_pushToTalkDeadlineId);
    m_pushToTalkDeadlineId = Clock::instance().schedule(constants::pushToTalkMaximumHoldDuration, this, [this, now]() {
        m_pushToTalkDeadlineId = 0;
        if (m_pushToTalkRecording && m_pushToTalkPressedAt == now)
            handlePushToTalkReleased();
    });
}

void TovrikAppModel::pushToTalkWatchdogTick()
{
    if (!m_pushToTalkRecording || m_destroying) {
        m_pushToTalkWatchdog->stop();
        return;
    }
    const double held = Clock::instance().now() - m_pushToTalkPressedAt;
    if (held >= constants::pushToTalkMaximumHoldDuration || !isChordPhysicallyHeld(m_voiceShortcut))
        handlePushToTalkReleased();
    else if (isHostedAccountSignedIn())
        // However long the hold, the upload at its end finds a fresh
        // connection (opening one only when the last is getting old).
        m_hostedBackendClient->prepareConnection(hostedOriginForRequests());
}

void TovrikAppModel::handlePushToTalkReleased()
{
    if (!m_pushToTalkRecording)
        return;
    m_pushToTalkClosingMicrophone = true;
    finishPushToTalk();
    m_pushToTalkClosingMicrophone = false;
    if (std::exchange(m_pushToTalkPressWaiting, false) && !m_destroying)
        handlePushToTalkPressed();
}

void TovrikAppModel::finishPushToTalk()
{
    m_pushToTalkRecording = false;
    m_pushToTalkWatchdog->stop();
    if (m_pushToTalkDeadlineId) {
        Clock::instance().cancel(m_pushToTalkDeadlineId);
        m_pushToTalkDeadlineId = 0;
    }
    const double now = Clock::instance().now();
    const double held = now - m_pushToTalkPressedAt;
    const quint64 version = m_activePushToTalkVersion;
    m_activePushToTalkVersion = 0;

    // A recording whose interaction was taken over (typed chat, Esc, a
    // switch) belongs to no turn: it goes without a word.
    if (version == 0 || version != m_interactionVersion) {
        m_audioRecorderService->cancelRecording();
        m_overlayController->updateAudioPowerLevel(0);
        return;
    }
    if (held < constants::pushToTalkMinimumHoldDuration) {
        m_audioRecorderService->cancelRecording();
        m_overlayController->updateAudioPowerLevel(0);
        m_pushToTalkIgnorePressesUntil = now + constants::pushToTalkShortTapRestartDebounce;
        showTurnStatus(kHoldLongerStatus);
        setVoiceState(TovrikVoiceState::idle);
        m_overlayController->updateVoiceState(TovrikVoiceState::idle);
        return;
    }

    AudioRecording recording;
    try {
        recording = m_audioRecorderService->stopRecording();
    } catch (...) {
        m_overlayController->updateAudioPowerLevel(0);
        handleInteractionFailure(std::current_exception());
        return;
    }
    m_overlayController->updateAudioPowerLevel(0);
    setVoiceState(TovrikVoiceState::processing);
    m_overlayController->updateVoiceState(TovrikVoiceState::processing);

    QPointer<TovrikAppModel> weak(this);
    const QString path = recording.filePath;
    setInteractionTask(startTask([weak, path, version](CancellationToken token) -> QCoro::Task<void> {
        return weak->runVoiceInteraction(path, version, token);
    }));
}

QCoro::Task<void> TovrikAppModel::runVoiceInteraction(QString recordingPath, quint64 interactionVersion,
                                                      CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    std::exception_ptr failure;
    bool heardNothing = false;
    try {
        ensureCurrent(weak, interactionVersion);
        const QString origin = hostedOriginForRequests();
        const QString session = m_settings.hostedAccountSessionToken;
        QString transcript = co_await m_hostedBackendClient->transcribeFile(origin, session, recordingPath, token);
        ensureCurrent(weak, interactionVersion);
        transcript = transcript.trimmed();
        if (transcript.isEmpty()) {
            heardNothing = true;
        } else {
            setLastTranscript(transcript);
            if (m_settings.isUIAutopilotEnabled) {
                // Branch point of UI Autopilot: the transcript goes to the
                // agent run instead of the spoken reply.
                co_await runUIAutopilotInteraction(transcript, interactionVersion, token);
            } else {
                co_await runReplyRoad(transcript, QStringLiteral("voice"), interactionVersion, token);
            }
            ensureCurrent(weak, interactionVersion);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    AudioRecorderService::deleteRecording(recordingPath);
    if (!isAlive(weak))
        co_return;

    if (m_interactionVersion == interactionVersion) {
        if (failure && isCancellation(failure)) {
            finishTurnIdle(turn::idleHideDelay);
        } else if (failure) {
            handleInteractionFailure(failure);
        } else if (heardNothing) {
            showTurnStatus(kEmptyTranscriptStatus);
            setVoiceState(TovrikVoiceState::idle);
            m_overlayController->updateVoiceState(TovrikVoiceState::idle);
        } else {
            setVoiceState(TovrikVoiceState::idle);
            m_overlayController->updateVoiceState(TovrikVoiceState::idle);
        }
        m_interactionTask = TaskHandle();
    }
    scheduleHostedCreditRefresh();
}

void TovrikAppModel::endPushToTalkForTeardown()
{
    // Nothing of the hold may run from here on: its watchdog and its deadline
    // would reach the hosted client and the overlay while the destructor
    // takes them apart.
    m_pushToTalkRecording = false;
    m_activePushToTalkVersion = 0;
    if (m_pushToTalkWatchdog) {
        m_pushToTalkWatchdog->stop();
        disconnect(m_pushToTalkWatchdog, nullptr, this, nullptr);
    }
    if (m_pushToTalkDeadlineId) {
        Clock::instance().cancel(m_pushToTalkDeadlineId);
        m_pushToTalkDeadlineId = 0;
    }
    // The microphone closes now, while everything is whole: closing the
    // sound server's stream runs the event loop, and whatever is due then
    // runs with it.
    m_audioRecorderService->cancelRecording();
}

} // namespace tovrik
