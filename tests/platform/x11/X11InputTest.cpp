// XTest synthetic input landing in real windows on the X server.

#include "support/X11TestClients.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"
#include "support/SimFixture.h"

#include <QLineEdit>
#include <QMouseEvent>
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
    ASSERT_TRUE(input.postMouse(MouseEventKind::Down, MouseButton::Left, QPointF(237, 191), 1));
    ASSERT_TRUE(input.postMouse(MouseEventKind::Up, MouseButton::Left, QPointF(237, 191), 1));
    ASSERT_TRUE(spinUntil([&] { return probe.releases.size() == 1; }));
    ASSERT_EQ(probe.presses.size(), 1u);
    EXPECT_EQ(probe.presses[0].pos, QPoint(37, 41));
    EXPECT_EQ(probe.presses[0].button, Qt::LeftButton);

    // A right press with a drag: released where the pointer ended.
    ASSERT_TRUE(input.postMouse(MouseEventKind::Down, MouseButton::Right, QPointF(450.4, 300.6), 1));
    ASSERT_TRUE(input.postMouse(MouseEventKind::Drag, MouseButton::Right, QPointF(460, 310), 1));
    ASSERT_TRUE(input.postMouse(MouseEventKind::Up, MouseButton::Right, QPointF(470, 320), 1));
    ASSERT_TRUE(spinUntil([&] { return probe.releases.size() == 2; }));
    ASSERT_EQ(probe.presses.size(), 2u);
    EXPECT_EQ(probe.presses[1].pos, QPoint(250, 151)); // rounded to whole pixels
    EXPECT_EQ(probe.presses[1].button, Qt::RightButton);
    EXPECT_EQ(probe.releases[1].pos, QPoint(270, 170));

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

TEST_F(X11InputTest, KeysAndTextArriveInAFocusedField)
{
    QLineEdit field;
    field.setGeometry(300, 300, 400, 40);
    field.show();
    field.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&field));
    field.setFocus();

    auto press = [&](uint16_t code, uint32_t mods = 0) {
        return input.postKey(code, true, mods) && input.postKey(code, false, 0);
    };
    ASSERT_TRUE(press(KeyCode::H));
    ASSERT_TRUE(press(34)); // i
    ASSERT_TRUE(press(KeyCode::A, ModShift)); // Shift pressed around the key
    ASSERT_TRUE(press(KeyCode::Space));
    ASSERT_TRUE(spinUntil([&] { return field.text() == "hiA "; })) << field.text().toStdString();
    // Shift went up again: the next letter is lower case.
    ASSERT_TRUE(press(KeyCode::B));
    ASSERT_TRUE(spinUntil([&] { return field.text() == "hiA b"; })) << field.text().toStdString();

    // Any Unicode, including letters no key of the layout types.
    const QString text = QString::fromUtf8(" Grüße, €5 — 😀 naïve ~ OK");
    ASSERT_TRUE(input.postText(text));
    ASSERT_TRUE(spinUntil([&] { return field.text() == "hiA b" + text; }, 8000)) << field.text().toStdString();

    // Backspace removes the last character; the borrowed key was given back.
    ASSERT_TRUE(press(KeyCode::Delete));
    ASSERT_TRUE(spinUntil([&] { return field.text() == "hiA b" + text.chopped(1); }));
    // The spare keys lent to the text are given back once typing is quiet.
    tovrik::test::XClient other;
    KeyboardMapping map;
    ASSERT_TRUE(map.load(other.conn()));
    EXPECT_FALSE(map.find(0x10020AC).empty());
    EXPECT_TRUE(spinUntil([&] { return map.load(other.conn()) && map.find(0x10020AC).empty(); }));
    EXPECT_TRUE(map.find(0x101F600).empty());

    EXPECT_FALSE(input.postKey(KeyCode::Function, true, 0)); // no X key
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
    ASSERT_TRUE(seat.key(XK_Control_L, true));
    ASSERT_TRUE(seat.key(XK_Alt_L, true));
    ASSERT_TRUE(other.key(XK_Escape, true));
    ASSERT_TRUE(spinUntil([&] { return seen.load() >= 3; }));
    EXPECT_EQ(input.physicalModifiers(), uint32_t(ModControl | ModOption));
    EXPECT_TRUE(input.isKeyPhysicallyDown(KeyCode::Option));
    EXPECT_TRUE(input.isKeyPhysicallyDown(KeyCode::Escape));
    EXPECT_FALSE(input.isKeyPhysicallyDown(KeyCode::Shift));
    ASSERT_TRUE(seat.key(XK_Alt_L, false));
    ASSERT_TRUE(seat.key(XK_Control_L, false));
    ASSERT_TRUE(other.key(XK_Escape, false));
    ASSERT_TRUE(input.postKey(KeyCode::Shift, false, 0));
    ASSERT_TRUE(spinUntil([&] { return seen.load() >= 7; }));
    EXPECT_EQ(input.physicalModifiers(), 0u);
    EXPECT_FALSE(input.isKeyPhysicallyDown(KeyCode::Escape));
}

TEST_F(X11InputTest, KeysStillHeldAreReleasedWhenInputGoesAway)
{
    tovrik::test::XClient other;
    auto down = [&](uint32_t keysym) {
        KeyboardMapping map;
        map.load(other.conn());
        XcbReply<xcb_query_keymap_reply_t> keys(
            xcb_query_keymap_reply(other.conn(), xcb_query_keymap(other.conn()), nullptr));
        for (uint8_t kc : map.keycodesFor(keysym))
            if (keys->keys[kc / 8] & (1 << (kc % 8)))
                return true;
        return false;
    };
    {
        X11Input scoped(displays);
        ASSERT_TRUE(scoped.postKey(KeyCode::Command, true, 0));
        EXPECT_TRUE(down(XK_Super_L));
    }
    EXPECT_FALSE(down(XK_Super_L));
}
