#include "overlay/views/AgentActivityView.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "common/TextLines.h"
#include "overlay/AgentActivityWindowController.h"
#include "overlay/views/GaussianBlur.h"
#include "overlay/views/TovrikMenuBarPointerShape.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHash>
#include <QPainterPath>
#include <QTextLayout>
#include <cmath>

namespace tovrik::overlay {

namespace {

constexpr double kFrameInterval = 1.0 / 60.0;
constexpr double kExpandDuration = 0.14;
constexpr QSizeF kTile{42, 42};

QColor white(double opacity) { return QColor::fromRgbF(1, 1, 1, float(opacity)); }
QColor rgb(double r, double g, double b, double a = 1) { return QColor::fromRgbF(float(r), float(g), float(b), float(a)); }
QColor accent(double opacity = 1)
{
    QColor c = constants::turquoiseAccent();
    c.setAlphaF(float(opacity));
    return c;
}

QFont systemFont(double size, QFont::Weight weight, bool monospaced = false)
{
    QFont f = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QGuiApplication::font();
    f.setPixelSize(int(size));
    f.setWeight(weight);
    return f;
}

QPainterPath rounded(const QRectF& r, double radius)
{
    QPainterPath p;
    p.addRoundedRect(r, radius, radius);
    return p;
}

QPainterPath capsule(const QRectF& r) { return rounded(r, std::min(r.width(), r.height()) / 2); }

void glow(QPainter& painter, const QPainterPath& shape, const QColor& color, double radius, QPointF offset = {})
{
    // Every glow of the panel is of a fixed shape: blur each once.
    static QHash<QString, QImage> cache;
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QRectF bounds = shape.boundingRect();
    const QString key = QStringLiteral("%1,%2,%3,%4|%5|%6|%7")
                            .arg(bounds.x()).arg(bounds.y()).arg(bounds.width()).arg(bounds.height())
                            .arg(color.rgb()).arg(radius).arg(dpr);
    auto it = cache.find(key);
    if (it == cache.end()) {
        if (cache.size() > 32)
            cache.clear();
        QColor opaque = color;
        opaque.setAlpha(255);
        it = cache.insert(key, blurredShapeImage(shape, opaque, radius, dpr));
    }
    const double m = blurMargin(radius);
    painter.save();
    painter.setOpacity(painter.opacity() * color.alphaF());
    painter.drawImage(bounds.topLeft() - QPointF(m, m) + offset, *it);
    painter.restore();
}

// Draws `text` wrapped to `width` from `topLeft`, at most `maxLines` lines;
// returns the height used.
double drawText(QPainter& painter, const QString& text, const QFont& font, const QColor& color, QPointF topLeft,
                double width, int maxLines, bool draw = true)
{
    QTextLayout layout(withLayoutLineBreaks(text), font); // the log's own lines stay lines
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    double y = 0;
    layout.beginLayout();
    for (int n = 0; n < maxLines; ++n) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    if (draw) {
        painter.setPen(color);
        layout.draw(&painter, topLeft);
    }
    return y;
}

} // namespace

// ---------------------------------------------------------------- progress bar

double AgentActivityProgressBar::highlightWidth(double trackWidth) { return std::max(0.36 * trackWidth, 52.0); }

double AgentActivityProgressBar::offsetAt(double elapsed)
{
    if (!std::isfinite(elapsed) || elapsed < 0)
        return initialOffset;
    const double phase = std::fmod(elapsed, sweepDuration) / sweepDuration;
    return initialOffset + (finalOffset - initialOffset) * phase;
}

void AgentActivityProgressBar::paint(QPainter& painter, const QRectF& track, double offset)
{
    painter.save();
    painter.setClipPath(capsule(track), Qt::IntersectClip);
    const double w = highlightWidth(track.width());
    const QRectF highlight(track.left() + highlightX(track.width(), offset), track.top(), w, height);
    QLinearGradient g(highlight.topLeft(), highlight.topRight());
    g.setColorAt(0, accent(0.1));
    g.setColorAt(0.5, accent(0.95));
    g.setColorAt(1, accent(0.1));
    painter.fillPath(capsule(highlight), g);
    painter.restore();
}

// ---------------------------------------------------------------- step icons

void paintStepSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QRectF r = box.adjusted(3, 3, -3, -3); // a 14-point glyph in its 20-point frame
    const QPointF c = r.center();
    if (name == QLatin1String("terminal")) {
        painter.drawRoundedRect(r.adjusted(0, 1, 0, -1), 2.5, 2.5);
        painter.drawPolyline(QPolygonF({r.topLeft() + QPointF(3, 4), r.topLeft() + QPointF(6, 7),
                                        r.topLeft() + QPointF(3, 10)}));
        painter.drawLine(r.topLeft() + QPointF(7.5, 10), r.topLeft() + QPointF(11, 10));
    } else if (name == QLatin1String("line.3.horizontal")) {
        for (double dy : {-4.5, 0.0, 4.5})
            painter.drawLine(QPointF(r.left() + 1, c.y() + dy), QPointF(r.right() - 1, c.y() + dy));
    } else if (name == QLatin1String("safari")) {
        painter.drawEllipse(r);
        QPainterPath needle;
        needle.moveTo(c + QPointF(3.5, -3.5));
        needle.lineTo(c + QPointF(1.2, 1.2));
        needle.lineTo(c + QPointF(-3.5, 3.5));
        needle.lineTo(c + QPointF(-1.2, -1.2));
        needle.closeSubpath();
        painter.fillPath(needle, color);
    } else if (name == QLatin1String("folder")) {
        QPainterPath folder;
        folder.moveTo(r.left(), r.bottom() - 1);
        folder.lineTo(r.left(), r.top() + 2);
        folder.lineTo(r.left() + 5, r.top() + 2);
        folder.lineTo(r.left() + 6.5, r.top() + 4);
        folder.lineTo(r.right(), r.top() + 4);
        folder.lineTo(r.right(), r.bottom() - 1);
        folder.closeSubpath();
        painter.drawPath(folder);
    } else { // sparkles: one large and one small four-pointed star
        const auto star = [&](QPointF at, double s) {
            QPainterPath p;
            p.moveTo(at + QPointF(0, -s));
            p.quadTo(at, at + QPointF(s, 0));
            p.quadTo(at, at + QPointF(0, s));
            p.quadTo(at, at + QPointF(-s, 0));
            p.quadTo(at, at + QPointF(0, -s));
            painter.fillPath(p, color);
        };
        star(c + QPointF(-1.5, 1), 6);
        star(c + QPointF(4.5, -4.5), 3);
    }
    painter.restore();
}

