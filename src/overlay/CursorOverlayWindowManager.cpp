#include "overlay/CursorOverlayWindowManager.h"

#include "common/Clock.h"
#include "overlay/BlankPageRelease.h"
#include "overlay/OverlayCoordinates.h"
#include "overlay/X11Support.h"
#include "platform/Platform.h"

#include <QBackingStore>
#include <QEasingCurve>
#include <QGuiApplication>
#include <QImage>
#include <QPaintEvent>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>
#include <qpa/qplatformbackingstore.h>
#include <tuple>
#include <vector>

#if __has_include("overlay/views/CursorBuddyView.h")
#include "overlay/views/CursorBuddyView.h"
#define TOVRIK_HAVE_BUDDY_VIEW 1
#endif

namespace tovrik::overlay {

namespace {

// Pixels at or above this alpha count as drawn when the window clips itself
// to its content (no compositor: partial alpha would show as dark fringes).
constexpr int kMaskAlphaThreshold = 160;

// A region out of the window's bounds: an empty shape, so nothing shows
// (an empty QRegion would instead remove the mask and show everything).
const QRegion kNothingShown(-2, -2, 1, 1);

// How long after the content's last paint the blank pages of the backing
// store are given back: a glyph in flight repaints every frame, so this
// waits for the motion to end.
constexpr double kBlankPageReleaseDelay = 1.0;

double easeIn(double t)
{
    static const QEasingCurve curve = [] {
        QEasingCurve c(QEasingCurve::BezierSpline);
        c.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(1.0, 1.0), QPointF(1.0, 1.0));
        return c;
    }();
    return curve.valueForProgress(std::clamp(t, 0.0, 1.0));
}

// The pixels of `image` with alpha >= threshold, as a region offset by
// `origin`. Rows with the same runs are merged into one band, which is the
// canonical form QRegion itself uses.
QRegion alphaRegion(const QImage& image, QPoint origin)
{
    std::vector<QRect> rects;
    std::vector<std::pair<int, int>> bandRuns, rowRuns;
    int bandTop = 0;
    const auto flush = [&](int bandBottom) {
        for (const auto& [start, end] : bandRuns)
            rects.emplace_back(origin.x() + start, origin.y() + bandTop, end - start, bandBottom - bandTop);
    };
    const int width = image.width(), height = image.height();
    const uchar* bits = image.constBits();
    const qsizetype stride = image.bytesPerLine();
    for (int y = 0; y < height; ++y) {
        rowRuns.clear();
        const QRgb* line = reinterpret_cast<const QRgb*>(bits + y * stride);
        int x = 0;
        while (x < width) {
            while (x < width && qAlpha(line[x]) < kMaskAlphaThreshold)
                ++x;
            const int start = x;
            while (x < width && qAlpha(line[x]) >= kMaskAlphaThreshold)
                ++x;
            if (x > start)
                rowRuns.emplace_back(start, x);
        }
        if (y == 0 || rowRuns != bandRuns) {
            if (y > 0)
                flush(y);
            bandRuns = rowRuns;
            bandTop = y;
        }
    }
    if (height > 0)
        flush(height);
    QRegion region;
    if (!rects.empty())
        region.setRects(rects.data(), int(rects.size()));
    return region;
}

using DisplayKey = std::tuple<uint32_t, double, double, double, double>;

DisplayKey keyOf(uint32_t id, const QRectF& f)
{
    return {id, f.x(), f.y(), f.width(), f.height()};
}

} // namespace

