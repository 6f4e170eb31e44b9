#pragma once

#include "common/Clock.h"

#include <QAbstractButton>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <functional>

namespace tovrik {
class TovrikAppModel;
}

namespace tovrik::panel {

class AdvancedSection;
class AuthenticationSection;
class HeaderIconButton;
class PermissionSection;
class ShortcutSection;
class VoiceSection;
class PanelText;
class ReadySection;
class StatusCluster;
class TovrikMarkView;

// The root view of the panel: the card (gradient, three hairline borders),
// the 51-point header, a divider, and exactly one screen chosen from the
// model's flags. It keeps no state: it reads the model on every change and
// calls the model's actions (or onClose). It refreshes the permission flags
// once on show and then every 0.8 s while signed in with a trusted origin,
// for as long as it is shown (a hidden panel wakes nothing).
class SettingsView : public QWidget {
    Q_OBJECT
public:
    enum class Screen { Shortcut, Voice, FullAdvanced, Setup, Authentication, Permission, Ready };

    SettingsView(TovrikAppModel* model, std::function<void()> onClose, QWidget* parent = nullptr);

    // The screen the model's flags select now.
    static Screen screenFor(const TovrikAppModel& model);
    Screen currentScreen() const { return m_screen; }
    // The status rule of the header.
    bool isStatusDotVisible() const;
    bool isPlainStatusWordVisible() const;
    QString headerTitleText() const;

    QSize sizeHint() const override;
    ReadySection* readySection() const { return m_ready; }
    AuthenticationSection* authenticationSection() const { return m_auth; }
    PermissionSection* permissionSection() const { return m_permission; }
    AdvancedSection* fullAdvancedSection() const { return m_full; }
    AdvancedSection* setupSection() const { return m_setup; }
    VoiceSection* voiceSection() const { return m_voice; }
    ShortcutSection* shortcutSection() const { return m_shortcut; }
    // The widget of the screen shown now.
    QWidget* currentScreenWidget() const;
    HeaderIconButton* settingsButton() const { return m_gear; }
    HeaderIconButton* closeButton() const { return m_close; }
    QAbstractButton* backButton() const { return m_back; }
    QWidget* contentArea() const { return m_content; }
    static constexpr double permissionRefreshInterval = 0.8;

    // Re-reads the model (called on every change the model publishes).
    void refresh();

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    void layoutHeader();
    void layoutContent();
    void onRefreshTick();
    // The card's fill, header divider and edge hairlines.
    static void paintCard(QPainter& p, QSizeF size);

    QPointer<TovrikAppModel> m_model;
    std::function<void()> m_onClose;
    Screen m_screen = Screen::Authentication;
    ClockTimer m_permissionTimer;

    QWidget* m_header;
    TovrikMarkView* m_mark;
    PanelText* m_name;
    QWidget* m_separator;
    StatusCluster* m_cluster;
    PanelText* m_plainWord;
    HeaderIconButton* m_gear;
    HeaderIconButton* m_close;
    QAbstractButton* m_back;
    PanelText* m_pageTitle;

    QWidget* m_content;
    ReadySection* m_ready;
    AuthenticationSection* m_auth;
    PermissionSection* m_permission;
    AdvancedSection* m_full;
    AdvancedSection* m_setup;
    VoiceSection* m_voice;
    ShortcutSection* m_shortcut;
    QImage m_card; // paintCard() at the view's size
};

} // namespace tovrik::panel
