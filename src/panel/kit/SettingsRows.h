#pragma once

// The rows that the settings screens stack inside their grouped cards: the
// menu row, the toggle row with its small switch, the voice card and the
// divider between rows. A row never touches the model: it shows what it is
// given and reports a click through its closure; the only state it keeps is
// the hover flag of its highlight.

#include "panel/kit/Controls.h"
#include "settings/VoiceCatalogue.h"

#include <QAbstractButton>
#include <QWidget>
#include <functional>
#include <optional>

namespace tovrik::panel {

class PanelText;
class SymbolView;

// Shown only when present and not blank; the accessibility hint follows a
// different rule (any present subtitle, even a blank one).
bool showsSubtitleLine(const std::optional<QString>& subtitle);

// A title over an optional subtitle, an optional icon at the left and a
// chevron at the right; red when destructive. A click anywhere calls `action`.
class SettingsMenuRow : public QAbstractButton {
    Q_OBJECT
public:
    SettingsMenuRow(std::optional<QString> icon, const QString& title, std::optional<QString> subtitle,
                    bool isDestructive, std::function<void()> action, QWidget* parent = nullptr);
    void setSubtitle(std::optional<QString> subtitle);
    PanelText* titleLabel() const { return m_title; }
    PanelText* subtitleLabel() const { return m_subtitle; }
    HoverHighlight* hoverHighlight() const { return m_hover; }
    bool isDestructive() const { return m_destructive; }

protected:
    void paintEvent(QPaintEvent*) override {}

private:
    PanelText* m_title;
    PanelText* m_subtitle;
    HoverHighlight* m_hover;
    bool m_destructive;
};

// The 32 x 16 switch: accent track with the knob at the right when on, white
// 33/255 with the knob at the left when off. It takes no clicks.
class SmallSettingsSwitch : public QWidget {
    Q_OBJECT
public:
    explicit SmallSettingsSwitch(bool isOn, QWidget* parent = nullptr);
    void setOn(bool isOn);
    bool isOn() const { return m_on; }
    // The knob's rectangle in the switch's coordinates.
    QRectF knobRect() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool m_on;
};

// A title and subtitle with the small switch at the right. A click anywhere
// calls onToggle(!isOn); the row never flips its own state.
class SettingsToggleRow : public QAbstractButton {
    Q_OBJECT
public:
    SettingsToggleRow(std::optional<QString> icon, const QString& title, std::optional<QString> subtitle, bool isOn,
                      std::function<void(bool)> onToggle, QWidget* parent = nullptr);
    void setOn(bool isOn);
    SmallSettingsSwitch* settingsSwitch() const { return m_switch; }
    PanelText* subtitleLabel() const { return m_subtitle; }
    // "On" or "Off".
    QString accessibilityValue() const;

protected:
    void paintEvent(QPaintEvent*) override {}
    void nextCheckState() override {}

private:
    PanelText* m_subtitle;
    SmallSettingsSwitch* m_switch;
};

// One voice: its label (up to 2 lines) over its category, a checkmark and an
// accent border while selected. A click anywhere calls `action`.
class VoiceOptionCard : public QAbstractButton {
    Q_OBJECT
public:
    VoiceOptionCard(const VoiceMenuOption& option, std::function<void()> action, QWidget* parent = nullptr);
    void setOption(const VoiceMenuOption& option);
    const VoiceMenuOption& option() const { return m_option; }
    bool showsCheckmark() const;
    // "Selected" or "Not selected".
    QString accessibilityValue() const;

protected:
    void paintEvent(QPaintEvent*) override;
    bool hitButton(const QPoint& pos) const override;

private:
    VoiceMenuOption m_option;
    PanelText* m_label;
    PanelText* m_category;
    SymbolView* m_check;
};

// Between two rows of a card: the same one-point rule as DividerLine.
using SettingsDividerLine = DividerLine;

} // namespace tovrik::panel
