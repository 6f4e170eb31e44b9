// The permission guide, shortcut capture and the settings pages on a real X
// server: the guide on the screen under the pointer (a monitor away from the
// root origin), never focused, dragging the program's file; a key chord
// pressed by another client becoming the new shortcut; and the pages of the
// real `tovrik` binary on screen, with the test command's compositor and, in
// a child on an X server of its own, without one.

#include "OnXServer.h"
#include "model/TovrikAppModel.h"
#include "panel/PermissionGuide.h"
#include "panel/SettingsPages.h"
#include "panel/SettingsView.h"
#include "panel/kit/Controls.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/SettingsRows.h"
#include "settings/SettingsStore.h"
#include "support/PrivateXServer.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QDBusConnectionInterface>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QTest>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <X11/keysym.h>

using namespace tovrik;
using namespace tovrik::panel;
using tovrik::test::spinUntil;

namespace {

using test::OnXServer;

// Records what is dropped on it.
class DropTarget : public QWidget {
public:
    DropTarget() : QWidget(nullptr, Qt::FramelessWindowHint) { setAcceptDrops(true); }
    std::function<void()> onEnter;
    QList<QUrl> urls;
    Qt::DropActions offered;
    Qt::DropAction proposed = Qt::IgnoreAction;

protected:
    void dragEnterEvent(QDragEnterEvent* e) override
    {
        if (onEnter)
            onEnter();
        e->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent* e) override { e->acceptProposedAction(); }
    void dropEvent(QDropEvent* e) override
    {
        urls = e->mimeData()->urls();
        offered = e->possibleActions();
        proposed = e->proposedAction();
        e->acceptProposedAction();
    }
};

} // namespace

TEST_F(OnXServer, TheGuideSitsAtTheBottomCentreOfTheScreenUnderThePointerUnfocusedAndDragsTheProgramFile)
{
    const uint32_t output = test::firstOutput();
    ASSERT_NE(output, 0u);
    test::MonitorsGuard guard{{"TOVRIK-GUIDE-SIDE", "TOVRIK-GUIDE-MAIN"}};
    ASSERT_TRUE(test::setMonitor("TOVRIK-GUIDE-MAIN", QRect(0, 0, 960, 700), true, output));
    ASSERT_TRUE(test::setMonitor("TOVRIK-GUIDE-SIDE", QRect(960, 120, 800, 600), false));
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    test::XClient pointer;
    ASSERT_TRUE(pointer.moveTo(QPoint(1360, 420)));

    TovrikAppModel model;
    PermissionGuideWindowController guide(&model);
    guide.show(PermissionGuideKind::accessibility);
    QWidget* window = guide.panel();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    // 560 wide, centred on the side monitor, 18 above its bottom edge.
    EXPECT_EQ(window->geometry(), QRect(960 + 400 - 280, 120 + 600 - 18 - 154, 560, 154));
    // Above other windows without the window manager, and never focused.
    xcb_connection_t* c = pointer.conn();
    auto* attrs = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, xcb_window_t(window->winId())), nullptr);
    ASSERT_NE(attrs, nullptr);
    EXPECT_TRUE(attrs->override_redirect);
    std::free(attrs);
    auto focusNow = [c] {
        auto* f = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        const xcb_window_t w = f ? f->focus : 0;
        std::free(f);
        return w;
    };
    EXPECT_NE(focusNow(), xcb_window_t(window->winId()));
    // Dragging the chip: pressed insets while it runs, one file URL, copy only.
    DropTarget target;
    target.setGeometry(100, 100, 300, 200);
    target.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&target));
    AppBundleDragChipView* chip = guide.view()->chip();
    QPointF insetsWhileDragging;
    target.onEnter = [&] { insetsWhileDragging = chip->insets(); };
    const QPoint start = chip->mapToGlobal(chip->rect().center());
    pointer.moveTo(start);
    test::drainEvents();
    // The drag runs its own loop from the press on: the rest of the gesture
    // is posted from timers inside it.
    for (int i = 1; i <= 12; ++i)
        QTimer::singleShot(60 * i, [&pointer, start, i] {
            pointer.moveTo(start + (QPoint(250, 200) - start) * i / 12);
        });
    QTimer::singleShot(60 * 14, [&pointer] { pointer.button(1, false); });
    pointer.button(1, true);
    ASSERT_TRUE(spinUntil([&] { return !target.urls.isEmpty(); }, 8000)) << "nothing was dropped";
    EXPECT_EQ(target.urls, QList<QUrl>{QUrl::fromLocalFile(QCoreApplication::applicationFilePath())});
    EXPECT_EQ(target.offered, Qt::DropActions(Qt::CopyAction));
    EXPECT_EQ(target.proposed, Qt::CopyAction);
    EXPECT_EQ(insetsWhileDragging, QPointF(4, 2));
    EXPECT_TRUE(spinUntil([&] { return !chip->isPressed(); }));
    EXPECT_NE(focusNow(), xcb_window_t(window->winId()));
}

