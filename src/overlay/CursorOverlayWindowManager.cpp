#include "overlay/CursorOverlayWindowManager.h"

#include "common/Clock.h"
#include "overlay/OverlayCoordinates.h"
#include "overlay/X11Support.h"
#include "platform/Platform.h"

#include <QEasingCurve>
#include <QGuiApplication>
#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#if __has_include("overlay/views/CursorBuddyView.h")
#include "overlay/views/CursorBuddyView.h"
#define TOVRIK_HAVE_BUDDY_VIEW 1
#endif

namespace tovrik::overlay {

namespace {

double easeIn(double t)
{
    static const QEasingCurve curve = [] {
        QEasingCurve c(QEasingCurve::BezierSpline);
        c.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(1.0, 1.0), QPointF(1.0, 1.0));
        return c;
    }();
    return curve.valueForProgress(std::clamp(t, 0.0, 1.0));
}

using DisplayKey = std::tuple<uint32_t, double, double, double, double>;

DisplayKey keyOf(uint32_t id, const QRectF& f)
{
    return {id, f.x(), f.y(), f.width(), f.height()};
}

} // namespace

// ---------------------------------------------------------------- manager

CursorOverlayWindowManager::CursorOverlayWindowManager(QObject* parent) : QObject(parent)
{
#ifdef TOVRIK_HAVE_BUDDY_VIEW
    m_viewFactory = [](OverlayWindowController* controller, uint32_t displayID, QRectF frame,
                       QWidget* parent) -> QWidget* { return new CursorBuddyView(controller, displayID, frame, parent); };
#endif
    // Where the platform reports restacking and the compositor coming and
    // going, the windows answer those; elsewhere they look once a second.
    if (!platform::Platform::isInstalled())
        return;
    auto& displays = platform::Platform::get().displays();
    if (!displays.reportsDesktopChanges())
        return;
    m_desktopReported = true;
    connect(&displays, &platform::Displays::compositorChanged, this, [this]() {
        if (!m_overlayWindows.isEmpty())
            refreshCompositorState();
    });
    connect(&displays, &platform::Displays::windowsRestacked, this, [this](const QList<quint64>& windows) {
        // Our own raising is reported too: only another window counts.
        for (quint64 id : windows) {
            const bool ours = std::any_of(m_overlayWindows.begin(), m_overlayWindows.end(),
                                          [id](CursorOverlayWindow* w) { return w->internalWinId() == id; })
                || std::any_of(m_fadingOverlayWindows.begin(), m_fadingOverlayWindows.end(),
                               [id](CursorOverlayWindow* w) { return w->internalWinId() == id; });
            if (!ours) {
                raiseShownWindows();
                return;
            }
        }
    });
}

void CursorOverlayWindowManager::raiseShownWindows()
{
    if (m_isSuspendedForCapture || m_raisePending)
        return;
    // At most ten raises a second: a window that keeps raising itself above
    // ours gets an answer, not a busy loop.
    const double now = Clock::instance().now();
    const double wait = m_lastRaise + 0.1 - now;
    auto raise = [this]() {
        m_raisePending = false;
        m_lastRaise = Clock::instance().now();
        for (auto* w : m_overlayWindows)
            if (w->isVisible())
                w->raiseAbove();
    };
    if (wait <= 0) {
        raise();
        return;
    }
    m_raisePending = true;
    Clock::instance().schedule(wait, this, raise);
}

CursorOverlayWindowManager::~CursorOverlayWindowManager()
{
    discardAllWindows(true);
}

void CursorOverlayWindowManager::setViewFactory(ViewFactory factory)
{
    m_viewFactory = std::move(factory);
}

void CursorOverlayWindowManager::refreshCompositorState()
{
    const bool active =
        platform::Platform::isInstalled() ? platform::Platform::get().compositorActive() : x11::compositorRunning();
    if (active == m_compositorActive)
        return;
    m_compositorActive = active;
    for (auto* w : m_overlayWindows)
        w->setClipToContent(!active);
}

