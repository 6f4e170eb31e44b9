// A UI Autopilot run from start to end: the start checks, the busy state and
// status, the take-over monitor, the pending run memory that lets an
// interrupted run still leave a turn, the clean-up on every exit, and the
// Esc and take-over handlers. The steps are in ModelAutopilotStep.cpp, the
// input of one action in ModelAutopilotDispatch.cpp.
//
// Cleaning up after a run that became stale leaves alone what a newer run
// owns: the monitor is stopped only with this run's owner token, and held
// input is released only when no newer run is busy.

#include "model/TovrikAppModel.h"

#include "autopilot/DesktopInputService.h"
#include "autopilot/UIAutopilotParsing.h"
#include "autopilot/UserInputActivityMonitor.h"
#include "common/Constants.h"
#include "common/HeapRelease.h"
#include "common/TextLines.h"
#include "hosted/TrustedOrigins.h"
#include "interaction/ScreenCaptureService.h"
#include "overlay/OverlayWindowController.h"

#include <QMetaObject>

namespace tovrik {

void TovrikAppModel::wireUIAutopilot()
{
    QPointer<OverlayWindowController> weakOverlay(m_overlayController.get());
    m_desktopInputService->onMouseVisual = [weakOverlay](overlay::MouseVisualEventType type, QPointF point) {
        if (weakOverlay)
            weakOverlay->recordAutopilotMouse(type, point);
    };
    std::weak_ptr<UserInputActivityMonitor> monitor = m_userInputActivityMonitor;
    m_desktopInputService->shouldAbortForUserInput = [monitor]() {
        const std::shared_ptr<UserInputActivityMonitor> m = monitor.lock();
        return !m || m->hasUserTakenOverSinceReset();
    };
    // Called on the monitor's thread, which the destructor joins before the
    // model goes; the queued call is dropped if the model is gone by then.
    m_userInputActivityMonitor->onPhysicalUserInput = [this]() {
        QMetaObject::invokeMethod(this, [this]() { handleUserInputTakeover(); }, Qt::QueuedConnection);
    };
}

void TovrikAppModel::handleUserInputTakeover()
{
    if (!m_isUIAutopilotBusy || m_destroying)
        return;
    cancelActiveInteraction(true);
    setVoiceState(TovrikVoiceState::idle);
    m_overlayController->updateVoiceState(TovrikVoiceState::idle);
    setChatOnlyStatusMessage(QStringLiteral("UI Autopilot stopped with Esc."));
}

void TovrikAppModel::ensureUIAutopilotCanControlInput(quint64 interactionVersion) const
{
    if (interactionVersion == 0 || interactionVersion != m_interactionVersion)
        throw CancellationError();
    if (m_userInputActivityMonitor->hasUserTakenOverSinceReset())
        throw autopilotError(10, QStringLiteral("UI Autopilot stopped with Esc."));
}

// ---- pending run memory ----

void TovrikAppModel::beginPendingUIAutopilotMemory(const QString& prompt, quint64 interactionVersion)
{
    const QString text = prefixCharacters(prompt.trimmed(), constants::maxConversationTextLength);
    if (text.isEmpty())
        return;
    m_pendingUIAutopilotMemory = PendingUIAutopilotMemory{text, interactionVersion, QString()};
}

void TovrikAppModel::clearPendingUIAutopilotMemory(quint64 interactionVersion)
{
    if (m_pendingUIAutopilotMemory && m_pendingUIAutopilotMemory->interactionVersion == interactionVersion)
        m_pendingUIAutopilotMemory.reset();
}

void TovrikAppModel::refreshPendingUIAutopilotSummary(quint64 interactionVersion, const QString& summary)
{
    if (m_pendingUIAutopilotMemory && m_pendingUIAutopilotMemory->interactionVersion == interactionVersion)
        m_pendingUIAutopilotMemory->progressSummary = summary;
}

QString TovrikAppModel::interruptedUIAutopilotMemoryText(const QString& progressSummary)
{
    const QString summary = progressSummary.trimmed();
    const QString head = QStringLiteral("UI Autopilot was interrupted before finishing this task.");
    if (summary.isEmpty())
        return head;
    return head + QStringLiteral("\nProgress before interruption:\n") + summary;
}

void TovrikAppModel::appendInterruptedUIAutopilotTurn(quint64 interactionVersion)
{
    if (!m_pendingUIAutopilotMemory || m_pendingUIAutopilotMemory->interactionVersion != interactionVersion)
        return;
    const PendingUIAutopilotMemory record = *m_pendingUIAutopilotMemory;
    m_pendingUIAutopilotMemory.reset();
    appendConversationTurn(record.prompt, interruptedUIAutopilotMemoryText(record.progressSummary));
}

// ---- the run ----

QCoro::Task<void> TovrikAppModel::runUIAutopilotInteraction(QString prompt, quint64 interactionVersion,
                                                            CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    if (interactionVersion == 0 || interactionVersion != m_interactionVersion)
        throw CancellationError();
    if (isBlank(m_settings.hostedAccountSessionToken) || !normalizedTrustedHostedWorkerBaseURL(m_settings.workerBaseURL))
        throw autopilotError(1, QStringLiteral("Sign in to your Tovrik account to use UI Autopilot."));
    if (!m_screenRecordingGranted || !m_accessibilityGranted)
        throw autopilotError(2, QStringLiteral("Allow screen recording and accessibility before using UI Autopilot."));

    setUIAutopilotBusy(true);
    m_overlayController->setUIAutopilotBusy(true);
    m_overlayController->releaseAutopilotCursor();
    setVoiceState(TovrikVoiceState::processing);
    m_overlayController->updateVoiceState(TovrikVoiceState::processing);
    setChatOnlyStatusMessage(QStringLiteral("UI Autopilot is running..."));
    m_overlayController->showStatus(QStringLiteral("ui autopilot is running"),
                                    m_screenCaptureService->screenForCurrentPointer(),
                                    m_settings.isTransparentCursorOverlayEnabled);
    beginPendingUIAutopilotMemory(prompt, interactionVersion);

    // Kept alive across the run: the model may go while the run is suspended.
    const std::shared_ptr<UserInputActivityMonitor> monitor = m_userInputActivityMonitor;
    UserInputActivityMonitor::OwnerToken owner = 0;
    std::exception_ptr failure;
    try {
        monitor->reset();
        owner = monitor->start();
        if (owner == 0)
            throw autopilotError(11, QStringLiteral("UI Autopilot could not start its user-interruption monitor."));
        co_await runUIAutopilotSteps(prompt, interactionVersion, token);
    } catch (...) {
        failure = std::current_exception();
    }

    // Clean-up, on every exit.
    const bool alive = isAlive(weak);
    const bool current = alive && m_interactionVersion == interactionVersion;
    if (alive && (current || !m_isUIAutopilotBusy))
        m_desktopInputService->releaseHeldInputs();
    monitor->stop(owner);
    if (alive) {
        // What the run's captures and requests took is given back once, at
        // its end: the capture buffers, and the heap the screenshots' JPEG,
        // base64 and JSON copies grew.
        m_screenCaptureService->releaseBuffers();
        releaseFreedHeap();
        appendInterruptedUIAutopilotTurn(interactionVersion);
        if (current) {
            setUIAutopilotBusy(false);
            m_overlayController->setUIAutopilotBusy(false);
            scheduleHostedCreditRefresh();
        }
    } else if (!failure) {
        failure = std::make_exception_ptr(CancellationError());
    }
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace tovrik