TEST_F(OnXServer, AKeyChordPressedDuringCaptureBecomesTheShortcutAndIsSaved)
{
    test::SecondSeat keyboard;
    ASSERT_TRUE(keyboard.ok());
    TovrikAppModel model;
    model.launch();
    ASSERT_TRUE(model.hotkeyMonitorActive());
    SettingsView view(&model, [] {});
    model.showAdvancedSettings();
    model.showShortcutSettings();
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.shortcutSection()->voiceRow()->button()->click();
    ASSERT_EQ(view.shortcutSection()->voiceRow()->button()->text(), "Listening");

    ASSERT_TRUE(keyboard.chord({XK_Control_L, XK_Shift_L, XK_k}));
    ASSERT_TRUE(spinUntil([&] { return model.shortcutCaptureStatusMessage() == "Voice shortcut updated."; }, 8000))
        << model.shortcutCaptureStatusMessage().toStdString();
    EXPECT_EQ(model.voiceShortcut().text(), "control+shift+k");
    EXPECT_EQ(view.shortcutSection()->voiceRow()->keysView()->keys(), QStringList({"Ctrl", "Shift", "K"}));
    EXPECT_EQ(view.shortcutSection()->voiceRow()->button()->text(), "Change");
    EXPECT_EQ(SettingsStore().load().settings.voiceShortcut, "control+shift+k");
    model.resetShortcutsToDefaults();
}

// ---- the real binary's pages ----

