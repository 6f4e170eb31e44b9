// The panel window controller on the sim platform: placement with and
// without a status-item window, the launch show, the resize that keeps the top
// edge, and the click-outside rule with its onboarding exception.

#include "panel/KeyablePanel.h"
#include "panel/PanelCardShadow.h"
#include "panel/SettingsPanelController.h"

#include "support/SimFixture.h"

#include <QLineEdit>
#include <QPaintEvent>
#include <QPushButton>
#include <QTest>
#include <QWidget>

namespace tovrik {
namespace {

using namespace panel_geometry;
using panel::PanelCardShadow;
using platform::MouseButton;
using platform::sim::SimDisplays;

// A stand-in for the model's change signal and the two values the panel reads.
class FakePanelModel : public QObject {
    Q_OBJECT
public:
    QSizeF size{320, 258};
    bool permissionGrantRequired = false;
    void set(QSizeF s)
    {
        size = s;
        emit changed();
    }
signals:
    void changed();
};

class FixedAnchor : public StatusItemAnchor {
public:
    std::optional<QRectF> frame;
    std::optional<QRectF> buttonWindowFrame() const override { return frame; }
};

class PanelControllerTest : public test::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        // One 1440 × 900 main display (AppKit frame = bounds flipped).
        sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 1.0, true)});
        makeController(nullptr);
    }
    void TearDown() override
    {
        controller.reset();
        SimTest::TearDown();
    }
    void makeController(StatusItemAnchor* anchor)
    {
        controller.reset();
        SettingsPanelController::ModelSource source;
        source.notifier = &model;
        source.preferredPanelSize = [this] { return model.size; };
        source.requiresPermissionGrant = [this] { return model.permissionGrantRequired; };
        controller = std::make_unique<SettingsPanelController>(source, anchor);
        controller->setApplicationActiveProbe([this] { return appActive; });
    }
    QRect geometry() const { return controller->panel()->geometry(); }

    FakePanelModel model;
    bool appActive = true;
    std::unique_ptr<SettingsPanelController> controller;
};

// ---- the placement rules, in AppKit coordinates (y up) ----

