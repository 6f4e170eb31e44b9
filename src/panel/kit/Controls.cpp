#include "panel/kit/Controls.h"

#include "common/Constants.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/Symbols.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

namespace tovrik::panel {

// ---- HeaderIconButton ----

HeaderIconButton::HeaderIconButton(const QString& systemName, const QString& accessibilityLabel,
                                   std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), m_symbol(systemName)
{
    setFixedSize(28, 28);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(accessibilityLabel);
    setToolTip(accessibilityLabel);
    m_hover = roundedHoverHighlight(this, 7, 0.08);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action]() { action(); });
}

void HeaderIconButton::setSymbol(const QString& systemName)
{
    if (systemName == m_symbol)
        return;
    m_symbol = systemName;
    update();
}

void HeaderIconButton::setSymbolOpacity(double opacity)
{
    if (qFuzzyCompare(opacity, m_opacity))
        return;
    m_opacity = opacity;
    update();
}

void HeaderIconButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintSymbol(p, m_symbol, rect(), 14, FontWeight::Bold, whiteAt(m_opacity));
}

// ---- PermissionStepIndicator ----

namespace {
class AccentBar : public QWidget {
public:
    explicit AccentBar(QWidget* parent) : QWidget(parent) { setFixedSize(16, 5); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 1.5, 1.5);
        p.fillPath(path, constants::turquoiseAccent());
    }
};
} // namespace

PermissionStepIndicator::PermissionStepIndicator(qint64 current, qint64 total, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(9);
    m_text = new PanelText();
    m_text->setPanelFont(12, FontWeight::Bold);
    m_text->setColor(grey(176));
    m_text->setFixedToIdealWidth(true);
    layout->addWidget(m_text, 0, Qt::AlignVCenter);
    layout->addWidget(new AccentBar(this), 0, Qt::AlignVCenter);
    setSteps(current, total);
}

void PermissionStepIndicator::setSteps(qint64 current, qint64 total)
{
    m_text->setText(QStringLiteral("%1 of %2").arg(current).arg(total));
}

QString PermissionStepIndicator::text() const { return m_text->text(); }

// ---- HotkeyChip ----

HotkeyChip::HotkeyChip(const QString& text, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    m_text = new PanelText(text);
    m_text->setPanelFont(11, FontWeight::Medium);
    m_text->setColor(grey(176));
    m_text->setFixedToIdealWidth(true);
    layout->addWidget(m_text);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString HotkeyChip::text() const { return m_text->text(); }

void HotkeyChip::setTextScale(double scale)
{
    m_text->setPanelFont(11 * scale, FontWeight::Medium);
    updateGeometry();
}

QSize HotkeyChip::sizeHint() const
{
    const QSize t = m_text->sizeHint();
    return QSize(t.width() + 16, t.height() + 8);
}

void HotkeyChip::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 7, 7);
    p.setClipPath(path);
    p.fillPath(path, whiteAt(15.0 / 255.0));
    p.setPen(QPen(whiteAt(0.12), 1));
    p.drawPath(path);
}

// ---- PanelSectionLabel, DividerLine ----

PanelSectionLabel::PanelSectionLabel(const QString& text, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_text = new PanelText(text);
    m_text->setPanelFont(10, FontWeight::Bold);
    m_text->setColor(whiteAt(0.28));
    layout->addWidget(m_text);
}

QString PanelSectionLabel::text() const { return m_text->text(); }

QSize PanelSectionLabel::sizeHint() const { return m_text->sizeHint(); }

DividerLine::DividerLine(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void DividerLine::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), whiteAt(0.075));
}

// ---- key sequence and rows ----

KeySequenceView::KeySequenceView(QWidget* parent) : QWidget(parent)
{
    m_layout = new QHBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(4);
}

void appendKeySequence(QHBoxLayout* layout, const QStringList& keys, const KeySeparatorStyle& separator)
{
    for (int i = 0; i < keys.size(); ++i) {
        if (i >= 1) {
            auto* plus = new PanelText(QStringLiteral("+"));
            plus->setObjectName(QStringLiteral("separator"));
            plus->setPanelFont(separator.points, separator.weight);
            plus->setColor(whiteAt(separator.opacity));
            plus->setFixedToIdealWidth(true);
            layout->addWidget(plus, 0, Qt::AlignVCenter);
        }
        auto* chip = new HotkeyChip(keys[i]);
        chip->setObjectName(QStringLiteral("chip"));
        layout->addWidget(chip, 0, Qt::AlignVCenter);
    }
}

