#include "overlay/views/AutopilotCursorLayer.h"

#include "common/Clock.h"
#include "common/HeapRelease.h"
#include "overlay/OverlayCoordinates.h"
#include "overlay/OverlayWindowController.h"
#include "overlay/views/GaussianBlur.h"
#include "overlay/views/ImageCanvas.h"
#include "overlay/views/UIAutopilotTakeoverView.h"

#include <QHash>
#include <cmath>

namespace tovrik::overlay {

namespace {

constexpr double kFrameInterval = 1.0 / 60.0;

QRect outward(const QRectF& r) { return r.toAlignedRect().adjusted(-1, -1, 1, 1); }

// How many layers show the takeover look, as last published (layers live on
// the main thread only).
int layersShowingTheLook = 0;

bool showsTheLook(const AutopilotLayersPresentation& p) { return p.takeoverProgress > 0; }

// The arrow with its glow, drawn once per device pixel ratio; the tip sits
// at (margin, margin) of the image.
const QImage& arrowImage(double dpr)
{
    static QHash<double, QImage> cache;
    auto it = cache.find(dpr);
    if (it != cache.end())
        return *it;
    const double margin = blurMargin(AutopilotArrow::glowBlur) + 1;
    const QSizeF box = AutopilotArrow::boxSize;
    QImage image(QSizeF((box.width() + 2 * margin) * dpr, (box.height() + 2 * margin) * dpr).toSize(),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    ImageCanvas canvas(image);
    QPainter p(canvas.device());
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(margin, margin);
    const QPainterPath arrow = AutopilotArrow::path();
    // The glow is the shadow of the whole cursor, outline included.
    QPen outline(Qt::white, 1.8, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    outline.setMiterLimit(10);
    QPainterPathStroker stroker(outline);
    const QPainterPath whole = arrow.united(stroker.createStroke(arrow));
    const double gm = blurMargin(AutopilotArrow::glowBlur);
    const QColor systemBlue(0, 122, 255);
    p.setOpacity(0.65);
    p.drawImage(whole.boundingRect().topLeft() - QPointF(gm, gm),
                blurredShapeImage(whole, systemBlue, AutopilotArrow::glowBlur, dpr));
    p.setOpacity(1);
    p.fillPath(arrow, AutopilotArrow::fillColor());
    p.strokePath(arrow, outline);
    p.end();
    return *cache.insert(dpr, image);
}

} // namespace

// ---------------------------------------------------------------- arrow

QPainterPath AutopilotArrow::path()
{
    QPainterPath p;
    p.moveTo(0, 0);
    p.lineTo(21, 10);
    p.lineTo(11, 14);
    p.lineTo(7, 24);
    p.closeSubpath();
    return p;
}

QColor AutopilotArrow::fillColor() { return QColor::fromRgbF(0.08f, 0.14f, 0.23f); }

void AutopilotArrow::paint(QPainter& painter, QPointF tip)
{
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double margin = blurMargin(glowBlur) + 1;
    painter.drawImage(tip - QPointF(margin, margin), arrowImage(dpr));
}

QRectF AutopilotArrow::extent(QPointF tip)
{
    const double margin = blurMargin(glowBlur) + 1;
    return QRectF(tip, boxSize).adjusted(-margin, -margin, margin, margin);
}

// ---------------------------------------------------------------- ripple

QColor AutopilotClickRipple::ringColor() { return QColor::fromRgbF(0.30f, 0.57f, 1.0f); }
double AutopilotClickRipple::scaleAt(double expansion) { return 0.2 + 1.2 * expansion; }
double AutopilotClickRipple::opacityAt(double expansion) { return 0.95 * (1 - expansion); }

void AutopilotClickRipple::paint(QPainter& painter, QPointF centre, double expansion)
{
    const double opacity = opacityAt(expansion);
    if (!(opacity > 0))
        return;
    // The ring is drawn once at its largest and scaled down: the scale
    // applies to the whole ring, line width included.
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    static QHash<double, QImage> cache;
    auto it = cache.find(dpr);
    const double largest = (diameter + lineWidth) * scaleAt(1) + 2;
    if (it == cache.end()) {
        const int side = int(std::ceil(largest * dpr));
        QImage ring(side, side, QImage::Format_ARGB32_Premultiplied);
        ring.fill(Qt::transparent);
        ImageCanvas canvas(ring);
        QPainter p(canvas.device());
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(side / 2.0, side / 2.0);
        p.scale(scaleAt(1) * dpr, scaleAt(1) * dpr);
        p.setPen(QPen(ringColor(), lineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
        p.drawEllipse(QPointF(0, 0), diameter / 2, diameter / 2);
        p.end();
        it = cache.insert(dpr, ring);
    }
    const double side = largest * scaleAt(expansion) / scaleAt(1);
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side), *it);
    painter.restore();
}

QRectF AutopilotClickRipple::extent(QPointF centre)
{
    const double half = (diameter + lineWidth) / 2 * scaleAt(1);
    return QRectF(centre.x() - half, centre.y() - half, 2 * half, 2 * half);
}

// ---------------------------------------------------------------- layers

AutopilotLayerSnapshot AutopilotLayerSnapshot::of(const OverlayWindowController& c)
{
    AutopilotLayerSnapshot s;
    s.isUIAutopilotBusy = c.isUIAutopilotBusy();
    s.autopilotCursorLocation = c.autopilotCursorLocation();
    s.autopilotCursorAnimationDuration = c.autopilotCursorAnimationDuration();
    s.autopilotClickLocation = c.autopilotClickLocation();
    s.autopilotClickID = c.autopilotClickID();
    return s;
}

AutopilotOverlayLayers::AutopilotOverlayLayers(QRectF screenFrame, QObject* parent)
    : QObject(parent), m_screenFrame(screenFrame), m_ticker(new ClockTimer(this))
{
    connect(m_ticker, &ClockTimer::timeout, this, &AutopilotOverlayLayers::onFrame);
}

AutopilotOverlayLayers::~AutopilotOverlayLayers()
{
    if (showsTheLook(m_published))
        lookShownChanged(false);
}

void AutopilotOverlayLayers::lookShownChanged(bool shown)
{
    layersShowingTheLook += shown ? 1 : -1;
    if (layersShowingTheLook == 0) {
        // The run's look has faded from every screen: its band images go
        // too, with the heap pages they took.
        UIAutopilotTakeoverView::releaseBandImages();
        releaseFreedHeap();
    }
}

bool AutopilotOverlayLayers::isOnScreen(const QRectF& screenFrame, QPointF p)
{
    return std::isfinite(p.x()) && std::isfinite(p.y()) && frameContains(screenFrame, p);
}

void AutopilotOverlayLayers::update(const AutopilotLayerSnapshot& next)
{
    const double now = Clock::instance().now();
    advanceTo(now);
    const bool first = !m_initialised;
    m_initialised = true;
    const AutopilotLayerSnapshot previous = m_state;
    m_state = next;

    // The takeover look and both items exist only while a run is busy.
    const double takeover = next.isUIAutopilotBusy ? 1.0 : 0.0;
    if (first)
        m_takeover.jump(takeover);
    else if (previous.isUIAutopilotBusy != next.isUIAutopilotBusy)
        m_takeover.tweenTo(takeover, EasingCurve::EaseOut, UIAutopilotTakeoverView::transitionDuration, now);

    const auto cursor = next.isUIAutopilotBusy ? next.autopilotCursorLocation : std::nullopt;
    const bool shown = cursor && isOnScreen(m_screenFrame, *cursor);
    if (shown) {
        const QPointF local = localFromGlobal(m_screenFrame, *cursor);
        if (m_cursorShown && next.autopilotCursorAnimationDuration > 0) {
            if (m_cursor.target() != local)
                m_cursor.tweenTo(local, EasingCurve::EaseInOut, next.autopilotCursorAnimationDuration, now);
        } else {
            m_cursor.jump(local);
        }
    }
    m_cursorShown = shown;

    const auto click = next.isUIAutopilotBusy ? next.autopilotClickLocation : std::nullopt;
    if (click && isOnScreen(m_screenFrame, *click)) {
        const QPointF local = localFromGlobal(m_screenFrame, *click);
        if (!m_rippleCentre || next.autopilotClickID != m_rippleID) {
            // A new press (even at the same place) starts a new ring.
            m_rippleID = next.autopilotClickID;
            m_ripple.jump(0);
            m_ripple.tweenTo(1, EasingCurve::EaseOut, AutopilotClickRipple::duration, now);
        }
        m_rippleCentre = local;
    } else {
        m_rippleCentre.reset();
        m_ripple.jump(0);
    }
    publish();
}

void AutopilotOverlayLayers::advanceTo(double now)
{
    m_takeover.advance(now);
    m_cursor.advance(now);
    m_ripple.advance(now);
}

void AutopilotOverlayLayers::onFrame()
{
    advanceTo(Clock::instance().now());
    publish();
}

void AutopilotOverlayLayers::publish()
{
    updateTicker();
    const AutopilotLayersPresentation before = m_published;
    const AutopilotLayersPresentation after = presentation();
    if (after == before)
        return;
    m_published = after;
    if (showsTheLook(before) != showsTheLook(after))
        lookShownChanged(showsTheLook(after));
    // A frame of a glide that keeps the arrow on the same pixels (most of
    // a short one, the eased ends of a long one) is not drawn again.
    if (m_devicePixelRatio == 1 && drawsAlike(before, after))
        return;
    const QRegion region = dirtyRegion(before, after, m_screenFrame.size());
    if (!region.isEmpty())
        emit dirty(region);
}

bool AutopilotOverlayLayers::isAnimating() const
{
    return m_takeover.isAnimating() || (m_cursorShown && m_cursor.isAnimating())
        || (m_rippleCentre && m_ripple.isAnimating());
}

void AutopilotOverlayLayers::updateTicker()
{
    const bool wanted = isAnimating();
    if (wanted && !m_ticker->isActive())
        m_ticker->startOnGrid(kFrameInterval);
    else if (!wanted && m_ticker->isActive())
        m_ticker->stop();
}

AutopilotLayersPresentation AutopilotOverlayLayers::presentation() const
{
    // The values at this moment, between two frames too.
    const double now = Clock::instance().now();
    AnimatedScalar takeover = m_takeover, ripple = m_ripple;
    AnimatedPoint cursor = m_cursor;
    takeover.advance(now);
    cursor.advance(now);
    ripple.advance(now);
    AutopilotLayersPresentation p;
    p.takeoverProgress = takeover.value();
    if (m_cursorShown)
        p.cursorTip = cursor.value();
    if (m_rippleCentre) {
        p.rippleCentre = m_rippleCentre;
        p.rippleID = m_rippleID;
        p.rippleExpansion = ripple.value();
    }
    return p;
}

bool AutopilotOverlayLayers::drawsAlike(const AutopilotLayersPresentation& a, const AutopilotLayersPresentation& b)
{
    if (a.takeoverProgress != b.takeoverProgress || bool(a.cursorTip) != bool(b.cursorTip))
        return false;
    // The arrow's image is drawn untransformed, so at the nearest whole pixel.
    const auto pixel = [](QPointF tip) {
        const QPointF corner = AutopilotArrow::extent(tip).topLeft();
        return QPoint(qRound(corner.x()), qRound(corner.y()));
    };
    if (a.cursorTip && pixel(*a.cursorTip) != pixel(*b.cursorTip))
        return false;
    // A ring whose opacity rounds to nothing in the painter's 1/256 steps
    // leaves every pixel as it was.
    const auto ringDrawn = [](const AutopilotLayersPresentation& p) {
        return p.rippleCentre && qRound(AutopilotClickRipple::opacityAt(p.rippleExpansion) * 256) > 0;
    };
    if (ringDrawn(a) != ringDrawn(b))
        return false;
    return !ringDrawn(a) || (a.rippleCentre == b.rippleCentre && a.rippleExpansion == b.rippleExpansion);
}

QRegion AutopilotOverlayLayers::dirtyRegion(const AutopilotLayersPresentation& before,
                                            const AutopilotLayersPresentation& after, QSizeF windowSize)
{
    // Only the parts that changed are drawn again (the look stays put while
    // the cursor moves).
    QRegion region;
    if (before.takeoverProgress != after.takeoverProgress)
        region += UIAutopilotTakeoverView::paintedRegion(windowSize, before.takeoverProgress)
            + UIAutopilotTakeoverView::paintedRegion(windowSize, after.takeoverProgress);
    AutopilotLayersPresentation a = before, b = after;
    a.takeoverProgress = b.takeoverProgress = 0;
    if (!(a == b))
        region += paintedRegion(a, windowSize) + paintedRegion(b, windowSize);
    return region;
}

void AutopilotOverlayLayers::paint(QPainter& painter, const AutopilotLayersPresentation& p, QSizeF windowSize)
{
    UIAutopilotTakeoverView::paint(painter, windowSize, p.takeoverProgress);
    if (p.cursorTip)
        AutopilotArrow::paint(painter, *p.cursorTip);
    if (p.rippleCentre)
        AutopilotClickRipple::paint(painter, *p.rippleCentre, p.rippleExpansion);
}

QRegion AutopilotOverlayLayers::paintedRegion(const AutopilotLayersPresentation& p, QSizeF windowSize)
{
    QRegion region = UIAutopilotTakeoverView::paintedRegion(windowSize, p.takeoverProgress);
    if (p.cursorTip)
        region += outward(AutopilotArrow::extent(*p.cursorTip));
    if (p.rippleCentre && AutopilotClickRipple::opacityAt(p.rippleExpansion) > 0)
        region += outward(AutopilotClickRipple::extent(*p.rippleCentre));
    return region;
}

} // namespace tovrik::overlay