TEST(PanelGeometry, PlacementsUnderTheStatusItemWithoutItAndAfterAResize)
{
    const QRectF V(0, 0, 1440, 875); // below a 25-point menu bar
    const QRectF big(0, 0, 1440, 900);
    struct Row {
        const char* what;
        QRectF got, want;
    };
    const Row rows[] = {
        {"under the item, centred, 8 below", placementUnderStatusItem({700, 876, 24, 24}, V, 320, 312),
         {552, 556, 320, 312}},
        {"item at the left edge", placementUnderStatusItem({2, 876, 24, 24}, V, 320, 312), {8, 556, 320, 312}},
        {"taller than the room below: 8 above the bottom", placementUnderStatusItem({700, 500, 24, 24}, V, 320, 650),
         {552, 8, 320, 650}},
        {"second display with its own origin",
         placementUnderStatusItem({3300, 876, 24, 24}, {1440, -100, 1920, 1000}, 320, 258),
         {1440 + 1920 - 320 - 8, 876 - 258 - 8, 320, 258}},
        {"no item: top right, 20 and 32 in", placementWithoutStatusItem({0, 0, 1920, 1080}, 320, 258),
         {1920 - 320 - 20, 1080 - 258 - 32, 320, 258}},
        {"no item, frame smaller than the panel", placementWithoutStatusItem({0, 0, 200, 100}, 320, 258),
         {8, 8, 320, 258}},
        {"no screen: the panel's own rectangle", placementWithoutStatusItem({0, 0, 320, 380}, 320, 380),
         {8, 8, 320, 380}},
        {"grown: the top edge (868) stays", resizedFrame({1100, 610, 320, 258}, big, 320, 380), {1100, 488, 320, 380}},
        {"grown near the bottom: 8 above it", resizedFrame({1100, 20, 320, 258}, big, 320, 650), {1100, 8, 320, 650}},
        {"wider than the room on the right", resizedFrame({1300, 610, 100, 258}, big, 320, 258),
         {1440 - 320 - 8, 610, 320, 258}},
        // On a tray at the bottom the bottom edge stays instead.
        {"bottom tray, shorter: the bottom edge (8) stays", resizedFrameKeepingBottom({1100, 8, 320, 650}, big, 320, 312),
         {1100, 8, 320, 312}},
        {"bottom tray, taller than the room above: 8 below the top",
         resizedFrameKeepingBottom({1100, 300, 320, 258}, big, 320, 650), {1100, 900 - 650 - 8, 320, 650}},
        {"bottom tray, taller than the screen: 8 above the bottom",
         resizedFrameKeepingBottom({1100, 300, 320, 258}, big, 320, 950), {1100, 8, 320, 950}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.got, r.want) << r.what;
    // Which tray: the item's centre below or above the middle of V.
    EXPECT_TRUE(isAtBottomTray({1300, 0, 24, 24}, {0, 25, 1440, 875}));
    EXPECT_FALSE(isAtBottomTray({1300, 876, 24, 24}, V));
}

TEST_F(PanelControllerTest, LaunchShowAfterThreeTenthsAtTheTopRightOrUnderTheStatusItemCornersMaskedOnlyWithoutACompositor)
{
    controller->showPanelOnLaunch();
    advance(0.29);
    EXPECT_FALSE(controller->isPanelVisible());
    advance(0.02);
    ASSERT_TRUE(controller->isPanelVisible());
    EXPECT_EQ(geometry(), QRect(1440 - 320 - 20, 32, 320, 258));
    EXPECT_EQ(controller->panelFrame(), QRectF(1100, 900 - 258 - 32, 320, 258));
    EXPECT_TRUE(controller->hasClickOutsideMonitor());
    // The corners are cut by a mask only without a compositor (focus, the
    // taskbar hint and the transparent corners are checked on the X server).
    controller->hidePanel();
    sim->setCompositorActive(false);
    controller->showPanel();
    EXPECT_TRUE(controller->panel()->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_DOUBLE_EQ(controller->panel()->cornerRadius(), 17);
    const QRegion mask = controller->panel()->mask();
    ASSERT_FALSE(mask.isEmpty());
    EXPECT_FALSE(mask.contains(QPoint(1, 1)));        // the rounded corner is cut
    EXPECT_FALSE(mask.contains(QPoint(318, 256)));
    EXPECT_TRUE(mask.contains(QPoint(160, 1)));       // the top edge's middle stays
    EXPECT_TRUE(mask.contains(QPoint(17, 17)));
    sim->setCompositorActive(true);
    controller->hidePanel();
    controller->showPanel();
    EXPECT_TRUE(controller->panel()->mask().isEmpty());
    // Under the status item when it has a window.
    FixedAnchor anchor;
    anchor.frame = QRectF(1410, 876, 24, 24); // near the right edge
    makeController(&anchor);
    model.size = QSizeF(320, 312);
    controller->showPanel();
    EXPECT_EQ(controller->panelFrame(), QRectF(1440 - 320 - 8, 876 - 312 - 8, 320, 312));
    // The item loses its window (tray gone): the next show uses the top right.
    anchor.frame.reset();
    controller->showPanel();
    EXPECT_EQ(controller->panelFrame(), QRectF(1100, 900 - 312 - 32, 320, 312));
    // No screen at all: 8 and 8.
    sim->simDisplays().setDisplays({});
    controller->showPanel();
    EXPECT_EQ(controller->panelFrame(), QRectF(8, 8, 320, 312));
}

TEST_F(PanelControllerTest, TheCardsShadowFollowsThePanelOnlyWhereACompositorRunsAndTakesNoInput)
{
    controller->showPanel();
    panel::PanelCardShadow* shadow = controller->cardShadow();
    ASSERT_TRUE(shadow);
    EXPECT_TRUE(shadow->isVisible());
    // Around the card, which keeps its place: 49 at the sides, 33 above and
    // 65 below (the blur's reach, the offset of 16 moving it down).
    EXPECT_EQ(geometry(), QRect(1440 - 320 - 20, 32, 320, 258));
    EXPECT_EQ(shadow->cardRect(), geometry());
    EXPECT_EQ(PanelCardShadow::margins(), QMargins(49, 33, 49, 65));
    EXPECT_TRUE(shadow->windowFlags() & Qt::WindowTransparentForInput);
    EXPECT_TRUE(shadow->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    // Clear over the card; black at most 0.44 around it, more below than above.
    const QImage image = shadow->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QMargins m = PanelCardShadow::margins();
    EXPECT_EQ(qAlpha(image.pixel(m.left() + 160, m.top() + 100)), 0);
    const QRgb below = image.pixel(m.left() + 160, m.top() + 258 + 10);
    const int above = qAlpha(image.pixel(m.left() + 160, m.top() - 10));
    EXPECT_GT(qAlpha(below), above + 30);
    EXPECT_LE(qAlpha(below), 113); // 0.44 of 255
    EXPECT_EQ(qRed(below), 0);
    // It follows the resize, hides with the panel and without a compositor.
    model.set(QSizeF(320, 380));
    test::drainEvents();
    advance(0.2);
    EXPECT_EQ(shadow->cardRect(), geometry());
    controller->hidePanel();
    EXPECT_FALSE(shadow->isVisible());
    controller->showPanel();
    EXPECT_TRUE(shadow->isVisible());
    sim->setCompositorActive(false);
    EXPECT_FALSE(shadow->isVisible());
    EXPECT_TRUE(controller->isPanelVisible());
    sim->setCompositorActive(true);
    EXPECT_TRUE(shadow->isVisible());
}

TEST_F(PanelControllerTest, GrowingKeepsTheTopEdgeAndAnimatesOverSixteenHundredthsUnlessHidden)
{
    controller->showPanel();
    const int top = geometry().top();
    model.set(QSizeF(320, 380));
    test::drainEvents();
    ASSERT_TRUE(controller->resizeAnimationTarget().has_value());
    EXPECT_EQ(*controller->resizeAnimationTarget(), QRectF(1100, 900 - 32 - 380, 320, 380));
    advance(0.08); // under way, not done
    const int midHeight = geometry().height();
    EXPECT_GT(midHeight, 258 + 10);
    EXPECT_LT(midHeight, 380 - 10);
    EXPECT_EQ(geometry().top(), top);
    EXPECT_TRUE(controller->resizeAnimationTarget().has_value());
    advance(0.09);
    EXPECT_EQ(geometry(), QRect(1100, top, 320, 380));
    EXPECT_FALSE(controller->resizeAnimationTarget().has_value());
    // A change while hidden moves nothing; the next show uses the new size.
    controller->hidePanel();
    const QRect before = geometry();
    model.set(QSizeF(320, 650));
    advance(0.5);
    EXPECT_EQ(geometry(), before);
    EXPECT_FALSE(controller->resizeAnimationTarget().has_value());
    controller->showPanel();
    EXPECT_EQ(geometry(), QRect(1100, 32, 320, 650));
}

TEST_F(PanelControllerTest, AClickOutsideHidesItAfterThreeTenthsOneInsideOrDuringBackgroundOnboardingNeverAndToggleAlternates)
{
    controller->showPanel();
    const QRect g = geometry();
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(g.center()));
    sim->simEventTap().injectMouseDown(MouseButton::Right, QPointF(g.left() + 1, g.top() + 1));
    advance(1.0);
    EXPECT_TRUE(controller->isPanelVisible());
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(200, 500));
    advance(0.29);
    EXPECT_TRUE(controller->isPanelVisible());
    advance(0.02);
    EXPECT_FALSE(controller->isPanelVisible());
    EXPECT_FALSE(controller->hasClickOutsideMonitor());
    // The panel stays in memory and comes back where it was.
    KeyablePanel* panel = controller->panel();
    controller->showPanel();
    EXPECT_EQ(controller->panel(), panel);
    // A right click elsewhere closes it too; a middle click does not.
    sim->simEventTap().injectMouseDown(MouseButton::Middle, QPointF(200, 500));
    advance(0.5);
    EXPECT_TRUE(controller->isPanelVisible());
    sim->simEventTap().injectMouseDown(MouseButton::Right, QPointF(200, 500));
    advance(0.5);
    EXPECT_FALSE(controller->isPanelVisible());
    // Toggling alternates; no monitor while hidden, so a click elsewhere
    // then changes nothing later.
    controller->toggle();
    EXPECT_TRUE(controller->isPanelVisible());
    EXPECT_TRUE(controller->hasClickOutsideMonitor());
    controller->toggle();
    EXPECT_FALSE(controller->isPanelVisible());
    EXPECT_FALSE(controller->hasClickOutsideMonitor());
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(10, 10));
    controller->toggle();
    advance(0.5);
    EXPECT_TRUE(controller->isPanelVisible());
    // During onboarding with the application in the background a click elsewhere keeps it.
    model.permissionGrantRequired = true;
    appActive = false;
    controller->showPanel();
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(10, 10));
    advance(0.5);
    EXPECT_TRUE(controller->isPanelVisible());
    // Decided when the delay ends, not at the click.
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(10, 10));
    advance(0.1);
    appActive = true;
    advance(0.3);
    EXPECT_FALSE(controller->isPanelVisible());
    // Without the onboarding need an inactive application still closes it.
    model.permissionGrantRequired = false;
    appActive = false;
    controller->showPanel();
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(10, 10));
    advance(0.5);
    EXPECT_FALSE(controller->isPanelVisible());
}

