// The panel window controller on the sim platform: placement with and
// without a status-item window, the launch show, the resize that keeps the top
// edge, and the click-outside rule with its onboarding exception.

#include "panel/KeyablePanel.h"
#include "panel/SettingsPanelController.h"

#include "common/Constants.h"
#include "support/SimFixture.h"

#include <QVBoxLayout>
#include <QWidget>

namespace tovrik {
namespace {

using namespace panel_geometry;
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

// ---- the placement rules as stated, in AppKit coordinates ----

TEST(PanelGeometry, UnderTheStatusItemCentredAndHanging8Below)
{
    const QRectF V(0, 0, 1440, 875); // below a 25-point menu bar
    const QRectF B(700, 876, 24, 24);
    EXPECT_EQ(placementUnderStatusItem(B, V, 320, 312), QRectF(552, 556, 320, 312));
}

TEST(PanelGeometry, StatusItemNearAnEdgeKeepsThePanel8Inside)
{
    const QRectF V(0, 0, 1440, 875);
    // Right edge: 1440 − 320 − 8.
    EXPECT_EQ(placementUnderStatusItem(QRectF(1410, 876, 24, 24), V, 320, 312).x(), 1112);
    // Left edge.
    EXPECT_EQ(placementUnderStatusItem(QRectF(2, 876, 24, 24), V, 320, 312).x(), 8);
    // A panel taller than the room below the item stops 8 above the bottom.
    EXPECT_EQ(placementUnderStatusItem(QRectF(700, 500, 24, 24), V, 320, 650).y(), 8);
    // On a second display to the right with its own origin.
    const QRectF V2(1440, -100, 1920, 1000);
    const QRectF r = placementUnderStatusItem(QRectF(3300, 876, 24, 24), V2, 320, 258);
    EXPECT_EQ(r.x(), 1440 + 1920 - 320 - 8);
    EXPECT_EQ(r.y(), 876 - 258 - 8);
}

TEST(PanelGeometry, WithoutAStatusItemTopRightWithThe32PointMargin)
{
    EXPECT_DOUBLE_EQ(constants::settingsWindowScreenMargin, 32);
    const QRectF V(0, 0, 1920, 1080);
    EXPECT_EQ(placementWithoutStatusItem(V, 320, 258), QRectF(1920 - 320 - 20, 1080 - 258 - 32, 320, 258));
    // A visible frame smaller than the panel: 8 from the left and bottom.
    EXPECT_EQ(placementWithoutStatusItem(QRectF(0, 0, 200, 100), 320, 258), QRectF(8, 8, 320, 258));
    // No screen: the rectangle (0, 0, w, h) gives exactly (8, 8).
    EXPECT_EQ(placementWithoutStatusItem(QRectF(0, 0, 320, 380), 320, 380), QRectF(8, 8, 320, 380));
}

TEST(PanelGeometry, ResizeKeepsTheTopEdgeAndGrowsUpwardOnlyAtTheBottom)
{
    const QRectF V(0, 0, 1440, 900);
    const QRectF F(1100, 610, 320, 258); // top at 868
    const QRectF grown = resizedFrame(F, V, 320, 380);
    EXPECT_EQ(grown, QRectF(1100, 488, 320, 380));
    EXPECT_EQ(grown.y() + grown.height(), F.y() + F.height());
    // Near the bottom: the bottom edge stops 8 above V's bottom.
    const QRectF low(1100, 20, 320, 258);
    EXPECT_EQ(resizedFrame(low, V, 320, 650), QRectF(1100, 8, 320, 650));
    // Wider than the room on the right: pulled in to 8 inside.
    EXPECT_EQ(resizedFrame(QRectF(1300, 610, 100, 258), V, 320, 258).x(), 1440 - 320 - 8);
}

// ---- the controller ----

TEST_F(PanelControllerTest, LaunchShowComesAfterThreeTenthsOfASecondAtTheTopRight)
{
    controller->showPanelOnLaunch();
    advance(0.29);
    EXPECT_FALSE(controller->isPanelVisible());
    advance(0.02);
    ASSERT_TRUE(controller->isPanelVisible());
    EXPECT_EQ(geometry(), QRect(1440 - 320 - 20, 32, 320, 258));
    EXPECT_EQ(controller->panelFrame(), QRectF(1100, 900 - 258 - 32, 320, 258));
    EXPECT_TRUE(controller->hasClickOutsideMonitor());
}

TEST_F(PanelControllerTest, PanelIsAFramelessFloatingToolWindowThatMayTakeFocus)
{
    controller->showPanel();
    KeyablePanel* panel = controller->panel();
    ASSERT_NE(panel, nullptr);
    const Qt::WindowFlags flags = panel->windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool); // a tool window, not a popup
    EXPECT_TRUE(flags & Qt::FramelessWindowHint);
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(flags & Qt::WindowDoesNotAcceptFocus);
    EXPECT_TRUE(panel->canBecomeKey());
    EXPECT_TRUE(panel->canBecomeMain());
    EXPECT_TRUE(panel->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_DOUBLE_EQ(panel->cornerRadius(), 17);
}

TEST_F(PanelControllerTest, CornersAreCutByAMaskOnlyWithoutACompositor)
{
    sim->setCompositorActive(false);
    controller->showPanel();
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
}

TEST_F(PanelControllerTest, PlacedUnderTheStatusItemWhenItHasAWindow)
{
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
}

TEST_F(PanelControllerTest, NoScreenAtAllPutsThePanelAt8And8)
{
    sim->simDisplays().setDisplays({});
    controller->showPanel();
    EXPECT_EQ(controller->panelFrame(), QRectF(8, 8, 320, 258));
}

TEST_F(PanelControllerTest, GrowingKeepsTheTopEdgeAndAnimatesOverSixteenHundredths)
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
}

TEST_F(PanelControllerTest, AChangeWhileHiddenMovesNothingAndTheNextShowUsesTheNewSize)
{
    controller->showPanel();
    controller->hidePanel();
    const QRect before = geometry();
    model.set(QSizeF(320, 650));
    advance(0.5);
    EXPECT_EQ(geometry(), before);
    EXPECT_FALSE(controller->resizeAnimationTarget().has_value());
    controller->showPanel();
    EXPECT_EQ(geometry(), QRect(1100, 32, 320, 650));
}

TEST_F(PanelControllerTest, AClickOutsideHidesThePanelAfterThreeTenths)
{
    controller->showPanel();
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
}

TEST_F(PanelControllerTest, AClickInsideThePanelNeverClosesIt)
{
    controller->showPanel();
    const QRect g = geometry();
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(g.center()));
    sim->simEventTap().injectMouseDown(MouseButton::Right, QPointF(g.left() + 1, g.top() + 1));
    advance(1.0);
    EXPECT_TRUE(controller->isPanelVisible());
}

TEST_F(PanelControllerTest, OnboardingKeepsThePanelOpenOnlyWhileTheApplicationIsInactive)
{
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

TEST_F(PanelControllerTest, ToggleAlternatesAndHidingRemovesTheMonitor)
{
    controller->toggle();
    EXPECT_TRUE(controller->isPanelVisible());
    EXPECT_TRUE(controller->hasClickOutsideMonitor());
    controller->toggle();
    EXPECT_FALSE(controller->isPanelVisible());
    EXPECT_FALSE(controller->hasClickOutsideMonitor());
    // No monitor while hidden: a click elsewhere then changes nothing later.
    sim->simEventTap().injectMouseDown(MouseButton::Left, QPointF(10, 10));
    controller->toggle();
    advance(0.5);
    EXPECT_TRUE(controller->isPanelVisible());
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

} // namespace
} // namespace tovrik

#include "PanelControllerTest.moc"