void CursorOverlayWindowManager::show(const QList<platform::DisplayInfo>& screens,
                                      OverlayWindowController* controller)
{
    discardAllWindows(false);
    if (screens.isEmpty())
        return;
    refreshCompositorState();
    const QPointF origin = mainDisplayRootOrigin(screens);
    for (const auto& screen : screens) {
        if (screen.displayID == 0)
            continue; // no display id: this screen gets no overlay
        auto* window = new CursorOverlayWindow(screen.displayID, screen.frame, qtGeometryForDisplay(screen, origin));
        if (m_viewFactory)
            window->setContentView(m_viewFactory(controller, screen.displayID, screen.frame, window));
        window->setClipToContent(!m_compositorActive);
        m_overlayWindows.append(window);
        if (!m_isSuspendedForCapture)
            window->orderFront();
    }
    updateRaiseTimer();
}

bool CursorOverlayWindowManager::isRaiseTimerRunning() const { return m_raiseTimer && m_raiseTimer->isActive(); }

void CursorOverlayWindowManager::updateRaiseTimer()
{
    const bool wanted = !m_overlayWindows.isEmpty() && !m_isSuspendedForCapture && !m_desktopReported;
    if (!wanted) {
        if (m_raiseTimer)
            m_raiseTimer->stop();
        return;
    }
    if (!m_raiseTimer) {
        m_raiseTimer = new ClockTimer(this);
        connect(m_raiseTimer, &ClockTimer::timeout, this, [this]() {
            refreshCompositorState();
            for (auto* w : m_overlayWindows)
                if (w->isVisible())
                    w->raiseAbove();
        });
    }
    if (!m_raiseTimer->isActive())
        m_raiseTimer->start(1.0, true);
}

void CursorOverlayWindowManager::releaseWindow(CursorOverlayWindow* window)
{
    window->orderOut();
    window->setContentView(nullptr);
    window->deleteLater();
}

void CursorOverlayWindowManager::discardAllWindows(bool resetCaptureSuspension)
{
    for (auto& fade : m_fades)
        delete fade.timer;
    m_fades.clear();
    const auto live = m_overlayWindows;
    const auto fading = m_fadingOverlayWindows;
    m_overlayWindows.clear();
    m_fadingOverlayWindows.clear();
    for (auto* w : live)
        releaseWindow(w);
    for (auto* w : fading)
        releaseWindow(w);
    if (resetCaptureSuspension)
        m_isSuspendedForCapture = false;
    updateRaiseTimer();
}

void CursorOverlayWindowManager::fadeOutAndHide(double duration)
{
    Fade fade;
    fade.id = m_nextFadeID++;
    for (auto* w : m_overlayWindows)
        fade.windows.append(QPointer<CursorOverlayWindow>(w));
    m_fadingOverlayWindows.append(m_overlayWindows);
    m_overlayWindows.clear();
    updateRaiseTimer();
    fade.start = Clock::instance().now();
    fade.duration = std::isfinite(duration) ? std::max(duration, 0.0) : 0.0;
    fade.timer = new ClockTimer(this);
    const quint64 id = fade.id;
    connect(fade.timer, &ClockTimer::timeout, this, [this, id]() { fadeTick(id); });
    fade.timer->start(1.0 / 60.0, true);
    m_fades.append(fade);
}

void CursorOverlayWindowManager::fadeTick(quint64 fadeID)
{
    auto it = std::find_if(m_fades.begin(), m_fades.end(), [fadeID](const Fade& f) { return f.id == fadeID; });
    if (it == m_fades.end())
        return;
    const double elapsed = Clock::instance().now() - it->start;
    if (it->duration <= 0 || elapsed >= it->duration - 1e-9) {
        finishFade(fadeID);
        return;
    }
    const double opacity = 1.0 - easeIn(elapsed / it->duration);
    for (const auto& w : it->windows)
        if (w)
            w->setFadeOpacity(opacity);
}

