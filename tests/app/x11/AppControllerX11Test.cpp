// AppController in-process, with the real model on the sim platform and the
// real session bus (these tests own the bundle identifier's bus name, so they
// run one at a time with the other X server tests): the launch sequence, the
// menus, which requests show and which toggle the panel, and the hand-over of
// a second instance that never starts its model.

#include "app/AppController.h"
#include "app/SingleInstance.h"

#include "model/TovrikAppModel.h"
#include "panel/KeyablePanel.h"
#include "support/SimFixture.h"

#include <QAction>
#include <QDBusConnection>
#include <QMenu>
#include <functional>

namespace tovrik::app {
namespace {

constexpr uint32_t Ctrl = platform::ModControl, Shift = platform::ModShift, Opt = platform::ModOption;
namespace K = platform::KeyCode;

class AppControllerX11Test : public test::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "no D-Bus session bus (run through scripts/with-test-env.sh)";
    }
    void TearDown() override
    {
        controller.reset();
        if (otherConnected)
            QDBusConnection::disconnectFromBus(QStringLiteral("other-process"));
        SimTest::TearDown();
    }
    QDBusConnection otherProcess()
    {
        otherConnected = true;
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("other-process"));
    }
    bool panelVisible() const
    {
        auto* panels = controller->settingsPanelController();
        return panels && panels->isPanelVisible();
    }

    std::unique_ptr<AppController> controller = std::make_unique<AppController>();
    bool otherConnected = false;
};

QStringList titles(const QMenu* menu)
{
    QStringList out;
    for (const QAction* a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text() + QLatin1Char('|') + a->shortcut().toString());
    return out;
}

TEST_F(AppControllerX11Test, TheFirstInstanceLaunchesEverythingShowsThePanelAfterThreeTenthsAndShowRequestsShowIt)
{
    TovrikAppModel& model = controller->model();
    EXPECT_FALSE(model.hotkeyMonitorActive());
    EXPECT_EQ(sim->simEventTap().activeTapCount(), 0);

    ASSERT_TRUE(controller->applicationDidFinishLaunching());
    EXPECT_TRUE(controller->distributedObserverInstalled());
    ASSERT_NE(controller->statusItem(), nullptr);
    EXPECT_FALSE(controller->statusItem()->hasButton()); // no tray on this X server
    EXPECT_FALSE(controller->statusItem()->buttonWindowFrame().has_value());

    ASSERT_NE(controller->appMenu(), nullptr);
    EXPECT_EQ(controller->appMenu()->title(), QStringLiteral("Tovrik"));
    EXPECT_EQ(titles(controller->appMenu()),
              (QStringList{QStringLiteral("Open Tovrik|Ctrl+N"), QStringLiteral("-"), QStringLiteral("Quit Tovrik|Ctrl+Q")}));
    EXPECT_EQ(controller->editMenu()->title(), QStringLiteral("Edit"));
    EXPECT_EQ(titles(controller->editMenu()),
              (QStringList{QStringLiteral("Cut|Ctrl+X"), QStringLiteral("Copy|Ctrl+C"), QStringLiteral("Paste|Ctrl+V"),
                           QStringLiteral("Select All|Ctrl+A")}));

    // The model was launched: its hotkey monitor runs on its own thread.
    EXPECT_TRUE(model.hotkeyMonitorActive());
    EXPECT_TRUE(sim->simEventTap().threadNames().contains(QStringLiteral("ai.tovrik.mac.hotkey-monitor")));

    advance(0.29);
    EXPECT_FALSE(panelVisible());
    advance(0.02);
    ASSERT_TRUE(panelVisible());
    KeyablePanel* panel = controller->settingsPanelController()->panel();
    EXPECT_EQ(QSizeF(panel->size()), model.preferredPanelSize());
    // The menu items work while the panel is the active window.
    for (QAction* a : controller->appMenu()->actions()) {
        if (!a->isSeparator()) {
            EXPECT_TRUE(panel->actions().contains(a)) << a->text().toStdString();
        }
    }

    // The status item toggles; every other request only shows the panel.
    controller->toggleSettingsWindow();
    EXPECT_FALSE(panelVisible());
    controller->toggleSettingsWindow();
    EXPECT_TRUE(panelVisible());
    SingleInstance other(AppController::bundleIdentifier(), otherProcess());
    const std::pair<const char*, std::function<void()>> shows[] = {
        {"menu", [&] { controller->openSettingsFromMenu(); }},
        {"Open item", [&] { controller->appMenu()->actions().first()->trigger(); }},
        {"another process", [&] { EXPECT_TRUE(other.postShowPanelNotification()); }},
        {"model", [&] { controller->model().openSettingsWindow(); }},
        {"panel chord", [&] {
             sim->simEventTap().injectFlags(K::Control, Ctrl);
             sim->simEventTap().injectFlags(K::Shift, Ctrl | Shift);
             sim->simEventTap().injectFlags(K::Option, Ctrl | Shift | Opt);
         }},
    };
    for (const auto& [what, show] : shows) {
        controller->settingsPanelController()->hidePanel();
        show();
        EXPECT_TRUE(test::spinUntil([&] { return panelVisible(); })) << what;
    }
    controller->openSettingsFromMenu(); // shows, never hides
    EXPECT_TRUE(panelVisible());
    controller->applicationWillTerminate();
    EXPECT_FALSE(controller->distributedObserverInstalled());
}

TEST_F(AppControllerX11Test, ASecondInstanceHandsOverAndStartsNothing)
{
    // Another process runs already and listens for the request.
    QDBusConnection bus = otherProcess();
    SingleInstance first(AppController::bundleIdentifier(), bus);
    ASSERT_EQ(first.claim(), SingleInstance::Claim::Primary);
    int requests = 0;
    QObject::connect(&first, &SingleInstance::showPanelRequested, [&] { ++requests; });
    ASSERT_TRUE(first.addObserver());

    EXPECT_FALSE(controller->applicationDidFinishLaunching());
    EXPECT_TRUE(test::spinUntil([&] { return requests == 1; }));

    // No status item, menu, panel or observer; the model never launched.
    EXPECT_EQ(controller->statusItem(), nullptr);
    EXPECT_EQ(controller->appMenu(), nullptr);
    EXPECT_EQ(controller->settingsPanelController(), nullptr);
    EXPECT_FALSE(controller->distributedObserverInstalled());
    EXPECT_FALSE(controller->model().hotkeyMonitorActive());
    EXPECT_EQ(sim->simEventTap().activeTapCount(), 0);
    advance(1.0);
    EXPECT_FALSE(panelVisible());
    // The bus name still belongs to the first process.
    EXPECT_EQ(first.currentOwner(), bus.baseService());
}

} // namespace
} // namespace tovrik::app
