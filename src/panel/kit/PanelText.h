#pragma once

#include "panel/kit/PanelFont.h"

#include <QFont>
#include <QWidget>
#include <optional>

namespace tovrik::panel {

// A text label with the panel's rules: a line limit with tail truncation
// ("…" at the end of the last allowed line), an optional shrink-to-fit down
// to a minimum scale factor, alignment, and a colour. With no explicit colour
// it follows the palette's WindowText, so a button style can colour it.
// Hovering a cut text shows it whole, word for word, in a tooltip.
class PanelText : public QWidget {
    Q_OBJECT
public:
    explicit PanelText(QString text = {}, QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return m_text; }
    void setPanelFont(double points, FontWeight weight);
    void setColor(const QColor& color);
    void clearColor();
    void setMaxLines(int lines);              // 0 = unlimited
    void setMinimumScaleFactor(double factor); // 1 = no shrinking
    void setAlignment(Qt::Alignment alignment);
    // Fixed size: the label keeps its ideal width and never truncates for
    // lack of width.
    void setFixedToIdealWidth(bool fixed);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

    // What the label shows at its current width (after truncation), line by
    // line, and the font size actually used; for tests and accessibility.
    QStringList displayedLines() const;
    double effectivePointSize() const;
    // Whether the line limit or the width cut the text; a cut text shows
    // whole in the label's tooltip (unless an explicit tooltip is set).
    bool isCut() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent*) override;
    void changeEvent(QEvent* event) override;

private:
    struct Layout {
        QStringList lines;
        double points = 0;
        double lineHeight = 0;
    };
    Layout layoutFor(double width) const;
    Layout computeLayout(double width, const QFont& base) const;
    void invalidate();

    struct CachedLayout {
        double width = 0;
        QFont font;
        Layout layout;
    };
    // The last few widths asked for (a layout pass asks at several).
    mutable QList<CachedLayout> m_cachedLayouts;

    QString m_text;
    double m_points = 13;
    FontWeight m_weight = FontWeight::Regular;
    std::optional<QColor> m_color;
    int m_maxLines = 0;
    double m_minScale = 1.0;
    Qt::Alignment m_alignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool m_fixedIdeal = false;
};

} // namespace tovrik::panel