// ---------------------------------------------------------------- view

AgentActivityView::AgentActivityView(AgentActivityWindowController* controller, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_ticker(new ClockTimer(this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_Hover);
    setMouseTracking(true);
    connect(m_ticker, &ClockTimer::timeout, this, &AgentActivityView::tick);
    if (controller) {
        connect(controller, &AgentActivityWindowController::changed, this, &AgentActivityView::controllerChanged);
        m_expanded = controller->isExpanded();
    }
    m_expansion.jump(m_expanded ? 1 : 0);
    m_sweepStart = Clock::instance().now();
}

AgentActivityView::~AgentActivityView() = default;

QString AgentActivityView::shownLogName(const QString& logLocation)
{
    return logLocation.isEmpty() ? QString() : QFileInfo(logLocation).fileName();
}

QString AgentActivityView::shownLogText(const QString& logTail)
{
    return logTail.isEmpty() ? QStringLiteral("Waiting for Codex logs...") : logTail;
}

double AgentActivityView::expansion() const { return m_expansion.value(); }

void AgentActivityView::controllerChanged()
{
    if (m_controller && m_controller->isExpanded() != m_expanded) {
        m_expanded = m_controller->isExpanded();
        const double now = Clock::instance().now();
        if (m_expanded && m_expansion.value() <= 0)
            m_sweepStart = now; // the card comes on screen: its sweep starts over
        m_expansion.tweenTo(m_expanded ? 1 : 0, EasingCurve::EaseInOut, kExpandDuration, now);
    }
    updateTicker();
    update();
}

void AgentActivityView::tick()
{
    m_expansion.advance(Clock::instance().now());
    updateTicker();
    update();
}

void AgentActivityView::updateTicker()
{
    // Frames while the card animates or its bar sweeps on screen.
    const bool wanted = isVisible() && (m_expansion.isAnimating() || m_expansion.value() > 0);
    if (wanted && !m_ticker->isActive())
        m_ticker->start(kFrameInterval, true);
    else if (!wanted && m_ticker->isActive())
        m_ticker->stop();
}

void AgentActivityView::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    if (m_controller)
        m_controller->hoverChanged(true);
}