void CursorOverlayWindowManager::finishFade(quint64 fadeID)
{
    auto it = std::find_if(m_fades.begin(), m_fades.end(), [fadeID](const Fade& f) { return f.id == fadeID; });
    if (it == m_fades.end())
        return;
    const auto windows = it->windows;
    it->timer->deleteLater();
    m_fades.erase(it);
    for (const auto& w : windows)
        if (w) {
            w->setFadeOpacity(0);
            w->orderOut();
            w->setContentView(nullptr);
        }
    // Remove them from the fading list on a later turn of the main loop; a
    // show or discard in between has already emptied the list.
    QPointer<CursorOverlayWindowManager> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, windows]() {
            if (!self)
                return;
            for (const auto& w : windows) {
                if (!w)
                    continue;
                const auto index = self->m_fadingOverlayWindows.indexOf(w.data());
                if (index >= 0) {
                    self->m_fadingOverlayWindows.removeAt(index);
                    w->deleteLater();
                }
            }
        },
        Qt::QueuedConnection);
}

bool CursorOverlayWindowManager::matches(const QList<platform::DisplayInfo>& screens) const
{
    std::vector<DisplayKey> wanted;
    for (const auto& s : screens)
        if (s.displayID != 0)
            wanted.push_back(keyOf(s.displayID, s.frame));
    std::vector<DisplayKey> have;
    for (const auto* w : m_overlayWindows)
        if (w->displayID())
            have.push_back(keyOf(*w->displayID(), w->screenFrame()));
    std::sort(wanted.begin(), wanted.end());
    std::sort(have.begin(), have.end());
    return wanted == have;
}

bool CursorOverlayWindowManager::suspendForCapture()
{
    // A window still fading out would land in the capture: finish every fade
    // now, whatever else happens.
    bool changedScreen = false;
    // Fading windows leave by being unmapped: all of their displays.
    m_vacatedAreas.clear();
    for (auto* w : m_fadingOverlayWindows)
        if (w->isVisible() && w->displayID())
            m_vacatedAreas.append({*w->displayID(), std::nullopt});
    if (!m_fades.isEmpty()) {
        const auto ids = [this] {
            QList<quint64> list;
            for (const auto& f : m_fades)
                list.append(f.id);
            return list;
        }();
        for (quint64 id : ids)
            finishFade(id);
        changedScreen = true;
    }
    // ... and release them now rather than in the fade's later task.
    for (auto* w : m_fadingOverlayWindows) {
        if (w->isVisible())
            changedScreen = true;
        releaseWindow(w);
    }
    m_fadingOverlayWindows.clear();
    bool suspended = false;
    if (!m_overlayWindows.isEmpty() && !m_isSuspendedForCapture) {
        m_isSuspendedForCapture = true;
        // With a compositor a window is emptied where it drew rather than
        // unmapped: the compositor then repaints that little, not the
        // window's whole display.
        for (auto* w : m_overlayWindows) {
            w->takeOffScreen(m_compositorActive);
            if (w->displayID())
                m_vacatedAreas.append({*w->displayID(), w->vacatedPixels()});
        }
        suspended = changedScreen = true;
    }
    updateRaiseTimer();
    if (changedScreen)
        x11::syncWithServer();
    return suspended;
}

QList<platform::RepaintProbe> CursorOverlayWindowManager::captureProbes() const
{
    // Without a compositor the windows leave the screen as soon as the
    // server has unmapped them: nothing to tell apart.
    QList<platform::RepaintProbe> probes;
    if (m_isSuspendedForCapture || !m_compositorActive)
        return probes;
    for (const auto* w : m_overlayWindows) {
        if (!w->displayID())
            continue;
        for (const auto& [pixel, colour] : w->opaqueSamples(probesPerWindow))
            probes.append({*w->displayID(), pixel, colour});
    }
    return probes;
}

void CursorOverlayWindowManager::resumeAfterCapture()
{
    if (!m_isSuspendedForCapture)
        return;
    m_isSuspendedForCapture = false;
    refreshCompositorState();
    for (auto* w : m_overlayWindows)
        w->putBackOnScreen();
    updateRaiseTimer();
}

} // namespace tovrik::overlay