namespace {

constexpr const char* kChildEnv = "TOVRIK_PAGES_NO_COMPOSITOR_CHILD";
constexpr const char* kNoXTestChildEnv = "TOVRIK_PAGES_NO_XTEST_CHILD";

class BinaryPages : public OnXServer {
protected:
    void SetUp() override
    {
        OnXServer::SetUp();
        if (HasFatalFailure())
            return;
        binary = qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/src/app/tovrik");
        ASSERT_TRUE(QFileInfo::exists(binary)) << binary.toStdString();
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_NE(bus, nullptr);
        ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered("ai.tovrik.mac").value(); }, 10000));
        // A signed-in account on a fresh data folder; the program shares it.
        SettingsStore store;
        TovrikSettings s = store.load().settings;
        s.hostedAccountSessionToken = QStringLiteral("token-pages");
        // A token queued for sign-out (by an earlier run's "Sign out") reads
        // as signed out.
        s.pendingHostedSignOutTokens.removeAll(s.hostedAccountSessionToken);
        s.hostedAccountEmail = QStringLiteral("pages@example.com");
        s.hostedAccountCreditsBalance = 1234;
        ASSERT_TRUE(store.save(s).ok);
    }
    void TearDown() override
    {
        if (app.state() != QProcess::NotRunning) {
            app.kill();
            app.waitForFinished(5000);
        }
        // The session token lives in the keyring that every test shares.
        SettingsStore store;
        TovrikSettings s = store.load().settings;
        s.hostedAccountSessionToken.clear();
        s.pendingHostedSignOutTokens.removeAll(QStringLiteral("token-pages"));
        EXPECT_TRUE(store.save(s).ok);
        OnXServer::TearDown();
    }

    // The page the reference view shows must be on screen at the panel's
    // place (the top-right placement without a tray): every opaque pixel of
    // its content area within ±3, no black inside the card, and every text
    // of the page whole and inside the panel.
    void expectPageOnScreen(SettingsView& reference, const char* name, int top = 52, int bottom = -1)
    {
        SCOPED_TRACE(name);
        test::drainEvents();
        const QImage drawn = reference.grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const QSize size = drawn.size();
        if (bottom < 0)
            bottom = size.height();
        const QPoint origin(QGuiApplication::primaryScreen()->geometry().width() - 20 - size.width(), 32);
        for (PanelText* text : reference.currentScreenWidget()->findChildren<PanelText*>()) {
            if (!text->isVisibleTo(&reference) || text->text().isEmpty())
                continue;
            EXPECT_EQ(text->displayedLines().join(' ').simplified(), text->text().simplified()) << "cut";
            EXPECT_TRUE(reference.rect().contains(QRect(text->mapTo(&reference, QPoint(0, 0)), text->size())))
                << text->text().toStdString();
        }
        test::Comparison c;
        int black = 0;
        QImage shot;
        spinUntil(
            [&] {
                shot = captureMainDisplay();
                if (shot.isNull())
                    return false;
                c = test::compareWithScreen(shot, origin, drawn, 3, 0, top, bottom);
                // Inside the card (away from its edge and rounded corners) nothing is black.
                black = 0;
                for (int y = std::max(top, 4); y < std::min(bottom, size.height() - 3); ++y)
                    for (int x = 4; x < size.width() - 3; ++x) {
                        const bool corner = (y < 18 || y > size.height() - 18) && (x < 18 || x > size.width() - 18);
                        const QPoint s = origin + QPoint(x, y);
                        const QRgb on = shot.rect().contains(s) ? shot.pixel(s) : qRgb(255, 255, 255);
                        black += !corner && std::max({qRed(on), qGreen(on), qBlue(on)}) < 8;
                    }
                return c.complete() && black == 0;
            },
            20000);
        EXPECT_GT(c.opaque, size.width() * (bottom - top) * 9 / 10);
        EXPECT_TRUE(c.complete()) << c.describe();
        EXPECT_EQ(black, 0);
        shot.copy(QRect(origin, size)).save(QStringLiteral("%1/page-%2-%3.png")
                                                .arg(QDir::tempPath(), QString::fromLatin1(name),
                                                     platform::Platform::get().compositorActive() ? "cm" : "plain"));
    }

    // Clicks the centre of `w` (laid out like the program's) and moves the
    // pointer off the panel so that no hover wash stays.
    void click(SettingsView& reference, QWidget* w)
    {
        const QPoint origin(QGuiApplication::primaryScreen()->geometry().width() - 20 - reference.width(), 32);
        ASSERT_TRUE(pointer.click(origin + w->mapTo(&reference, w->rect().center())));
        // The program takes this client's XTest click for a person's and
        // reads where the pointer is when its tap handles the press: stay a
        // moment, as a hand would, before leaving the panel.
        QTest::qWait(150);
        pointer.moveTo(QPoint(5, QGuiApplication::primaryScreen()->geometry().height() - 5));
    }

    void runThroughThePages()
    {
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(binary, {});
        ASSERT_TRUE(app.waitForStarted());
        TovrikAppModel model;
        ASSERT_TRUE(model.isAppReady());
        SettingsView reference(&model, [] {});
        reference.resize(reference.sizeHint());
        // The ready panel is up once its header shows.
        expectPageOnScreen(reference, "header", 0, 51);
        click(reference, reference.settingsButton());
        model.showAdvancedSettings();
        expectPageOnScreen(reference, "settings");
        click(reference, reference.fullAdvancedSection()->row("Voice"));
        model.showVoiceSettings();
        expectPageOnScreen(reference, "voice");
        click(reference, reference.backButton());
        model.showMainScreen();
        expectPageOnScreen(reference, "settings"); // resized back before the next click
        click(reference, reference.fullAdvancedSection()->row("Shortcuts"));
        model.showShortcutSettings();
        expectPageOnScreen(reference, "shortcuts");
        click(reference, reference.backButton());
        model.showMainScreen();
        expectPageOnScreen(reference, "settings");
        // Signing out leaves the setup page: the update check and quitting.
        click(reference, reference.fullAdvancedSection()->row("Sign out"));
        ASSERT_TRUE(spinUntil([] { return SettingsStore().load().settings.hostedAccountSessionToken.isEmpty(); }, 8000));
        TovrikAppModel signedOut;
        SettingsView setup(&signedOut, [] {});
        signedOut.showAdvancedSettings();
        setup.resize(setup.sizeHint());
        expectPageOnScreen(setup, "setup");
        click(setup, setup.setupSection()->row("Quit Tovrik"));
        // The program may have quit while the click's pause ran.
        ASSERT_TRUE(app.state() == QProcess::NotRunning || app.waitForFinished(10000)) << "Quit Tovrik did not quit";
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
    }

    QString binary;
    QProcess app;
    test::XClient pointer;
};

