// The panel on a real X server: what the X server shows at the panel's place
// is the card its views draw — not the desktop through a window that never
// received its pixels — with the test command's compositor and, in a child
// process on an X server of its own, without one (where the corners are cut
// by the window's mask instead of turning black). A plain window of a known
// colour stands in for the desktop under the panel. On two RandR monitors
// with the primary one away from the root origin, it opens at the top right
// of the primary one, only a click elsewhere closes it, and it is on every
// workspace.

#include "OnXServer.h"
#include "common/Constants.h"
#include "model/TovrikAppModel.h"
#include "panel/AuthenticationSection.h"
#include "panel/KeyablePanel.h"
#include "panel/PanelCardShadow.h"
#include "panel/SettingsPanelController.h"
#include "panel/SettingsView.h"
#include "panel/kit/StyledButton.h"
#include "platform/x11/Xcb.h"
#include "support/PrivateXServer.h"
#include "support/X11TestClients.h"

#include <QPainter>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

using namespace tovrik;
using tovrik::test::setMonitor;
using tovrik::test::spinUntil;

namespace {

const QColor kDesk(90, 110, 130);

class Desk : public QWidget {
public:
    Desk() : QWidget(nullptr, Qt::FramelessWindowHint) {}
    int presses = 0;

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kDesk); }
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

bool isDesk(QRgb rgb) { return test::nearRgb(rgb, kDesk.rgb(), 0); }

QList<uint32_t> property32(xcb_connection_t* c, uint32_t window, const char* name)
{
    const auto values = platform::x11::getProperty(c, window, platform::x11::internAtom(c, name)).cardinals();
    return QList<uint32_t>(values.begin(), values.end());
}

class PanelOnXServer : public test::OnXServer {
protected:
    void SetUp() override
    {
        OnXServer::SetUp();
        if (HasFatalFailure())
            return;
        const auto main = platform::Platform::get().displays().mainDisplay();
        ASSERT_TRUE(main);
        displayBounds = main->bounds.toRect();
        desk = std::make_unique<Desk>();
        desk->setGeometry(displayBounds);
        desk->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(desk.get()));

        model = std::make_unique<TovrikAppModel>();
        ASSERT_FALSE(model->isHostedAccountSignedIn());
        controller = std::make_unique<SettingsPanelController>(*model, nullptr);
        controller->setRootViewFactory([m = model.get()](std::function<void()> onClose) -> QWidget* {
            return new panel::SettingsView(m, std::move(onClose));
        });
    }
    void TearDown() override
    {
        controller.reset();
        model.reset();
        desk.reset();
        OnXServer::TearDown();
    }

    // The panel's place on the display's capture (the main display's
    // capture starts at its bounds' origin).
    QRect panelPlace() const { return controller->panel()->geometry().translated(-displayBounds.topLeft()); }
    // Waits until the X server shows every opaque pixel the panel's views
    // draw at the panel's place; returns the last comparison and capture.
    test::Comparison waitForCardOnScreen(QImage* shot)
    {
        test::Comparison c;
        spinUntil(
            [&] {
                *shot = captureMainDisplay();
                c = test::compareWithScreen(*shot, panelPlace().topLeft(), controller->panel()->grab().toImage(), 2,
                                            kDesk.rgb());
                return c.complete();
            },
            8000);
        return c;
    }

    panel::SettingsView* rootView() const { return controller->panel()->findChild<panel::SettingsView*>(); }
    // A point of the panel's own coordinates on the capture.
    QRgb onScreen(const QImage& shot, QPoint panelPoint) const { return shot.pixel(panelPlace().topLeft() + panelPoint); }
    // The signed-out card: placed at the top right, every drawn pixel on
    // screen, the Google button's grey 50 fill and the header divider where
    // the views draw them, no desk showing through.
    void expectSignedOutCardOnScreen()
    {
        controller->showPanel();
        KeyablePanel* panel = controller->panel();
        ASSERT_TRUE(panel && QTest::qWaitForWindowExposed(panel));
        EXPECT_EQ(panel->size(), QSize(320, 258));
        EXPECT_EQ(panel->geometry().topRight(),
                  displayBounds.topLeft() + QPoint(displayBounds.width() - 20 - 1,
                                                   int(constants::settingsWindowScreenMargin)));
        ASSERT_NE(rootView(), nullptr);
        ASSERT_EQ(rootView()->currentScreen(), panel::SettingsView::Screen::Authentication);

        QImage shot;
        const test::Comparison c = waitForCardOnScreen(&shot);
        ASSERT_TRUE(c.complete()) << c.describe();
        EXPECT_GT(c.opaque, 320 * 258 * 9 / 10);
        EXPECT_EQ(c.deskInside, 0);
        // The Google button's fill, right of its label.
        QWidget* google = rootView()->authenticationSection()->googleButton();
        const QPoint fillPoint = google->mapTo(panel, QPoint(google->width() - 14, google->height() / 2));
        EXPECT_TRUE(test::nearRgb(onScreen(shot, fillPoint), qRgb(50, 50, 50), 1))
            << std::hex << onScreen(shot, fillPoint);
        // The header divider: a brighter line between two rows of the card's
        // gradient, half way across.
        const int dividerY = int(constants::settingsPanelHeaderHeight);
        const QRgb above = onScreen(shot, QPoint(160, dividerY - 1)), divider = onScreen(shot, QPoint(160, dividerY));
        EXPECT_GE(qRed(divider), std::max(qRed(above), qRed(onScreen(shot, QPoint(160, dividerY + 1)))) + 10);
        // The card's dark gradient under the header, not the desk.
        EXPECT_LE(qRed(above), 40);
        EXPECT_EQ(qRed(above), qBlue(above));
    }

    QRect displayBounds;
    std::unique_ptr<Desk> desk;
    std::unique_ptr<TovrikAppModel> model;
    std::unique_ptr<SettingsPanelController> controller;
};

} // namespace

