#include "overlay/views/CursorBadges.h"

#include "common/Constants.h"
#include "overlay/views/GaussianBlur.h"

#include <QDateTime>
#include <QHash>
#include <QPainterPath>
#include <cmath>

namespace tovrik::overlay {

namespace {

constexpr double glowBlur = 9;

QPainterPath roundedCard(const QRectF& rect, double radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// The glow of a card of one size and radius, cached (two cards exist).
const QImage& cardGlow(QSizeF size, double radius, double dpr)
{
    static QHash<QString, QImage> cache;
    const QString key = QStringLiteral("%1x%2r%3@%4").arg(size.width()).arg(size.height()).arg(radius).arg(dpr);
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.insert(key, blurredShapeImage(roundedCard(QRectF(QPointF(0, 0), size), radius),
                                                 QColor(35, 143, 255), glowBlur, dpr));
    return *it;
}

} // namespace

double secondsSinceReferenceDate()
{
    static const qint64 reference = QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    return (QDateTime::currentMSecsSinceEpoch() - reference) / 1000.0;
}

void paintBadgeCardBackground(QPainter& painter, const QRectF& card, double radius, double alpha)
{
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage& glow = cardGlow(card.size(), radius, dpr);
    const double margin = blurMargin(glowBlur);
    const double outer = painter.opacity();
    // The glow colour carries alpha × 0.72; the card itself is drawn at alpha.
    painter.setOpacity(outer * alpha * 0.72);
    painter.drawImage(QRectF(card.left() - margin, card.top() - margin, card.width() + 2 * margin,
                             card.height() + 2 * margin),
                      glow);
    painter.setOpacity(outer * alpha);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(roundedCard(card, radius), QColor(24, 24, 24, 240));
    painter.setClipPath(roundedCard(card, radius), Qt::IntersectClip);
}

void paintBadgeCardBorder(QPainter& painter, const QRectF& card, double radius)
{
    QPen border(QColor(42, 145, 255, 122), 1, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    border.setMiterLimit(10);
    painter.strokePath(roundedCard(card, radius), border);
}

double BlueCursorWaveformView::normalizedLevel(double level)
{
    if (!std::isfinite(level) && !(level > 0))
        return 0; // NaN and −∞
    const double above = level - 0.008;
    if (!(above > 0))
        return 0;
    return std::min(above * 2.85, 1.0);
}

double BlueCursorWaveformView::barHeight(int i, double level, double T)
{
    const double n = normalizedLevel(level);
    const double weight = (i >= 0 && i < barCount) ? listeningBarProfile[i] : 0;
    return 3 + 10 * std::pow(n, 0.76) * weight + 0.75 * (1 + std::sin(0.35 * i + 3.6 * T));
}

void BlueCursorWaveformView::paint(QPainter& painter, QPointF centre) const
{
    paintBadgeCard(painter, centre, cardSize, cornerRadius, alpha, [this](QPainter& p) {
        constexpr double barWidth = 2;
        constexpr double spacing = 2;
        const double rowWidth = barCount * barWidth + (barCount - 1) * spacing;
        double x = (cardSize.width() - rowWidth) / 2;
        p.setPen(Qt::NoPen);
        p.setBrush(constants::cursorGuideBaseColor);
        for (int i = 0; i < barCount; ++i) {
            const double h = barHeight(i);
            const QRectF bar(x, (cardSize.height() - h) / 2, barWidth, h);
            const double r = std::min(1.5, barWidth / 2);
            p.drawRoundedRect(bar, r, r);
            x += barWidth + spacing;
        }
    });
}

double BlueCursorSpinnerView::rotationAt(double elapsed)
{
    if (!(elapsed > 0))
        return 0;
    return std::fmod(elapsed / turnDuration, 1.0) * 360;
}

void BlueCursorSpinnerView::paint(QPainter& painter, QPointF centre) const
{
    paintBadgeCard(painter, centre, cardSize, cornerRadius, alpha, [this](QPainter& p) {
        p.translate(cardSize.width() / 2, cardSize.height() / 2);
        p.rotate(rotationDegrees);
        QPen pen(constants::cursorGuideBaseColor, arcLineWidth, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
        pen.setMiterLimit(10);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const QRectF circle(-arcDiameter / 2, -arcDiameter / 2, arcDiameter, arcDiameter);
        // From the circle's rightmost point, clockwise on screen.
        p.drawArc(circle, 0, -int(std::lround(arcFraction * 360 * 16)));
    });
}

} // namespace tovrik::overlay