// The children, each on an X server of its own: without a compositor the
// pages are whole as well; without XTest the program cannot drive other apps
// and opens on the permission screen (the microphone step first, there being
// no microphone).
class Child : public BinaryPages {
public:
    void TestBody() override
    {
        if (std::getenv(kChildEnv)) {
            ASSERT_FALSE(platform::Platform::get().compositorActive());
            runThroughThePages();
            return;
        }
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(binary, {});
        ASSERT_TRUE(app.waitForStarted());
        TovrikAppModel model;
        ASSERT_TRUE(model.requiresPermissionGrant());
        SettingsView reference(&model, [] {});
        reference.resize(reference.sizeHint());
        ASSERT_EQ(reference.currentScreen(), SettingsView::Screen::Permission);
        expectPageOnScreen(reference, "permission");
    }
};

const bool kChildRegistered = [] {
    for (const auto& [env, suite] : {std::pair{kChildEnv, "BinaryPagesWithoutCompositor"},
                                     std::pair{kNoXTestChildEnv, "BinaryPermissionPage"}})
        if (std::getenv(env))
            ::testing::RegisterTest(suite, "Child", nullptr, nullptr, __FILE__, __LINE__,
                                    []() -> ::testing::Test* { return new Child; });
    return true;
}();

} // namespace

TEST_F(BinaryPages, EachSettingsPageOfTheProgramIsOnScreenWhole)
{
    ASSERT_TRUE(platform::Platform::get().compositorActive()) << "the test command runs a compositor";
    runThroughThePages();
}

TEST(BinaryPagesWithoutCompositor, EachSettingsPageOfTheProgramIsOnScreenWhole)
{
    const auto run = test::runTestOnPrivateXServer(QStringLiteral("BinaryPagesWithoutCompositor.Child"), kChildEnv);
    ASSERT_TRUE(run.serverStarted);
    EXPECT_TRUE(run.passed()) << run.output.toStdString();
}

TEST(BinaryPermissionPage, WithoutXTestTheProgramOpensOnTheWholePermissionScreen)
{
    const auto run = test::runTestOnPrivateXServer(QStringLiteral("BinaryPermissionPage.Child"), kNoXTestChildEnv,
                                                   {QStringLiteral("-extension"), QStringLiteral("XTEST")});
    ASSERT_TRUE(run.serverStarted);
    EXPECT_TRUE(run.passed()) << run.output.toStdString();
}
