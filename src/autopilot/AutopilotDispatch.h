#pragma once

// One UI Autopilot action performed on the desktop with the desktop input
// service; returns the observation text sent back to the model.
//
// In order: the guard; every capture must still describe the displays
// (code 22); a release ("up" phase); a key_down; while a mouse button is held
// only move, scroll and wait go on. Then the action's modifiers are pressed
// and the kind performed. The modifiers are released on every way out,
// except that a mouse_down keeps its chord's modifiers held with the button
// (released by mouse_up, the end of the run or the automatic release), as
// the step prompt promises. A click whose press wait is interrupted lets go
// of the button before the error leaves. The guard runs again after every
// settle pause and around drag presses.

#include "autopilot/DesktopInputService.h"
#include "autopilot/UIAutopilotAction.h"
#include "common/Task.h"

#include <functional>

namespace tovrik {

class ScreenCaptureService;
namespace overlay {
class OverlayWindowController;
}

struct AutopilotDispatchContext {
    DesktopInputService* input = nullptr;
    ScreenCaptureService* screens = nullptr;
    overlay::OverlayWindowController* overlay = nullptr; // may be null
    // Throws when the run may no longer touch the desktop (stale run, Esc).
    std::function<void()> guard;
};

QCoro::Task<QString> dispatchUIAutopilotAction(UIAutopilotAction action, ScreenCapturePayloads captures,
                                               AutopilotDispatchContext context, CancellationToken token = {});

} // namespace tovrik
