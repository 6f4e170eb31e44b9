#include "overlay/OverlayWindowController.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "overlay/OverlayCoordinates.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLineF>
#include <QLoggingCategory>
#include <algorithm>
#include <cmath>
#include <limits>

namespace tovrik::overlay {

Q_LOGGING_CATEGORY(lcOverlay, "tovrik.overlay")

namespace {

constexpr double kIdleFadeDuration = 0.25;
constexpr double kFrameInterval = 1.0 / 60.0;
constexpr double kReturnFlightCancelDistance = 100.0;

bool isFinitePoint(QPointF p)
{
    return std::isfinite(p.x()) && std::isfinite(p.y());
}

// The local mouse-down monitor: sees every press delivered to this
// application's own windows and lets it through unchanged.
class LocalMouseDownMonitor : public QObject {
public:
    explicit LocalMouseDownMonitor(std::function<void()> handler) : m_handler(std::move(handler))
    {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->installEventFilter(this);
    }
    ~LocalMouseDownMonitor() override
    {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Each press reaches the filter once per receiver in its propagation
        // chain; only the first receiver (a window) is counted.
        if ((event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
            && watched && watched->isWindowType())
            m_handler();
        return false;
    }

private:
    std::function<void()> m_handler;
};

} // namespace

OverlayWindowController::OverlayWindowController(QObject* parent)
    : QObject(parent)
    , m_autopilotClickID(QUuid::createUuid())
    , m_autopilotReturnAfter(-std::numeric_limits<double>::infinity())
    , m_windowManager(std::make_unique<CursorOverlayWindowManager>())
{
    if (platform::Platform::isInstalled()) {
        QPointer<OverlayWindowController> self(this);
        m_screenParametersObserver =
            connect(&platform::Platform::get().displays(), &platform::Displays::displaysChanged, this, [self]() {
                QMetaObject::invokeMethod(
                    self.data(),
                    [self]() {
                        if (!self)
                            return;
                        self->screensChanged();
                    },
                    Qt::QueuedConnection);
            });
    }
}

OverlayWindowController::~OverlayWindowController()
{
    disconnect(m_screenParametersObserver);
    if (m_hideWorkItem)
        Clock::instance().cancel(m_hideWorkItem);
    delete m_sharedReturnTimer;
    m_sharedReturnTimer = nullptr;
    delete m_autopilotCursorTimer;
    m_autopilotCursorTimer = nullptr;
    m_responseDismissGlobalMonitor.reset();
    m_responseDismissLocalMonitor.reset();
    m_windowManager.reset();
}

// ---------------------------------------------------------------- change batching

void OverlayWindowController::markChanged()
{
    if (m_batchDepth > 0)
        m_batchChanged = true;
    else
        emit changed();
}

void OverlayWindowController::beginBatch()
{
    ++m_batchDepth;
}

void OverlayWindowController::endBatch()
{
    if (--m_batchDepth == 0 && m_batchChanged) {
        m_batchChanged = false;
        emit changed();
    }
}

// ---------------------------------------------------------------- helpers

QList<platform::DisplayInfo> OverlayWindowController::currentScreens() const
{
    if (!platform::Platform::isInstalled())
        return {};
    return platform::Platform::get().displays().displays();
}

QPointF OverlayWindowController::pointerLocation()
{
    if (!platform::Platform::isInstalled())
        return QPointF();
    return platform::Platform::get().displays().pointerLocationAppKit();
}

double OverlayWindowController::mainDisplayHeight()
{
    if (!platform::Platform::isInstalled())
        return 0;
    const auto main = platform::Platform::get().displays().mainDisplay();
    return main ? main->bounds.height() : 0.0;
}

bool OverlayWindowController::somethingToShow() const
{
    return m_voiceState != TovrikVoiceState::idle || !m_bubbleText.isEmpty() || m_keepOverlayVisibleWhenIdle
        || m_isUIAutopilotBusy;
}

void OverlayWindowController::windowCheck()
{
    const auto screens = currentScreens();
    if (!m_windowManager->overlayWindows().isEmpty() && m_windowManager->matches(screens))
        return;
    m_windowManager->show(screens, this);
}

bool OverlayWindowController::isAutopilotCursorTimerRunning() const
{
    return m_autopilotCursorTimer && m_autopilotCursorTimer->isActive();
}

// ---------------------------------------------------------------- state and visibility

void OverlayWindowController::updateVoiceState(TovrikVoiceState state)
{
    ChangeBatch batch(this);
    setPublished(m_voiceState, state);
    if (state != TovrikVoiceState::idle) {
        windowCheck();
    } else if (m_bubbleText.isEmpty() && !m_keepOverlayVisibleWhenIdle && !m_isUIAutopilotBusy) {
        m_windowManager->fadeOutAndHide(kIdleFadeDuration);
    }
}

void OverlayWindowController::updateAudioPowerLevel(double level)
{
    ChangeBatch batch(this);
    const double stored = std::isnan(level) ? 0.0 : std::max(std::min(level, 1.0), 0.0);
    setPublished(m_audioPowerLevel, stored);
}

void OverlayWindowController::setIdleBehavior(bool isReady, bool transient, bool transparent)
{
    ChangeBatch batch(this);
    setPublished(m_isTransparent, transparent);
    setPublished(m_keepOverlayVisibleWhenIdle, isReady && !transient);
    if (m_keepOverlayVisibleWhenIdle) {
        windowCheck();
    } else if (m_bubbleText.isEmpty() && m_voiceState == TovrikVoiceState::idle && !m_isUIAutopilotBusy) {
        m_windowManager->fadeOutAndHide(kIdleFadeDuration);
    }
}

void OverlayWindowController::showStatus(const QString& text, const std::optional<platform::DisplayInfo>& screen,
                                         bool transparent)
{
    ChangeBatch batch(this);
    if (m_hideWorkItem) {
        Clock::instance().cancel(m_hideWorkItem);
        m_hideWorkItem = 0;
    }
    stopResponseDismissMonitors();
    setPublished(m_isResponseBubblePinned, false);
    setPublished(m_isTransparent, transparent);
    setPublished(m_bubbleText, text);
    // The status goes to the given screen when it is one of the current
    // ones; else the companion shows it wherever the pointer is.
    std::optional<uint32_t> statusScreen;
    if (screen)
        for (const auto& d : currentScreens())
            if (d.displayID == screen->displayID)
                statusScreen = d.displayID;
    setPublished(m_statusDisplayID, statusScreen);
    clearTargetScreenLocationWithReturnIfNeeded();
    windowCheck();
}

void OverlayWindowController::hide(double delay)
{
    if (!std::isfinite(delay) || delay < 0)
        delay = 0;
    if (m_hideWorkItem)
        Clock::instance().cancel(m_hideWorkItem);
    m_hideWorkItem = Clock::instance().schedule(delay, this, [this]() {
        m_hideWorkItem = 0;
        performDueHide();
    });
}

void OverlayWindowController::performDueHide()
{
    ChangeBatch batch(this);
    stopResponseDismissMonitors();
    setPublished(m_isResponseBubblePinned, false);
    setPublished(m_bubbleText, QString());
    setPublished(m_statusDisplayID, std::optional<uint32_t>());
    clearTargetScreenLocationWithReturnIfNeeded();
    setPublished(m_audioPowerLevel, 0.0);
    if (m_voiceState == TovrikVoiceState::idle && !m_keepOverlayVisibleWhenIdle && !m_isUIAutopilotBusy)
        m_windowManager->fadeOutAndHide(kIdleFadeDuration);
}

void OverlayWindowController::clearInteractionVisuals()
{
    if (m_hideWorkItem) {
        Clock::instance().cancel(m_hideWorkItem);
        m_hideWorkItem = 0;
    }
    performDueHide();
}

void OverlayWindowController::dismissResponseBubble()
{
    if (m_isResponseBubblePinned) {
        if (m_hideWorkItem) {
            Clock::instance().cancel(m_hideWorkItem);
            m_hideWorkItem = 0;
        }
        performDueHide();
    } else {
        stopResponseDismissMonitors();
    }
}

void OverlayWindowController::rebuildOverlayForCurrentScreensIfNeeded(bool force)
{
    if (!somethingToShow()) {
        m_windowManager->discardAllWindows(true);
        return;
    }
    const auto screens = currentScreens();
    if (!force && m_windowManager->matches(screens))
        return;
    m_windowManager->show(screens, this);
}

QList<platform::RepaintProbe> OverlayWindowController::screenCaptureProbes() const
{
    return m_windowManager->captureProbes();
}

bool OverlayWindowController::suspendForScreenCapture()
{
    return m_windowManager->suspendForCapture();
}

QList<platform::VacatedArea> OverlayWindowController::screenCaptureVacatedAreas() const
{
    return m_windowManager->vacatedAreas();
}

void OverlayWindowController::resumeAfterScreenCapture(bool wasSuspended)
{
    if (!wasSuspended)
        return;
    if (!m_windowManager->matches(currentScreens()))
        rebuildOverlayForCurrentScreensIfNeeded(true);
    m_windowManager->resumeAfterCapture();
}

void OverlayWindowController::screensChanged()
{
    ChangeBatch batch(this);
    cancelSharedReturnFlight();
    rebuildOverlayForCurrentScreensIfNeeded(false);
}

// ---------------------------------------------------------------- response presentation

void OverlayWindowController::showResponse(const QString& text, std::optional<QPointF> point, QSizeF imageSize,
                                           const std::optional<platform::DisplayInfo>& screen, bool transparent,
                                           double autoHideAfter, bool keepVisibleUntilDismissed)
{
    ChangeBatch batch(this);
    if (m_hideWorkItem) {
        Clock::instance().cancel(m_hideWorkItem);
        m_hideWorkItem = 0;
    }
    cancelSharedReturnFlight();
    setPublished(m_isTransparent, transparent);
    setPublished(m_bubbleText, text);
    setPublished(m_statusDisplayID, std::optional<uint32_t>());
    setPublished(m_targetScreenLocation, mapGlobalScreenLocation(point, imageSize, screen));
    setPublished(m_isResponseBubblePinned, keepVisibleUntilDismissed);
    windowCheck();
    if (keepVisibleUntilDismissed) {
        startResponseDismissMonitors();
    } else {
        stopResponseDismissMonitors();
        hide(autoHideAfter);
    }
}

std::optional<QPointF> OverlayWindowController::mapGlobalScreenLocation(std::optional<QPointF> point,
                                                                        QSizeF imageSize,
                                                                        const std::optional<platform::DisplayInfo>& screen)
{
    if (!point || !screen)
        return std::nullopt;
    const QRectF f = screen->frame;
    if (!isFinitePoint(*point) || !std::isfinite(imageSize.width()) || !std::isfinite(imageSize.height())
        || !std::isfinite(f.x()) || !std::isfinite(f.y()) || !std::isfinite(f.width()) || !std::isfinite(f.height()))
        return std::nullopt;
    const double w = std::max(imageSize.width(), 1.0);
    const double h = std::max(imageSize.height(), 1.0);
    const double x = std::clamp(point->x(), 0.0, w - 1);
    const double y = std::clamp(point->y(), 0.0, h - 1);
    const double minX = f.x(), minY = f.y();
    const double maxX = f.x() + f.width(), maxY = f.y() + f.height();
    double gx = minX + x * f.width() / w;
    double gy = maxY - y * f.height() / h;
    gx = std::clamp(gx, minX, std::max(minX, maxX - 1));
    gy = std::clamp(gy, minY, std::max(minY, maxY - 1));
    return QPointF(gx, gy);
}

void OverlayWindowController::startResponseDismissMonitors()
{
    QPointer<OverlayWindowController> self(this);
    auto dismissLater = [self]() {
        if (!self)
            return;
        QMetaObject::invokeMethod(
            self.data(),
            [self]() {
                if (self)
                    self->dismissResponseBubble();
            },
            Qt::QueuedConnection);
    };
    if (!m_responseDismissGlobalMonitor && platform::Platform::isInstalled()) {
        m_responseDismissGlobalMonitor = platform::Platform::get().eventTap().addGlobalMouseDownMonitor(
            [dismissLater](platform::MouseButton, QPointF) { dismissLater(); });
        if (!m_responseDismissGlobalMonitor)
            qCWarning(lcOverlay) << "no global mouse-down monitor: a pinned bubble clears only on clicks in Tovrik";
    }
    if (!m_responseDismissLocalMonitor)
        m_responseDismissLocalMonitor = std::make_unique<LocalMouseDownMonitor>(dismissLater);
}

void OverlayWindowController::stopResponseDismissMonitors()
{
    if (m_responseDismissGlobalMonitor) {
        m_responseDismissGlobalMonitor->stop();
        m_responseDismissGlobalMonitor.reset();
    }
    m_responseDismissLocalMonitor.reset();
}

// ---------------------------------------------------------------- the shared return flight

void OverlayWindowController::clearTargetScreenLocationWithReturnIfNeeded()
{
    if (!m_targetScreenLocation)
        return;
    ChangeBatch batch(this);
    if (!m_keepOverlayVisibleWhenIdle) {
        cancelSharedReturnFlight();
        setPublished(m_targetScreenLocation, std::optional<QPointF>());
        return;
    }
    startSharedReturnFlight(*m_targetScreenLocation);
    setPublished(m_targetScreenLocation, std::optional<QPointF>());
}

void OverlayWindowController::startSharedReturnFlight(QPointF pointedPlace)
{
    ChangeBatch batch(this);
    const QPointF start(pointedPlace.x() + constants::targetPointingOffset.x(),
                        pointedPlace.y() - constants::targetPointingOffset.y());
    if (m_sharedReturnTimer)
        m_sharedReturnTimer->stop();
    const QPointF pointer = pointerLocation();
    const QPointF end(pointer.x() + constants::cursorFollowOffset.x(), pointer.y() - constants::cursorFollowOffset.y());
    const double d = QLineF(start, end).length();
    if (!std::isfinite(d) || d < 2) {
        cancelSharedReturnFlight();
        return;
    }
    const double bulge = std::min(0.2 * d, 80.0);
    const QPointF control((start.x() + end.x()) / 2, (start.y() + end.y()) / 2 + bulge);
    const double duration = std::min(std::max(d / 1200, 0.36), 0.78);
    ReturnFlight flight;
    flight.start = start;
    flight.control = control;
    flight.end = end;
    flight.pointerAtStart = pointer;
    flight.frameCount = std::max(1, int(duration / kFrameInterval));
    flight.frame = 0;
    flight.startedAt = Clock::instance().now();
    m_flight = flight;

    setPublished(m_isSharedReturnFlightActive, true);
    updateSharedReturnPresentation(start, control - start, 1.0);

    if (!m_sharedReturnTimer) {
        m_sharedReturnTimer = new ClockTimer(this);
        connect(m_sharedReturnTimer, &ClockTimer::timeout, this, &OverlayWindowController::sharedReturnTick);
    }
    m_sharedReturnTimer->start(kFrameInterval, true);
}

void OverlayWindowController::sharedReturnTick()
{
    if (!m_flight)
        return;
    ChangeBatch batch(this);
    if (QLineF(pointerLocation(), m_flight->pointerAtStart).length() > kReturnFlightCancelDistance) {
        cancelSharedReturnFlight();
        return;
    }
    ReturnFlight& f = *m_flight;
    // Stepped from the time elapsed, so a late tick catches up instead of
    // stretching the flight.
    const double ticks = (Clock::instance().now() - f.startedAt) / kFrameInterval;
    f.frame = std::max(f.frame + 1, int(std::floor(ticks + 1e-6)));
    if (f.frame >= f.frameCount) {
        updateSharedReturnPresentation(f.end, f.end - f.control, 1.0);
        cancelSharedReturnFlight();
        return;
    }
    const double t = double(f.frame) / double(f.frameCount);
    const double s = t * t * (3 - 2 * t);
    const double u = 1 - s;
    const QPointF position = u * u * f.start + 2 * u * s * f.control + s * s * f.end;
    const QPointF tangent = 2 * u * (f.control - f.start) + 2 * s * (f.end - f.control);
    const double scale = 1 + 0.16 * std::sin(M_PI * t);
    updateSharedReturnPresentation(position, tangent, scale);
}

void OverlayWindowController::updateSharedReturnPresentation(QPointF p, QPointF tangent, double scale)
{
    ChangeBatch batch(this);
    const auto screens = currentScreens();
    const platform::DisplayInfo* chosen = nullptr;
    if (screens.size() == 1) {
        chosen = &screens.first();
    } else {
        for (const auto& s : screens)
            if (frameContains(s.frame, p)) {
                chosen = &s;
                break;
            }
        if (!chosen) {
            double best = std::numeric_limits<double>::infinity();
            for (const auto& s : screens) {
                const double d2 = squaredDistanceToFrame(s.frame, p);
                if (d2 < best) {
                    best = d2;
                    chosen = &s;
                }
            }
        }
    }
    if (!chosen) {
        setPublished(m_sharedReturnScreenLocation, std::optional<QPointF>());
        setPublished(m_sharedReturnDisplayID, std::optional<uint32_t>());
    } else {
        const QRectF f = chosen->frame;
        const double x = std::min(std::max(p.x(), f.left() + 1), f.left() + f.width() - 1);
        const double y = std::min(std::max(p.y(), f.top() + 1), f.top() + f.height() - 1);
        setPublished(m_sharedReturnScreenLocation, std::optional<QPointF>(QPointF(x, y)));
        setPublished(m_sharedReturnDisplayID,
                     chosen->displayID != 0 ? std::optional<uint32_t>(chosen->displayID) : std::optional<uint32_t>());
    }
    const double h = std::atan2(-tangent.y(), tangent.x()) * 180.0 / M_PI + 90.0
        + constants::cursorGuideHeadingOffsetDegrees;
    double delta = std::fmod(h - m_sharedReturnAngleDegrees, 360.0);
    if (delta > 180)
        delta -= 360;
    if (delta < -180)
        delta += 360;
    setPublished(m_sharedReturnAngleDegrees, m_sharedReturnAngleDegrees + delta);
    setPublished(m_sharedReturnScale, scale);
}

void OverlayWindowController::cancelSharedReturnFlight()
{
    ChangeBatch batch(this);
    if (m_sharedReturnTimer)
        m_sharedReturnTimer->stop();
    m_flight.reset();
    setPublished(m_isSharedReturnFlightActive, false);
    setPublished(m_sharedReturnScreenLocation, std::optional<QPointF>());
    setPublished(m_sharedReturnDisplayID, std::optional<uint32_t>());
    setPublished(m_sharedReturnAngleDegrees, 0.0);
    setPublished(m_sharedReturnScale, 1.0);
}

} // namespace tovrik::overlay