QList<QPair<QPoint, QRgb>> opaqueSamples(const QImage& image, QRect area, int count)
{
    QList<QPair<QPoint, QRgb>> samples;
    area = area.intersected(image.rect());
    if (count <= 0 || area.isEmpty()
        || (image.format() != QImage::Format_ARGB32_Premultiplied && image.format() != QImage::Format_ARGB32
            && image.format() != QImage::Format_RGB32))
        return samples;
    // A sparse grid (every 4th pixel of every 8th row) finds anything
    // drawn at least a few pixels wide without reading a whole display.
    constexpr int step = 4, rowStep = 8;
    constexpr size_t maxHits = 16384;
    const bool alpha = image.hasAlphaChannel();
    std::vector<QPair<QPoint, QRgb>> hits;
    for (int y = area.top() + rowStep / 2; y <= area.bottom() && hits.size() < maxHits; y += rowStep) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = area.left() + step / 2; x <= area.right(); x += step)
            if (!alpha || qAlpha(line[x]) == 255)
                hits.emplace_back(QPoint(x, y), line[x] | 0xff000000u);
    }
    if (hits.empty())
        return samples;
    // Candidates spread evenly over the hits (so over everything drawn);
    // distinct colours first, as a colour that happens to be beneath as
    // well tells nothing.
    const size_t candidates = std::min(hits.size(), size_t(count) * 8);
    std::vector<QPair<QPoint, QRgb>> spread;
    for (size_t i = 0; i < candidates; ++i)
        spread.push_back(hits[(2 * i + 1) * hits.size() / (2 * candidates)]);
    QList<QRgb> colours;
    for (const auto& c : spread)
        if (samples.size() < count && !colours.contains(c.second)) {
            colours << c.second;
            samples << c;
        }
    for (const auto& c : spread)
        if (samples.size() < count && !samples.contains(c))
            samples << c;
    return samples;
}

// ---------------------------------------------------------------- window

CursorOverlayWindow::CursorOverlayWindow(std::optional<uint32_t> displayID, QRectF screenFrame, QRectF qtGeometry)
    : QWidget(nullptr,
              Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool
                  | Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput
                  | Qt::NoDropShadowWindowHint)
    , m_displayID(displayID)
    , m_screenFrame(screenFrame)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(QStringLiteral("Tovrik overlay"));
    setGeometry(qtGeometry.toAlignedRect());
    m_blankPageTimer = new ClockTimer(this);
    connect(m_blankPageTimer, &ClockTimer::timeout, this, [this] { releaseBlankBackingStorePages(this); });
}

CursorOverlayWindow::~CursorOverlayWindow()
{
    if (m_content)
        m_content->removeEventFilter(this);
}

void CursorOverlayWindow::setContentView(QWidget* view)
{
    if (m_content == view)
        return;
    if (m_content) {
        QWidget* old = m_content;
        old->removeEventFilter(this);
        old->hide();
        old->deleteLater();
    }
    m_content = view;
    m_contentRegion = QRegion();
    if (view) {
        view->setParent(this);
        view->setGeometry(rect());
        view->setAttribute(Qt::WA_TransparentForMouseEvents);
        watchContent(view);
        view->show();
    }
    if (m_clipToContent)
        refreshContentRegion(QRegion(rect()));
}

void CursorOverlayWindow::setFadeOpacity(double opacity)
{
    m_fadeOpacity = std::clamp(opacity, 0.0, 1.0);
    setWindowOpacity(m_fadeOpacity);
}

void CursorOverlayWindow::setClipToContent(bool clip)
{
    if (m_clipToContent == clip)
        return;
    m_clipToContent = clip;
    if (clip) {
        m_contentRegion = QRegion();
        refreshContentRegion(QRegion(rect()));
    } else {
        m_pendingDirty = QRegion();
        applyShape(std::nullopt);
    }
}

void CursorOverlayWindow::orderFront()
{
    if (!isVisible())
        QWidget::show();
    else if (m_nativelyUnmapped)
        x11::setNativeWindowMapped(this, true);
    m_nativelyUnmapped = false;
    raiseAbove();
}

void CursorOverlayWindow::takeOffScreen()
{
    if (isVisible() && x11::setNativeWindowMapped(this, false))
        m_nativelyUnmapped = true;
    else
        orderOut();
}

void CursorOverlayWindow::putBackOnScreen() { orderFront(); }

void CursorOverlayWindow::raiseAbove()
{
    // The offscreen platform (tests, benchmarks) has no stacking order.
    static const bool stacking = QGuiApplication::platformName() != QLatin1String("offscreen");
    if (stacking)
        raise();
}

void CursorOverlayWindow::orderOut()
{
    m_nativelyUnmapped = false;
    QWidget::hide();
}

void CursorOverlayWindow::releaseBlankPagesLater()
{
    m_blankPageTimer->start(kBlankPageReleaseDelay, false);
}

