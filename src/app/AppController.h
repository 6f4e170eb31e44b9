#pragma once

// The application controller: owns the model, enforces one running instance,
// installs the menu actions and the tray icon (the status item), creates the
// panel controller, starts the model and shows the panel shortly after
// launch. Main thread only.

#include "panel/SettingsPanelController.h"

#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace tovrik {
class TovrikAppModel;
namespace panel {
class PermissionGuideWindowController;
}
}

namespace tovrik::app {

class SingleInstance;

// The status item: the tray icon when a system tray exists. Its "button
// window" is the icon's on-screen geometry, which only some trays report.
class TrayStatusItem : public QObject, public StatusItemAnchor {
    Q_OBJECT
public:
    explicit TrayStatusItem(QObject* parent = nullptr);
    ~TrayStatusItem() override;
    // Whether the item has a button (an icon in a system tray).
    bool hasButton() const { return m_icon != nullptr; }
    QSystemTrayIcon* icon() const { return m_icon; }
    std::optional<QRectF> buttonWindowFrame() const override;

signals:
    void clicked();

private:
    QSystemTrayIcon* m_icon = nullptr;
};

class AppController : public QObject {
    Q_OBJECT
public:
    // Creates the model (its whole initialisation runs here).
    AppController();
    ~AppController() override;

    TovrikAppModel& model() { return *m_model; }
    SettingsPanelController* settingsPanelController() const { return m_settingsPanelController.get(); }
    TrayStatusItem* statusItem() const { return m_statusItem; }
    bool distributedObserverInstalled() const { return m_distributedObserverInstalled; }
    // The bundle identifier (there is no bundle here: always the fallback).
    static QString bundleIdentifier();

    // The actions of the main menu: "Open Tovrik" (Ctrl+N), "Quit Tovrik"
    // (Ctrl+Q), and the Edit menu's Cut, Copy, Paste and Select All.
    QMenu* appMenu() const { return m_appMenu.get(); }
    QMenu* editMenu() const { return m_editMenu.get(); }

    // The status image: 20 × 18 with "AppIcon" drawn at (1, 0, 18, 18); an
    // empty (transparent) image when the resource cannot be read.
    static QImage makeStatusImage();
    // The app's icon (the same picture as the installed menu entry's).
    static QIcon applicationIcon();

public slots:
    // The launch sequence; returns false when this process is a second
    // instance that handed over and is quitting.
    bool applicationDidFinishLaunching();
    void applicationWillTerminate();
    void openSettingsFromMenu();
    void quitFromMenu();
    void toggleSettingsWindow();
    void handleDistributedShowPanelNotification();

private:
    void buildMainMenu();

    std::unique_ptr<TovrikAppModel> m_model;
    std::unique_ptr<SettingsPanelController> m_settingsPanelController;
    std::unique_ptr<panel::PermissionGuideWindowController> m_permissionGuide;
    QPointer<TrayStatusItem> m_statusItem;
    bool m_distributedObserverInstalled = false;
    SingleInstance* m_singleInstance = nullptr;
    std::unique_ptr<QMenu> m_appMenu;
    std::unique_ptr<QMenu> m_editMenu;
};

} // namespace tovrik::app
