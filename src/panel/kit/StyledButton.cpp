#include "panel/kit/StyledButton.h"

#include "panel/kit/PanelText.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <array>

namespace tovrik::panel {

namespace {

StyleShape rounded(double r) { return {StyleShape::Kind::Rounded, r}; }
StyleShape capsule() { return {StyleShape::Kind::Capsule, 0}; }

std::array<ButtonStyleSpec, 11> makeSpecs()
{
    std::array<ButtonStyleSpec, 11> s{};
    auto& primary = s[size_t(ButtonStyle::Primary)];
    primary.fontSize = 12;
    primary.weight = FontWeight::Bold;
    primary.text = grey(21);
    primary.paddingH = 13;
    primary.paddingV = 8;
    primary.background = grey(242);
    primary.pressedBackground = grey(220);
    primary.clip = rounded(9);
    primary.hoverOpacity = 0.04;

    auto& secondary = s[size_t(ButtonStyle::Secondary)];
    secondary.fontSize = 12;
    secondary.weight = FontWeight::Bold;
    secondary.text = grey(242);
    secondary.paddingH = 12;
    secondary.paddingV = 8;
    secondary.background = whiteAt(10.0 / 255.0);
    secondary.pressedBackground = whiteAt(0.08);
    secondary.border = rounded(10);
    secondary.borderColor = whiteAt(0.12);
    secondary.borderWidth = 1;
    secondary.clip = rounded(9);
    secondary.hoverOpacity = 0.04;

    auto compactBase = [](ButtonStyleSpec& c, FontWeight w, QColor text, double padH, QColor bg, QColor pressed,
                          QColor border, double borderWidth, double hover) {
        c.fontSize = 11;
        c.weight = w;
        c.text = text;
        c.lineLimit = true;
        c.fixedWidth = true;
        c.paddingH = padH;
        c.paddingV = 7;
        c.background = bg;
        c.pressedBackground = pressed;
        c.border = capsule();
        c.borderColor = border;
        c.borderWidth = borderWidth;
        c.clip = capsule();
        c.hoverOpacity = hover;
    };
    compactBase(s[size_t(ButtonStyle::Compact)], FontWeight::Semibold, whiteAt(0.88), 12, whiteAt(0.05),
                whiteAt(0.1), whiteAt(0.08), 1, 0.07);
    compactBase(s[size_t(ButtonStyle::CompactSecondary)], FontWeight::Semibold, whiteAt(0.86), 12, whiteAt(0.04),
                whiteAt(0.1), whiteAt(0.08), 1, 0.07);
    compactBase(s[size_t(ButtonStyle::CompactPrimary)], FontWeight::Bold, grey(21), 13, grey(242), grey(220),
                whiteAt(0.12), 0.5, 0.09);

    auto& permission = s[size_t(ButtonStyle::Permission)];
    permission = primary;
    permission.lineLimit = true;
    permission.fixedWidth = true;

    auto& ask = s[size_t(ButtonStyle::Ask)];
    ask.fontSize = 12;
    ask.weight = FontWeight::Semibold;
    ask.text = grey(21);
    ask.disabledText = whiteAt(0.4);
    ask.lineLimit = true;
    ask.minimumWidth = 54;
    ask.paddingH = 16;
    ask.paddingV = 8;
    ask.background = grey(242);
    ask.pressedBackground = grey(220);
    ask.disabledBackground = whiteAt(38.0 / 255.0);
    ask.clip = capsule();
    ask.hoverOpacity = 0.09;

    auto& pill = s[size_t(ButtonStyle::Pill)];
    pill.text = whiteAt(0.84);
    pill.lineLimit = true;
    pill.paddingH = 12;
    pill.paddingV = 7;
    pill.background = whiteAt(0.045);
    pill.pressedBackground = whiteAt(0.09);
    pill.border = rounded(8);
    pill.borderColor = whiteAt(0.1);
    pill.borderWidth = 1;
    pill.clip = rounded(8);
    pill.hoverOpacity = 0.07;

    auto wide = [](ButtonStyleSpec& w, QColor text, QColor bg, QColor pressed, StyleShape border, QColor borderColor,
                   double borderWidth) {
        w.fontSize = 13;
        w.weight = FontWeight::Bold;
        w.text = text;
        w.lineLimit = true;
        w.fullWidth = true;
        w.minimumHeight = 39;
        w.paddingH = 12;
        w.paddingV = 0;
        w.background = bg;
        w.pressedBackground = pressed;
        w.border = border;
        w.borderColor = borderColor;
        w.borderWidth = borderWidth;
        w.clip = rounded(9);
        w.hoverOpacity = 0.04;
    };
    wide(s[size_t(ButtonStyle::WideSecondary)], whiteAt(0.88), blackAt(0.24), blackAt(0.32), rounded(9), whiteAt(0.12),
         1);
    wide(s[size_t(ButtonStyle::WidePrimary)], grey(21), grey(242), grey(220), rounded(8), whiteAt(0.12), 0.5);
    wide(s[size_t(ButtonStyle::Google)], grey(242), grey(50), grey(41), rounded(9), whiteAt(36.0 / 255.0), 1);
    return s;
}

} // namespace

const ButtonStyleSpec& buttonStyleSpec(ButtonStyle style)
{
    static const std::array<ButtonStyleSpec, 11> specs = makeSpecs();
    return specs[size_t(style)];
}

StyledButton::StyledButton(ButtonStyle style, const QString& text, QWidget* parent)
    : QAbstractButton(parent), m_style(style), m_spec(buttonStyleSpec(style))
{
    m_text = new PanelText(text);
    if (m_spec.fontSize)
        m_text->setPanelFont(*m_spec.fontSize, m_spec.weight);
    if (m_spec.lineLimit)
        m_text->setMaxLines(1);
    m_text->setFixedToIdealWidth(m_spec.fixedWidth);
    m_text->setAlignment(Qt::AlignCenter);
    QAbstractButton::setText(text);
    setAccessibleName(text);
    build(m_text);
}

StyledButton::StyledButton(ButtonStyle style, QWidget* label, QWidget* parent)
    : QAbstractButton(parent), m_style(style), m_spec(buttonStyleSpec(style))
{
    build(label);
}

void StyledButton::build(QWidget* label)
{
    m_label = label;
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(int(m_spec.paddingH), int(m_spec.paddingV), int(m_spec.paddingH), int(m_spec.paddingV));
    layout->setSpacing(0);
    layout->addWidget(label, 1, Qt::AlignVCenter);
    // The label's height-for-width would otherwise win over the style's
    // minimum height inside a layout.
    if (m_spec.minimumHeight > 0)
        setMinimumHeight(int(m_spec.minimumHeight));
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    QSizePolicy policy(m_spec.fullWidth ? QSizePolicy::Expanding : QSizePolicy::Preferred,
                       m_spec.fixedWidth ? QSizePolicy::Fixed : QSizePolicy::Preferred);
    if (m_spec.fixedWidth)
        policy.setHorizontalPolicy(QSizePolicy::Fixed);
    setSizePolicy(policy);
    applyTextColor();
    const HoverHighlight::Shape shape =
        m_spec.clip.kind == StyleShape::Kind::Capsule ? HoverHighlight::Shape::Capsule : HoverHighlight::Shape::Rounded;
    m_hover = new HoverHighlight(this, shape, m_spec.clip.radius, m_spec.hoverOpacity);
    connect(this, &QAbstractButton::pressed, this, qOverload<>(&QWidget::update));
    connect(this, &QAbstractButton::released, this, qOverload<>(&QWidget::update));
}

void StyledButton::setTitle(const QString& text)
{
    if (m_text) {
        m_text->setText(text);
        QAbstractButton::setText(text);
        setAccessibleName(text);
        updateGeometry();
    }
}

QString StyledButton::title() const { return m_text ? m_text->text() : QAbstractButton::text(); }

QColor StyledButton::currentTextColor() const
{
    if (!isEnabled() && m_spec.disabledText)
        return *m_spec.disabledText;
    return m_spec.text;
}

QColor StyledButton::currentBackground() const
{
    if (!isEnabled() && m_spec.disabledBackground)
        return *m_spec.disabledBackground;
    return isDown() ? m_spec.pressedBackground : m_spec.background;
}

void StyledButton::applyTextColor()
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, currentTextColor());
    pal.setColor(QPalette::Disabled, QPalette::WindowText, currentTextColor());
    setPalette(pal);
}

