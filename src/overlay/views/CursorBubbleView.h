#pragma once

// The blue label beside the companion cursor that carries a status line or
// the spoken answer. The text wraps into a block at most 280 points wide and
// is never truncated; with its padding the bubble is 296 points wide in the
// overlay and as tall as the wrapped text plus 8.

#include <QFont>
#include <QPainter>
#include <QSizeF>
#include <QString>
#include <QTextLayout>
#include <limits>
#include <memory>

namespace tovrik::overlay {

// The channel by which the bubble's rendered size reaches the cursor view:
// the zero size by default; of several reports in one pass the last wins.
struct OverlayBubbleSizePreferenceKey {
    static QSizeF defaultValue() { return QSizeF(0, 0); }
    static void reduce(QSizeF& value, const QSizeF& next) { value = next; }
};

class CursorBubbleView {
public:
    CursorBubbleView(QString text, double opacity, double accentOpacity);

    QString text;          // shown exactly as passed in
    double opacity;        // of the whole bubble
    double accentOpacity;  // strength of the glow

    static constexpr double maxTextWidth = 280;
    static constexpr double horizontalPadding = 8;
    static constexpr double verticalPadding = 4;
    static constexpr double cornerRadius = 6;
    static constexpr double lineSpacing = 3;
    static constexpr double glowBlur = 10;

    // The system font at 11 points, medium weight.
    static QFont font();
    // Opacity of the glow's colour.
    double glowOpacity() const { return accentOpacity * 0.55; }

    // The bubble's size when offered `offeredWidth` points (the whole screen
    // in the overlay): the text block takes min(offered − 16, 280).
    QSizeF sizeThatFits(double offeredWidth = std::numeric_limits<double>::infinity()) const;
    // Height of the wrapped text alone in a block `width` points wide.
    static double wrappedTextHeight(const QString& text, double width);

    // Draws the bubble with its top-left corner at `topLeft`, laid out for
    // `offeredWidth`.
    void paint(QPainter& painter, QPointF topLeft, double offeredWidth = std::numeric_limits<double>::infinity()) const;
};

} // namespace tovrik::overlay
