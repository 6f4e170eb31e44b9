#include "panel/kit/SettingsRows.h"

#include "common/Constants.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/Symbols.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace tovrik::panel {

bool showsSubtitleLine(const std::optional<QString>& subtitle) { return subtitle && !subtitle->trimmed().isEmpty(); }

namespace {

const QColor kDestructiveRed(248, 113, 113);
// The platform's standard red.
const QColor kSystemRed(255, 59, 48);

// The icon slot (18 wide) of a row, or null without an icon.
SymbolView* addIcon(QHBoxLayout* row, const std::optional<QString>& icon, QColor color, QWidget* parent)
{
    if (!icon)
        return nullptr;
    auto* view = new SymbolView(*icon, 14, FontWeight::Semibold, color, parent);
    view->setFixedWidth(18);
    row->addWidget(view, 0, Qt::AlignVCenter);
    return view;
}

// The text column shared by the menu and toggle rows.
QVBoxLayout* textColumn(PanelText*& title, PanelText*& subtitle, const QString& titleText, QColor titleColor,
                        QWidget* parent)
{
    auto* column = new QVBoxLayout;
    column->setSpacing(3);
    title = new PanelText(titleText, parent);
    title->setPanelFont(12.5, FontWeight::Medium);
    title->setColor(titleColor);
    column->addWidget(title);
    subtitle = new PanelText(QString(), parent);
    subtitle->setPanelFont(11, FontWeight::Medium);
    subtitle->setColor(whiteAt(0.34));
    subtitle->setMaxLines(2);
    column->addWidget(subtitle);
    return column;
}

void applySubtitle(PanelText* label, QWidget* row, const std::optional<QString>& subtitle, const QString& defaultHint)
{
    label->setText(subtitle.value_or(QString()));
    label->setVisible(showsSubtitleLine(subtitle));
    row->setAccessibleDescription(subtitle ? *subtitle : defaultHint);
}

} // namespace

// ---- SettingsMenuRow ----

SettingsMenuRow::SettingsMenuRow(std::optional<QString> icon, const QString& title, std::optional<QString> subtitle,
                                 bool isDestructive, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), m_destructive(isDestructive)
{
    setFocusPolicy(Qt::NoFocus);
    setText(title);
    setAccessibleName(title);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 10, 14, 10);
    row->setSpacing(10);
    addIcon(row, icon, isDestructive ? withOpacity(kSystemRed, 0.92) : whiteAt(0.46), this);
    row->addLayout(textColumn(m_title, m_subtitle, title, isDestructive ? kDestructiveRed : grey(242), this), 1);
    row->addWidget(new SymbolView(QStringLiteral("chevron.right"), 13, FontWeight::Semibold,
                                  isDestructive ? withOpacity(kDestructiveRed, 0.52) : whiteAt(0.28), this),
                   0, Qt::AlignVCenter);
    setSubtitle(std::move(subtitle));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)]() { action(); });
    m_hover = roundedHoverHighlight(this, 8, isDestructive ? 0.035 : 0.055);
}

void SettingsMenuRow::setSubtitle(std::optional<QString> subtitle)
{
    applySubtitle(m_subtitle, this, subtitle, QStringLiteral("Opens this setting."));
}

// ---- SmallSettingsSwitch ----

SmallSettingsSwitch::SmallSettingsSwitch(bool isOn, QWidget* parent) : QWidget(parent), m_on(isOn)
{
    setFixedSize(32, 18);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void SmallSettingsSwitch::setOn(bool isOn)
{
    if (isOn == m_on)
        return;
    m_on = isOn;
    update();
}

QRectF SmallSettingsSwitch::knobRect() const { return QRectF(m_on ? 17 : 3, 3, 12, 12); }

void SmallSettingsSwitch::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath track;
    track.addRoundedRect(QRectF(0, 1, 32, 16), 6, 6);
    p.fillPath(track, m_on ? constants::turquoiseAccent() : whiteAt(33.0 / 255.0));
    const QRectF knob = knobRect();
    // The knob's soft shadow, one point down.
    for (int i = 3; i >= 1; --i) {
        QPainterPath shadow;
        shadow.addRoundedRect(knob.translated(0, 1).adjusted(-i * 0.5, -i * 0.5, i * 0.5, i * 0.5), 5 + i * 0.5,
                              5 + i * 0.5);
        p.fillPath(shadow, blackAt(0.45 / 4));
    }
    QPainterPath body;
    body.addRoundedRect(knob, 5, 5);
    p.fillPath(body, Qt::white);
}