void AgentActivityView::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    if (m_controller)
        m_controller->hoverChanged(false);
}

void AgentActivityView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    updateTicker();
}

void AgentActivityView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    updateTicker();
}

void AgentActivityView::paintActivityIcon(QPainter& painter, QPointF topRight) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile(topRight - QPointF(kTile.width(), 0), kTile);
    const QPainterPath tilePath = rounded(tile, 13);
    glow(painter, tilePath, accent(0.28), 12);
    painter.fillPath(tilePath, QColor::fromRgbF(0, 0, 0, 0.82f));
    painter.strokePath(tilePath, QPen(white(0.12), 1));

    // The pointer glyph: a 22 × 22 frame rotated −6° about its centre, the
    // centre 22 points from the tile's left and 21 from its top.
    const QPointF centre = tile.topLeft() + QPointF(22, 21);
    QTransform t;
    t.translate(centre.x(), centre.y());
    t.rotate(-6);
    t.translate(-11, -11);
    const QPainterPath glyph = t.map(TovrikMenuBarPointerShape::path(QRectF(0, 0, 22, 22)));
    glow(painter, glyph, accent(0.65), 7);
    const QRectF frame = t.mapRect(QRectF(0, 0, 22, 22));
    QLinearGradient fill(frame.topLeft(), frame.bottomRight());
    fill.setColorAt(0, constants::cursorGuideLightColor);
    fill.setColorAt(0.5, constants::cursorGuideMidColor);
    fill.setColorAt(1, constants::turquoiseAccent());
    painter.fillPath(glyph, fill);
    QPen outline(white(0.92), 0.9, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    outline.setMiterLimit(10);
    painter.strokePath(glyph, outline);

    // The status dot in the top-right corner.
    QPainterPath dot;
    dot.addEllipse(QRectF(tile.right() - 5 - 7, tile.top() + 5, 7, 7));
    const QColor green = rgb(0.25, 0.95, 0.5);
    glow(painter, dot, rgb(0.25, 0.95, 0.5, 0.7), 4);
    painter.fillPath(dot, green);
    painter.restore();
}

