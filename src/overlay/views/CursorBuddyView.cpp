#include "overlay/views/CursorBuddyView.h"

#include "overlay/OverlayWindowController.h"
#include "overlay/views/CursorBadges.h"
#include "overlay/views/CursorBubbleView.h"
#include "overlay/views/CursorGuideIcon.h"
#include "overlay/views/GaussianBlur.h"

#include <QPaintEvent>
#include <QPainter>
#include <cmath>

namespace tovrik::overlay {

namespace {

QRect outward(const QRectF& r) { return r.toAlignedRect().adjusted(-1, -1, 1, 1); }

QRectF around(QPointF centre, double width, double height)
{
    return QRectF(centre.x() - width / 2, centre.y() - height / 2, width, height);
}

// What the glyph colours around its centre at scale 1: the glow's coloured
// part and the icon's image (twice its size, square, moved by its shift).
QRectF glyphBounds()
{
    static const QRectF bounds = [] {
        const double iconSide = 2 * 32 + 1;
        const QRectF icon = around(TovrikCursorGuideIcon::shift, iconSide, iconSide);
        return TovrikCursorHaloView::drawnBounds().united(icon);
    }();
    return bounds;
}

} // namespace

CursorBuddyView::CursorBuddyView(OverlayWindowController* controller, uint32_t displayID, QRectF screenFrame,
                                 QWidget* parent, CursorBuddyModel::PointerSource pointer)
    : QWidget(parent)
    , m_controller(controller)
    , m_model(new CursorBuddyModel(displayID, screenFrame, std::move(pointer), this))
    , m_autopilot(new AutopilotOverlayLayers(screenFrame, this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    resize(screenFrame.size().toSize());
    connect(m_model, &CursorBuddyModel::presentationChanged, this, &CursorBuddyView::presentationChanged);
    if (controller)
        connect(controller, &OverlayWindowController::changed, this, &CursorBuddyView::controllerChanged);
    m_model->appear(controller ? OverlayViewSnapshot::of(*controller) : OverlayViewSnapshot());
    m_painted = m_model->presentation();
    // UI Autopilot layers: they follow the controller on their own and
    // repaint only what they dirty.
    connect(m_autopilot, &AutopilotOverlayLayers::dirty, this, [this](const QRegion& r) { update(r); });
    m_autopilot->setDevicePixelRatio(devicePixelRatioF());
    m_autopilot->update(controller ? AutopilotLayerSnapshot::of(*controller) : AutopilotLayerSnapshot());
}

CursorBuddyView::~CursorBuddyView() { m_model->disappear(); }

void CursorBuddyView::controllerChanged()
{
    if (!m_controller)
        return;
    m_model->update(OverlayViewSnapshot::of(*m_controller));
    m_autopilot->update(AutopilotLayerSnapshot::of(*m_controller));
}

void CursorBuddyView::presentationChanged()
{
    const CursorBuddyPresentation next = m_model->presentation();
    if (next == m_painted)
        return;
    const QRegion dirty = paintedRegion(m_painted) + paintedRegion(next);
    m_painted = next;
    if (!dirty.isEmpty())
        update(dirty);
}

QRegion CursorBuddyView::paintedRegion(const CursorBuddyPresentation& p)
{
    QRegion region;
    if (p.glyphOpacity > 0) {
        const double scale = std::max(p.glyphScale, 0.0);
        const QRectF b = glyphBounds();
        // The swollen glow is a copy scaled in steps of 1 %, placed on
        // whole pixels: a pixel of slack on every side.
        region += outward(QRectF(p.glyphCentre + b.topLeft() * scale, b.size() * scale).adjusted(-1, -1, 1, 1));
    }
    if (p.bubbleShown) {
        const double m = blurMargin(CursorBubbleView::glowBlur);
        region += outward(QRectF(p.bubbleTopLeft, p.bubbleSize).adjusted(-m, -m, m, m));
    }
    const double cardMargin = 2 * blurMargin(9);
    if (p.waveformOpacity > 0)
        region += outward(around(p.badgeCentre, BlueCursorWaveformView::cardSize.width() + cardMargin,
                                 BlueCursorWaveformView::cardSize.height() + cardMargin));
    if (p.spinnerOpacity > 0)
        region += outward(around(p.badgeCentre, BlueCursorSpinnerView::cardSize.width() + cardMargin,
                                 BlueCursorSpinnerView::cardSize.height() + cardMargin));
    return region;
}

void CursorBuddyView::paintPresentation(QPainter& painter, const CursorBuddyPresentation& p, double screenWidth)
{
    painter.setRenderHint(QPainter::Antialiasing);
    // The backdrop (black at opacity 0.001) rounds to alpha 0 in an 8-bit
    // surface, so it adds nothing to the translucent window and is not drawn.
    if (p.bubbleShown) {
        const CursorBubbleView bubble(p.bubbleText, 1.0, p.bubbleAccentOpacity);
        bubble.paint(painter, p.bubbleTopLeft, screenWidth);
    }
    if (p.glyphOpacity > 0) {
        painter.save();
        painter.translate(p.glyphCentre);
        painter.scale(p.glyphScale, p.glyphScale);
        painter.setOpacity(p.glyphOpacity);
        TovrikCursorHaloView::paint(painter, QPointF(0, 0));
        TovrikCursorGuideIcon(p.glyphAngle, 32, p.morphProgress).paint(painter, QPointF(0, 0));
        painter.restore();
    }
    if (p.waveformOpacity > 0) {
        painter.save();
        painter.setOpacity(p.waveformOpacity);
        BlueCursorWaveformView(p.audioPowerLevel, p.badgeAlpha, p.waveformDate).paint(painter, p.badgeCentre);
        painter.restore();
    }
    if (p.spinnerOpacity > 0) {
        painter.save();
        painter.setOpacity(p.spinnerOpacity);
        BlueCursorSpinnerView(p.badgeAlpha, p.spinnerRotation).paint(painter, p.badgeCentre);
        painter.restore();
    }
}

void CursorBuddyView::paintEvent(QPaintEvent* event)
{
    m_autopilot->setDevicePixelRatio(devicePixelRatioF());
    QPainter painter(this);
    painter.setClipRegion(event->region());
    AutopilotOverlayLayers::paint(painter, m_autopilot->painted(), size());
    paintPresentation(painter, m_painted, width());
}

} // namespace tovrik::overlay