// ---- SettingsToggleRow ----

SettingsToggleRow::SettingsToggleRow(std::optional<QString> icon, const QString& title, std::optional<QString> subtitle,
                                     bool isOn, std::function<void(bool)> onToggle, QWidget* parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCheckable(true);
    setText(title);
    setAccessibleName(title);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 9, 14, 9);
    row->setSpacing(10);
    addIcon(row, icon, whiteAt(0.46), this);
    PanelText* titleLabel = nullptr;
    row->addLayout(textColumn(titleLabel, m_subtitle, title, grey(242), this), 1);
    m_switch = new SmallSettingsSwitch(isOn, this);
    row->addWidget(m_switch, 0, Qt::AlignVCenter);
    applySubtitle(m_subtitle, this, subtitle, QStringLiteral("Toggles this setting."));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setOn(isOn);
    // The row reports the flipped value; it shows it only when built again.
    if (onToggle)
        connect(this, &QAbstractButton::clicked, this, [this, onToggle = std::move(onToggle)]() {
            onToggle(!m_switch->isOn());
        });
    roundedHoverHighlight(this, 8, 0.035);
}

void SettingsToggleRow::setOn(bool isOn)
{
    m_switch->setOn(isOn);
    setChecked(isOn);
}

QString SettingsToggleRow::accessibilityValue() const
{
    return m_switch->isOn() ? QStringLiteral("On") : QStringLiteral("Off");
}

// ---- VoiceOptionCard ----

VoiceOptionCard::VoiceOptionCard(const VoiceMenuOption& option, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(9, 8, 9, 8);
    column->setSpacing(3);
    auto* head = new QHBoxLayout;
    head->setSpacing(6);
    m_label = new PanelText(QString(), this);
    m_label->setPanelFont(12.5, FontWeight::Medium);
    m_label->setColor(whiteAt(0.92));
    m_label->setMaxLines(2);
    head->addWidget(m_label, 1, Qt::AlignTop);
    m_check = new SymbolView(QStringLiteral("checkmark"), 11, FontWeight::Semibold, constants::turquoiseAccent(), this);
    m_check->setFixedSize(18, 18);
    head->addWidget(m_check, 0, Qt::AlignTop);
    column->addLayout(head);
    m_category = new PanelText(QString(), this);
    m_category->setPanelFont(11, FontWeight::Medium);
    m_category->setColor(whiteAt(0.28));
    m_category->setMaxLines(1);
    column->addWidget(m_category);
    column->addStretch(1);
    setMinimumHeight(36);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setOption(option);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)]() { action(); });
    roundedHoverHighlight(this, 10, 0.06);
}

void VoiceOptionCard::setOption(const VoiceMenuOption& option)
{
    m_option = option;
    m_label->setText(option.label);
    m_category->setText(option.category);
    // The checkmark keeps its slot hidden from accessibility; unselected cards
    // leave the slot empty.
    m_check->setVisible(option.isSelected);
    setAccessibleName(option.label + QStringLiteral(", ") + option.category);
    setAccessibleDescription(QStringLiteral("Selects and previews this voice"));
    update();
}

bool VoiceOptionCard::showsCheckmark() const { return m_check->isVisibleTo(const_cast<VoiceOptionCard*>(this)); }

QString VoiceOptionCard::accessibilityValue() const
{
    return m_option.isSelected ? QStringLiteral("Selected") : QStringLiteral("Not selected");
}

bool VoiceOptionCard::hitButton(const QPoint& pos) const
{
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 10, 10);
    return shape.contains(QPointF(pos) + QPointF(0.5, 0.5));
}

void VoiceOptionCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 10, 10);
    p.setClipPath(shape);
    const bool selected = m_option.isSelected;
    p.fillPath(shape, selected ? withOpacity(constants::turquoiseAccent(), 0.03)
                               : withOpacity(constants::panelSurface(), 0.7));
    QPen pen(selected ? constants::turquoiseAccent() : whiteAt(0.09), selected ? 1.35 : 1, Qt::SolidLine,
             Qt::FlatCap, Qt::MiterJoin);
    p.strokePath(shape, pen);
}

} // namespace tovrik::panel
