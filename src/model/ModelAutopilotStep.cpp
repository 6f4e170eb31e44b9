// The steps of a UI Autopilot run: capture every display, ask the hosted
// model for one JSON action, check it, let the loop watchdog judge it,
// perform it, record it in the run memory and pause. A failed step is
// recorded as a step recovery and the run goes on with a fresh capture,
// unless it is the third failure in a row, a cancellation, or an error
// outside the recoverable domains (the step's own, capture, input, JSON
// syntax, and the hosted client's transport failures and time-outs).

#include "model/TovrikAppModel.h"

#include "autopilot/AutopilotLoopWatchdog.h"
#include "autopilot/AutopilotObservation.h"
#include "autopilot/AutopilotStepRequest.h"
#include "autopilot/AutopilotTaskMemory.h"
#include "autopilot/DesktopInputService.h"
#include "autopilot/UIAutopilotParsing.h"
#include "autopilot/UIAutopilotTargets.h"
#include "common/Constants.h"
#include "common/TextLines.h"
#include "hosted/HostedBackendClient.h"
#include "hosted/TrustedOrigins.h"
#include "interaction/ScreenCaptureAttachments.h"
#include "interaction/ScreenCaptureService.h"
#include "overlay/OverlayWindowController.h"

#include <QBuffer>

#include <cmath>

