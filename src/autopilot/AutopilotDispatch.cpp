#include "autopilot/AutopilotDispatch.h"

#include "autopilot/UIAutopilotParsing.h"
#include "autopilot/UIAutopilotTargets.h"
#include "interaction/ScreenCaptureService.h"
#include "overlay/OverlayWindowController.h"

namespace tovrik {

namespace {
using K = UIAutopilotActionKind;
}

QCoro::Task<QString> dispatchUIAutopilotAction(UIAutopilotAction action, ScreenCapturePayloads captures,
                                               AutopilotDispatchContext context, CancellationToken token)
{
    DesktopInputService& input = *context.input;
    const ScreenCaptureService& screens = *context.screens;
    const InputCheck guard = context.guard ? context.guard : InputCheck([] {});
    overlay::OverlayWindowController* overlay = context.overlay;
    const auto prepare = [overlay](QPointF p) {
        if (overlay)
            overlay->prepareAutopilotPress(p);
    };
    guard();
    for (const ScreenCapturePayload& capture : captures)
        if (!screens.screenConfigurationIsCurrent(capture))
            throw autopilotError(22, QStringLiteral("The screen configuration changed after the screenshot. UI "
                                                    "Autopilot stopped before dispatching input."));

    if (action.phase == QLatin1String("up")) {
        if (action.kind == K::key)
            input.setHeldKey(action.key, false);
        else
            input.releaseHeldInputs();
        co_return QStringLiteral("Requested held input released. Verify the next screenshot.");
    }
    if (!input.hasHeldMouseButton()) {
        if (action.kind == K::key && action.phase == QLatin1String("down")) {
            input.setHeldKey(action.key, true);
            co_return QStringLiteral("Keys remain held across observations; release with key_up.");
        }
    } else if (action.kind != K::move && action.kind != K::scroll && action.kind != K::wait) {
        throw TovrikError(DesktopInputService::kErrorDomain, 1,
                          QStringLiteral("Use move, scroll, wait or mouse_up to finish the held gesture."));
    }

    const std::vector<uint16_t> pressed = input.holdModifiers(action.modifiers);
    bool keepModifiers = false;
    const auto resolve = [&](std::optional<QPointF> point, std::optional<qint64> screen) {
        return globalPoint(resolveUIAutopilotTarget(action, captures, point, screen, screens));
    };
    std::exception_ptr failure;
    try {
        switch (action.kind) {
        case K::click:
        case K::doubleClick:
        case K::rightClick:
        case K::middleClick: {
            const QPointF p = resolve(std::nullopt, std::nullopt);
            prepare(p);
            co_await input.moveSmoothly(p, token);
            co_await sleepFor(0.14, token);
            guard();
            if (action.phase == QLatin1String("down")) {
                input.setHeldMouse(action.button, true, p, 1);
                keepModifiers = true;
                break;
            }
            const int clicks = action.kind == K::doubleClick ? 2 : 1;
            for (int n = 1; n <= clicks; ++n) {
                input.setHeldMouse(action.button, true, p, n);
                std::exception_ptr interrupted;
                try {
                    co_await sleepFor(action.isTimedHold ? std::max<qint64>(action.milliseconds, 100) / 1000.0 : 0.07, token);
                } catch (...) {
                    interrupted = std::current_exception();
                }
                if (interrupted) {
                    input.releaseHeldInputs();
                    std::rethrow_exception(interrupted);
                }
                input.setHeldMouse(action.button, false, p, n);
                if (n < clicks)
                    co_await sleepFor(0.085, token);
            }
            break;
        }
        case K::move:
            co_await input.moveContinuous(resolve(std::nullopt, std::nullopt), int(action.milliseconds), token);
            break;
        case K::drag: {
            std::vector<QPointF> points;
            if (!action.path.isEmpty()) {
                for (const UIAutopilotPathPoint& p : action.path)
                    points.push_back(resolve(p.point, p.screen ? p.screen : action.screenNumber));
            } else {
                points.push_back(resolve(action.imagePoint, action.screenNumber));
                points.push_back(resolve(action.endImagePoint,
                                         action.endScreenNumber ? action.endScreenNumber : action.screenNumber));
            }
            prepare(points.front());
            co_await input.moveSmoothly(points.front(), token);
            co_await sleepFor(0.14, token);
            guard();
            const InputCheck notCancelled = [token]() { token.throwIfCancelled(); };
            co_await input.dragPath(points, int(action.milliseconds), action.button, guard, notCancelled, guard, token);
            break;
        }
        case K::input:
            if (input.hasHeldInput())
                throw TovrikError(DesktopInputService::kErrorDomain, 1, QStringLiteral("Release held input before typing."));
            if (action.imagePoint) {
                const QPointF p = resolve(std::nullopt, std::nullopt);
                prepare(p);
                co_await input.moveSmoothly(p, token);
                co_await sleepFor(0.14, token);
                guard();
                co_await input.click(p, token);
            }
            co_await input.typeText(action.text, InputCheck(), token);
            break;
        case K::key:
            co_await input.holdKey(action.key, int(std::max<qint64>(action.milliseconds, 100)), token);
            break;
        case K::scroll:
            if (action.imagePoint)
                co_await input.moveContinuous(resolve(std::nullopt, std::nullopt), 240, token);
            co_await input.scroll(action.direction, int(action.pixels), token);
            break;
        case K::wait:
            co_await sleepFor(action.milliseconds / 1000.0, token);
            break;
        case K::done:
        case K::zoom:
            break;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure || !keepModifiers)
        input.releaseKeys(pressed);
    if (failure)
        std::rethrow_exception(failure);
    co_return QStringLiteral("Input dispatched. ") + input.inputStateSummary()
        + QStringLiteral(" Verify the visible result in the next screenshot.");
}

} // namespace tovrik
