// Displays on the real X server, checked against the server's own screen
// geometry and Qt's view of it (RandR monitors: the overlay and autopilot
// tests).

#include "support/X11TestClients.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Platform.h"
#include "support/SimFixture.h"

#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <QScreen>
#include <gtest/gtest.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;

TEST(X11Displays, OneScreenMatchesTheServerGeometryAndQtsView)
{
    X11Displays displays;
    ASSERT_TRUE(displays.isConnected());
    XcbConnection c(nullptr);
    ASSERT_TRUE(c.screen());
    const QRect root(0, 0, c.screen()->width_in_pixels, c.screen()->height_in_pixels);
    const auto all = displays.displays();
    ASSERT_EQ(all.size(), 1);
    const auto& d = all.first();
    const double s = d.scale;
    EXPECT_DOUBLE_EQ(s, qApp->primaryScreen()->devicePixelRatio());
    EXPECT_TRUE(d.isMain);
    EXPECT_EQ(d.bounds, QRectF(0, 0, root.width() / s, root.height() / s));
    EXPECT_EQ(d.bounds.toRect(), qApp->primaryScreen()->geometry());
    EXPECT_EQ(displays.pixelRect(d.displayID), root);
    EXPECT_EQ(displays.configurationRevision(), 1u);
    // A second registry (a rebuild) names the screen the same way.
    EXPECT_EQ(X11Displays().displays().value(0).displayID, d.displayID);
    EXPECT_FALSE(displays.display(d.displayID ^ 1u).has_value());
    // The pointer in display points, and flipped for AppKit.
    tovrik::test::XClient client;
    ASSERT_TRUE(client.moveTo(QPoint(321, 123)));
    EXPECT_EQ(displays.pointerLocation(), QPointF(321 / s, 123 / s));
    EXPECT_EQ(displays.pointerLocationAppKit(), QPointF(321 / s, d.bounds.height() - 123 / s));
}


// The companion follows the pointer from these notices: a pointer that a
// program warps (xdotool mousemove) must be seen as well as device motion,
// and a still pointer reports nothing.
TEST(X11Displays, PointerMotionNoticesCoverWarpsAndDeviceMotion)
{
    X11Platform platform;
    ASSERT_TRUE(platform.isConnected());
    auto& displays = platform.displays();
    QList<QPointF> seen;
    QObject::connect(&displays, &Displays::pointerMoved, [&](QPointF p) { seen << p; });
    auto watch = displays.watchPointerMotion();
    ASSERT_TRUE(watch);
    QTest::qWait(400); // past the reads made while the watch starts
    seen.clear();
    const double s = displays.displays().value(0).scale;
    tovrik::test::XClient client;
    const struct {
        const char* how;
        QPoint to;
        std::function<bool()> move;
    } moves[] = {
        {"warp", {40, 50}, [] { return QProcess::execute("xdotool", {"mousemove", "40", "50"}) == 0; }},
        {"device", {300, 210}, [&] { return client.moveTo(QPoint(300, 210)); }},
        {"warp", {7, 9}, [] { return QProcess::execute("xdotool", {"mousemove", "7", "9"}) == 0; }},
    };
    for (const auto& m : moves) {
        SCOPED_TRACE(m.how);
        ASSERT_TRUE(m.move());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !seen.isEmpty() && seen.last() == QPointF(m.to) / s; }, 5000))
            << (seen.isEmpty() ? QString("nothing") : QString("%1,%2").arg(seen.last().x()).arg(seen.last().y())).toStdString();
    }
    const auto count = seen.size();
    QTest::qWait(200);
    EXPECT_EQ(seen.size(), count);
}
