#include "app/AppController.h"

#include "app/SingleInstance.h"
#include "common/Clock.h"
#include "common/Constants.h"
#include "model/TovrikAppModel.h"
#include "panel/KeyablePanel.h"
#include "panel/PermissionGuide.h"
#include "panel/SettingsView.h"
#include "platform/Platform.h"
#include "updater/MacUpdateService.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QWidget>

#include <cstdio>

static void initAppResources() { Q_INIT_RESOURCE(AppIcon); }

namespace tovrik::app {

namespace {

// Runs a standard edit slot ("cut", "copy", ...) on the focused widget.
void sendToFocusedWidget(const char* slot)
{
    if (QWidget* focus = QApplication::focusWidget())
        QMetaObject::invokeMethod(focus, slot);
}

} // namespace

// ---- status item ----------------------------------------------------------

TrayStatusItem::TrayStatusItem(QObject* parent) : QObject(parent)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_icon = new QSystemTrayIcon(this);
    m_icon->setIcon(QIcon(QPixmap::fromImage(AppController::makeStatusImage())));
    m_icon->setToolTip(constants::appDisplayName);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            emit clicked();
    });
    m_icon->show();
}

TrayStatusItem::~TrayStatusItem() = default;

std::optional<QRectF> TrayStatusItem::buttonWindowFrame() const
{
    if (!m_icon || !m_icon->isVisible())
        return std::nullopt;
    const QRect geometry = m_icon->geometry();
    if (geometry.isEmpty())
        return std::nullopt;
    if (!platform::Platform::isInstalled())
        return std::nullopt;
    return platform::Platform::get().displays().appKitFromGlobal(QRectF(geometry));
}

// ---- controller -------------------------------------------------------------

AppController::AppController() : m_model(std::make_unique<TovrikAppModel>()) {}

AppController::~AppController()
{
    applicationWillTerminate();
    if (m_singleInstance)
        m_singleInstance->release();
    // The panel reads the model: it goes first.
    m_settingsPanelController.reset();
    m_permissionGuide.reset();
}

QString AppController::bundleIdentifier() { return constants::appBundleIdentifierFallback; }

