// On the X server of the test command (no tray, no window manager).
// AppController in-process, with the real model on the sim platform and the
// real session bus (these tests own the bundle identifier's bus name, so they
// run one at a time with the other X server tests): the launch sequence, the
// menus, which requests show and which toggle the panel, and the hand-over of
// a second instance that never starts its model. Then the real `tovrik`
// binary; its windows are found with plain xcb queries: top-level windows of
// the process (_NET_WM_PID) that are mapped and viewable.

#include "app/AppController.h"
#include "app/SingleInstance.h"
#include "model/TovrikAppModel.h"
#include "panel/KeyablePanel.h"
#include "platform/x11/Xcb.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"
#include "ProcessWindows.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>
#include <xcb/xcb.h>

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

// A menu's title, then its items with their shortcuts ("-" for a separator).
QStringList titles(const QMenu* menu)
{
    QStringList out{menu->title()};
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
    EXPECT_EQ(titles(controller->appMenu()), QStringList({"Tovrik", "Open Tovrik|Ctrl+N", "-", "Quit Tovrik|Ctrl+Q"}));
    EXPECT_EQ(titles(controller->editMenu()),
              QStringList({"Edit", "Cut|Ctrl+X", "Copy|Ctrl+C", "Paste|Ctrl+V", "Select All|Ctrl+A"}));
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
    for (QAction* a : controller->appMenu()->actions())
        EXPECT_TRUE(a->isSeparator() || panel->actions().contains(a)) << a->text().toStdString();
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

using test::SecondSeat;

using platform::x11::XcbReply;


// The root window's pixels in `r`, as a desktop capture shows them.
QImage rootPixels(QRect r) { return QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).toImage(); }

int changedPixels(const QImage& a, const QImage& b)
{
    int changed = 0;
    for (int y = 0; y < std::min(a.height(), b.height()); ++y)
        for (int x = 0; x < std::min(a.width(), b.width()); ++x)
            changed += (a.pixel(x, y) & 0xffffffu) != (b.pixel(x, y) & 0xffffffu);
    return changed;
}

class AppShellX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.ok());
        ASSERT_TRUE(dataHome.isValid());
        binary = qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/src/app/tovrik");
        ASSERT_TRUE(QFileInfo::exists(binary)) << binary.toStdString();
        // An instance of an earlier test may be gone while the bus has not
        // yet dropped its name; a new first instance must not meet it.
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_NE(bus, nullptr) << "no D-Bus session bus";
        ASSERT_TRUE(test::spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); },
                                    10000));
    }
    void TearDown() override
    {
        for (auto& p : processes) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
    QProcess* launch(const QProcessEnvironment& extra = {}, bool captureErrors = false, const QString& program = {})
    {
        QProcess* p = processes.emplace_back(std::make_unique<QProcess>()).get();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        for (const QString& key : extra.keys())
            env.insert(key, extra.value(key));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(captureErrors ? QProcess::SeparateChannels : QProcess::ForwardedErrorChannel);
        p->start(program.isEmpty() ? binary : program, {});
        return p;
    }
    // Runs a program to its end: its exit code and output.
    static std::pair<int, std::string> run(const QString& program, const QStringList& arguments)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, arguments);
        const bool finished = p.waitForFinished(120000);
        return {finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAll().toStdString()};
    }
    // The panel window of `p` once it is on screen.
    std::optional<WindowInfo> waitForPanel(QProcess* p, bool visible = true, int timeoutMs = 20000)
    {
        std::optional<WindowInfo> found;
        test::spinUntil(
            [&] {
                found.reset();
                for (const auto& w : viewableWindowsOf(x, p->processId()))
                    found = w.name == QStringLiteral("Tovrik") ? std::optional(w) : found;
                return visible == found.has_value();
            },
            timeoutMs);
        return found;
    }

    // Clicks at (x, y) until the panel of `p` is hidden. The click-outside
    // monitor listens from a thread of its own that may still be subscribing
    // when the panel maps, so a very early click can go unseen; a user would
    // simply click again.
    bool clickUntilHidden(SecondSeat& seat, QProcess* p, int x, int y, unsigned button = 1)
    {
        for (int attempt = 0; attempt < 10; ++attempt) {
            seat.click(QPoint(x, y), uint8_t(button));
            if (!waitForPanel(p, false, 2000).has_value())
                return true;
        }
        return false;
    }

    platform::x11::XcbConnection x{nullptr};
    QTemporaryDir dataHome;
    QString binary;
    std::vector<std::unique_ptr<QProcess>> processes;
};