void AgentActivityView::paintActivityCard(QPainter& painter, QPointF topRight, double progressOffset) const
{
    if (!m_controller)
        return;
    const auto& c = *m_controller;
    const QSizeF size = AgentActivityWindowController::expandedSize;
    const QRectF card(topRight - QPointF(size.width(), 0), size);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QPainterPath background = rounded(card, 18);
    glow(painter, background, QColor::fromRgbF(0, 0, 0, 0.34f), 18, QPointF(0, 12));
    painter.fillPath(background, QColor::fromRgbF(0, 0, 0, 0.84f));
    QLinearGradient sheen(card.topLeft(), card.bottomLeft());
    sheen.setColorAt(0, white(0.08));
    sheen.setColorAt(1, Qt::transparent);
    painter.fillPath(background, sheen);
    painter.strokePath(background, QPen(white(0.1), 1));

    const QRectF content = card.adjusted(16, 15, -58, -15);
    double y = content.top();

    // Header: title, flexible space, "Running" pill.
    const QFont titleFont = systemFont(13, QFont::Black);
    const QFont pillFont = systemFont(11, QFont::Bold);
    const QString pillText = QStringLiteral("Running");
    const QFontMetricsF pm(pillFont), tm(titleFont);
    const QSizeF pill(pm.horizontalAdvance(pillText) + 16, pm.height() + 8);
    const double headerHeight = std::max(pill.height(), tm.height());
    const QRectF pillRect(content.right() - pill.width(), y + (headerHeight - pill.height()) / 2, pill.width(), pill.height());
    painter.setFont(titleFont);
    painter.setPen(white(0.92));
    painter.drawText(QRectF(content.left(), y, pillRect.left() - 10 - content.left(), headerHeight),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     tm.elidedText(AgentActivityView::shownTitle(c.title()), Qt::ElideRight, pillRect.left() - 10 - content.left()));
    painter.fillPath(capsule(pillRect), rgb(0.08, 0.24, 0.13, 0.82));
    painter.setFont(pillFont);
    painter.setPen(rgb(0.53, 1.0, 0.64));
    painter.drawText(pillRect, Qt::AlignCenter, pillText);
    y += headerHeight + 10;

    // Step: icon and the step text (at most two lines).
    paintStepSymbol(painter, AgentActivityWindowController::stepSymbolName(c.detail()), QRectF(content.left(), y, 20, 20),
                    accent());
    const double detailHeight = drawText(painter, c.detail(), systemFont(12, QFont::DemiBold), white(0.68),
                                         QPointF(content.left() + 30, y), content.width() - 30, 2);
    y += std::max(20.0, detailHeight) + 10;

    // Live log box.
    const QFont logFont = systemFont(9, QFont::DemiBold, true);
    const QString logText = shownLogText(c.logTail());
    const double logHeight = drawText(painter, logText, logFont, Qt::transparent, {}, content.width() - 20, 5, false);
    const QFont liveFont = systemFont(9, QFont::Bold);
    const double headerLine = QFontMetricsF(liveFont).height();
    const QRectF box(content.left(), y, content.width(), std::max(72.0, 8 + headerLine + 5 + logHeight + 8));
    const QPainterPath boxPath = rounded(box, 10);
    painter.fillPath(boxPath, white(0.055));
    painter.strokePath(boxPath, QPen(white(0.075), 1));
    painter.setFont(liveFont);
    painter.setPen(accent(0.9));
    const QString live = QStringLiteral("Live log");
    painter.drawText(QRectF(box.left() + 10, box.top() + 8, box.width() - 20, headerLine), Qt::AlignLeft | Qt::AlignVCenter,
                     live);
    const QString logName = shownLogName(c.logLocation());
    if (!logName.isEmpty()) {
        const QFont nameFont = systemFont(8, QFont::DemiBold, true);
        const double nameLeft = box.left() + 10 + QFontMetricsF(liveFont).horizontalAdvance(live) + 6;
        const double nameWidth = box.right() - 10 - nameLeft;
        painter.setFont(nameFont);
        painter.setPen(white(0.34));
        painter.drawText(QRectF(nameLeft, box.top() + 8, nameWidth, headerLine), Qt::AlignRight | Qt::AlignVCenter,
                         QFontMetricsF(nameFont).elidedText(logName, Qt::ElideMiddle, nameWidth));
    }
    drawText(painter, logText, logFont, white(logTextOpacity(c.logTail())), QPointF(box.left() + 10, box.top() + 8 + headerLine + 5),
             box.width() - 20, 5);
    y = box.bottom() + 10;

    // Progress: the track under the sweeping bar.
    const QRectF track(content.left(), y, content.width(), AgentActivityProgressBar::height);
    painter.fillPath(capsule(track), white(0.08));
    AgentActivityProgressBar::paint(painter, track, progressOffset);
    painter.restore();
}

void AgentActivityView::paintEvent(QPaintEvent*)
{
    m_expansion.advance(Clock::instance().now());
    QPainter painter(this);
    const double e = std::clamp(m_expansion.value(), 0.0, 1.0);
    const QPointF topRight(width(), 0);
    if (e > 0) {
        painter.save();
        painter.setOpacity(e);
        const double s = 0.98 + 0.02 * e;
        painter.translate(topRight);
        painter.scale(s, s);
        painter.translate(-topRight);
        paintActivityCard(painter, topRight,
                          AgentActivityProgressBar::offsetAt(Clock::instance().now() - m_sweepStart));
        painter.restore();
    }
    const double pad = 10 * e;
    paintActivityIcon(painter, topRight + QPointF(-pad, pad));
}

} // namespace tovrik::overlay