bool CursorOverlayWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The content painting into the image the mask is read from is no paint
    // of the window (else every reading would ask for the next, for ever).
    if (m_readingContent)
        return QWidget::eventFilter(watched, event);
    auto* widget = qobject_cast<QWidget*>(watched);
    const bool ofContent = widget && m_content && (widget == m_content || m_content->isAncestorOf(widget));
    if (ofContent && event->type() == QEvent::ChildAdded) {
        // The content's children paint themselves: each is watched too.
        if (auto* child = qobject_cast<QWidget*>(static_cast<QChildEvent*>(event)->child()))
            watchContent(child);
    }
    if (!ofContent || event->type() != QEvent::Paint)
        return QWidget::eventFilter(watched, event);
    // What is about to be painted, in the window's coordinates.
    const QRegion painted = static_cast<QPaintEvent*>(event)->region().translated(widget->mapTo(this, QPoint(0, 0)));
    releaseBlankPagesLater();
    if (m_clipToContent) {
        // Once it has been painted, re-read what the content drew there and
        // clip the window to it.
        m_pendingDirty += painted;
        if (!m_maskUpdateQueued) {
            m_maskUpdateQueued = true;
            QPointer<CursorOverlayWindow> self(this);
            QMetaObject::invokeMethod(
                this,
                [self]() {
                    if (!self)
                        return;
                    self->m_maskUpdateQueued = false;
                    const QRegion dirty = self->m_pendingDirty;
                    self->m_pendingDirty = QRegion();
                    if (self->m_clipToContent)
                        self->refreshContentRegion(dirty);
                },
                Qt::QueuedConnection);
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CursorOverlayWindow::watchContent(QWidget* widget)
{
    widget->installEventFilter(this);
    for (QObject* child : widget->children())
        if (auto* w = qobject_cast<QWidget*>(child))
            watchContent(w);
}

void CursorOverlayWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_content)
        m_content->setGeometry(rect());
}

void CursorOverlayWindow::refreshContentRegion(const QRegion& dirty)
{
    // Re-read each dirty rectangle on its own: the old and the new place of
    // a glyph that jumped across the screen must not become one huge area.
    const QRegion area = dirty.intersected(rect());
    QRegion drawn;
    if (m_content) {
        for (const QRect& r : area) {
            QImage image(r.size(), QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            m_readingContent = true;
            m_content->render(&image, QPoint(0, 0), QRegion(r), QWidget::DrawChildren);
            m_readingContent = false;
            drawn += alphaRegion(image, r.topLeft());
        }
    }
    const QRegion updated = m_contentRegion.subtracted(area).united(drawn);
    if (updated == m_contentRegion && m_shape)
        return;
    const QRegion added = updated.subtracted(m_contentRegion);
    m_contentRegion = updated;
    applyShape(m_contentRegion.isEmpty() ? kNothingShown : m_contentRegion);
    // A widget mask also keeps Qt from painting outside it: what the shape
    // now adds is painted for the first time.
    if (!m_nativeShape && m_content && !added.isEmpty())
        m_content->update(added);
}

QList<QPair<QPoint, QRgb>> CursorOverlayWindow::opaqueSamples(int count) const
{
    QBackingStore* store = backingStore();
    if (count <= 0 || !isVisible() || m_fadeOpacity < 1.0 || !store || !store->handle())
        return {};
    // The backing store holds what was last painted and sent to the server,
    // in device pixels (it may be larger than the window).
    const QImage image = store->handle()->toImage();
    const QSize device = (QSizeF(size()) * devicePixelRatioF()).toSize().boundedTo(image.size());
    return overlay::opaqueSamples(image, QRect(QPoint(0, 0), device), count);
}

void CursorOverlayWindow::applyShape(const std::optional<QRegion>& shape)
{
    // On X11 the shape is the server's alone: Qt goes on painting the whole
    // window into its backing store, so what the content draws where the
    // window does not show yet is there, and read, when it comes to show.
    m_shape = shape;
    m_nativeShape = x11::setNativeWindowShape(this, shape);
    if (m_nativeShape)
        return;
    if (shape)
        setMask(*shape);
    else
        clearMask();
}

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
        for (auto* w : m_overlayWindows)
            w->takeOffScreen();
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