TEST_F(PanelControllerTest, RootViewIsMadeOnceFillsThePanelAndCanCloseIt)
{
    int made = 0;
    std::function<void()> close;
    QPointer<QWidget> root;
    controller->setRootViewFactory([&](std::function<void()> onClose) {
        ++made;
        close = std::move(onClose);
        root = new QWidget;
        return root.data();
    });
    controller->showPanel();
    controller->hidePanel();
    controller->showPanel();
    EXPECT_EQ(made, 1);
    ASSERT_TRUE(root);
    test::drainEvents();
    EXPECT_EQ(root->window(), controller->panel());
    EXPECT_EQ(root->size(), QSize(320, 258));
    close();
    EXPECT_FALSE(controller->isPanelVisible());
    // onClose outliving the controller does nothing.
    controller.reset();
    close();
}

// Paints of a full-size backdrop, by the area each one covered.
class PaintedAreas : public QWidget {
public:
    using QWidget::QWidget;
    QList<QRect> painted;

protected:
    void paintEvent(QPaintEvent* event) override { painted << event->rect(); }
};

TEST_F(PanelControllerTest, AClickOnAButtonLeavesTheFocusInTheFieldAndRepaintsOnlyTheButton)
{
    PaintedAreas* backdrop = nullptr;
    QLineEdit* field = nullptr;
    QPushButton* button = nullptr;
    controller->setRootViewFactory([&](std::function<void()>) {
        backdrop = new PaintedAreas;
        field = new QLineEdit(backdrop);
        field->setGeometry(16, 200, 200, 24);
        button = new QPushButton(QStringLiteral("Ask"), backdrop);
        button->setFocusPolicy(Qt::NoFocus); // as the panel's buttons
        button->setGeometry(240, 200, 60, 30);
        return backdrop;
    });
    controller->showPanel();
    KeyablePanel* panel = controller->panel();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
    field->setFocus();
    QTest::keyClicks(field, "hi");
    test::drainEvents();
    ASSERT_TRUE(field->hasFocus());
    backdrop->painted.clear();
    QTest::mouseClick(button, Qt::LeftButton);
    test::drainEvents();
    EXPECT_TRUE(field->hasFocus());
    for (const QRect& r : std::as_const(backdrop->painted))
        EXPECT_TRUE(button->geometry().contains(r)) << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}

} // namespace
} // namespace tovrik

#include "PanelControllerTest.moc"