QImage AppController::makeStatusImage()
{
    initAppResources();
    QImage image(20, 18, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QImage icon(QStringLiteral(":/AppIcon"));
    if (icon.isNull())
        return image;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // (1, 0, 18, 18) with the origin at the bottom left: flush with the
    // bottom, which in a y-down image is also y = 0 for an 18-high icon.
    painter.drawImage(QRectF(1, 18 - 0 - 18, 18, 18), icon, QRectF(icon.rect()));
    painter.end();
    return image;
}

QIcon AppController::applicationIcon()
{
    initAppResources();
    return QIcon(QStringLiteral(":/AppIcon"));
}

bool AppController::applicationDidFinishLaunching()
{
    // 1–3. One instance per bundle identifier. The observer is registered
    // before the name is claimed, so a request sent the moment the name is
    // ours is not lost; a duplicate drops it again.
    const QString identifier = bundleIdentifier();
    if (!m_singleInstance) {
        m_singleInstance = new SingleInstance(identifier, QDBusConnection::sessionBus(), this);
        connect(m_singleInstance, &SingleInstance::showPanelRequested, this,
                &AppController::handleDistributedShowPanelNotification);
    }
    const bool observing = m_singleInstance->addObserver();
    switch (m_singleInstance->claim()) {
    case SingleInstance::Claim::Duplicate:
        m_singleInstance->removeObserver();
        m_singleInstance->postShowPanelNotification();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
        return false;
    case SingleInstance::Claim::NoBus:
        std::fprintf(stderr, "tovrik: no D-Bus session bus; running without the single-instance check.\n");
        break;
    case SingleInstance::Claim::Primary:
        break;
    }

    // An update whose swap was stopped outright is taken up again (the
    // swap script puts the previous build back first); this build quits.
    if (m_model->macUpdateService().resumeInterruptedUpdate(QCoreApplication::arguments()))
        return false;

    // 4. Accessory application: no taskbar entry (the panel is a tool window
    // that skips the taskbar), and closing windows never quits.
    QApplication::setQuitOnLastWindowClosed(false);

    // 5. Main menu.
    buildMainMenu();

    // 6. The show-panel observer.
    if (!m_distributedObserverInstalled && observing)
        m_distributedObserverInstalled = true;

    // 7–8. The status item and its button.
    m_statusItem = new TrayStatusItem(this);
    if (m_statusItem->hasButton()) {
        connect(m_statusItem, &TrayStatusItem::clicked, this, &AppController::toggleSettingsWindow);
        auto* trayMenu = new QMenu();
        trayMenu->addActions(m_appMenu->actions());
        connect(this, &QObject::destroyed, trayMenu, [trayMenu] { delete trayMenu; });
        m_statusItem->icon()->setContextMenu(trayMenu);
    }

    // 9. The panel controller.
    m_settingsPanelController = std::make_unique<SettingsPanelController>(*m_model, m_statusItem.data());
    TovrikAppModel* model = m_model.get();
    m_settingsPanelController->setRootViewFactory([model](std::function<void()> onClose) -> QWidget* {
        return new panel::SettingsView(model, std::move(onClose));
    });
    // The permission guide follows the model's visible guide kind.
    m_permissionGuide = std::make_unique<panel::PermissionGuideWindowController>(model);
    QList<QAction*> windowActions = m_appMenu->actions();
    windowActions += m_editMenu->actions();
    m_settingsPanelController->setWindowActions(windowActions);

    // 10. The model's request to open the panel.
    QPointer<AppController> weak(this);
    m_model->setOpenSettingsHandler([weak] {
        if (weak && weak->m_settingsPanelController)
            weak->m_settingsPanelController->showPanel();
    });

    // 11. Start the model.
    m_model->launch();

    // 12. The panel, 0.3 s from now.
    m_settingsPanelController->showPanelOnLaunch();

    // 13. A build started by the updater proves it came up, 1.0 s from now.
    Clock::instance().schedule(1.0, this, [] { MacUpdateService::signalUpdateLaunchHealthIfRequested(); });
    //     Should the script stop outright while it waits, this is noted for the next start.
    m_model->macUpdateService().watchHealthCheck(QCoreApplication::arguments());
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppController::applicationWillTerminate,
            Qt::UniqueConnection);
    return true;
}

void AppController::applicationWillTerminate()
{
    if (!m_distributedObserverInstalled)
        return;
    if (m_singleInstance)
        m_singleInstance->removeObserver();
    m_distributedObserverInstalled = false;
}

void AppController::buildMainMenu()
{
    m_appMenu = std::make_unique<QMenu>(constants::appDisplayName);
    QAction* open = m_appMenu->addAction(QStringLiteral("Open ") + constants::appDisplayName);
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(open, &QAction::triggered, this, &AppController::openSettingsFromMenu);
    m_appMenu->addSeparator();
    QAction* quit = m_appMenu->addAction(QStringLiteral("Quit ") + constants::appDisplayName);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &AppController::quitFromMenu);

    m_editMenu = std::make_unique<QMenu>(QStringLiteral("Edit"));
    struct EditItem {
        const char* title;
        Qt::Key key;
        const char* slot;
    };
    for (const EditItem& item : {EditItem{"Cut", Qt::Key_X, "cut"}, EditItem{"Copy", Qt::Key_C, "copy"},
                                 EditItem{"Paste", Qt::Key_V, "paste"}, EditItem{"Select All", Qt::Key_A, "selectAll"}}) {
        QAction* action = m_editMenu->addAction(QString::fromLatin1(item.title));
        action->setShortcut(QKeySequence(Qt::CTRL | item.key));
        const char* slot = item.slot;
        connect(action, &QAction::triggered, this, [slot] { sendToFocusedWidget(slot); });
    }
}

void AppController::openSettingsFromMenu()
{
    if (m_settingsPanelController)
        m_settingsPanelController->showPanel();
}

void AppController::quitFromMenu() { m_model->quit(); }

void AppController::toggleSettingsWindow()
{
    if (m_settingsPanelController)
        m_settingsPanelController->toggle();
}

void AppController::handleDistributedShowPanelNotification()
{
    if (m_settingsPanelController)
        m_settingsPanelController->showPanel();
}

} // namespace tovrik::app