void StyledButton::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange) {
        applyTextColor();
        update();
    }
    QAbstractButton::changeEvent(event);
}

QPainterPath StyledButton::shapePath(const StyleShape& shape, const QRectF& rect)
{
    QPainterPath path;
    switch (shape.kind) {
    case StyleShape::Kind::None:
        break;
    case StyleShape::Kind::Rounded:
        path.addRoundedRect(rect, shape.radius, shape.radius);
        break;
    case StyleShape::Kind::Capsule: {
        const double r = std::min(rect.width(), rect.height()) / 2;
        path.addRoundedRect(rect, r, r);
        break;
    }
    }
    return path;
}

QPainterPath StyledButton::clipShape() const { return shapePath(m_spec.clip, QRectF(rect())); }

bool StyledButton::hitButton(const QPoint& pos) const { return clipShape().contains(QPointF(pos) + QPointF(0.5, 0.5)); }

QSize StyledButton::sizeHint() const
{
    QSize label = m_label ? m_label->sizeHint() : QSize();
    int w = label.width() + int(2 * m_spec.paddingH);
    int h = label.height() + int(2 * m_spec.paddingV);
    w = std::max(w, int(m_spec.minimumWidth));
    h = std::max(h, int(m_spec.minimumHeight));
    return QSize(w, h);
}

int StyledButton::heightForWidth(int width) const
{
    return std::max(QAbstractButton::heightForWidth(width), int(m_spec.minimumHeight));
}

QSize StyledButton::minimumSizeHint() const
{
    if (m_spec.fixedWidth)
        return sizeHint();
    QSize label = m_label ? m_label->minimumSizeHint() : QSize();
    return QSize(std::max(int(m_spec.minimumWidth), label.width() + int(2 * m_spec.paddingH)),
                 std::max(int(m_spec.minimumHeight), label.height() + int(2 * m_spec.paddingV)));
}

void StyledButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = rect();
    const QPainterPath clip = clipShape();
    p.setClipPath(clip);
    p.fillRect(box, currentBackground());
    if (m_spec.border.kind != StyleShape::Kind::None && m_spec.borderWidth > 0) {
        QPen pen(m_spec.borderColor, m_spec.borderWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawPath(shapePath(m_spec.border, box));
    }
}

} // namespace tovrik::panel