void KeySequenceView::setKeys(const QStringList& keys)
{
    if (keys == m_keys && m_layout->count() > 0)
        return;
    m_keys = keys;
    while (auto* item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    appendKeySequence(m_layout, keys, rowKeySeparator);
    updateGeometry();
}

int KeySequenceView::chipCount() const { return int(findChildren<HotkeyChip*>(QString(), Qt::FindDirectChildrenOnly).size()); }

int KeySequenceView::separatorCount() const
{
    return int(findChildren<PanelText*>(QStringLiteral("separator"), Qt::FindDirectChildrenOnly).size());
}

ShortcutValueRow::ShortcutValueRow(const QString& label, const QStringList& keys, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_label = new PanelText(label);
    m_label->setPanelFont(12, FontWeight::Semibold);
    m_label->setColor(grey(119));
    m_label->setMaxLines(1);
    layout->addWidget(m_label, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    m_keys = new KeySequenceView(this);
    layout->addWidget(m_keys, 0, Qt::AlignVCenter);
    m_keys->setKeys(keys);
}

void ShortcutValueRow::setKeys(const QStringList& keys) { m_keys->setKeys(keys); }

void ShortcutValueRow::setLabel(const QString& label) { m_label->setText(label); }

namespace {
// The change button of the capture row: 12 bold, white 0.86 on white 0.1,
// 32 high, rounded 8 with a white 0.12 hairline and a hover wash of 0.07.
class CaptureButton : public QAbstractButton {
public:
    explicit CaptureButton(const QString& title, QWidget* parent) : QAbstractButton(parent)
    {
        setFocusPolicy(Qt::NoFocus);
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(12, 0, 12, 0);
        m_text = new PanelText(title);
        m_text->setPanelFont(12, FontWeight::Bold);
        m_text->setColor(whiteAt(0.86));
        m_text->setFixedToIdealWidth(true);
        layout->addWidget(m_text);
        setFixedHeight(32);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        setTitle(title);
        roundedHoverHighlight(this, 8, 0.07);
    }
    void setTitle(const QString& title)
    {
        m_text->setText(title);
        setText(title);
        setAccessibleName(title);
        updateGeometry();
    }
    QSize sizeHint() const override { return QSize(m_text->sizeHint().width() + 24, 32); }

protected:
    bool hitButton(const QPoint& pos) const override { return path().contains(QPointF(pos) + QPointF(0.5, 0.5)); }
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QPainterPath shape = path();
        p.setClipPath(shape);
        p.fillPath(shape, whiteAt(0.1));
        p.setPen(QPen(whiteAt(0.12), 1));
        p.drawPath(shape);
    }

private:
    QPainterPath path() const
    {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 8, 8);
        return shape;
    }
    PanelText* m_text;
};
} // namespace

ShortcutCaptureRow::ShortcutCaptureRow(const QStringList& keys, const QString& buttonTitle, std::function<void()> action,
                                       QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 9, 10, 9);
    layout->setSpacing(10);
    m_keys = new KeySequenceView(this);
    m_keys->setKeys(keys);
    layout->addWidget(m_keys, 1, Qt::AlignLeft | Qt::AlignVCenter);
    auto* button = new CaptureButton(buttonTitle, this);
    m_button = button;
    if (action)
        connect(button, &QAbstractButton::clicked, this, [action]() { action(); });
    layout->addWidget(button, 0, Qt::AlignVCenter);
}

void ShortcutCaptureRow::setKeys(const QStringList& keys) { m_keys->setKeys(keys); }

void ShortcutCaptureRow::setButtonTitle(const QString& title) { static_cast<CaptureButton*>(m_button)->setTitle(title); }

void ShortcutCaptureRow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 10, 10);
    p.setClipPath(shape);
    p.fillPath(shape, withOpacity(constants::panelSurface(), 0.7));
    p.setPen(QPen(whiteAt(0.09), 1));
    p.drawPath(shape);
}

// ---- ActiveStatusLabel ----

namespace {
constexpr double activeDotGlowRadius = 4;
} // namespace

