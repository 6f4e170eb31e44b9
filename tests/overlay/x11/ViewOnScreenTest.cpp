// The companion cursor in the real overlay windows on the real X server
// (with the test command's compositor): drawn beside the pointer, the
// desktop unchanged around it.

#include "overlay/OverlayWindowController.h"
#include "overlay/views/CursorBuddyView.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "support/SimFixture.h"

#include <QPainter>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::overlay;
using tovrik::test::spinUntil;

namespace {

const QColor kDesk(120, 120, 120);

class Desk : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kDesk); }
};

bool isDesk(const QImage& image, QPoint p)
{
    const QColor c = image.pixelColor(p);
    return std::abs(c.red() - kDesk.red()) <= 1 && std::abs(c.green() - kDesk.green()) <= 1
        && std::abs(c.blue() - kDesk.blue()) <= 1;
}

class ViewOnScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    }
    void TearDown() override
    {
        platform::sim::SimPlatform::install();
    }
};

} // namespace

TEST_F(ViewOnScreen, CompanionIsDrawnBesideThePointerAndTheDeskShowsElsewhere)
{
    auto& platform = platform::Platform::get();
    const auto main = platform.displays().mainDisplay();
    ASSERT_TRUE(main);
    Desk desk;
    desk.setWindowFlags(Qt::FramelessWindowHint);
    desk.setGeometry(main->bounds.toRect());
    desk.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&desk));

    const QPointF pointer(400, 300); // display coordinates (y down)
    ASSERT_TRUE(platform.input().postMouse(platform::MouseEventKind::Move, platform::MouseButton::Left, pointer, 0));
    ASSERT_TRUE(spinUntil([&] { return platform.displays().pointerLocation() == pointer; }));

    OverlayWindowController controller;
    controller.setIdleBehavior(true, false, false);
    ASSERT_FALSE(controller.windowManager().overlayWindows().isEmpty());
    CursorBuddyView* view = nullptr;
    for (auto* window : controller.windowManager().overlayWindows())
        if (window->displayID() == main->displayID)
            view = qobject_cast<CursorBuddyView*>(window->contentView());
    ASSERT_TRUE(view);

    const QPoint glyph = (pointer + QPointF(35, 25)).toPoint();
    ASSERT_TRUE(spinUntil([&] {
        const auto p = view->model().presentation();
        return p.glyphCentre == QPointF(glyph) && p.glyphOpacity == 1.0;
    }));
    QImage shot;
    // Once the compositor has shown the overlay: the dark glyph inside its
    // blue halo at pointer + (35, 25), the desk untouched away from it.
    const bool drawn = spinUntil([&] {
        platform.capture().synchronize();
        shot = platform.capture().captureDisplay(main->displayID);
        return !shot.isNull() && !isDesk(shot, glyph);
    });
    ASSERT_TRUE(drawn);
    // Somewhere within the glyph's 32-point square the ink is near black.
    int dark = 0;
    for (int y = glyph.y() - 20; y <= glyph.y() + 12; ++y)
        for (int x = glyph.x() - 16; x <= glyph.x() + 16; ++x)
            dark += shot.pixelColor(x, y).value() < 40;
    EXPECT_GT(dark, 50);
    // The halo tints the desk blue around it.
    const QColor halo = shot.pixelColor(glyph + QPoint(30, 0));
    EXPECT_GT(halo.blue(), halo.red() + 10);
    // Away from the companion nothing changed.
    for (QPoint far : {QPoint(50, 50), glyph + QPoint(200, 0), glyph + QPoint(0, 150), QPoint(900, 700)})
        EXPECT_TRUE(isDesk(shot, far)) << far.x() << "," << far.y();
}
