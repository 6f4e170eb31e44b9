#pragma once

// Further rows of the settings family that no screen places. They are kept
// complete so that a screen can adopt one without new drawing code; like the
// other rows they never touch the model and report clicks only through their
// closures.

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>

namespace tovrik::panel {

class PanelText;
class StyledButton;

// "Autopilot" over "Hey Tovrik Agent, ..."; no action.
class SettingsComingSoonRow : public QWidget {
    Q_OBJECT
public:
    explicit SettingsComingSoonRow(QWidget* parent = nullptr);
};

// A title over an optional subtitle (subtitle rule of the menu row); no action.
class SettingsInfoRow : public QWidget {
    Q_OBJECT
public:
    SettingsInfoRow(const QString& title, std::optional<QString> subtitle, QWidget* parent = nullptr);
    PanelText* subtitleLabel() const { return m_subtitle; }

private:
    PanelText* m_subtitle;
};

// A 22 x 22 symbol button of the step-limit row.
class StepLimitButton : public QAbstractButton {
    Q_OBJECT
public:
    StepLimitButton(const QString& systemName, std::function<void()> action, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString m_symbol;
};

// "Steps" with a minus button, the value and a plus button. The value only
// moves towards 0: minus works above 0, plus below 0.
class SettingsStepLimitRow : public QWidget {
    Q_OBJECT
public:
    SettingsStepLimitRow(qint64 value, std::function<void(qint64)> onChange, QWidget* parent = nullptr);
    StepLimitButton* minusButton() const { return m_minus; }
    StepLimitButton* plusButton() const { return m_plus; }
    QString valueText() const;

private:
    PanelText* m_value;
    StepLimitButton* m_minus;
    StepLimitButton* m_plus;
};

// A title over one text per line, on the panel surface.
class StackPreviewCard : public QWidget {
    Q_OBJECT
public:
    StackPreviewCard(const QString& title, const QStringList& lines, QWidget* parent = nullptr);
    int lineCount() const;

protected:
    void paintEvent(QPaintEvent*) override;
};

// A title (13 semibold) over a copy text (11 medium).
class SettingsToggleCopy : public QWidget {
    Q_OBJECT
public:
    SettingsToggleCopy(const QString& title, const QString& copy, QWidget* parent = nullptr);
};

// The toggle copy with an accent switch bound to the caller's value: flipping
// it writes `binding` directly.
class SettingsSwitchRow : public QAbstractButton {
    Q_OBJECT
public:
    SettingsSwitchRow(const QString& title, const QString& copy, bool* binding, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool* m_binding;
};

// A title with an optional badge, a subtitle, and up to two wide buttons.
class PermissionRow : public QWidget {
    Q_OBJECT
public:
    PermissionRow(const QString& title, const QString& subtitle, std::optional<QString> badgeText,
                  std::optional<QString> primaryActionTitle, std::function<void()> primaryAction,
                  std::optional<QString> secondaryActionTitle, std::function<void()> secondaryAction,
                  QWidget* parent = nullptr);
    // Null when that slot shows no button; the stack exists when a title does.
    StyledButton* primaryButton() const { return m_primary; }
    StyledButton* secondaryButton() const { return m_secondary; }
    QWidget* buttonStack() const { return m_stack; }
    PanelText* badge() const { return m_badge; }

private:
    PanelText* m_badge = nullptr;
    QWidget* m_stack = nullptr;
    StyledButton* m_primary = nullptr;
    StyledButton* m_secondary = nullptr;
};

// A title and subtitle with a value in the accent colour at the right.
class HotkeyInfoRow : public QWidget {
    Q_OBJECT
public:
    HotkeyInfoRow(const QString& title, const QString& subtitle, const QString& value, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;
};

} // namespace tovrik::panel