namespace tovrik {

namespace {

using K = UIAutopilotActionKind;

const QString kRepeatedCycleNote = QStringLiteral(
    "Repeated screen/action cycle. The last proposal was not dispatched. Choose a different strategy or done with "
    "success=false.");
const QString kRepeatedCycleAnswer =
    QStringLiteral("UI Autopilot stopped after a repeating screen/action cycle without visible progress.");

TovrikError stepError(const char* message) { return autopilotError(30, QLatin1String(message)); }

struct PendingZoom {
    uint32_t displayID = 0;
    QSize overviewPixelSize;
    QRect nativeRect;
};

AutopilotDetail buildDetail(const ScreenCapturePayloads& captures, const PendingZoom& zoom)
{
    const auto changed = [] {
        return stepError("The detail display changed. Request zoom from the fresh overview again.");
    };
    const auto it = std::find_if(captures.begin(), captures.end(),
                                 [&](const ScreenCapturePayload& c) { return c.displayID == zoom.displayID; });
    if (it == captures.end() || it->pixelSize != zoom.overviewPixelSize || !it->nativeImage)
        throw changed();
    const QRect region = zoom.nativeRect.intersected(it->nativeImage->rect());
    if (region != zoom.nativeRect || region.isEmpty())
        throw changed();
    const QImage crop = it->nativeImage->copy(region);
    QByteArray png;
    QBuffer buffer(&png);
    if (crop.isNull() || !buffer.open(QIODevice::WriteOnly) || !crop.save(&buffer, "PNG"))
        throw changed();
    AutopilotDetail detail;
    detail.capture = *it;
    detail.region = QRectF(region);
    detail.attachment.imageData = png;
    detail.attachment.imageLabel =
        QStringLiteral("DETAIL of screen %1: %2x%3 native pixels. Use coordinate_space=detail for points read from "
                       "this image. Current decision only.")
            .arg(it->screenNumber)
            .arg(region.width())
            .arg(region.height());
    return detail;
}

// Detail coordinates become overview coordinates of the detail's display.
void applyCoordinateSpace(UIAutopilotAction& action, const std::optional<AutopilotDetail>& detail)
{
    if (action.coordinateSpace == QLatin1String("overview"))
        return;
    if (action.coordinateSpace != QLatin1String("detail") || !detail || action.kind == K::zoom)
        throw stepError("Detail coordinates require a current detail image. Zoom rectangles use overview coordinates.");
    if (action.imagePoint)
        action.imagePoint = convertDetailPoint(*detail, *action.imagePoint);
    if (action.endImagePoint)
        action.endImagePoint = convertDetailPoint(*detail, *action.endImagePoint);
    const qint64 screen = detail->capture.screenNumber;
    for (UIAutopilotPathPoint& p : action.path) {
        p.point = convertDetailPoint(*detail, p.point);
        p.screen = screen;
    }
    action.screenNumber = screen;
    action.endScreenNumber = screen;
    action.coordinateSpace = QStringLiteral("overview");
}

// The native rectangle of a zoom: the overview rectangle scaled to native
// pixels, made integral outward and kept inside the native image.
PendingZoom zoomRequest(const UIAutopilotTarget& target, const UIAutopilotAction& action)
{
    const ScreenCapturePayload& c = target.capture;
    const double x = target.imagePoint.x();
    const double y = target.imagePoint.y();
    if (action.zoomWidth < 1 || action.zoomHeight < 1 || x + double(action.zoomWidth) > c.pixelSize.width()
        || y + double(action.zoomHeight) > c.pixelSize.height())
        throw stepError("The zoom rectangle must fit inside the overview.");
    const double sx = double(c.nativePixelSize.width()) / std::max(c.pixelSize.width(), 1);
    const double sy = double(c.nativePixelSize.height()) / std::max(c.pixelSize.height(), 1);
    const int left = int(std::floor(x * sx));
    const int top = int(std::floor(y * sy));
    const int right = int(std::ceil((x + double(action.zoomWidth)) * sx));
    const int bottom = int(std::ceil((y + double(action.zoomHeight)) * sy));
    const QRect native = QRect(left, top, right - left, bottom - top).intersected(QRect(QPoint(), c.nativePixelSize));
    if (native.width() > 1280 || native.height() > 1280)
        throw stepError("Request a smaller detail, at most 1280 native pixels per side.");
    return PendingZoom{c.displayID, c.pixelSize, native};
}

QString actionStatusText(const UIAutopilotAction& a)
{
    switch (a.kind) {
    case K::click: return QStringLiteral("Clicking ") + a.labelOrFallback(QStringLiteral("target")) + QLatin1Char('.');
    case K::doubleClick:
        return QStringLiteral("Double clicking ") + a.labelOrFallback(QStringLiteral("target")) + QLatin1Char('.');
    case K::rightClick:
        return QStringLiteral("Right clicking ") + a.labelOrFallback(QStringLiteral("target")) + QLatin1Char('.');
    case K::middleClick:
        return QStringLiteral("Middle clicking ") + a.labelOrFallback(QStringLiteral("target")) + QLatin1Char('.');
    case K::move: return QStringLiteral("Moving to ") + a.labelOrFallback(QStringLiteral("target")) + QLatin1Char('.');
    case K::drag: return QStringLiteral("Dragging ") + a.labelOrFallback(QStringLiteral("target")) + QLatin1Char('.');
    case K::input: return QStringLiteral("Typing into ") + a.labelOrFallback(QStringLiteral("field")) + QLatin1Char('.');
    case K::key: return QStringLiteral("Pressing ") + a.key + QLatin1Char('.');
    case K::scroll: return QStringLiteral("Scrolling ") + a.direction + QLatin1Char('.');
    case K::wait: return QStringLiteral("Waiting.");
    case K::done:
    case K::zoom: break;
    }
    return {};
}

bool isRecoverable(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return false;
    } catch (const HTTPError& e) {
        return e.kind() == HTTPError::Kind::transport || e.kind() == HTTPError::Kind::timedOut;
    } catch (const TovrikError& e) {
        return e.domain() == kUIAutopilotErrorDomain || e.domain() == ScreenCaptureService::errorDomain
            || e.domain() == DesktopInputService::kErrorDomain || e.domain() == kJSONErrorDomain;
    } catch (...) {
        return false;
    }
}

} // namespace

