#include "panel/kit/PanelText.h"

#include "common/TextLines.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextLayout>
#include <QToolTip>
#include <cmath>

namespace tovrik::panel {

PanelText::PanelText(QString text, QWidget* parent) : QWidget(parent), m_text(std::move(text))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void PanelText::invalidate()
{
    m_cachedLayouts.clear();
    updateGeometry();
    update();
}

void PanelText::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    invalidate();
}

void PanelText::setPanelFont(double points, FontWeight weight)
{
    m_points = points;
    m_weight = weight;
    invalidate();
}

void PanelText::setColor(const QColor& color)
{
    m_color = color;
    update();
}

void PanelText::clearColor()
{
    m_color.reset();
    update();
}

void PanelText::setMaxLines(int lines)
{
    m_maxLines = std::max(0, lines);
    invalidate();
}

void PanelText::setMinimumScaleFactor(double factor)
{
    m_minScale = std::clamp(factor, 0.1, 1.0);
    invalidate();
}

void PanelText::setAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment;
    update();
}

void PanelText::setFixedToIdealWidth(bool fixed)
{
    m_fixedIdeal = fixed;
    setSizePolicy(fixed ? QSizePolicy::Fixed : QSizePolicy::Preferred, sizePolicy().verticalPolicy());
    invalidate();
}

namespace {

// Breaks `text` into lines no wider than `width` (explicit line breaks kept).
QStringList wrap(const QString& text, const QFont& font, double width)
{
    QStringList lines;
    const QStringList paragraphs = splitLines(text);
    for (const QString& para : paragraphs) {
        QTextLayout layout(para, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        bool any = false;
        for (;;) {
            QTextLine line = layout.createLine();
            if (!line.isValid())
                break;
            line.setLineWidth(std::max(1.0, width));
            lines << para.mid(line.textStart(), line.textLength()).trimmed();
            any = true;
        }
        layout.endLayout();
        if (!any)
            lines << QString();
    }
    return lines;
}

} // namespace

PanelText::Layout PanelText::layoutFor(double width) const
{
    // Asked for at every layout pass and paint, at a few widths: the last
    // layouts are kept for their width and font (the system font and the
    // screen's dots per inch make the font).
    constexpr qsizetype kKept = 4;
    const QFont base = panelFont(m_points, m_weight);
    for (qsizetype i = 0; i < m_cachedLayouts.size(); ++i) {
        if (m_cachedLayouts[i].width == width && m_cachedLayouts[i].font == base) {
            if (i > 0)
                m_cachedLayouts.move(i, 0);
            return m_cachedLayouts.front().layout;
        }
    }
    Layout out = computeLayout(width, base);
    m_cachedLayouts.prepend(CachedLayout{width, base, out});
    if (m_cachedLayouts.size() > kKept)
        m_cachedLayouts.removeLast();
    return out;
}

PanelText::Layout PanelText::computeLayout(double width, const QFont& base) const
{
    Layout out;
    const double natural = QFontMetricsF(base).horizontalAdvance(m_text);
    double points = m_points;
    // Shrink a one-line label until it fits, down to the minimum scale.
    if (m_minScale < 1.0 && m_maxLines == 1 && !m_fixedIdeal && natural > width && width > 0) {
        const double wanted = m_points * width / natural;
        points = std::max(m_points * m_minScale, std::floor(wanted * 100) / 100);
    }
    out.points = points;
    const QFont font = panelFont(points, m_weight);
    const QFontMetricsF fm(font);
    out.lineHeight = fm.height();
    if (m_fixedIdeal) {
        out.lines = splitLines(m_text);
        return out;
    }
    // Sizes are whole pixels while text advances are not: a line that is at
    // most one pixel wider than the space still fits on it.
    if (width > 0 && natural * points / m_points <= width + 1.0)
        width += 1.0;
    QStringList lines = wrap(m_text, font, width);
    if (m_maxLines > 0 && lines.size() > m_maxLines) {
        QStringList kept = lines.mid(0, m_maxLines);
        // The last kept line takes the rest of the text and is elided.
        QString rest = lines.mid(m_maxLines - 1).join(QLatin1Char(' '));
        kept.last() = fm.elidedText(rest, Qt::ElideRight, width);
        lines = kept;
    } else if (m_maxLines == 1 && !lines.isEmpty()) {
        lines = {fm.elidedText(m_text, Qt::ElideRight, width)};
    }
    // A single line that still overflows is elided.
    for (auto& line : lines)
        if (fm.horizontalAdvance(line) > width + 0.5)
            line = fm.elidedText(line, Qt::ElideRight, width);
    out.lines = lines;
    return out;
}

QSize PanelText::sizeHint() const
{
    const QFontMetricsF fm(panelFont(m_points, m_weight));
    double w = 0;
    const QStringList paragraphs = splitLines(m_text);
    for (const auto& p : paragraphs)
        w = std::max(w, fm.horizontalAdvance(p));
    int lines = int(paragraphs.size());
    if (m_maxLines > 0)
        lines = std::min(lines, m_maxLines);
    return QSize(int(std::ceil(w)), int(std::ceil(fm.height() * std::max(1, lines))));
}

QSize PanelText::minimumSizeHint() const
{
    if (m_fixedIdeal)
        return sizeHint();
    const QFontMetricsF fm(panelFont(m_points, m_weight));
    return QSize(int(std::ceil(fm.horizontalAdvance(QStringLiteral("…")))), int(std::ceil(fm.height())));
}

int PanelText::heightForWidth(int width) const
{
    const Layout l = layoutFor(width);
    return int(std::ceil(l.lineHeight * std::max<qsizetype>(1, l.lines.size())));
}

QStringList PanelText::displayedLines() const { return layoutFor(width()).lines; }

double PanelText::effectivePointSize() const { return layoutFor(width()).points; }

bool PanelText::isCut() const
{
    auto letters = [](QString text) {
        text.remove(QRegularExpression(QStringLiteral("\\s")));
        return text;
    };
    return letters(displayedLines().join(QString())) != letters(m_text);
}

bool PanelText::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        if (isCut())
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), m_text, this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

void PanelText::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange)
        update();
    QWidget::changeEvent(event);
}

void PanelText::paintEvent(QPaintEvent*)
{
    const Layout l = layoutFor(width());
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setFont(panelFont(l.points, m_weight));
    p.setPen(m_color.value_or(palette().color(QPalette::WindowText)));
    const double total = l.lineHeight * l.lines.size();
    double y = 0;
    if (m_alignment & Qt::AlignVCenter)
        y = (height() - total) / 2;
    else if (m_alignment & Qt::AlignBottom)
        y = height() - total;
    for (const QString& line : l.lines) {
        p.drawText(QRectF(0, y, width(), l.lineHeight), int(m_alignment & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter,
                   line);
        y += l.lineHeight;
    }
}

} // namespace tovrik::panel
