// Pointer motion, clicks, the held mouse button and drags of the desktop
// input service.

#include "autopilot/AutopilotGeometry.h"
#include "autopilot/DesktopInputService.h"

#include "common/Clock.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cmath>

namespace tovrik {

namespace {

using platform::MouseEventKind;

platform::SyntheticInput* syntheticInput()
{
    return platform::Platform::isInstalled() ? &platform::Platform::get().input() : nullptr;
}

double distance(QPointF a, QPointF b) { return std::hypot(a.x() - b.x(), a.y() - b.y()); }

} // namespace

DesktopInputService::ButtonKind DesktopInputService::buttonKind(const QString& name)
{
    if (name == QLatin1String("right"))
        return ButtonKind::Right;
    if (name == QLatin1String("middle"))
        return ButtonKind::Middle;
    return ButtonKind::Left;
}

std::optional<QPointF> DesktopInputService::pointerLocation() const
{
    if (!platform::Platform::isInstalled())
        return std::nullopt;
    return platform::Platform::get().displays().readPointerLocation();
}

QPointF DesktopInputService::displayOrigin(uint32_t displayID) const
{
    if (!platform::Platform::isInstalled())
        return {};
    const auto display = platform::Platform::get().displays().display(displayID);
    return display ? display->bounds.topLeft() : QPointF();
}

void DesktopInputService::verifyPointer(QPointF target) const
{
    const auto at = pointerLocation();
    if (!at || distance(*at, target) > 4.0)
        throw inputError(kVerifyPointerMessage);
}

bool DesktopInputService::postButton(ButtonKind button, bool down, QPointF at, int clickState)
{
    using V = MouseVisualEventType;
    V type = down ? V::leftMouseDown : V::leftMouseUp;
    platform::MouseButton which = platform::MouseButton::Left;
    if (button == ButtonKind::Right) {
        type = down ? V::rightMouseDown : V::rightMouseUp;
        which = platform::MouseButton::Right;
    } else if (button == ButtonKind::Middle) {
        type = down ? V::otherMouseDown : V::otherMouseUp;
        which = platform::MouseButton::Middle;
    }
    auto* input = syntheticInput();
    if (!input)
        return false;
    if (onMouseVisual)
        onMouseVisual(type, at);
    return input->postMouse(down ? MouseEventKind::Down : MouseEventKind::Up, which, at, clickState);
}

void DesktopInputService::postButtonOrThrow(ButtonKind button, bool down, QPointF at, int clickState)
{
    if (!postButton(button, down, at, clickState))
        throw inputError(kMouseEventMessage);
}

// ---- motion ----

void DesktopInputService::move(QPointF to)
{
    checkAbort();
    auto* input = syntheticInput();
    bool posted = false;
    if (!m_heldMouseButton) {
        posted = input && input->postMouse(MouseEventKind::Move, platform::MouseButton::Left, to, 0);
    } else {
        if (onMouseVisual)
            onMouseVisual(MouseVisualEventType::leftMouseDragged, to);
        const ButtonKind kind = buttonKind(*m_heldMouseButton);
        const auto button = kind == ButtonKind::Right ? platform::MouseButton::Right
            : kind == ButtonKind::Middle               ? platform::MouseButton::Middle
                                                        : platform::MouseButton::Left;
        posted = input && input->postMouse(MouseEventKind::Drag, button, to, 0);
    }
    if (!posted)
        throw inputError(kMovementEventMessage);
}

void DesktopInputService::move(uint32_t displayID, QPointF localPoint) { move(displayOrigin(displayID) + localPoint); }

QCoro::Task<void> DesktopInputService::moveSmoothly(QPointF to, CancellationToken token)
{
    const QPointF from = pointerLocation().value_or(to);
    const double d = distance(from, to);
    if (d < 10) {
        move(to);
        co_return;
    }
    const int steps = std::clamp(int(std::ceil(d / 70.0)), 8, 26);
    const int pauseMs = std::max(4, int(std::lround(240.0 / steps)));
    for (int i = 1; i <= steps; ++i) {
        token.throwIfCancelled();
        const double t = double(i) / steps;
        const double e = t * t * (3 - 2 * t);
        move(from + (to - from) * e);
        co_await pause(pauseMs, token);
    }
    move(to);
}

QCoro::Task<void> DesktopInputService::moveSmoothly(uint32_t displayID, QPointF localPoint, CancellationToken token)
{
    const QPointF target = displayOrigin(displayID) + localPoint;
    co_await moveSmoothly(target, token);
    move(displayOrigin(displayID) + localPoint);
    co_await pause(30, token);
    verifyPointer(target);
}

QCoro::Task<void> DesktopInputService::moveContinuous(QPointF to, int milliseconds, CancellationToken token)
{
    armHeldRelease();
    const QPointF from = pointerLocation().value_or(to);
    const double t0 = Clock::instance().now();
    for (const auto& sample : AutopilotGeometry::pathSamples({from, to}, milliseconds)) {
        const double wait = sample.milliseconds - (Clock::instance().now() - t0) * 1000.0;
        if (wait >= 1)
            co_await pause(int(wait), token);
        token.throwIfCancelled();
        move(QPointF(sample.x, sample.y));
    }
}

void DesktopInputService::postSettleMove(QPointF at)
{
    checkAbort();
    auto* input = syntheticInput();
    if (!input)
        throw inputError(kMouseEventMessage);
    if (onMouseVisual)
        onMouseVisual(MouseVisualEventType::mouseMoved, at);
    if (!input->postMouse(MouseEventKind::Move, platform::MouseButton::Left, at, 1))
        throw inputError(kMouseEventMessage);
}

QCoro::Task<void> DesktopInputService::settlePointer(QPointF at, CancellationToken token)
{
    const QPointF beside(at.x() + 1, at.y());
    move(beside);
    postSettleMove(beside);
    co_await pause(16, token);
    move(at);
    postSettleMove(at);
    co_await pause(110, token);
    verifyPointer(at);
}

// ---- buttons ----

void DesktopInputService::setHeldMouse(const QString& button, bool down, QPointF at, int64_t clickState)
{
    struct Rearm {
        DesktopInputService* self;
        ~Rearm() { self->armHeldRelease(); }
    } rearm{this};
    const int state = int(std::clamp<int64_t>(clickState, 0, 1 << 20));
    if (down) {
        if (m_heldMouseButton)
            throw inputError(kHeldGestureMessage);
        checkAbort();
        postButtonOrThrow(buttonKind(button), true, at, state);
        m_heldMouseButton = button;
        return;
    }
    // A release always goes out, whatever the user is doing.
    if (!m_heldMouseButton || *m_heldMouseButton != button)
        return;
    postButtonOrThrow(buttonKind(button), false, at, state);
    m_heldMouseButton.reset();
}

QCoro::Task<void> DesktopInputService::click(QPointF at, CancellationToken token)
{
    co_await moveSmoothly(at, token);
    move(at);
    co_await settlePointer(at, token);
    checkAbort();
    postButtonOrThrow(ButtonKind::Left, true, at, 1);
    const auto alive = m_alive;
    std::exception_ptr failure;
    try {
        co_await pause(85, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (*alive)
        postButton(ButtonKind::Left, false, pointerLocation().value_or(at), 1);
    if (failure)
        std::rethrow_exception(failure);
    checkAbort();
    co_await pause(90, token);
}

QCoro::Task<void> DesktopInputService::dragPath(std::vector<QPointF> points, int milliseconds, QString button,
                                                InputCheck validateDown, InputCheck validateMove,
                                                InputCheck validateUp, CancellationToken token)
{
    if (points.size() < 2 || points.size() > 256 || m_heldMouseButton)
        throw inputError(kDragPointsMessage);
    co_await moveSmoothly(points.front(), token);
    if (validateDown)
        validateDown();
    setHeldMouse(button, true, points.front(), 1);
    const auto alive = m_alive;
    std::exception_ptr failure;
    try {
        const double t0 = Clock::instance().now();
        for (const auto& sample : AutopilotGeometry::pathSamples(points, milliseconds)) {
            const double wait = sample.milliseconds - (Clock::instance().now() - t0) * 1000.0;
            if (wait >= 1)
                co_await pause(int(wait), token);
            token.throwIfCancelled();
            if (validateMove)
                validateMove();
            move(QPointF(sample.x, sample.y));
        }
        if (validateUp)
            validateUp();
        setHeldMouse(button, false, points.back(), 1);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (*alive)
            releaseHeldInputs();
        std::rethrow_exception(failure);
    }
}

QCoro::Task<void> DesktopInputService::displayClick(uint32_t displayID, QPointF localPoint, InputCheck validate,
                                                    ButtonKind button, int pauseAfterMs, CancellationToken token)
{
    const QPointF target = displayOrigin(displayID) + localPoint;
    co_await moveSmoothly(displayID, localPoint, token);
    move(displayOrigin(displayID) + localPoint);
    co_await settlePointer(target, token);
    const auto alive = m_alive;
    // One press and release; the hold's cancellation still releases.
    const int clicks = pauseAfterMs < 0 ? 2 : 1;
    const int hold = clicks == 2 ? 70 : 85;
    for (int n = 1; n <= clicks; ++n) {
        if (n == 2) {
            co_await pause(85, token);
        }
        if (validate)
            validate();
        checkAbort();
        postButtonOrThrow(button, true, target, n);
        std::exception_ptr failure;
        try {
            co_await pause(hold, token);
        } catch (...) {
            failure = std::current_exception();
        }
        if (*alive)
            postButton(button, false, pointerLocation().value_or(target), n);
        if (failure)
            std::rethrow_exception(failure);
        checkAbort();
    }
    co_await pause(pauseAfterMs < 0 ? 120 : pauseAfterMs, token);
}

QCoro::Task<void> DesktopInputService::click(uint32_t displayID, QPointF localPoint, InputCheck validateBeforeMouseDown,
                                             CancellationToken token)
{
    co_await displayClick(displayID, localPoint, std::move(validateBeforeMouseDown), ButtonKind::Left, 90, token);
}

QCoro::Task<void> DesktopInputService::doubleClick(uint32_t displayID, QPointF localPoint,
                                                   InputCheck validateBeforeMouseDown, CancellationToken token)
{
    co_await displayClick(displayID, localPoint, std::move(validateBeforeMouseDown), ButtonKind::Left, -1, token);
}

QCoro::Task<void> DesktopInputService::rightClick(uint32_t displayID, QPointF localPoint,
                                                  InputCheck validateBeforeMouseDown, CancellationToken token)
{
    co_await displayClick(displayID, localPoint, std::move(validateBeforeMouseDown), ButtonKind::Right, 120, token);
}

QCoro::Task<void> DesktopInputService::middleClick(uint32_t displayID, QPointF localPoint,
                                                   InputCheck validateBeforeMouseDown, CancellationToken token)
{
    co_await displayClick(displayID, localPoint, std::move(validateBeforeMouseDown), ButtonKind::Middle, 120, token);
}

QCoro::Task<void> DesktopInputService::drag(uint32_t fromDisplayID, QPointF localStartPoint, uint32_t toDisplayID,
                                            QPointF localEndPoint, InputCheck validateBeforeMouseDown,
                                            InputCheck validateBeforeMouseUp, CancellationToken token)
{
    const QPointF start = displayOrigin(fromDisplayID) + localStartPoint;
    const QPointF end = displayOrigin(toDisplayID) + localEndPoint;
    co_await moveSmoothly(start, token);
    move(start);
    co_await settlePointer(start, token);
    if (validateBeforeMouseDown)
        validateBeforeMouseDown();
    checkAbort();
    postButtonOrThrow(ButtonKind::Left, true, start, 1);
    const auto alive = m_alive;
    std::exception_ptr failure;
    try {
        co_await pause(120, token);
        co_await moveSmoothly(end, token);
        move(end);
        co_await pause(70, token);
        verifyPointer(end);
        if (validateBeforeMouseUp)
            validateBeforeMouseUp();
        checkAbort();
        postButtonOrThrow(ButtonKind::Left, false, end, 1);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The button is still down: cancel the drag in the target (Esc) and
        // let go of the button where the pointer is.
        if (*alive) {
            if (auto* input = syntheticInput()) {
                input->postKey(platform::KeyCode::Escape, true, 0);
                input->postKey(platform::KeyCode::Escape, false, 0);
            }
            postButton(ButtonKind::Left, false, pointerLocation().value_or(start), 1);
        }
        std::rethrow_exception(failure);
    }
    co_await pause(140, token);
}

} // namespace tovrik
