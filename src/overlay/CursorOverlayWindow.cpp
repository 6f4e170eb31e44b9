// The overlay window of one display (see CursorOverlayWindowManager.h).

#include "overlay/CursorOverlayWindowManager.h"

#include "common/Clock.h"
#include "overlay/BlankPageRelease.h"
#include "overlay/DrawnPixels.h"
#include "overlay/FloatingWindow.h"
#include "overlay/X11Support.h"

#include <QBackingStore>
#include <QGuiApplication>
#include <QImage>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QWindow>
#include <algorithm>
#include <qpa/qplatformbackingstore.h>

namespace tovrik::overlay {

namespace {

// A region out of the window's bounds: an empty shape, so nothing shows
// (an empty QRegion would instead remove the mask and show everything).
const QRegion kNothingShown(-2, -2, 1, 1);

// How long after the content's last paint the blank pages of the backing
// store are given back: a glyph in flight repaints every frame, so this
// waits for the motion to end.
constexpr double kBlankPageReleaseDelay = 1.0;

// `r` scaled by `ratio`, grown to whole pixels.
QRect scaled(const QRect& r, double ratio)
{
    return ratio == 1.0 ? r : QRectF(QPointF(r.topLeft()) * ratio, QSizeF(r.size()) * ratio).toAlignedRect();
}

} // namespace

CursorOverlayWindow::CursorOverlayWindow(std::optional<uint32_t> displayID, QRectF screenFrame, QRectF qtGeometry)
    : QWidget(nullptr, floatingWindowFlags)
    , m_displayID(displayID)
    , m_screenFrame(screenFrame)
{
    prepareFloatingWindow(this, QStringLiteral("Tovrik overlay"));
    setGeometry(qtGeometry.toAlignedRect());
    m_blankPageTimer = new ClockTimer(this);
    connect(m_blankPageTimer, &ClockTimer::timeout, this, [this] {
        // Painted again since the timer was armed: wait out the rest.
        const double quiet = Clock::instance().now() - m_lastContentPaint;
        if (quiet < kBlankPageReleaseDelay)
            m_blankPageTimer->start(kBlankPageReleaseDelay - quiet, false);
        else {
            releaseBlankBackingStorePages(this);
            // Painting has settled: what it drew is read now (the pages just
            // given back are not), while nobody waits, instead of by the
            // next capture.
            drawnPixels();
        }
    });
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
    else if (m_nativelyCleared)
        flushCleared();
    m_nativelyUnmapped = false;
    m_nativelyCleared = false;
    raiseAbove();
}

void CursorOverlayWindow::takeOffScreen(bool inPlace)
{
    m_vacatedPixels.reset();
    // Only a window with alpha shows nothing where its pixels are 0.
    const bool translucent = windowHandle() && windowHandle()->format().hasAlpha();
    if (inPlace && translucent && isVisible() && !m_nativelyUnmapped && !m_nativelyCleared) {
        const QRegion drawn = drawnPixels();
        if (x11::clearNativeWindowArea(this, drawn)) {
            m_nativelyCleared = true;
            m_vacatedPixels = drawn;
            return;
        }
    }
    if (isVisible() && x11::setNativeWindowMapped(this, false))
        m_nativelyUnmapped = true;
    else
        orderOut();
}

QRegion CursorOverlayWindow::drawnPixels() const
{
    QBackingStore* store = backingStore();
    QPaintDevice* device = store ? store->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image)
        return QRegion(QRect(QPoint(0, 0), (QSizeF(size()) * devicePixelRatioF()).toSize()));
    // Only the tiles painted since the last reading can have changed: the
    // rest (the takeover look's edges all through a run) are not read again.
    const QImage& image = *static_cast<const QImage*>(device);
    if (image.size() != m_readImageSize) {
        m_readImageSize = image.size();
        m_drawnTiles = QRegion();
    }
    const QRegion changed = m_paintedSinceReading.region(image.size());
    m_paintedSinceReading.clear();
    m_drawnTiles = m_drawnTiles.subtracted(changed).united(drawnTiles(image, changed));
    return m_drawnTiles;
}

void CursorOverlayWindow::flushCleared()
{
    // The backing store still holds every pixel: send the cleared ones again.
    QBackingStore* store = backingStore();
    if (!store || !m_vacatedPixels)
        return;
    const double ratio = devicePixelRatioF();
    QRegion logical;
    for (const QRect& r : *m_vacatedPixels)
        logical += scaled(r, 1.0 / ratio);
    store->flush(logical, windowHandle());
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
    m_nativelyCleared = false; // shown again, it is painted and flushed whole
    QWidget::hide();
}

void CursorOverlayWindow::releaseBlankPagesLater()
{
    // Every frame of a moving glyph comes here: the timer is armed once and
    // moved on only when it fires.
    m_lastContentPaint = Clock::instance().now();
    if (!m_blankPageTimer->isActive())
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
    const double ratio = devicePixelRatioF();
    for (const QRect& r : painted)
        m_paintedSinceReading.mark(scaled(r, ratio));
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
            drawn += alphaRegion(image, r.topLeft(), kMaskAlphaThreshold);
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
    // Only where it drew: the rest is transparent (and mostly given back).
    return overlay::opaqueSamples(image, drawnPixels().intersected(QRect(QPoint(0, 0), device)), count);
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

} // namespace tovrik::overlay