TEST_F(PanelOnXServer, TheSignInCardIsOnScreenAtTheTopRight)
{
    ASSERT_TRUE(platform::Platform::get().compositorActive()) << "the test command runs a compositor";
    expectSignedOutCardOnScreen();
    if (HasFatalFailure())
        return;
    // The card casts its shadow (black 0.44, blurred 32, 16 down) around
    // itself without moving: darker just below the card than just above it,
    // and gone far away.
    panel::PanelCardShadow* shadow = controller->cardShadow();
    ASSERT_TRUE(shadow);
    EXPECT_TRUE(shadow->isVisible());
    EXPECT_EQ(shadow->cardRect(), controller->panel()->geometry());
    QRgb below = 0, above = 0;
    const QRect card = panelPlace();
    EXPECT_TRUE(spinUntil(
        [&] {
            const QImage shot = captureMainDisplay();
            below = shot.pixel(card.center().x(), card.bottom() + 10);
            above = shot.pixel(card.center().x(), card.top() - 10);
            return qRed(below) <= kDesk.red() - 15 && qBlue(below) <= kDesk.blue() - 15;
        },
        8000))
        << std::hex << below;
    EXPECT_GT(qRed(below), 20) << "a soft shadow, not black";
    EXPECT_GE(qRed(above), kDesk.red() - 5);
    EXPECT_TRUE(isDesk(captureMainDisplay().pixel(card.left() - 80, card.center().y())));
    // It takes no clicks: a person's click on it reaches the window below.
    {
        test::SecondSeat person;
        ASSERT_TRUE(person.ok());
        const int before = desk->presses;
        ASSERT_TRUE(person.click(displayBounds.topLeft() + QPoint(card.center().x(), card.bottom() + 10)));
        EXPECT_TRUE(spinUntil([&] { return desk->presses > before; }, 3000));
    }
    controller->showPanel();
    // Hidden, the desk shows again where the card was: the capture really
    // sees this place.
    const QRect place = panelPlace();
    controller->hidePanel();
    EXPECT_TRUE(spinUntil(
        [&] {
            const QImage shot = captureMainDisplay();
            return !shot.isNull() && isDesk(shot.pixel(place.center())) && isDesk(shot.pixel(place.topLeft() + QPoint(160, 51)));
        },
        8000))
        << "the card stayed on screen after hiding";
    // Shown again, it comes back.
    controller->showPanel();
    QImage shot;
    const test::Comparison again = waitForCardOnScreen(&shot);
    EXPECT_TRUE(again.complete()) << again.describe();
}

// ---- without a compositor: a child process on an X server of its own ----

