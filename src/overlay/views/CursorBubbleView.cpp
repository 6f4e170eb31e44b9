#include "overlay/views/CursorBubbleView.h"

#include "common/Constants.h"
#include "common/TextLines.h"
#include "overlay/views/GaussianBlur.h"
#include "overlay/views/ImageCanvas.h"

#include <QGuiApplication>
#include <QHash>
#include <QPainterPath>
#include <QTextOption>
#include <cmath>

namespace tovrik::overlay {

namespace {

double textBlockWidth(double offeredWidth)
{
    const double available = offeredWidth - 2 * CursorBubbleView::horizontalPadding;
    if (!(available > 0))
        return 0;
    return std::min(available, CursorBubbleView::maxTextWidth);
}

// Lays the text out in a block of `width`; returns the height and leaves the
// lines positioned (each line's y includes the extra line spacing). The text's
// own line breaks must already be U+2028: the layout breaks at no other.
double layoutText(QTextLayout& layout, double width)
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setAlignment(Qt::AlignLeading);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    double y = 0;
    int lines = 0;
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (lines > 0)
            y += CursorBubbleView::lineSpacing;
        line.setPosition(QPointF(0, y));
        y += line.height();
        ++lines;
    }
    layout.endLayout();
    return y;
}

const QImage& bubbleGlow(QSizeF size, double dpr)
{
    static QHash<QString, QImage> cache;
    const QString key = QStringLiteral("%1x%2@%3").arg(size.width()).arg(size.height()).arg(dpr);
    auto it = cache.find(key);
    if (it == cache.end()) {
        if (cache.size() > 32)
            cache.clear(); // answers of many heights: keep the cache small
        QPainterPath shape;
        shape.addRoundedRect(QRectF(QPointF(0, 0), size), CursorBubbleView::cornerRadius, CursorBubbleView::cornerRadius);
        it = cache.insert(key, blurredShapeImage(shape, constants::turquoiseAccent(), CursorBubbleView::glowBlur, dpr));
    }
    return *it;
}

} // namespace

CursorBubbleView::CursorBubbleView(QString text, double opacity, double accentOpacity)
    : text(std::move(text)), opacity(opacity), accentOpacity(accentOpacity)
{
}

QFont CursorBubbleView::font()
{
    QFont f = QGuiApplication::font();
    f.setPixelSize(11);
    f.setWeight(QFont::Medium);
    return f;
}

double CursorBubbleView::wrappedTextHeight(const QString& text, double width)
{
    QTextLayout layout(withLayoutLineBreaks(text), font());
    return layoutText(layout, width);
}

QSizeF CursorBubbleView::sizeThatFits(double offeredWidth) const
{
    const double width = textBlockWidth(offeredWidth);
    return QSizeF(width + 2 * horizontalPadding, wrappedTextHeight(text, width) + 2 * verticalPadding);
}

namespace {

// Draws the bubble (glow, fill, text) with its top-left corner at `topLeft`,
// at full opacity.
void drawBubble(QPainter& painter, const CursorBubbleView& bubble, QPointF topLeft, double offeredWidth)
{
    const double width = textBlockWidth(offeredWidth);
    QTextLayout layout(withLayoutLineBreaks(bubble.text), CursorBubbleView::font());
    const double textHeight = layoutText(layout, width);
    const QSizeF size(width + 2 * CursorBubbleView::horizontalPadding, textHeight + 2 * CursorBubbleView::verticalPadding);
    const QRectF rect(topLeft, size);
    const double outer = painter.opacity();
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double margin = blurMargin(CursorBubbleView::glowBlur);
    painter.setOpacity(outer * bubble.glowOpacity());
    painter.drawImage(rect.adjusted(-margin, -margin, margin, margin), bubbleGlow(size, dpr));
    painter.setOpacity(outer);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QPainterPath background;
    background.addRoundedRect(rect, CursorBubbleView::cornerRadius, CursorBubbleView::cornerRadius);
    painter.fillPath(background, constants::turquoiseAccent());
    painter.setPen(Qt::white);
    layout.draw(&painter, topLeft + QPointF(CursorBubbleView::horizontalPadding, CursorBubbleView::verticalPadding));
}

} // namespace

void CursorBubbleView::paint(QPainter& painter, QPointF topLeft, double offeredWidth) const
{
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    const QTransform& world = painter.worldTransform();
    if (world.type() > QTransform::TxTranslate) {
        drawBubble(painter, *this, topLeft, offeredWidth);
        painter.restore();
        return;
    }
    // A bubble that moves with the companion is drawn from a cached image of
    // itself (laid out, glow included) placed on whole pixels; a new text,
    // width or glow strength renders it afresh.
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double margin = blurMargin(glowBlur);
    const QSizeF size = sizeThatFits(offeredWidth);
    const QString key = QStringLiteral("%1|%2|%3|%4").arg(offeredWidth).arg(accentOpacity).arg(dpr).arg(text);
    static QHash<QString, QImage> cache;
    auto it = cache.find(key);
    if (it == cache.end()) {
        if (cache.size() >= 8)
            cache.clear();
        QImage image(QSizeF((size.width() + 2 * margin) * dpr, (size.height() + 2 * margin) * dpr).toSize(),
                     QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(dpr);
        image.fill(Qt::transparent);
        {
            ImageCanvas canvas(image);
            QPainter p(canvas.device());
            drawBubble(p, CursorBubbleView(text, 1.0, accentOpacity), QPointF(margin, margin), offeredWidth);
        }
        it = cache.insert(key, image);
    }
    const QPointF device = world.map(topLeft);
    const QPointF whole(std::round(device.x()), std::round(device.y()));
    const QPointF origin = world.inverted().map(whole) - QPointF(margin, margin);
    painter.drawImage(origin, *it);
    painter.restore();
}

} // namespace tovrik::overlay
