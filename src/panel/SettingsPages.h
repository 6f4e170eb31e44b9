#pragma once

// The panel's settings pages: the full settings page (every switch, the
// voice and shortcut links, the account actions, the update check, quitting)
// and the setup page shown before the app is ready (update check and quit
// only), the voice page and the shortcut page. All read the model on
// refresh() and call its actions; none keeps state of its own.

#include <QPointer>
#include <QWidget>

namespace tovrik {
class TovrikAppModel;
}

namespace tovrik::panel {

class PanelText;
class SettingsMenuRow;
class SettingsToggleRow;
class ShortcutCaptureRow;
class VoiceOptionCard;

// "Version 1.10.15" under every settings page.
QWidget* makeVersionFooter(QWidget* parent);

// The shortcut summary of the "Shortcuts" row: "Ctrl + Alt / Ctrl + Shift + Alt".
QString shortcutSummary(const TovrikAppModel& model);

// Starts the model's update check the way its "Check for updates" action
// does, unless a check already runs.
void checkForUpdatesFromRow(TovrikAppModel& model);

class AdvancedSection : public QWidget {
    Q_OBJECT
public:
    // `full`: the whole page; otherwise the setup page.
    AdvancedSection(TovrikAppModel* model, bool full, QWidget* parent = nullptr);
    void refresh();

    SettingsToggleRow* toggle(const QString& title) const;
    SettingsMenuRow* row(const QString& title) const;
    PanelText* updateStatusLabel() const { return m_updateStatus; }

private:
    QPointer<TovrikAppModel> m_model;
    bool m_full;
    PanelText* m_updateStatus;
};

class VoiceSection : public QWidget {
    Q_OBJECT
public:
    explicit VoiceSection(TovrikAppModel* model, QWidget* parent = nullptr);
    void refresh();
    QList<VoiceOptionCard*> cards() const { return m_cards; }
    PanelText* statusLine() const { return m_status; }

private:
    QPointer<TovrikAppModel> m_model;
    QList<VoiceOptionCard*> m_cards;
    PanelText* m_status;
};

class ShortcutSection : public QWidget {
    Q_OBJECT
public:
    explicit ShortcutSection(TovrikAppModel* model, QWidget* parent = nullptr);
    void refresh();
    ShortcutCaptureRow* voiceRow() const { return m_voiceRow; }
    ShortcutCaptureRow* menuRow() const { return m_menuRow; }
    PanelText* statusLine() const { return m_status; }
    QWidget* resetButton() const { return m_reset; }

private:
    QPointer<TovrikAppModel> m_model;
    ShortcutCaptureRow* m_voiceRow;
    ShortcutCaptureRow* m_menuRow;
    QWidget* m_statusBox;
    PanelText* m_status;
    QWidget* m_reset;
};

} // namespace tovrik::panel
