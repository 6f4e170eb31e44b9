// Displays on the real X server, checked against the server's own screen
// geometry and against virtual monitors set through RandR.

#include "support/X11TestClients.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/Xcb.h"
#include "support/RandrMonitors.h"
#include "support/SimFixture.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>
#include <xcb/randr.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#undef None
#undef Bool
#undef Status

using namespace tovrik::platform;
using namespace tovrik::platform::x11;
using tovrik::test::firstOutput;
using tovrik::test::setMonitor;

namespace {

QRect rootGeometry()
{
    XcbConnection c(nullptr);
    auto* s = c.screen();
    return s ? QRect(0, 0, s->width_in_pixels, s->height_in_pixels) : QRect();
}


} // namespace

TEST(X11Displays, OneScreenMatchesTheServerGeometry)
{
    X11Displays displays;
    ASSERT_TRUE(displays.isConnected());
    const QRect root = rootGeometry();
    ASSERT_FALSE(root.isEmpty());
    const auto all = displays.displays();
    ASSERT_EQ(all.size(), 1);
    const auto& d = all.first();
    const double s = d.scale;
    EXPECT_DOUBLE_EQ(s, qApp->primaryScreen()->devicePixelRatio());
    EXPECT_TRUE(d.isMain);
    EXPECT_EQ(d.bounds, QRectF(0, 0, root.width() / s, root.height() / s));
    EXPECT_EQ(d.frame, QRectF(0, 0, root.width() / s, root.height() / s));
    // Qt's own view of the same screen.
    EXPECT_EQ(d.bounds.toRect(), qApp->primaryScreen()->geometry());
    EXPECT_NE(d.displayID, 0u);
    EXPECT_EQ(displays.pixelRect(d.displayID), root);
    EXPECT_EQ(displays.configurationRevision(), 1u);
    // A second registry (a rebuild) names the screen the same way.
    X11Displays again;
    ASSERT_EQ(again.displays().size(), 1);
    EXPECT_EQ(again.displays().first().displayID, d.displayID);
    EXPECT_EQ(displays.mainDisplay()->displayID, d.displayID);
    EXPECT_FALSE(displays.display(d.displayID ^ 1u).has_value());
}

TEST(X11Displays, VirtualMonitorsBecomeTwoDisplaysWithAppKitFrames)
{
    X11Displays displays;
    ASSERT_TRUE(displays.isConnected());
    const QRect root = rootGeometry();
    ASSERT_GE(root.width(), 1920);
    ASSERT_GE(root.height(), 1080);
    const xcb_randr_output_t output = firstOutput();
    ASSERT_NE(output, 0u);
    QSignalSpy changed(&displays, &Displays::displaysChanged);
    const quint64 before = displays.configurationRevision();

    // Main: 1200x800 at the origin on the server's output; a second,
    // taller monitor to its right, 100 pixels lower.
    ASSERT_TRUE(setMonitor("TOVRIK-MAIN", QRect(0, 0, 1200, 800), true, output));
    ASSERT_TRUE(setMonitor("TOVRIK-SIDE", QRect(1200, 0, 720, 1080), false));
    const bool notified = tovrik::test::spinUntil([&] { return displays.displays().size() == 2; }, 3000);
    if (!notified)
        displays.refresh(); // the server did not announce the monitors
    const auto all = displays.displays();
    setMonitor("TOVRIK-SIDE", QRect(), false);
    setMonitor("TOVRIK-MAIN", QRect(), false);

    ASSERT_EQ(all.size(), 2);
    EXPECT_TRUE(notified) << "no change notification for new RandR monitors";
    EXPECT_GE(changed.count(), 1);
    EXPECT_GT(displays.configurationRevision(), before);
    EXPECT_EQ(all[0].name, "TOVRIK-MAIN");
    EXPECT_TRUE(all[0].isMain);
    EXPECT_EQ(all[0].bounds, QRectF(0, 0, 1200, 800));
    EXPECT_EQ(all[0].frame, QRectF(0, 0, 1200, 800));
    EXPECT_EQ(all[1].name, "TOVRIK-SIDE");
    EXPECT_EQ(all[1].bounds, QRectF(1200, 0, 720, 1080));
    // y' = H - y - h = 800 - 0 - 1080.
    EXPECT_EQ(all[1].frame, QRectF(1200, -280, 720, 1080));
    EXPECT_EQ(all[1].displayID, stableDisplayID("TOVRIK-SIDE"));
    EXPECT_EQ(displays.pixelRect(all[1].displayID), QRect(1200, 0, 720, 1080));

    // Removing them returns to one screen.
    EXPECT_TRUE(tovrik::test::spinUntil([&] { return displays.displays().size() == 1; }, 3000));
}

TEST(X11Displays, PointerLocationIsInDisplayPoints)
{
    X11Displays displays;
    tovrik::test::XClient client;
    ASSERT_TRUE(client.moveTo(QPoint(321, 123)));
    const double s = displays.scale();
    EXPECT_EQ(displays.pointerLocation(), QPointF(321 / s, 123 / s));
    const double h = displays.mainDisplay()->bounds.height();
    EXPECT_EQ(displays.pointerLocationAppKit(), QPointF(321 / s, h - 123 / s));
}