ActiveStatusLabel::ActiveStatusLabel(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    // The dot (6 wide) is painted at the left, then 5 of spacing; its glow
    // reaches 4 beyond the dot, as far as the label's bounds allow.
    layout->setContentsMargins(6 + 5, 0, 0, 0);
    layout->setSpacing(5);
    m_text = new PanelText(tr("Active"), this);
    m_text->setPanelFont(11, FontWeight::Medium);
    m_text->setColor(constants::turquoiseAccent());
    m_text->setMaxLines(1);
    m_text->setFixedToIdealWidth(true);
    layout->addWidget(m_text, 0, Qt::AlignVCenter);
    setFixedHeight(14);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QRectF ActiveStatusLabel::dotRect() const { return QRectF(0, (height() - 6) / 2.0, 6, 6); }

void ActiveStatusLabel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF dot = dotRect();
    // The glow: rings of the accent fading out over the radius, 0.8 at the
    // dot's edge.
    const QColor accent = constants::turquoiseAccent();
    QRadialGradient glow(dot.center(), 3 + activeDotGlowRadius);
    glow.setColorAt(3.0 / (3 + activeDotGlowRadius), withOpacity(accent, 0.8));
    glow.setColorAt(1.0, withOpacity(accent, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(dot.center(), 3 + activeDotGlowRadius, 3 + activeDotGlowRadius);
    p.setBrush(accent);
    p.drawEllipse(dot);
}

// ---- HotkeyShortcutLine ----

namespace {
PanelText* lineText(const QString& text, QWidget* parent)
{
    auto* label = new PanelText(text, parent);
    label->setPanelFont(14, FontWeight::Bold);
    label->setColor(whiteAt(0.62));
    label->setMaxLines(1);
    return label;
}
} // namespace

HotkeyShortcutLine::HotkeyShortcutLine(const QString& prefix, const QStringList& keys, std::optional<QString> suffix,
                                       QWidget* parent)
    : QWidget(parent)
{
    m_layout = new QHBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(spacing);
    m_prefix = lineText(prefix, this);
    m_layout->addWidget(m_prefix, 0, Qt::AlignVCenter);
    appendKeySequence(m_layout, keys, separatorStyle);
    if (suffix) {
        m_suffix = lineText(*suffix, this);
        m_suffix->setFixedToIdealWidth(true);
        m_layout->addWidget(m_suffix, 0, Qt::AlignVCenter);
    }
    m_layout->addStretch(1);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

int HotkeyShortcutLine::chipCount() const { return int(findChildren<HotkeyChip*>(QStringLiteral("chip")).size()); }

int HotkeyShortcutLine::separatorCount() const
{
    return int(findChildren<PanelText*>(QStringLiteral("separator")).size());
}

double HotkeyShortcutLine::widthAt(double scale) const
{
    double width = 0;
    int items = 0;
    auto advance = [scale](const QString& text, double points, FontWeight weight) {
        return QFontMetricsF(panelFont(points * scale, weight)).horizontalAdvance(text);
    };
    for (int i = 0; i < m_layout->count(); ++i) {
        QWidget* w = m_layout->itemAt(i)->widget();
        if (!w)
            continue;
        ++items;
        if (w == m_prefix || w == m_suffix)
            width += advance(static_cast<PanelText*>(w)->text(), 14, FontWeight::Bold);
        else if (auto* chip = qobject_cast<HotkeyChip*>(w))
            width += advance(chip->text(), 11, FontWeight::Medium) + 16;
        else if (auto* plus = qobject_cast<PanelText*>(w))
            width += advance(plus->text(), separatorStyle.points, separatorStyle.weight);
    }
    return width + spacing * std::max(0, items - 1);
}

QSize HotkeyShortcutLine::sizeHint() const
{
    const QFontMetricsF fm(panelFont(separatorStyle.points, separatorStyle.weight));
    const int height = std::max(int(std::ceil(fm.height())), 24);
    return QSize(int(std::ceil(widthAt(1.0))), height);
}

QSize HotkeyShortcutLine::minimumSizeHint() const { return QSize(0, sizeHint().height()); }

void HotkeyShortcutLine::resizeEvent(QResizeEvent* event)
{
    // The largest scale at which the line fits, but not below the minimum.
    const double full = widthAt(1.0);
    double scale = 1.0;
    if (full > width() && full > 0) {
        scale = std::max(minimumScaleFactor, double(width()) / full);
        while (scale > minimumScaleFactor && widthAt(scale) > width())
            scale = std::max(minimumScaleFactor, scale - 0.01);
    }
    applyScale(scale);
    QWidget::resizeEvent(event);
}

void HotkeyShortcutLine::applyScale(double scale)
{
    if (qFuzzyCompare(scale, m_scale))
        return;
    m_scale = scale;
    m_prefix->setPanelFont(14 * scale, FontWeight::Bold);
    if (m_suffix)
        m_suffix->setPanelFont(14 * scale, FontWeight::Bold);
    for (auto* chip : findChildren<HotkeyChip*>(QStringLiteral("chip")))
        chip->setTextScale(scale);
    for (auto* plus : findChildren<PanelText*>(QStringLiteral("separator")))
        plus->setPanelFont(separatorStyle.points * scale, separatorStyle.weight);
}

} // namespace tovrik::panel
