// The road every answer takes, spoken or typed: all displays captured, the
// hosted reply, the point tag (with a pointing-only request when the request
// asks to be shown something and no point came back), the conversation
// history, then the presentation in the overlay and the speech.
//
// Every co_await is followed by ensureCurrent(): a turn whose model went away
// or whose interaction version is no longer current ends as a cancellation,
// which its caller drops silently.

#include "model/ModelTurnSupport.h"
#include "model/TovrikAppModel.h"

#include "common/Constants.h"
#include "hosted/HTTPError.h"
#include "hosted/HostedBackendClient.h"
#include "interaction/FallbackSpeaker.h"
#include "interaction/PointedResponse.h"
#include "interaction/ScreenCaptureAttachments.h"
#include "interaction/ScreenCaptureService.h"
#include "interaction/SpeechPlayer.h"
#include "overlay/OverlayWindowController.h"

namespace tovrik {

void TovrikAppModel::ensureCurrent(const QPointer<TovrikAppModel>& model, quint64 version)
{
    if (!isAlive(model) || model->m_interactionVersion != version)
        throw CancellationError();
}

void TovrikAppModel::showTurnStatus(const QString& text)
{
    m_overlayController->showStatus(text.toLower(), m_screenCaptureService->screenForCurrentPointer(),
                                    m_settings.isTransparentCursorOverlayEnabled);
    m_overlayController->hide(turnStatusHideDelay);
}

void TovrikAppModel::handleInteractionFailure(std::exception_ptr error)
{
    // The status goes in before the idle state, so the overlay keeps its
    // windows for it instead of fading out.
    showTurnStatus(errorDescription(error));
    setVoiceState(TovrikVoiceState::idle);
    m_overlayController->updateVoiceState(TovrikVoiceState::idle);
}

void TovrikAppModel::finishTurnIdle(double hideDelay)
{
    setVoiceState(TovrikVoiceState::idle);
    m_overlayController->updateVoiceState(TovrikVoiceState::idle);
    m_overlayController->hide(hideDelay);
}

QCoro::Task<void> TovrikAppModel::runReplyRoad(QString request, QString workload, quint64 interactionVersion,
                                               CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    const QString origin = hostedOriginForRequests();
    const QString session = m_settings.hostedAccountSessionToken;
    const QString model = m_settings.hostedModel;

    ScreenCapturePayloads captures =
        co_await captureAllScreensForModel(m_screenCaptureService.get(), m_overlayController.get(), false);
    ensureCurrent(weak, interactionVersion);
    token.throwIfCancelled();

    const QList<HostedChatImageAttachment> attachments = makeScreenCaptureAttachments(captures);
    ConversationHistory history = conversationHistory();
    if (history.size() > constants::maxConversationTurns)
        history = history.mid(history.size() - constants::maxConversationTurns);
    const QString systemPrompt = PointedResponse::voiceCompanionSystemPrompt();
    const std::optional<double> defaultTimeout;

    const QString reply = co_await m_hostedBackendClient->respond(origin, session, model, attachments, request,
                                                                   history, systemPrompt, defaultTimeout, workload,
                                                                   token);
    ensureCurrent(weak, interactionVersion);

    PointedResponse answer = PointedResponse::parse(reply, captures);
    if (isBlank(answer.spokenText))
        throw turn::EmptyReplyError();

    if (!answer.point && PointedResponse::requestAsksForPointing(request)) {
        // Only the place is asked for; the answer stands whatever becomes of
        // this request (a cancellation still ends the turn).
        const QString message = PointedResponse::pointingOnlyUserMessage(request, answer.spokenText);
        const QString pointingPrompt = PointedResponse::pointingOnlySystemPrompt();
        const ConversationHistory noHistory;
        QString pointingReply;
        std::exception_ptr pointingFailure;
        try {
            pointingReply = co_await m_hostedBackendClient->respond(origin, session, model, attachments, message,
                                                                    noHistory, pointingPrompt, defaultTimeout,
                                                                    workload, token);
        } catch (...) {
            pointingFailure = std::current_exception();
        }
        ensureCurrent(weak, interactionVersion);
        if (pointingFailure && isCancellation(pointingFailure))
            std::rethrow_exception(pointingFailure);
        if (!pointingFailure) {
            const PointedResponse located = PointedResponse::parse(pointingReply, captures);
            if (located.point)
                answer = answer.withPointFrom(located);
        }
    }

    appendConversationTurn(request, answer.spokenText);

    std::optional<platform::DisplayInfo> screen;
    QSizeF imageSize;
    if (const std::optional<ScreenCapturePayload> pointed = answer.pointedCapture(captures)) {
        screen = pointed->screen;
        imageSize = QSizeF(pointed->pixelSize);
    } else {
        screen = m_screenCaptureService->screenForCurrentPointer();
    }
    co_await presentAssistantResponse(answer.spokenText, answer.point, imageSize, screen, interactionVersion, token);
    ensureCurrent(weak, interactionVersion);
}

QCoro::Task<void> TovrikAppModel::presentAssistantResponse(QString text, std::optional<QPointF> point,
                                                           QSizeF imageSize,
                                                           std::optional<platform::DisplayInfo> screen,
                                                           quint64 interactionVersion, CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    ensureCurrent(weak, interactionVersion);

    m_overlayController->cancelSharedReturnFlight();
    setVoiceState(TovrikVoiceState::responding);
    m_overlayController->updateVoiceState(TovrikVoiceState::responding);
    m_overlayController->showResponse(text, point, imageSize, screen, m_settings.isTransparentCursorOverlayEnabled,
                                      turn::responseBubbleHideDelay(text),
                                      m_settings.keepResponseBubbleVisibleUntilDismissed);
    if (m_settings.isSilentModeEnabled)
        co_return;

    const QString origin = hostedOriginForRequests();
    const QString session = m_settings.hostedAccountSessionToken;
    const QString voiceID = normalizedElevenLabsVoiceID(m_settings.elevenLabsVoiceID);
    const QString modelID = constants::defaultElevenLabsModelID;
    std::exception_ptr speechFailure;
    try {
        // Speech this machine cannot play is not bought: the system voice
        // speaks at once.
        co_await SpeechPlayer::ensurePlayable(token);
        ensureCurrent(weak, interactionVersion);
        const QByteArray audio =
            co_await m_hostedBackendClient->synthesizeSpeech(origin, session, text, voiceID, modelID, token);
        ensureCurrent(weak, interactionVersion);
        co_await m_speechPlayer->play(audio, token);
    } catch (...) {
        speechFailure = std::current_exception();
    }
    ensureCurrent(weak, interactionVersion);
    if (!speechFailure)
        co_return;
    if (isCancellation(speechFailure))
        std::rethrow_exception(speechFailure);
    // No credits means no voice at all; any other failure falls back to the
    // system voice. The answer is on screen either way, so a failing system
    // voice does not fail the turn.
    if (isHostedOutOfCreditsError(speechFailure))
        co_return;
    std::exception_ptr fallbackFailure;
    try {
        co_await m_fallbackSpeaker->speak(text, token);
    } catch (...) {
        fallbackFailure = std::current_exception();
    }
    ensureCurrent(weak, interactionVersion);
    if (fallbackFailure && isCancellation(fallbackFailure))
        std::rethrow_exception(fallbackFailure);
}

} // namespace tovrik
