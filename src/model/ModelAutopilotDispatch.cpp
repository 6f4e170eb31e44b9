// The model's side of performing one UI Autopilot action: the services and
// the guard of this run (AutopilotDispatch.cpp does the input).

#include "model/TovrikAppModel.h"

#include "autopilot/AutopilotDispatch.h"
#include "overlay/OverlayWindowController.h"

namespace tovrik {

QCoro::Task<QString> TovrikAppModel::performUIAutopilotAction(UIAutopilotAction action, ScreenCapturePayloads captures,
                                                              quint64 interactionVersion, CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    AutopilotDispatchContext context;
    context.input = m_desktopInputService.get();
    context.screens = m_screenCaptureService.get();
    context.overlay = m_overlayController.get();
    context.guard = [weak, interactionVersion]() {
        if (!isAlive(weak))
            throw CancellationError();
        weak->ensureUIAutopilotCanControlInput(interactionVersion);
    };
    const QString observation = co_await dispatchUIAutopilotAction(action, captures, context, token);
    ensureCurrent(weak, interactionVersion);
    co_return observation;
}

} // namespace tovrik