QCoro::Task<void> TovrikAppModel::runUIAutopilotSteps(QString prompt, quint64 interactionVersion,
                                                      CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    AutopilotTaskMemory memory;
    AutopilotLoopWatchdog watchdog;
    AutopilotObservationMemo observed;
    qint64 step = 1;
    QString lastExpectedResult;
    QString note;
    int consecutiveFailures = 0;
    std::optional<PendingZoom> pendingZoom;
    std::optional<AutopilotDetail> detail;
    const QString origin = normalizedTrustedHostedWorkerBaseURL(m_settings.workerBaseURL)
                               .value_or(constants::defaultHostedWorkerBaseURL());
    const QString session = m_settings.hostedAccountSessionToken.trimmed();
    const auto showStepStatus = [this](const QString& chatText, const QString& overlayText) {
        setChatOnlyStatusMessage(chatText);
        m_overlayController->showStatus(overlayText, m_screenCaptureService->screenForCurrentPointer(),
                                        m_settings.isTransparentCursorOverlayEnabled);
    };

    for (;;) {
        enum class Ending { none, done, watchdog };
        Ending ending = Ending::none;
        UIAutopilotDecision decision;
        std::exception_ptr failure;
        try {
            ensureCurrent(weak, interactionVersion);
            showStepStatus(QStringLiteral("UI Autopilot step %1").arg(step), QStringLiteral("ui autopilot %1").arg(step));

            const bool wantsNative = pendingZoom.has_value();
            const ScreenCapturePayloads captures =
                co_await captureAllScreensForModel(m_screenCaptureService.get(), m_overlayController.get(), wantsNative);
            ensureCurrent(weak, interactionVersion);
            // The watchdog's samples are made while the model thinks.
            const AutopilotObservationJob observation = startAutopilotObservation(captures, &observed);
            QList<HostedChatImageAttachment> images = makeScreenCaptureAttachments(captures);
            detail.reset();
            if (pendingZoom) {
                const PendingZoom zoom = *pendingZoom;
                pendingZoom.reset();
                detail = buildDetail(captures, zoom);
                images.append(detail->attachment);
            }

            const QString message = AutopilotStepRequest::userMessage(
                prompt, step, memory.toPromptJSON(), m_desktopInputService->inputStateSummary(), note, lastExpectedResult);
            const ConversationHistory history = conversationHistory();
            const QString systemPrompt = AutopilotStepRequest::systemPrompt();
            const std::optional<double> timeout = AutopilotStepRequest::timeoutInterval;
            const QString model = constants::expertHostedThinkingModel;
            const QString reply = co_await m_hostedBackendClient->respond(
                origin, session, model, images, message, history, systemPrompt, timeout, AutopilotStepRequest::workload,
                token);
            ensureCurrent(weak, interactionVersion);

            decision = parseUIAutopilotDecision(reply);
            UIAutopilotAction& action = decision.action;
            applyCoordinateSpace(action, detail);
            memory.updateReportedState(decision.taskState ? &*decision.taskState : nullptr, step);
            refreshPendingUIAutopilotSummary(interactionVersion, memory.toResumeSummary());

            if (action.kind == K::key && action.phase != QLatin1String("up")) {
                const QString held = m_desktopInputService->heldModifierNames();
                if (!held.isEmpty())
                    action.key = held + QLatin1Char('+') + action.key;
            }
            if ((action.kind == K::input || action.kind == K::done) && m_desktopInputService->hasHeldInput())
                throw stepError("Release held inputs and inspect the next screenshot before input or done.");

            if (action.kind == K::done) {
                if (action.success && !lastExpectedResult.isEmpty()
                    && (decision.verificationStatus != QLatin1String("confirmed")
                        || decision.verificationEvidence.trimmed().isEmpty()))
                    throw stepError("Completion requires visible confirmation of the last action in "
                                    "verification.evidence.");
                ending = Ending::done;
            } else {
                const QByteArray sample = co_await finishAutopilotObservation(observation, &observed);
                ensureCurrent(weak, interactionVersion);
                const int verdict = watchdog.observe(autopilotActionSignature(action), sample,
                                                     action.kind == K::wait, Clock::instance().now());
                if (verdict == AutopilotLoopWatchdog::stop) {
                    ending = Ending::watchdog;
                } else if (verdict == AutopilotLoopWatchdog::warn) {
                    m_desktopInputService->releaseHeldInputs();
                    detail.reset();
                    note = kRepeatedCycleNote;
                    pendingZoom.reset();
                    ++step;
                    continue;
                } else if (action.kind == K::zoom) {
                    const UIAutopilotTarget target =
                        resolveUIAutopilotTarget(action, captures, std::nullopt, std::nullopt, *m_screenCaptureService);
                    const PendingZoom zoom = zoomRequest(target, action);
                    memory.record(step, decision.message, action.logDescription(),
                                  QStringLiteral("Fresh native detail requested for the next decision."),
                                  QStringLiteral("observation_requested"));
                    refreshPendingUIAutopilotSummary(interactionVersion, memory.toResumeSummary());
                    pendingZoom = zoom;
                    detail.reset();
                    consecutiveFailures = 0;
                    note.clear();
                    ++step;
                    continue;
                } else {
                    const QString status = decision.message.isEmpty() ? actionStatusText(action) : decision.message;
                    showStepStatus(status, status.toLower());
                    const QString observation =
                        co_await performUIAutopilotAction(action, captures, interactionVersion, token);
                    const QString expected = action.kind == K::wait ? lastExpectedResult
                        : !decision.expectedResult.isEmpty()
                        ? prefixCharacters(decision.expectedResult, 500)
                        : QStringLiteral("Verify the visible result of ") + action.logDescription();
                    const QString verification = decision.verificationEvidence.isEmpty()
                        ? QString()
                        : QStringLiteral(" Previous observation [") + decision.verificationStatus + QStringLiteral("]: ")
                            + prefixCharacters(decision.verificationEvidence, 300);
                    memory.record(step, status, action.logDescription(), observation + verification);
                    refreshPendingUIAutopilotSummary(interactionVersion, memory.toResumeSummary());
                    const bool shortPause = action.kind == K::input || action.kind == K::scroll || action.kind == K::wait;
                    co_await sleep(shortPause ? 0.7 : 1.2, token);
                    detail.reset();
                    lastExpectedResult = expected;
                    consecutiveFailures = 0;
                    note.clear();
                    pendingZoom.reset();
                    ++step;
                    continue;
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }

        if (ending != Ending::none) {
            // Finishing with an answer.
            m_desktopInputService->releaseHeldInputs();
            bool success = false;
            QString finalText;
            if (ending == Ending::done) {
                success = decision.action.success;
                finalText = (decision.action.text.isEmpty() ? decision.message : decision.action.text).trimmed();
                if (finalText.isEmpty())
                    finalText = success ? QStringLiteral("Completed.")
                                        : QStringLiteral("UI Autopilot stopped before completing the task.");
            } else {
                finalText = kRepeatedCycleAnswer;
            }
            ensureCurrent(weak, interactionVersion);
            setChatOnlyStatusMessage(success ? QString() : QStringLiteral("UI Autopilot did not complete the task."));
            appendConversationTurn(prompt, finalText);
            clearPendingUIAutopilotMemory(interactionVersion);
            const std::optional<platform::DisplayInfo> screen = m_screenCaptureService->screenForCurrentPointer();
            co_await presentAssistantResponse(finalText, std::nullopt, QSizeF(), screen, interactionVersion, token);
            ensureCurrent(weak, interactionVersion);
            setVoiceState(TovrikVoiceState::idle);
            m_overlayController->updateVoiceState(TovrikVoiceState::idle);
            co_return;
        }

        // Step recovery.
        if (!isAlive(weak))
            std::rethrow_exception(failure);
        if (m_interactionVersion == interactionVersion || !m_isUIAutopilotBusy) {
            m_desktopInputService->releaseHeldInputs();
            m_overlayController->releaseAutopilotCursor();
        }
        ensureUIAutopilotCanControlInput(interactionVersion);
        ++consecutiveFailures;
        if (token.isCancelled() || consecutiveFailures > 2 || !isRecoverable(failure))
            std::rethrow_exception(failure);
        const QString recovery = QStringLiteral("The last step failed and input may be partial. Held inputs were "
                                                "released. Inspect the fresh screen; do not blindly retry. ")
            + prefixCharacters(describeException(failure), 400);
        memory.record(step, QStringLiteral("Step recovery"), QString(), recovery, QStringLiteral("indeterminate"));
        refreshPendingUIAutopilotSummary(interactionVersion, memory.toResumeSummary());
        co_await sleep(0.7, token);
        note = recovery;
        pendingZoom.reset();
        detail.reset();
        ++step;
    }
}

} // namespace tovrik
