// The typed turn: the panel's "Ask" button sends the chat box's text down the
// same road as a spoken request, without audio.

#include "model/ModelTurnSupport.h"
#include "model/TovrikAppModel.h"

#include "common/Constants.h"
#include "hosted/HTTPError.h"
#include "interaction/AudioRecorderService.h"
#include "overlay/OverlayWindowController.h"

namespace tovrik {

void TovrikAppModel::sendChatOnlyMessage()
{
    if (!canSendChatOnlyMessage()) {
        if (!canUseChatOnly())
            setChatOnlyStatusMessage(QStringLiteral("Finish setup above to use chat-only."));
        return;
    }
    const QString prompt = m_chatOnlyInput.trimmed();
    if (prompt.isEmpty())
        return;

    const quint64 version = beginNewInteractionVersion();
    m_overlayController->dismissResponseBubble();
    // A push-to-talk recording still running belongs to no turn any more.
    m_activePushToTalkVersion = 0;
    if (m_pushToTalkRecording) {
        m_pushToTalkRecording = false;
        if (m_pushToTalkWatchdog)
            m_pushToTalkWatchdog->stop();
        m_audioRecorderService->cancelRecording();
        m_overlayController->updateAudioPowerLevel(0);
    }
    cancelActiveInteraction(false);
    setChatOnlyInput(QString());
    setChatOnlyStatusMessage(QString());
    setChatOnlyBusy(true);
    setLastTranscript(prompt);
    setVoiceState(TovrikVoiceState::processing);
    m_overlayController->updateVoiceState(TovrikVoiceState::processing);

    QPointer<TovrikAppModel> weak(this);
    setInteractionTask(startTask([weak, prompt, version](CancellationToken token) -> QCoro::Task<void> {
        return weak->runChatOnlyInteraction(prompt, version, token);
    }));
}

QCoro::Task<void> TovrikAppModel::runChatOnlyInteraction(QString prompt, quint64 interactionVersion,
                                                         CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    std::exception_ptr failure;
    try {
        ensureCurrent(weak, interactionVersion);
        if (m_settings.isUIAutopilotEnabled) {
            // Branch point of UI Autopilot: the typed text goes to the agent
            // run instead of the spoken reply.
            co_await runUIAutopilotInteraction(prompt, interactionVersion, token);
            ensureCurrent(weak, interactionVersion);
        } else {
            co_await runReplyRoad(prompt, QStringLiteral("chat"), interactionVersion, token);
            ensureCurrent(weak, interactionVersion);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(weak))
        co_return;

    const bool current = m_interactionVersion == interactionVersion;
    if (current) {
        if (!failure) {
            setVoiceState(TovrikVoiceState::idle);
            m_overlayController->updateVoiceState(TovrikVoiceState::idle);
        } else if (isCancellation(failure)) {
            finishTurnIdle(turn::idleHideDelay);
        } else if (turn::isEmptyReply(failure)) {
            setChatOnlyInput(prompt);
            setChatOnlyStatusMessage(constants::appDisplayName + QStringLiteral(" returned an empty reply. Try again."));
            finishTurnIdle(turn::idleHideDelay);
        } else {
            setChatOnlyInput(prompt);
            setChatOnlyStatusMessage(isHostedOutOfCreditsError(failure) ? QStringLiteral("Out of credits.")
                                                                        : errorDescription(failure));
            handleInteractionFailure(failure);
        }
        setChatOnlyBusy(false);
        m_interactionTask = TaskHandle();
    }
    scheduleHostedCreditRefresh();
}

} // namespace tovrik
