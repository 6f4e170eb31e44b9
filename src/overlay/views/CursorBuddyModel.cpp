#include "overlay/views/CursorBuddyModel.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "overlay/OverlayWindowController.h"
#include "overlay/views/CursorBadges.h"
#include "overlay/views/CursorBubbleView.h"
#include "platform/Platform.h"

#include <QLineF>
#include <cmath>
#include <numbers>

namespace tovrik::overlay {

namespace {

constexpr double degreesPerRadian = 57.29577951308232;
const SpringParameters followSpring{0.2, 0.6};
const SpringParameters finishSpring{0.22, 0.82};

bool isFinite(QPointF p) { return std::isfinite(p.x()) && std::isfinite(p.y()); }

double distance(QPointF a, QPointF b) { return std::hypot(b.x() - a.x(), b.y() - a.y()); }

} // namespace

OverlayViewSnapshot OverlayViewSnapshot::of(const OverlayWindowController& c)
{
    OverlayViewSnapshot s;
    s.voiceState = c.voiceState();
    s.audioPowerLevel = c.audioPowerLevel();
    s.bubbleText = c.bubbleText();
    s.targetScreenLocation = c.targetScreenLocation();
    s.statusDisplayID = c.statusDisplayID();
    s.isTransparent = c.isTransparent();
    s.keepOverlayVisibleWhenIdle = c.keepOverlayVisibleWhenIdle();
    s.isUIAutopilotBusy = c.isUIAutopilotBusy();
    s.isSharedReturnFlightActive = c.isSharedReturnFlightActive();
    s.sharedReturnScreenLocation = c.sharedReturnScreenLocation();
    s.sharedReturnDisplayID = c.sharedReturnDisplayID();
    s.sharedReturnAngleDegrees = c.sharedReturnAngleDegrees();
    s.sharedReturnScale = c.sharedReturnScale();
    return s;
}

struct CursorBuddyModel::Flight {
    QPointF start;
    QPointF control;
    QPointF destination;
    int frameCount = 1;
    int counter = 0;
    double firstTickAt = 0; // when tick 1 is due
    std::function<void()> done;
};

// ------------------------------------------------------------ pure helpers

bool CursorBuddyModel::isOnScreen(const QRectF& f, QPointF p)
{
    return p.x() >= f.left() - 1 && p.x() <= f.left() + f.width() + 1 && p.y() >= f.top() - 1
        && p.y() <= f.top() + f.height() + 1;
}

QPointF CursorBuddyModel::localPoint(const QRectF& f, QPointF p)
{
    return QPointF(p.x() - f.left(), f.top() + f.height() - p.y());
}

double CursorBuddyModel::headingDegrees(QPointF d)
{
    return std::atan2(d.y(), d.x()) * degreesPerRadian + 90 + constants::cursorGuideHeadingOffsetDegrees;
}

double CursorBuddyModel::shortestTurn(double current, double heading)
{
    double r = std::fmod(heading - current, 360.0);
    if (r > 180)
        r -= 360;
    if (r < -180)
        r += 360;
    if (!std::isfinite(r))
        return current;
    return current + r;
}

int CursorBuddyModel::flightFrameCountFor(double d)
{
    if (!std::isfinite(d))
        return 0;
    const double duration = std::min(std::max(d / 1200, 0.36), 0.78);
    return std::max(1, int(duration / (1.0 / 60.0)));
}

QPointF CursorBuddyModel::bubbleTopLeftFor(QSizeF bubble, QSizeF screen, QPointF r)
{
    const double w = std::max(bubble.width(), 0.0);
    const double h = std::max(bubble.height(), 0.0);
    const double m = constants::bubbleViewportMargin;
    const double left = std::min(std::max(m, screen.width() - w - m), std::max(m, r.x() + constants::bubbleOffsetX));
    const double top = std::min(std::max(m, screen.height() - h - m), std::max(m, r.y() + constants::bubbleOffsetY));
    return QPointF(left, top);
}

// ------------------------------------------------------------ lifecycle

CursorBuddyModel::CursorBuddyModel(uint32_t displayID, QRectF screenFrame, PointerSource pointer, QObject* parent)
    : QObject(parent)
    , m_displayID(displayID)
    , m_screenFrame(screenFrame)
    , m_pointer(std::move(pointer))
    , m_trackingTimer(new ClockTimer(this))
    , m_navigationAnimationTimer(new ClockTimer(this))
    , m_frameTicker(new ClockTimer(this))
    , m_waveformTimer(new ClockTimer(this))
{
    connect(m_trackingTimer, &ClockTimer::timeout, this, &CursorBuddyModel::followStep);
    if (!m_pointer && platform::Platform::isInstalled()) {
        auto& displays = platform::Platform::get().displays();
        m_motionWatch = displays.watchPointerMotion();
        if (m_motionWatch)
            connect(&displays, &platform::Displays::pointerMoved, this, [this, d = &displays](QPointF location) {
                if (m_tracking)
                    followPointer(d->toAppKit(location));
            });
    }
    connect(m_navigationAnimationTimer, &ClockTimer::timeout, this, &CursorBuddyModel::flightStep);
    connect(m_frameTicker, &ClockTimer::timeout, this, &CursorBuddyModel::onFrame);
    connect(m_waveformTimer, &ClockTimer::timeout, this, [this]() {
        m_waveformDate = secondsSinceReferenceDate();
        onFrame();
    });
    // The state a view starts with when its window is built.
    const QPointF global = pointerGlobal();
    if (isFinite(global)) {
        m_cursorPosition = localPoint(m_screenFrame, global) + constants::cursorFollowOffset;
        m_isCursorOnThisScreen = isOnScreen(m_screenFrame, global);
    }
    m_waveformDate = secondsSinceReferenceDate();
}

CursorBuddyModel::~CursorBuddyModel()
{
    if (m_flightStartId)
        Clock::instance().cancel(m_flightStartId);
}

void CursorBuddyModel::appear(const OverlayViewSnapshot& state)
{
    m_state = state;
    m_appeared = true;
    const QPointF global = pointerGlobal();
    if (isFinite(global)) {
        m_isCursorOnThisScreen = isOnScreen(m_screenFrame, global);
        setCursorPosition(localPoint(m_screenFrame, global) + constants::cursorFollowOffset);
    }
    m_spinnerStart = Clock::instance().now();
    startTrackingCursor();
    if (m_state.targetScreenLocation && isOnScreen(m_screenFrame, *m_state.targetScreenLocation))
        startNavigatingToElement(*m_state.targetScreenLocation);
    commit();
}

void CursorBuddyModel::disappear()
{
    m_appeared = false;
    m_tracking = false;
    m_trackingTimer->stop();
    invalidateFlight();
    m_frameTicker->stop();
    m_waveformTimer->stop();
}

void CursorBuddyModel::update(const OverlayViewSnapshot& state)
{
    // What is on screen now, before the new state (a new or emptied bubble
    // text, say) changes what the presentation reads.
    const CursorBuddyPresentation shown = presentation();
    const OverlayViewSnapshot old = m_state;
    m_state = state;
    if (old.voiceState != state.voiceState)
        m_tx.voiceStateChanged = true;
    if (old.targetScreenLocation != state.targetScreenLocation)
        onTargetChanged(state.targetScreenLocation);
    if (old.isSharedReturnFlightActive != state.isSharedReturnFlightActive)
        onSharedReturnFlightActiveChanged(state.isSharedReturnFlightActive);
    commit(shown);
}

QPointF CursorBuddyModel::pointerGlobal() const
{
    if (m_pointer)
        return m_pointer();
    if (!platform::Platform::isInstalled())
        return QPointF(qQNaN(), qQNaN());
    return platform::Platform::get().displays().pointerLocationAppKit();
}

QPointF CursorBuddyModel::localPointer() const { return localPoint(m_screenFrame, pointerGlobal()); }

bool CursorBuddyModel::isTracking() const { return m_tracking; }

bool CursorBuddyModel::isFlightRunning() const { return m_flight != nullptr; }

int CursorBuddyModel::flightFrameCount() const { return m_flight ? m_flight->frameCount : 0; }

void CursorBuddyModel::setBubbleSize(QSizeF size)
{
    if (size == m_bubbleSize)
        return;
    m_bubbleSize = size;
    commit();
}

// ------------------------------------------------------------ derived values

QPointF CursorBuddyModel::renderedCursorPosition() const
{
    if (m_state.sharedReturnScreenLocation && m_state.sharedReturnDisplayID
        && *m_state.sharedReturnDisplayID == m_displayID)
        return localPoint(m_screenFrame, *m_state.sharedReturnScreenLocation);
    return m_cursorPosition;
}

bool CursorBuddyModel::buddyIsVisibleOnThisScreen() const
{
    if (m_state.isSharedReturnFlightActive)
        return m_state.sharedReturnDisplayID && *m_state.sharedReturnDisplayID == m_displayID;
    if (m_buddyNavigationMode != BuddyNavigationMode::followingCursor)
        return m_state.targetScreenLocation && isOnScreen(m_screenFrame, *m_state.targetScreenLocation);
    if (!m_state.targetScreenLocation)
        return m_isCursorOnThisScreen;
    return false;
}

bool CursorBuddyModel::shouldShowCursorGuide() const
{
    if (m_state.isUIAutopilotBusy)
        return false;
    if (!buddyIsVisibleOnThisScreen())
        return false;
    if (m_buddyNavigationMode != BuddyNavigationMode::followingCursor)
        return true;
    if (m_state.keepOverlayVisibleWhenIdle)
        return m_state.voiceState == TovrikVoiceState::idle || m_state.voiceState == TovrikVoiceState::responding;
    return m_state.voiceState == TovrikVoiceState::responding && !m_state.bubbleText.trimmed().isEmpty();
}

double CursorBuddyModel::cursorGuideMorphProgress() const
{
    if (m_state.isSharedReturnFlightActive)
        return 1;
    return m_buddyNavigationMode == BuddyNavigationMode::pointingAtTarget ? 1 : 0;
}

bool CursorBuddyModel::isBubbleShown() const
{
    if (m_state.isUIAutopilotBusy || m_state.bubbleText.isEmpty())
        return false;
    // A status line shows on the screen it was shown for (the pointer's
    // screen when it came), beside the companion following the pointer.
    if (m_state.statusDisplayID && !m_state.targetScreenLocation && !m_state.isSharedReturnFlightActive
        && m_buddyNavigationMode == BuddyNavigationMode::followingCursor)
        return *m_state.statusDisplayID == m_displayID;
    return buddyIsVisibleOnThisScreen();
}

bool CursorBuddyModel::isWaveformShown() const
{
    return buddyIsVisibleOnThisScreen() && m_state.voiceState == TovrikVoiceState::listening;
}

bool CursorBuddyModel::isSpinnerShown() const
{
    return !m_state.isUIAutopilotBusy && buddyIsVisibleOnThisScreen()
        && m_buddyNavigationMode == BuddyNavigationMode::followingCursor
        && m_state.voiceState == TovrikVoiceState::processing;
}

QPointF CursorBuddyModel::bubbleTopLeft() const
{
    return bubbleTopLeftFor(m_bubbleSize, m_screenFrame.size(), renderedCursorPosition());
}

// ------------------------------------------------------------ movement

void CursorBuddyModel::startTrackingCursor()
{
    m_tracking = true;
    if (!m_motionWatch)
        m_trackingTimer->start(followInterval, true);
}

void CursorBuddyModel::followStep() { followPointer(pointerGlobal()); }

void CursorBuddyModel::followPointer(QPointF global)
{
    if (!isFinite(global))
        return;
    const bool on = isOnScreen(m_screenFrame, global);
    bool changed = on != m_isCursorOnThisScreen;
    m_isCursorOnThisScreen = on;
    const QPointF local = localPoint(m_screenFrame, global);
    if (m_buddyNavigationMode == BuddyNavigationMode::navigatingToTarget && m_isReturningToCursor) {
        if (distance(local, m_cursorPositionWhenNavigationStarted) > 100) {
            cancelNavigationAndResumeFollowing();
            changed = true;
        }
    } else if (m_buddyNavigationMode == BuddyNavigationMode::followingCursor) {
        const QPointF p = local + constants::cursorFollowOffset;
        if (p != m_cursorPosition) {
            setCursorPosition(p);
            changed = true;
        }
    }
    if (changed)
        commit();
}

void CursorBuddyModel::startNavigatingToElement(QPointF screenLocation)
{
    // A place that is not finite is no place to fly to.
    if (!isFinite(screenLocation))
        return;
    const QPointF t = localPoint(m_screenFrame, screenLocation);
    QPointF dest = t + constants::targetPointingOffset;
    const double W = m_screenFrame.width();
    const double H = m_screenFrame.height();
    dest.setX(std::max(std::min(dest.x(), W - 20), 20.0));
    dest.setY(std::max(std::min(dest.y(), H - 20), 20.0));
    const QPointF pointer = localPointer();
    if (isFinite(pointer))
        m_cursorPositionWhenNavigationStarted = pointer;
    m_buddyNavigationMode = BuddyNavigationMode::navigatingToTarget;
    m_isReturningToCursor = false;
    animateBezierFlightArc(dest, [this, t]() {
        if (m_buddyNavigationMode != BuddyNavigationMode::navigatingToTarget)
            return;
        turnTo(headingDegrees(t - m_cursorPosition), std::make_pair(EasingCurve::EaseInOut, arrivalTurnDuration));
        m_buddyNavigationMode = BuddyNavigationMode::pointingAtTarget;
    });
}

void CursorBuddyModel::animateBezierFlightArc(QPointF destination, std::function<void()> onComplete)
{
    invalidateFlight();
    const QPointF start = m_cursorPosition;
    const double d = distance(start, destination);
    const int frameCount = flightFrameCountFor(d);
    // A flight whose length is not a number never starts.
    if (frameCount <= 0 || !isFinite(destination) || !isFinite(start))
        return;
    auto flight = std::make_unique<Flight>();
    flight->start = start;
    flight->destination = destination;
    flight->frameCount = frameCount;
    flight->control = QPointF((start.x() + destination.x()) / 2,
                              (start.y() + destination.y()) / 2 - std::min(0.2 * d, 80.0));
    flight->done = std::move(onComplete);
    turnTo(headingDegrees(flight->control - start), std::make_pair(EasingCurve::EaseInOut, flightTurnDuration));
    m_flight = std::move(flight);
    // The first tick comes when the turn has ended, then one every 1/60 s.
    m_flightStartId = Clock::instance().schedule(flightTurnDuration, this, [this]() {
        m_flightStartId = 0;
        if (m_flight)
            m_flight->firstTickAt = Clock::instance().now();
        m_navigationAnimationTimer->start(flightInterval, true);
        flightStep();
    });
}

void CursorBuddyModel::flightStep()
{
    if (!m_flight)
        return;
    Flight& f = *m_flight;
    // Stepped from the time elapsed, so a late tick catches up instead of
    // stretching the flight.
    const double ticks = (Clock::instance().now() - f.firstTickAt) / flightInterval;
    f.counter = std::max(f.counter + 1, 1 + int(std::floor(ticks + 1e-6)));
    if (f.counter >= f.frameCount) {
        const QPointF destination = f.destination;
        std::function<void()> done = std::move(f.done);
        invalidateFlight();
        setCursorPosition(destination);
        m_buddyFlightScale = 1.0;
        if (done)
            done();
        commit();
        return;
    }
    const double t = double(f.counter) / f.frameCount;
    const double s = smoothstep(t);
    const double u = 1 - s;
    setCursorPosition(f.start * (u * u) + f.control * (2 * u * s) + f.destination * (s * s));
    const QPointF tangent = (f.control - f.start) * (2 * u) + (f.destination - f.control) * (2 * s);
    turnTo(headingDegrees(tangent), std::nullopt);
    m_buddyFlightScale = 1 + 0.16 * std::sin(std::numbers::pi * t);
    commit();
}

void CursorBuddyModel::startFlyingBackToCursor()
{
    const QPointF q = localPointer();
    if (!isFinite(q)) {
        cancelNavigationAndResumeFollowing();
        return;
    }
    m_cursorPositionWhenNavigationStarted = q;
    m_buddyNavigationMode = BuddyNavigationMode::navigatingToTarget;
    m_isReturningToCursor = true;
    animateBezierFlightArc(q + constants::cursorFollowOffset, [this]() { finishNavigationAndResumeFollowing(); });
}

void CursorBuddyModel::cancelNavigationAndResumeFollowing()
{
    invalidateFlight();
    m_buddyFlightScale = 1.0;
    finishNavigationAndResumeFollowing();
}

void CursorBuddyModel::finishNavigationAndResumeFollowing()
{
    invalidateFlight();
    const QPointF pointer = localPointer();
    const QPointF p = isFinite(pointer) ? pointer + constants::cursorFollowOffset : m_cursorPosition;
    const double a = shortestTurn(m_triangleRotationDegrees, 0);
    m_tx.finishSpring = finishSpring;
    setCursorPosition(p);
    m_triangleRotationDegrees = a;
    m_buddyFlightScale = 1.0;
    m_buddyNavigationMode = BuddyNavigationMode::followingCursor;
    m_isReturningToCursor = false;
}

void CursorBuddyModel::invalidateFlight()
{
    if (m_flightStartId) {
        Clock::instance().cancel(m_flightStartId);
        m_flightStartId = 0;
    }
    m_navigationAnimationTimer->stop();
    m_flight.reset();
}

void CursorBuddyModel::onTargetChanged(const std::optional<QPointF>& target)
{
    if (target) {
        if (isOnScreen(m_screenFrame, *target))
            startNavigatingToElement(*target);
        return;
    }
    if (m_state.isSharedReturnFlightActive) {
        invalidateFlight();
        m_buddyNavigationMode = BuddyNavigationMode::navigatingToTarget;
        m_isReturningToCursor = true;
    } else if (m_buddyNavigationMode == BuddyNavigationMode::followingCursor) {
        // nothing
    } else if (m_isReturningToCursor) {
        // a fly-back is running
    } else if (m_state.keepOverlayVisibleWhenIdle) {
        startFlyingBackToCursor();
    } else {
        cancelNavigationAndResumeFollowing();
    }
}

void CursorBuddyModel::onSharedReturnFlightActiveChanged(bool active)
{
    if (active) {
        invalidateFlight();
        m_buddyNavigationMode = BuddyNavigationMode::navigatingToTarget;
        m_isReturningToCursor = true;
    } else if (!m_state.targetScreenLocation && m_buddyNavigationMode != BuddyNavigationMode::followingCursor) {
        finishNavigationAndResumeFollowing();
    }
}

void CursorBuddyModel::setCursorPosition(QPointF p)
{
    if (p == m_cursorPosition)
        return;
    m_cursorPosition = p;
    m_tx.cursorPositionChanged = true;
}

void CursorBuddyModel::turnTo(double heading, std::optional<std::pair<EasingCurve, double>> animation)
{
    m_triangleRotationDegrees = shortestTurn(m_triangleRotationDegrees, heading);
    if (animation)
        m_tx.rotationTween = animation;
}

// ------------------------------------------------------------ presentation

void CursorBuddyModel::commit(std::optional<CursorBuddyPresentation> shown)
{
    // A follow step while frames already run is drawn by the next frame
    // (at most one frame later), so a moving pointer costs one repaint a
    // frame, not two.
    const bool followOnly = m_tx.cursorPositionChanged && !m_tx.voiceStateChanged && !m_tx.rotationTween
        && !m_tx.finishSpring && m_frameTicker->isActive();
    const CursorBuddyPresentation before = shown ? *shown : presentation();
    syncPresentation();
    m_tx = Transaction();
    updateTickers();
    const bool changed = !(presentation() == before);
    if (followOnly && m_frameTicker->isActive()) {
        m_presentationPending = m_presentationPending || changed;
        return;
    }
    if (changed || m_presentationPending) {
        m_presentationPending = false;
        emit presentationChanged();
    }
}

void CursorBuddyModel::syncPresentation()
{
    const double now = Clock::instance().now();
    const bool following = m_buddyNavigationMode == BuddyNavigationMode::followingCursor;
    const bool shared = m_state.isSharedReturnFlightActive;

    // The bubble is measured when it is shown with a new text; the size is
    // kept while no bubble is shown.
    if (isBubbleShown() && m_state.bubbleText != m_measuredBubbleText) {
        m_bubbleSize = CursorBubbleView(m_state.bubbleText, 1.0, displayOpacity()).sizeThatFits(m_screenFrame.width());
        m_measuredBubbleText = m_state.bubbleText;
    }

    const QPointF glyph = renderedCursorPosition();
    const double angle = shared ? m_state.sharedReturnAngleDegrees : m_triangleRotationDegrees;
    const double scale = shared ? m_state.sharedReturnScale : m_buddyFlightScale;
    const double glyphOpacity = shouldShowCursorGuide() ? displayOpacity() : 0.0;
    const double morph = cursorGuideMorphProgress();
    const QPointF bubble = bubbleTopLeft();
    const QPointF badge = glyph + badgeOffset;
    const double waveform = isWaveformShown() ? 1.0 : 0.0;
    const double spinner = isSpinnerShown() ? 1.0 : 0.0;
    const double level = std::isfinite(m_state.audioPowerLevel) ? m_state.audioPowerLevel : 0.0;

    if (!m_presentationInitialised) {
        m_presentationInitialised = true;
        m_glyphCentre.jump(glyph);
        m_glyphAngle.jump(angle);
        m_glyphScale.jump(scale);
        m_glyphOpacity.jump(glyphOpacity);
        m_morph.jump(morph);
        m_bubbleTopLeft.jump(bubble);
        m_badgeCentre.jump(badge);
        m_waveformOpacity.jump(waveform);
        m_spinnerOpacity.jump(spinner);
        m_audioLevel.jump(level);
        m_lastBubbleTarget = bubble;
        m_lastBadgeTarget = badge;
        return;
    }
    advanceLayers(now);

    // Glyph and bubble: a spring while following, keyed to the follow
    // position; every flight tick and the shared flight move them directly.
    // Nothing of it drawn on this screen: the layers jump, no frames run.
    const bool drawn = glyphOpacity > 0 || m_glyphOpacity.value() > 0 || isBubbleShown() || waveform > 0
        || m_waveformOpacity.value() > 0 || spinner > 0 || m_spinnerOpacity.value() > 0;
    const bool springFollow = m_tx.cursorPositionChanged && following && drawn;
    if (glyph != m_glyphCentre.target()) {
        if (springFollow)
            m_glyphCentre.springTo(glyph, followSpring, now);
        else
            m_glyphCentre.jump(glyph);
    }
    if (bubble != m_lastBubbleTarget) {
        if (springFollow)
            m_bubbleTopLeft.springTo(bubble, followSpring, now);
        else
            m_bubbleTopLeft.jump(bubble);
        m_lastBubbleTarget = bubble;
    }
    // Badges: a spring on every change of the follow position, in every mode.
    if (badge != m_lastBadgeTarget) {
        if (m_tx.cursorPositionChanged && drawn)
            m_badgeCentre.springTo(badge, followSpring, now);
        else
            m_badgeCentre.jump(badge);
        m_lastBadgeTarget = badge;
    }
    if (angle != m_glyphAngle.target()) {
        if (shared)
            m_glyphAngle.jump(angle);
        else if (m_tx.finishSpring)
            m_glyphAngle.springTo(angle, *m_tx.finishSpring, now);
        else if (m_tx.rotationTween)
            m_glyphAngle.tweenTo(angle, m_tx.rotationTween->first, m_tx.rotationTween->second, now);
        else if (m_buddyNavigationMode == BuddyNavigationMode::navigatingToTarget)
            m_glyphAngle.jump(angle);
        else
            m_glyphAngle.tweenTo(angle, EasingCurve::EaseInOut, 0.3, now);
    }
    if (scale != m_glyphScale.target()) {
        if (!shared && m_tx.finishSpring)
            m_glyphScale.springTo(scale, *m_tx.finishSpring, now);
        else
            m_glyphScale.jump(scale);
    }
    if (glyphOpacity != m_glyphOpacity.target()) {
        if (m_tx.voiceStateChanged)
            m_glyphOpacity.tweenTo(glyphOpacity, EasingCurve::EaseIn, 0.25, now);
        else
            m_glyphOpacity.jump(glyphOpacity);
    }
    if (morph != m_morph.target())
        m_morph.tweenTo(morph, EasingCurve::EaseInOut, 0.32, now);
    if (waveform != m_waveformOpacity.target()) {
        if (m_tx.voiceStateChanged)
            m_waveformOpacity.tweenTo(waveform, EasingCurve::EaseIn, 0.15, now);
        else
            m_waveformOpacity.jump(waveform);
    }
    if (spinner != m_spinnerOpacity.target()) {
        if (m_tx.voiceStateChanged)
            m_spinnerOpacity.tweenTo(spinner, EasingCurve::EaseIn, 0.15, now);
        else
            m_spinnerOpacity.jump(spinner);
    }
    if (level != m_audioLevel.target())
        m_audioLevel.tweenTo(level, EasingCurve::Linear, BlueCursorWaveformView::levelAnimationDuration, now);
}

bool CursorBuddyModel::isAnimating() const
{
    return m_glyphCentre.isAnimating() || m_glyphAngle.isAnimating() || m_glyphScale.isAnimating()
        || m_glyphOpacity.isAnimating() || m_morph.isAnimating() || m_bubbleTopLeft.isAnimating()
        || m_badgeCentre.isAnimating() || m_waveformOpacity.isAnimating() || m_spinnerOpacity.isAnimating()
        || m_audioLevel.isAnimating();
}

void CursorBuddyModel::updateTickers()
{
    // Frames run while a value animates or the spinner turns on screen; the
    // wobble timer only while the waveform can be seen.
    const bool frames = m_appeared && (isAnimating() || m_spinnerOpacity.value() > 0);
    if (frames && !m_frameTicker->isActive())
        m_frameTicker->start(flightInterval, true);
    else if (!frames && m_frameTicker->isActive())
        m_frameTicker->stop();
    const bool wobble = m_appeared && (m_waveformOpacity.value() > 0 || m_waveformOpacity.target() > 0);
    if (wobble && !m_waveformTimer->isActive()) {
        m_waveformDate = secondsSinceReferenceDate();
        m_waveformTimer->start(BlueCursorWaveformView::timerInterval, true);
    } else if (!wobble && m_waveformTimer->isActive()) {
        m_waveformTimer->stop();
    }
}

void CursorBuddyModel::advanceLayers(double now)
{
    m_glyphCentre.advance(now);
    m_glyphAngle.advance(now);
    m_glyphScale.advance(now);
    m_glyphOpacity.advance(now);
    m_morph.advance(now);
    m_bubbleTopLeft.advance(now);
    m_badgeCentre.advance(now);
    m_waveformOpacity.advance(now);
    m_spinnerOpacity.advance(now);
    m_audioLevel.advance(now);
}

void CursorBuddyModel::onFrame()
{
    const CursorBuddyPresentation before = presentation();
    const double now = Clock::instance().now();
    advanceLayers(now);
    updateTickers();
    if (!(presentation() == before) || m_presentationPending) {
        m_presentationPending = false;
        emit presentationChanged();
    }
}

CursorBuddyPresentation CursorBuddyModel::presentation() const
{
    CursorBuddyPresentation p;
    p.glyphCentre = m_glyphCentre.value();
    p.glyphAngle = m_glyphAngle.value();
    p.glyphScale = m_glyphScale.value();
    p.glyphOpacity = m_glyphOpacity.value();
    p.morphProgress = m_morph.value();
    p.bubbleShown = isBubbleShown();
    if (p.bubbleShown) {
        p.bubbleText = m_state.bubbleText;
        p.bubbleTopLeft = m_bubbleTopLeft.value();
        p.bubbleSize = m_bubbleSize;
        p.bubbleAccentOpacity = displayOpacity();
    }
    p.badgeCentre = m_badgeCentre.value();
    p.waveformOpacity = m_waveformOpacity.value();
    p.spinnerOpacity = m_spinnerOpacity.value();
    p.badgeAlpha = displayOpacity();
    if (p.waveformOpacity > 0) {
        p.audioPowerLevel = m_audioLevel.value();
        p.waveformDate = m_waveformDate;
    }
    if (p.spinnerOpacity > 0)
        p.spinnerRotation = BlueCursorSpinnerView::rotationAt(Clock::instance().now() - m_spinnerStart);
    return p;
}

} // namespace tovrik::overlay
