// XTest synthetic input landing in real windows on the X server, and the
// displays checked against the server's own screen geometry and Qt's view of
// it (RandR monitors: the overlay and autopilot tests).

#include "support/X11TestClients.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"
#include "support/SimFixture.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <QWheelEvent>
#include <QWidget>
#include <atomic>
#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;

namespace {

class Probe : public QWidget {
public:
    struct Press {
        QPoint pos;
        Qt::MouseButton button;
    };
    std::vector<Press> presses;
    std::vector<Press> releases;
    std::vector<QPoint> wheels;

protected:
    void mousePressEvent(QMouseEvent* e) override { presses.push_back({e->position().toPoint(), e->button()}); }
    void mouseReleaseEvent(QMouseEvent* e) override { releases.push_back({e->position().toPoint(), e->button()}); }
    void wheelEvent(QWheelEvent* e) override { wheels.push_back(e->angleDelta()); }
};

class X11InputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(displays.isConnected());
        ASSERT_TRUE(input.isAvailable());
        ASSERT_DOUBLE_EQ(displays.scale(), 1.0);
    }
    X11Displays displays;
    X11Input input{displays};
};

} // namespace

TEST_F(X11InputTest, ClickLandsInAWindowAtTheExpectedPixel)
{
    Probe probe;
    probe.setWindowFlags(Qt::FramelessWindowHint);
    probe.setGeometry(200, 150, 300, 200);
    probe.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&probe));
    ASSERT_TRUE(spinUntil([&] { return probe.mapToGlobal(QPoint(0, 0)) == QPoint(200, 150); }));

    ASSERT_TRUE(input.postMouse(MouseEventKind::Move, MouseButton::Left, QPointF(237, 191), 0));
    EXPECT_EQ(displays.pointerLocation(), QPointF(237, 191));
    // A left click, then a right press with a drag, released where the
    // pointer ended; points are rounded to whole pixels.
    const std::tuple<MouseButton, Qt::MouseButton, QPointF, QPointF, QPoint, QPoint> clicks[] = {
        {MouseButton::Left, Qt::LeftButton, QPointF(237, 191), QPointF(237, 191), QPoint(37, 41), QPoint(37, 41)},
        {MouseButton::Right, Qt::RightButton, QPointF(450.4, 300.6), QPointF(470, 320), QPoint(250, 151), QPoint(270, 170)}};
    for (const auto& [button, qtButton, down, up, pressed, released] : clicks) {
        const size_t n = probe.releases.size();
        ASSERT_TRUE(input.postMouse(MouseEventKind::Down, button, down, 1));
        ASSERT_TRUE(input.postMouse(MouseEventKind::Drag, button, (down + up) / 2, 1));
        ASSERT_TRUE(input.postMouse(MouseEventKind::Up, button, up, 1));
        ASSERT_TRUE(spinUntil([&] { return probe.releases.size() == n + 1; }));
        ASSERT_EQ(probe.presses.size(), n + 1);
        EXPECT_EQ(probe.presses[n].pos, pressed);
        EXPECT_EQ(probe.presses[n].button, qtButton);
        EXPECT_EQ(probe.releases[n].pos, released);
    }
    EXPECT_FALSE(input.postMouse(MouseEventKind::Move, MouseButton::Left, QPointF(qQNaN(), 1), 0));

    // Wheel notches in their directions: two lines up, 160 pixels down (two
    // notches), right, left (Qt gives scrolling left a positive delta).
    const std::tuple<int, int, bool, QPoint> scrolls[] = {{2, 0, false, QPoint(0, 1)}, {-160, 0, true, QPoint(0, -1)},
                                                          {0, 1, false, QPoint(-1, 0)}, {0, -1, false, QPoint(1, 0)}};
    for (const auto& [dy, dx, pixels, sign] : scrolls) {
        probe.wheels.clear();
        ASSERT_TRUE(input.postScroll(dy, dx, pixels));
        const size_t notches = size_t(scrollNotches(dy, pixels) + scrollNotches(dx, pixels));
        ASSERT_TRUE(spinUntil([&] { return probe.wheels.size() == notches; }));
        for (const auto& d : probe.wheels)
            EXPECT_GT(d.x() * sign.x() + d.y() * sign.y(), 0);
    }
}

TEST_F(X11InputTest, PhysicalKeysAreThoseOfEveryDeviceButOurs)
{
    // Without a tap: the core keyboard minus our own keys.
    tovrik::test::XClient other;
    ASSERT_TRUE(input.postKey(KeyCode::Shift, true, 0));
    ASSERT_TRUE(other.key(XK_Escape, true));
    EXPECT_FALSE(input.isKeyPhysicallyDown(KeyCode::Shift));
    EXPECT_TRUE(input.isKeyPhysicallyDown(KeyCode::Escape));
    ASSERT_TRUE(other.key(XK_Escape, false));

    // While a tap runs, what it saw from devices that are not ours: a chord
    // held on another master too (a second seat, a remote-desktop client),
    // and keys posted through XTest by another program on our master.
    X11EventTap tap(displays, input);
    std::atomic<int> seen{0};
    auto session = tap.start(QStringLiteral("tovrik.tap-test"), [&](const RawInputEvent&) { ++seen; });
    ASSERT_TRUE(session);
    tovrik::test::SecondSeat seat;
    ASSERT_TRUE(seat.ok());
    ASSERT_TRUE(seat.key(XK_Control_L, true) && seat.key(XK_Alt_L, true) && other.key(XK_Escape, true));
    ASSERT_TRUE(spinUntil([&] { return seen.load() >= 3; }));
    EXPECT_EQ(input.physicalModifiers(), uint32_t(ModControl | ModOption));
    EXPECT_TRUE(input.isKeyPhysicallyDown(KeyCode::Option));
    EXPECT_TRUE(input.isKeyPhysicallyDown(KeyCode::Escape));
    EXPECT_FALSE(input.isKeyPhysicallyDown(KeyCode::Shift));
    ASSERT_TRUE(seat.key(XK_Alt_L, false) && seat.key(XK_Control_L, false) && other.key(XK_Escape, false)
                && input.postKey(KeyCode::Shift, false, 0));
    ASSERT_TRUE(spinUntil([&] { return seen.load() >= 7; }));
    EXPECT_EQ(input.physicalModifiers(), 0u);
    EXPECT_FALSE(input.isKeyPhysicallyDown(KeyCode::Escape));

    // Keys still held are released when an input goes away.
    auto superDown = [&] {
        KeyboardMapping map;
        map.load(other.conn());
        XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(other.conn(), xcb_query_keymap(other.conn()), nullptr));
        const auto codes = map.keycodesFor(XK_Super_L);
        return std::any_of(codes.begin(), codes.end(), [&](uint8_t kc) { return keys->keys[kc / 8] & (1 << (kc % 8)); });
    };
    {
        X11Input scoped(displays);
        ASSERT_TRUE(scoped.postKey(KeyCode::Command, true, 0));
        EXPECT_TRUE(superDown());
        EXPECT_FALSE(input.isKeyPhysicallyDown(KeyCode::Command)); // ours, whichever input posted it
    }
    EXPECT_FALSE(superDown());
    EXPECT_FALSE(input.postKey(KeyCode::Function, true, 0)); // no X key
    EXPECT_FALSE(input.postText(QStringLiteral("a\x07")));   // a character without a key fails
}

TEST_F(X11InputTest, OneDisplayMatchesTheServerGeometryAndQtsView)
{
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

