// The UI Autopilot state of OverlayWindowController: the busy state, the
// 60 Hz follow of the autopilot cursor beside the pointer (resting while
// the pointer is still and the motion watch reports its next move), and the mirror of
// every synthetic mouse event (see OverlayWindowController.h).

#include "overlay/OverlayWindowController.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "overlay/OverlayCoordinates.h"
#include "platform/Platform.h"

#include <cmath>
#include <limits>

namespace tovrik::overlay {

namespace {

constexpr double kAutopilotEndFadeDuration = 0.17;
constexpr double kFrameInterval = 1.0 / 60.0;
constexpr double kPreparedPressGlide = 0.35;
constexpr double kReleaseReturnGlide = 0.45;

bool isFinitePoint(QPointF p) { return std::isfinite(p.x()) && std::isfinite(p.y()); }

// The pointer for the follow tick, 60 times a second while it may change:
// where the motion watch last saw it when the watch sees every motion, so a
// still pointer costs no round trip to the display server; else read.
// `watched` tells which.
QPointF followedPointerLocation(bool* watched)
{
    *watched = false;
    if (!platform::Platform::isInstalled())
        return QPointF();
    const platform::Displays& displays = platform::Platform::get().displays();
    if (const auto seen = displays.watchedPointerLocation()) {
        *watched = true;
        return displays.toAppKit(*seen);
    }
    return displays.pointerLocationAppKit();
}

} // namespace

// ---------------------------------------------------------------- UI Autopilot

void OverlayWindowController::setUIAutopilotBusy(bool busy)
{
    ChangeBatch batch(this);
    setPublished(m_isUIAutopilotBusy, busy);
    if (m_autopilotCursorTimer) {
        delete m_autopilotCursorTimer;
        m_autopilotCursorTimer = nullptr;
    }
    // The follow tick reads the pointer through a motion watch held for the
    // run (taken before the old one goes, so a running watch goes on).
    std::shared_ptr<void> watch;
    QObject::disconnect(m_autopilotMotionConnection);
    if (busy && platform::Platform::isInstalled()) {
        platform::Displays& displays = platform::Platform::get().displays();
        watch = displays.watchPointerMotion();
        // A tick that finds nothing to follow lets the timer rest; motion
        // starts it again on its grid.
        if (watch)
            m_autopilotMotionConnection = connect(&displays, &platform::Displays::pointerMoved, this,
                                                  &OverlayWindowController::wakeAutopilotFollow);
    }
    m_autopilotMotionWatch = std::move(watch);
    m_autopilotPinned = false;
    setPublished(m_autopilotClickLocation, std::optional<QPointF>());
    if (busy) {
        const QPointF pointer = pointerLocation();
        setPublished(m_autopilotCursorLocation,
                     std::optional<QPointF>(QPointF(pointer.x() + constants::cursorFollowOffset.x(),
                                                    pointer.y() - constants::cursorFollowOffset.y())));
        setPublished(m_autopilotCursorAnimationDuration, 0.0);
        m_autopilotCursorTimer = new ClockTimer(this);
        connect(m_autopilotCursorTimer, &ClockTimer::timeout, this, &OverlayWindowController::autopilotFollowTick);
        m_autopilotCursorTimer->startOnGrid(kFrameInterval);
        windowCheck();
    } else {
        setPublished(m_autopilotCursorLocation, std::optional<QPointF>());
        setPublished(m_autopilotCursorAnimationDuration, 0.0);
        if (m_voiceState == TovrikVoiceState::idle && m_bubbleText.isEmpty() && !m_keepOverlayVisibleWhenIdle)
            m_windowManager->fadeOutAndHide(kAutopilotEndFadeDuration);
    }
}

void OverlayWindowController::autopilotFollowTick()
{
    // While the cursor is pinned to a press nothing is followed: the release
    // (or releaseAutopilotCursor) wakes the tick again.
    if (m_autopilotPinned) {
        m_autopilotCursorTimer->stop();
        return;
    }
    if (Clock::instance().now() < m_autopilotReturnAfter)
        return;
    ChangeBatch batch(this);
    bool watched = false;
    const QPointF pointer = followedPointerLocation(&watched);
    const std::optional<QPointF> resting(QPointF(pointer.x() + constants::cursorFollowOffset.x(),
                                                 pointer.y() - constants::cursorFollowOffset.y()));
    if (m_autopilotCursorLocation != resting) {
        setPublished(m_autopilotCursorLocation, resting);
        setPublished(m_autopilotCursorAnimationDuration, 0.0);
    } else if (watched) {
        // The cursor rests beside a still pointer, and the watch reports
        // the next motion: no tick until then.
        m_autopilotCursorTimer->stop();
    }
}

void OverlayWindowController::wakeAutopilotFollow()
{
    if (m_autopilotCursorTimer && !m_autopilotCursorTimer->isActive())
        m_autopilotCursorTimer->startOnGrid(kFrameInterval);
}

void OverlayWindowController::prepareAutopilotPress(QPointF point)
{
    if (!m_isUIAutopilotBusy || !isFinitePoint(point))
        return;
    ChangeBatch batch(this);
    m_autopilotPinned = true;
    setPublished(m_autopilotCursorLocation, std::optional<QPointF>(displayToAppKit(point, mainDisplayHeight())));
    setPublished(m_autopilotCursorAnimationDuration, kPreparedPressGlide);
}

void OverlayWindowController::recordAutopilotMouse(MouseVisualEventType type, QPointF point)
{
    if (!m_isUIAutopilotBusy || !isFinitePoint(point))
        return;
    ChangeBatch batch(this);
    const QPointF p = displayToAppKit(point, mainDisplayHeight());
    switch (type) {
    case MouseVisualEventType::leftMouseDown:
    case MouseVisualEventType::rightMouseDown:
    case MouseVisualEventType::otherMouseDown:
        m_autopilotPinned = true;
        setPublished(m_autopilotCursorLocation, std::optional<QPointF>(p));
        setPublished(m_autopilotCursorAnimationDuration, 0.0);
        setPublished(m_autopilotClickLocation, std::optional<QPointF>(p));
        setPublished(m_autopilotClickID, QUuid::createUuid());
        break;
    case MouseVisualEventType::leftMouseUp:
    case MouseVisualEventType::rightMouseUp:
    case MouseVisualEventType::otherMouseUp:
        m_autopilotPinned = false;
        m_autopilotReturnAfter = Clock::instance().now() + kReleaseReturnGlide;
        wakeAutopilotFollow();
        setPublished(m_autopilotCursorLocation,
                     std::optional<QPointF>(QPointF(p.x() + constants::cursorFollowOffset.x(),
                                                    p.y() - constants::cursorFollowOffset.y())));
        setPublished(m_autopilotCursorAnimationDuration, kReleaseReturnGlide);
        break;
    default:
        if (m_autopilotPinned) {
            setPublished(m_autopilotCursorLocation, std::optional<QPointF>(p));
            setPublished(m_autopilotCursorAnimationDuration, 0.0);
        }
        break;
    }
}

void OverlayWindowController::releaseAutopilotCursor()
{
    m_autopilotPinned = false;
    m_autopilotReturnAfter = -std::numeric_limits<double>::infinity();
    wakeAutopilotFollow();
}

} // namespace tovrik::overlay