namespace {

constexpr const char* kChildEnv = "TOVRIK_PANEL_NO_COMPOSITOR_CHILD";

// Runs in the child only (registered when kChildEnv is set): the server has
// no compositor, so the panel's transparent pixels would show black unless
// the mask cuts them away.
class NoCompositorChild : public PanelOnXServer {
public:
    void TestBody() override
    {
        ASSERT_FALSE(platform::Platform::get().compositorActive());
        expectSignedOutCardOnScreen();
        if (HasFatalFailure())
            return;
        // The rounded corners are cut: the desk shows in the very corner,
        // not black.
        const QImage shot = captureMainDisplay();
        for (const QPoint corner : {panelPlace().topLeft(), panelPlace().bottomRight()})
            EXPECT_TRUE(isDesk(shot.pixel(corner))) << std::hex << shot.pixel(corner);
        EXPECT_FALSE(controller->panel()->mask().isEmpty());
        // No shadow without a compositor: the desk right under the card.
        EXPECT_FALSE(controller->cardShadow()->isVisible());
        const QPoint under(panelPlace().center().x(), panelPlace().bottom() + 10);
        EXPECT_TRUE(isDesk(shot.pixel(under))) << std::hex << shot.pixel(under);
    }
};

const bool kChildRegistered = [] {
    if (!std::getenv(kChildEnv))
        return false;
    ::testing::RegisterTest("PanelWithoutCompositor", "Child", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new NoCompositorChild; });
    return true;
}();

} // namespace

TEST(PanelWithoutCompositor, TheCardIsOnScreenWithItsCornersCut)
{
    const auto run = tovrik::test::runTestOnPrivateXServer(QStringLiteral("PanelWithoutCompositor.Child"), kChildEnv);
    ASSERT_TRUE(run.serverStarted) << "the second X server did not start";
    EXPECT_TRUE(run.passed()) << run.output.toStdString();
}

using PanelMonitorsOnXServer = test::OnXServer;

TEST_F(PanelMonitorsOnXServer, OpensOnThePrimaryMonitorAndOnlyAClickElsewhereClosesIt)
{
    test::MonitorsGuard guard{{"TOVRIK-PANEL-MAIN", "TOVRIK-PANEL-SIDE"}};
    ASSERT_TRUE(setMonitor("TOVRIK-PANEL-MAIN", QRect(720, 0, 1200, 800), true, test::firstOutput()));
    ASSERT_TRUE(setMonitor("TOVRIK-PANEL-SIDE", QRect(0, 0, 720, 1080), false));
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    ASSERT_EQ(displays.mainDisplay()->name, QStringLiteral("TOVRIK-PANEL-MAIN"));
    test::SecondSeat person;
    ASSERT_TRUE(person.ok());
    TovrikAppModel model;
    SettingsPanelController controller(model, nullptr);
    controller.showPanel();
    KeyablePanel* panel = controller.panel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(spinUntil([&] { return panel->isVisible(); }));
    // Top-right of the primary monitor: 20 from its right edge, 32 below its top.
    const QRect g = panel->geometry();
    EXPECT_EQ(g.right() + 1, 720 + 1200 - 20);
    EXPECT_EQ(g.top(), 32);
    EXPECT_EQ(controller.panelFrame().topLeft(), QPointF(1200 - 20 - g.width(), 800 - 32 - g.height()));
    // On every workspace.
    xcb_connection_t* c = person.conn();
    const uint32_t window = uint32_t(panel->windowHandle()->winId());
    EXPECT_TRUE(property32(c, window, "_NET_WM_STATE").contains(platform::x11::internAtom(c, "_NET_WM_STATE_STICKY")));
    EXPECT_EQ(property32(c, window, "_NET_WM_DESKTOP"), QList<uint32_t>{0xFFFFFFFFu});
    // A person's click inside the panel keeps it open ...
    ASSERT_TRUE(person.click(g.center() + QPoint(0, g.height() / 4)));
    spinUntil([] { return false; }, 700);
    EXPECT_TRUE(panel->isVisible());
    // ... and one on the other monitor closes it 0.3 s later.
    ASSERT_TRUE(person.click(QPoint(300, 500)));
    EXPECT_TRUE(spinUntil([&] { return !panel->isVisible(); }, 3000));
}
