#include "panel/kit/UnplacedRows.h"

#include "common/Constants.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/SettingsRows.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/Symbols.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace tovrik::panel {

namespace {

PanelText* text(const QString& s, double points, FontWeight weight, QColor color, QWidget* parent, int maxLines = 0)
{
    auto* label = new PanelText(s, parent);
    label->setPanelFont(points, weight);
    label->setColor(color);
    label->setMaxLines(maxLines);
    return label;
}

QVBoxLayout* column(int spacing)
{
    auto* c = new QVBoxLayout;
    c->setSpacing(spacing);
    c->setContentsMargins(0, 0, 0, 0);
    return c;
}

// The framing of an inset row: white 0.045 fill, rounded 8, white 0.06 border.
void paintInsetFrame(QWidget* w)
{
    QPainter p(w);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(w->rect()), 8, 8);
    p.setClipPath(shape);
    p.fillPath(shape, whiteAt(0.045));
    p.setPen(QPen(whiteAt(0.06), 1));
    p.drawPath(shape);
}

} // namespace

SettingsComingSoonRow::SettingsComingSoonRow(QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 11, 14, 11);
    auto* c = column(3);
    c->addWidget(text(QStringLiteral("Autopilot"), 12.5, FontWeight::Semibold, whiteAt(0.84), this));
    c->addWidget(text(QStringLiteral("Hey Tovrik Agent, ..."), 11, FontWeight::Semibold, whiteAt(0.3), this));
    row->addLayout(c);
    row->addStretch(1);
}

SettingsInfoRow::SettingsInfoRow(const QString& title, std::optional<QString> subtitle, QWidget* parent)
    : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 10, 14, 10);
    auto* c = column(3);
    c->addWidget(text(title, 12.5, FontWeight::Medium, grey(242), this));
    m_subtitle = text(subtitle.value_or(QString()), 11, FontWeight::Medium, whiteAt(0.28), this, 2);
    m_subtitle->setVisible(showsSubtitleLine(subtitle));
    c->addWidget(m_subtitle);
    row->addLayout(c, 1);
}

StepLimitButton::StepLimitButton(const QString& systemName, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), m_symbol(systemName)
{
    setFixedSize(22, 22);
    setFocusPolicy(Qt::NoFocus);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)]() { action(); });
}

void StepLimitButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintRoundedCard(p, QRectF(rect()), 6, whiteAt(0.08), whiteAt(0.08));
    paintSymbol(p, m_symbol, rect(), 10, FontWeight::Heavy, whiteAt(0.72));
}

SettingsStepLimitRow::SettingsStepLimitRow(qint64 value, std::function<void(qint64)> onChange, QWidget* parent)
    : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 8, 14, 8);
    row->setSpacing(10);
    auto* c = column(3);
    c->addWidget(text(QStringLiteral("Steps"), 12.5, FontWeight::Semibold, whiteAt(0.82), this));
    c->addWidget(text(QStringLiteral("Maximum UI autopilot actions"), 11, FontWeight::Medium, whiteAt(0.28), this, 1));
    row->addLayout(c);
    row->addStretch(1);
    auto* controls = new QHBoxLayout;
    controls->setSpacing(7);
    m_minus = new StepLimitButton(QStringLiteral("minus"), [value, onChange]() {
        if (onChange)
            onChange(std::max<qint64>(value - 1, 0));
    }, this);
    m_minus->setEnabled(value >= 1);
    m_value = text(QString::number(value), 12, FontWeight::Bold, whiteAt(0.86), this, 1);
    m_value->setAlignment(Qt::AlignCenter);
    m_value->setFixedWidth(24);
    m_plus = new StepLimitButton(QStringLiteral("plus"), [value, onChange]() {
        if (onChange)
            onChange(std::min<qint64>(value + 1, 0));
    }, this);
    m_plus->setEnabled(value < 0);
    controls->addWidget(m_minus);
    controls->addWidget(m_value);
    controls->addWidget(m_plus);
    row->addLayout(controls);
}

QString SettingsStepLimitRow::valueText() const { return m_value->text(); }

StackPreviewCard::StackPreviewCard(const QString& title, const QStringList& lines, QWidget* parent) : QWidget(parent)
{
    auto* c = new QVBoxLayout(this);
    c->setContentsMargins(12, 12, 12, 12);
    c->setSpacing(6);
    c->addWidget(text(title, 12, FontWeight::Bold, whiteAt(0.92), this));
    for (const QString& line : lines) {
        auto* label = text(line, 11, FontWeight::Medium, whiteAt(0.6), this);
        label->setObjectName(QStringLiteral("line"));
        c->addWidget(label);
    }
}

int StackPreviewCard::lineCount() const { return int(findChildren<PanelText*>(QStringLiteral("line")).size()); }

void StackPreviewCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 12, 12);
    p.fillPath(shape, constants::panelSurface());
}

SettingsToggleCopy::SettingsToggleCopy(const QString& title, const QString& copy, QWidget* parent) : QWidget(parent)
{
    auto* c = new QVBoxLayout(this);
    c->setContentsMargins(0, 0, 0, 0);
    c->setSpacing(4);
    c->addWidget(text(title, 13, FontWeight::Semibold, whiteAt(0.92), this));
    c->addWidget(text(copy, 11, FontWeight::Medium, whiteAt(0.55), this));
}

SettingsSwitchRow::SettingsSwitchRow(const QString& title, const QString& copy, bool* binding, QWidget* parent)
    : QAbstractButton(parent), m_binding(binding)
{
    setCheckable(true);
    setChecked(binding && *binding);
    setAccessibleName(title);
    setAccessibleDescription(copy);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 14, 14, 14);
    row->setSpacing(12);
    row->addWidget(new SettingsToggleCopy(title, copy, this), 1, Qt::AlignTop);
    auto* toggle = new SmallSettingsSwitch(isChecked(), this);
    row->addWidget(toggle, 0, Qt::AlignTop);
    connect(this, &QAbstractButton::toggled, this, [this, toggle](bool on) {
        toggle->setOn(on);
        if (m_binding)
            *m_binding = on;
    });
}

void SettingsSwitchRow::paintEvent(QPaintEvent*) { paintInsetFrame(this); }

PermissionRow::PermissionRow(const QString& title, const QString& subtitle, std::optional<QString> badgeText,
                             std::optional<QString> primaryActionTitle, std::function<void()> primaryAction,
                             std::optional<QString> secondaryActionTitle, std::function<void()> secondaryAction,
                             QWidget* parent)
    : QWidget(parent)
{
    auto* c = new QVBoxLayout(this);
    c->setContentsMargins(0, 0, 0, 0);
    c->setSpacing(12);
    auto* head = new QHBoxLayout;
    head->setSpacing(12);
    head->addWidget(text(title, 12, FontWeight::Semibold, whiteAt(0.92), this));
    head->addStretch(1);
    if (badgeText) {
        // The accent text on an accent-tinted capsule, 10 by 6 around it.
        class Capsule : public QWidget {
        public:
            using QWidget::QWidget;

        protected:
            void paintEvent(QPaintEvent*) override
            {
                QPainter p(this);
                p.setRenderHint(QPainter::Antialiasing);
                QPainterPath shape;
                shape.addRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
                p.fillPath(shape, withOpacity(constants::turquoiseAccent(), 0.16));
            }
        };
        auto* capsule = new Capsule(this);
        auto* l = new QHBoxLayout(capsule);
        l->setContentsMargins(10, 6, 10, 6);
        m_badge = text(*badgeText, 11, FontWeight::Bold, constants::turquoiseAccent(), capsule, 1);
        m_badge->setFixedToIdealWidth(true);
        l->addWidget(m_badge);
        head->addWidget(capsule);
    }
    c->addLayout(head);
    c->addWidget(text(subtitle, 11, FontWeight::Medium, whiteAt(0.55), this));
    if (primaryActionTitle || secondaryActionTitle) {
        m_stack = new QWidget(this);
        auto* stack = new QVBoxLayout(m_stack);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(8);
        auto add = [&](const std::optional<QString>& t, const std::function<void()>& action, ButtonStyle style) {
            if (!t || !action)
                return static_cast<StyledButton*>(nullptr);
            auto* b = new StyledButton(style, *t, m_stack);
            connect(b, &QAbstractButton::clicked, b, [action]() { action(); });
            stack->addWidget(b);
            return b;
        };
        m_primary = add(primaryActionTitle, primaryAction, ButtonStyle::WidePrimary);
        m_secondary = add(secondaryActionTitle, secondaryAction, ButtonStyle::WideSecondary);
        c->addWidget(m_stack);
    }
}

HotkeyInfoRow::HotkeyInfoRow(const QString& title, const QString& subtitle, const QString& value, QWidget* parent)
    : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 14, 14, 14);
    row->setSpacing(12);
    auto* c = column(4);
    c->addWidget(text(title, 12, FontWeight::Semibold, whiteAt(0.92), this));
    c->addWidget(text(subtitle, 11, FontWeight::Medium, whiteAt(0.55), this));
    row->addLayout(c, 1);
    auto* v = text(value, 11, FontWeight::Semibold, constants::turquoiseAccent(), this, 1);
    v->setFixedToIdealWidth(true);
    v->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(v);
}

void HotkeyInfoRow::paintEvent(QPaintEvent*) { paintInsetFrame(this); }

} // namespace tovrik::panel