// One instance through its life without a tray. The install target puts a
// valid menu entry in place. The panel appears top-right with the model's
// size; a click elsewhere (another client's physical click) hides it; the
// menu entry's command, with Tovrik running, hands over and exits, and the
// panel shows again. Every refused press of the voice chord (signed out:
// "sign in first") shows its status beside the pointer, with the panel open
// or closed, and the status goes on time (2.5 s, then a 0.25 s fade). The
// panel chord of another client shows the panel; Ctrl+Q in it quits.
// (A click inside the panel is tested with the panel on two monitors.)
TEST_F(AppShellX11Test, WithoutATrayThePanelShowsHidesHandsOverToTheMenuEntryShowsStatusesAndQuits)
{
    QTemporaryDir prefix;
    const auto install = run("cmake", {"--install", QFileInfo(binary).absolutePath() + "/../..", "--prefix", prefix.path()});
    ASSERT_EQ(install.first, 0) << install.second;
    const QString entry = prefix.path() + "/share/applications/tovrik.desktop";
    EXPECT_TRUE(QFileInfo::exists(prefix.path() + "/share/icons/hicolor/64x64/apps/tovrik.png"));
    const auto validate = run("desktop-file-validate", {entry});
    EXPECT_EQ(validate.first, 0) << validate.second;
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const auto exec = QRegularExpression("^Exec=\"(.*)\"$", QRegularExpression::MultilineOption).match(text);
    ASSERT_TRUE(exec.hasMatch()) << text.toStdString();
    EXPECT_EQ(exec.captured(1), prefix.path() + "/lib/tovrik/Tovrik.app/Contents/MacOS/Tovrik");
    EXPECT_TRUE(text.contains("\nIcon=tovrik\n"));

    SecondSeat other;
    test::XClient core;
    ASSERT_TRUE(other.ok() && core.ok());
    QProcess* app = launch();
    ASSERT_TRUE(app->waitForStarted());
    const auto panel = waitForPanel(app);
    ASSERT_TRUE(panel.has_value()) << "the panel never appeared";
    // Signed out on a fresh data folder: the sign-in screen, 320 × 258, at
    // x = maxX − w − 20, 32 below the top of the screen, with no taskbar entry.
    EXPECT_EQ(panel->geometry, QRect(QPoint(x.screen()->width_in_pixels - 320 - 20, 32), QSize(320, 258)));
    const xcb_atom_t skipTaskbar = platform::x11::internAtom(x, "_NET_WM_STATE_SKIP_TASKBAR");
    EXPECT_NE(std::find(panel->states.begin(), panel->states.end(), skipTaskbar), panel->states.end());
    // The panel is our only window on screen, beside the shadow its card
    // casts where a compositor runs (which takes no input).
    std::vector<QString> onScreen;
    for (const auto& w : viewableWindowsOf(x, app->processId()))
        if (w.name != QStringLiteral("Tovrik panel shadow"))
            onScreen.push_back(w.name);
    EXPECT_EQ(onScreen, std::vector<QString>{QStringLiteral("Tovrik")});
    // The app's own icon (64 × 64), not a generic one, where the desktop shows one.
    const auto icon = platform::x11::getProperty(x, panel->id, platform::x11::internAtom(x, "_NET_WM_ICON"),
                                                 XCB_ATOM_CARDINAL).cardinals();
    ASSERT_GE(icon.size(), 2u) << "the panel has no icon";
    EXPECT_EQ(std::vector<uint32_t>(icon.begin(), icon.begin() + 2), (std::vector<uint32_t>{64, 64}));

    ASSERT_TRUE(clickUntilHidden(other, app, 100, 600)) << "a click outside did not hide the panel";
    QProcess* second = launch({}, false, exec.captured(1));
    ASSERT_TRUE(second->waitForFinished(20000)) << "the second instance did not exit";
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    const auto shown = waitForPanel(app);
    ASSERT_TRUE(shown.has_value()) << "the menu entry did not bring the panel back";
    EXPECT_EQ(shown->geometry, panel->geometry);

    const QPoint pointer(300, 500);
    ASSERT_TRUE(core.moveTo(pointer));
    const QRect beside(pointer.x(), pointer.y() - 80, 400, 200);
    const QImage desktop = rootPixels(beside);
    ASSERT_FALSE(desktop.isNull());
    const auto statusPixels = [&] { return changedPixels(desktop, rootPixels(beside)); };
    for (int press = 0; press < 4; ++press) {
        const bool panelOpen = press % 2 == 0;
        if (!panelOpen) { // a right click hides it too
            ASSERT_TRUE(clickUntilHidden(other, app, 1000, 1000, press == 1 ? 1 : 3));
        }
        other.chord({XK_Control_L, XK_Alt_L});
        QElapsedTimer since;
        since.start();
        EXPECT_TRUE(test::spinUntil([&] { return statusPixels() > 200; }, 1500))
            << "press " << press << (panelOpen ? " (panel open)" : " (panel closed)") << ": no status beside the pointer";
        EXPECT_TRUE(test::spinUntil([&] { return statusPixels() == 0; }, 4500))
            << "press " << press << ": the status did not go";
        EXPECT_GE(since.elapsed(), 2400) << "press " << press << ": the status went early";
        if (press == 1) {
            ASSERT_TRUE(other.chord({XK_Control_L, XK_Shift_L, XK_Alt_L}) && waitForPanel(app).has_value());
        }
    }
    ASSERT_TRUE(other.chord({XK_Control_L, XK_Shift_L, XK_Alt_L})); // the panel chord
    ASSERT_TRUE(waitForPanel(app).has_value()) << "the panel chord did not show the panel";
    // Keys through the ordinary keyboard once the panel has the focus (it
    // takes it when shown).
    test::XClient keyboard;
    ASSERT_TRUE(test::spinUntil(
        [&] {
            XcbReply<xcb_get_input_focus_reply_t> f(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
            return f && f->focus == panel->id;
        },
        10000));
    ASSERT_TRUE(keyboard.chord({XK_Control_L, XK_q}));
    ASSERT_TRUE(app->waitForFinished(20000)) << "Ctrl+Q did not quit";
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app->exitCode(), 0);
}

// The sound server's address leads nowhere too.
TEST_F(AppShellX11Test, WithoutASessionBusOrASoundServerItRunsAndSaysSoOnce)
{
    QProcessEnvironment noBus;
    noBus.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/tovrik-test-bus"));
    noBus.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent/tovrik-test-pulse"));
    QProcess* app = launch(noBus, true);
    ASSERT_TRUE(app->waitForStarted());
    ASSERT_TRUE(waitForPanel(app).has_value()) << "no panel without a session bus";
    app->kill();
    app->waitForFinished(5000);
    const QString errors = QString::fromLocal8Bit(app->readAllStandardError());
    EXPECT_EQ(errors.count(QStringLiteral("no D-Bus session bus")), 1) << errors.toStdString();
    EXPECT_EQ(errors.count(QStringLiteral("tovrik: no sound server found. Voice input and speech need a sound server "
                                          "(PulseAudio or PipeWire); typed chat still works.")),
              1)
        << errors.toStdString();
}

} // namespace
} // namespace tovrik::app
