// XTest synthetic input landing in real windows on the X server; the
// displays checked against the server's own screen geometry and Qt's view of
// it (RandR monitors: the overlay and autopilot tests); XInput2 raw-event
// taps: our own XTest events are marked synthetic, input of another seat is
// reported as physical.
//
// And how the backend ends what it started. When the X server goes away
// under it (a crash, the session ending), nothing may exit the process: posts
// fail, taps end (also those that outlived the objects that made them) and
// the last known displays stay. Playback and the system voice through Qt
// Multimedia / TextToSpeech, as far as the test machine has them: every
// outcome reports exactly once, on the main thread, and never after stop().

#include "support/X11TestClients.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Input.h"
#include "platform/x11/X11Media.h"
#include "platform/x11/X11Speech.h"
#include "platform/x11/X11MotionRecorder.h"
#include "platform/x11/X11Platform.h"
#include "support/PrivateXServer.h"
#include "support/SimFixture.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QUrl>
#include <QWheelEvent>
#include <QWidget>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

using namespace tovrik::platform;
using namespace tovrik::platform::x11;
using tovrik::test::spinUntil;
using Type = RawInputEvent::Type;

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

struct Recorder {
    std::mutex mutex;
    std::vector<RawInputEvent> events;
    QString objectName;
    QByteArray systemName;
    bool onMainThread = false;

    std::function<void(const RawInputEvent&)> handler()
    {
        return [this](const RawInputEvent& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
            objectName = QThread::currentThread()->objectName();
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            systemName = name;
            onMainThread = QThread::currentThread() == qApp->thread();
        };
    }
    std::vector<RawInputEvent> snapshot()
    {
        std::lock_guard lock(mutex);
        return events;
    }
    bool has(const std::function<bool(const RawInputEvent&)>& match)
    {
        const auto all = snapshot();
        return std::any_of(all.begin(), all.end(), match);
    }
};

class X11EventTapTest : public X11InputTest {
protected:
    void SetUp() override
    {
        X11InputTest::SetUp();
        ASSERT_TRUE(tap.isAvailable());
        ASSERT_TRUE(seat.ok()) << "could not create a second master device";
    }
    void startRecording(const QString& name = "tovrik.tap-test")
    {
        session = tap.start(name, rec.handler());
        ASSERT_TRUE(session);
    }
    X11EventTap tap{displays, input};
    tovrik::test::SecondSeat seat;
    Recorder rec;
    std::unique_ptr<EventTapSession> session;
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
        EXPECT_EQ(std::tuple(probe.presses[n].pos, probe.presses[n].button, probe.releases[n].pos),
                  std::tuple(pressed, qtButton, released));
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
    EXPECT_EQ(std::tuple(displays.pixelRect(d.displayID), displays.configurationRevision()), std::tuple(root, 1u));
    // A second registry (a rebuild) names the screen the same way.
    EXPECT_EQ(X11Displays().displays().value(0).displayID, d.displayID);
    EXPECT_FALSE(displays.display(d.displayID ^ 1u).has_value());
    // The pointer in display points, and flipped for AppKit.
    tovrik::test::XClient client;
    ASSERT_TRUE(client.moveTo(QPoint(321, 123)));
    EXPECT_EQ(displays.pointerLocation(), QPointF(321 / s, 123 / s));
    EXPECT_EQ(displays.pointerLocationAppKit(), QPointF(321 / s, d.bounds.height() - 123 / s));
}

// A run killed mid-answer left its clip in the runtime folder: the next
// start removes it.
TEST(X11Platform, AStartRemovesTheClipAKilledRunLeft)
{
    const QString clip = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
        + QStringLiteral("/tovrik-speech-K1lled.mp3");
    QFile file(clip);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    X11Platform platform;
    EXPECT_FALSE(QFile::exists(clip));
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
    EXPECT_FALSE(displays.watchedPointerLocation()); // no watch held
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
        // What the watch saw is there to read without asking the server.
        EXPECT_EQ(displays.watchedPointerLocation(), std::optional<QPointF>(QPointF(m.to) / s));
    }
    const auto count = seen.size();
    QTest::qWait(200);
    EXPECT_EQ(seen.size(), count);
}

TEST_F(X11EventTapTest, PhysicalKeysAreThoseOfEveryDeviceButOurs)
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
    startRecording();
    ASSERT_TRUE(seat.key(XK_Control_L, true) && seat.key(XK_Alt_L, true) && other.key(XK_Escape, true));
    ASSERT_TRUE(spinUntil([&] { return rec.snapshot().size() >= 3; }));
    EXPECT_EQ(input.physicalModifiers(), uint32_t(ModControl | ModOption));
    EXPECT_EQ(std::tuple(input.isKeyPhysicallyDown(KeyCode::Option), input.isKeyPhysicallyDown(KeyCode::Escape),
                         input.isKeyPhysicallyDown(KeyCode::Shift)),
              std::tuple(true, true, false));
    ASSERT_TRUE(seat.key(XK_Alt_L, false) && seat.key(XK_Control_L, false) && other.key(XK_Escape, false)
                && input.postKey(KeyCode::Shift, false, 0));
    ASSERT_TRUE(spinUntil([&] { return rec.snapshot().size() >= 7; }));
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

TEST_F(X11EventTapTest, AnotherSeatsKeysAreReportedOursAreMarkedSynthetic)
{
    const QString name = QStringLiteral("ai.tovrik.mac.hotkey-monitor");
    startRecording(name);
    EXPECT_EQ(tap.threadNames(), QStringList{name});
    // Ours first, then the other seat's, then another XTest client's on our
    // own master (not ours: the ledger holds only what we posted).
    tovrik::test::XClient sameMaster;
    ASSERT_TRUE(input.postKey(KeyCode::Escape, true, 0));
    ASSERT_TRUE(input.postKey(KeyCode::Escape, false, 0));
    ASSERT_TRUE(seat.tap(XK_Escape));
    ASSERT_TRUE(sameMaster.tap(XK_Escape));
    std::vector<RawInputEvent> keys;
    ASSERT_TRUE(spinUntil([&] {
        keys = rec.snapshot();
        std::erase_if(keys, [](auto& e) { return e.type != Type::KeyDown && e.type != Type::KeyUp; });
        return keys.size() >= 6;
    }));
    ASSERT_EQ(keys.size(), 6u);
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(std::tuple(keys[i].type, keys[i].keyCode, keys[i].isSynthetic, keys[i].isAutoRepeat),
                  std::tuple(i % 2 ? Type::KeyUp : Type::KeyDown, KeyCode::Escape, i < 2, false)) << i;
    }
    // The thread carries the requested name; the system name is cut to 15.
    std::lock_guard lock(rec.mutex);
    EXPECT_EQ(std::tuple(rec.objectName, rec.systemName, rec.onMainThread), std::tuple(name, "ai.tovrik.mac.h", false));
}

TEST_F(X11EventTapTest, ModifierKeysArriveAsFlagsChangedWithTheStateAfterThem)
{
    startRecording();
    ASSERT_TRUE(seat.chord({XK_Control_L, XK_Alt_L, XK_t}));
    ASSERT_TRUE(spinUntil([&] { return rec.snapshot().size() >= 6; }));
    const auto e = rec.snapshot();
    const uint32_t both = ModControl | ModOption;
    const std::tuple<Type, uint16_t, uint32_t> expected[] = {
        {Type::FlagsChanged, KeyCode::Control, ModControl}, {Type::FlagsChanged, KeyCode::Option, both},
        {Type::KeyDown, KeyCode::T, both},                  {Type::KeyUp, KeyCode::T, both},
        {Type::FlagsChanged, KeyCode::Option, ModControl},  {Type::FlagsChanged, KeyCode::Control, 0}};
    ASSERT_EQ(e.size(), 6u);
    for (size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(std::tuple(e[i].type, e[i].keyCode, e[i].modifiers), expected[i]) << i;
        EXPECT_FALSE(e[i].isSynthetic);
    }
}

TEST_F(X11EventTapTest, ButtonsAndMotionCarryTheSeatsPointerLocation)
{
    startRecording();
    // Our core pointer is elsewhere: the locations are the other seat's.
    ASSERT_TRUE(input.postMouse(MouseEventKind::Move, MouseButton::Left, QPointF(10, 10), 0));
    // Locations are read when the tap handles an event, so each step waits
    // for the tap (as a person's input naturally does).
    auto next = [&](Type t, QPointF at, std::function<bool()> act) {
        ASSERT_TRUE(act());
        ASSERT_TRUE(spinUntil([&] { return rec.has([&](auto& e) { return e.type == t && !e.isSynthetic; }); }));
        for (const auto& e : rec.snapshot())
            if (e.type == t && !e.isSynthetic) {
                EXPECT_EQ(e.location, at) << int(t);
                EXPECT_TRUE(t == Type::Scroll || e.button == MouseButton::Left);
            }
    };
    next(Type::MouseMoved, QPointF(300, 200), [&] { return seat.moveTo(QPoint(300, 200)); });
    next(Type::MouseDown, QPointF(300, 200), [&] { return seat.button(1, true); });
    next(Type::MouseDragged, QPointF(320, 210), [&] { return seat.moveTo(QPoint(320, 210)); });
    next(Type::MouseUp, QPointF(320, 210), [&] { return seat.button(1, false); });
    next(Type::Scroll, QPointF(320, 210), [&] { return seat.button(4, true) && seat.button(4, false); });
    EXPECT_TRUE(rec.has([](auto& e) { return e.type == Type::MouseMoved && e.isSynthetic; }));
}

TEST_F(X11EventTapTest, ATapIsGivenOnlyTheKindsOfInputItListensTo)
{
    Recorder keys, buttons;
    auto keyTap = tap.start(QStringLiteral("tovrik.tap-keys"), keys.handler(), TapKeys);
    auto buttonTap = tap.start(QStringLiteral("tovrik.tap-buttons"), buttons.handler(), TapButtons);
    ASSERT_TRUE(keyTap && buttonTap);
    startRecording(); // listens to everything: the witness that all of it came
    ASSERT_TRUE(seat.moveTo(QPoint(300, 200)) && seat.button(1, true) && seat.moveTo(QPoint(320, 210))
                && seat.button(1, false) && seat.key(XK_Escape, true) && seat.key(XK_Escape, false));
    const auto sawType = [](Recorder& r, Type t) { return r.has([t](auto& e) { return e.type == t; }); };
    ASSERT_TRUE(spinUntil([&] {
        return sawType(rec, Type::KeyUp) && sawType(rec, Type::MouseDragged) && sawType(keys, Type::KeyUp)
            && sawType(buttons, Type::MouseUp);
    }));
    for (const auto& e : keys.snapshot())
        EXPECT_TRUE(e.type == Type::KeyDown || e.type == Type::KeyUp) << int(e.type);
    for (const auto& e : buttons.snapshot())
        EXPECT_TRUE(e.type == Type::MouseDown || e.type == Type::MouseUp) << int(e.type);
    EXPECT_TRUE(sawType(buttons, Type::MouseDown));
}

TEST_F(X11EventTapTest, StopEndsTheThreadAndIsIdempotentEvenFromTheHandler)
{
    startRecording();
    session->stop();
    session->stop();
    EXPECT_TRUE(tap.threadNames().isEmpty());
    // A handler that stops its own tap on the first key.
    std::atomic<int> calls{0};
    std::unique_ptr<EventTapSession> self;
    std::atomic<bool> ready{false};
    self = tap.start(QStringLiteral("tovrik.tap-self"), [&](const RawInputEvent&) {
        ++calls;
        while (!ready.load())
            QThread::yieldCurrentThread();
        self->stop();
    });
    ready = true;
    ASSERT_TRUE(seat.tap(XK_Escape));
    ASSERT_TRUE(spinUntil([&] { return tap.threadNames().isEmpty(); }));
    // Later keys reach a witness tap, but neither stopped tap.
    Recorder later;
    auto witness = tap.start(QStringLiteral("tovrik.tap-witness"), later.handler());
    ASSERT_TRUE(seat.tap(XK_Escape));
    ASSERT_TRUE(spinUntil([&] { return later.snapshot().size() >= 2; }));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(rec.snapshot().empty());
    self.reset();
}

TEST_F(X11EventTapTest, GlobalMouseDownMonitorReportsOtherPressesOnTheMainThread)
{
    std::vector<std::pair<MouseButton, QPointF>> presses;
    bool onMain = true;
    auto monitor = tap.addGlobalMouseDownMonitor([&](MouseButton b, QPointF p) {
        presses.emplace_back(b, p);
        onMain = onMain && QThread::currentThread() == qApp->thread();
    });
    ASSERT_TRUE(monitor);
    // Ours first (not reported), then a middle, a right and a left press of
    // the other seat, each waiting for the one before (see above).
    ASSERT_TRUE(input.postMouse(MouseEventKind::Down, MouseButton::Left, QPointF(50, 60), 1)
                && input.postMouse(MouseEventKind::Up, MouseButton::Left, QPointF(50, 60), 1));
    const std::tuple<QPoint, uint8_t, MouseButton> clicks[] = {
        {QPoint(400, 300), 2, MouseButton::Middle}, {QPoint(401, 301), 3, MouseButton::Right},
        {QPoint(640, 480), 1, MouseButton::Left}};
    for (const auto& [at, button, reported] : clicks) {
        const size_t before = presses.size();
        ASSERT_TRUE(seat.click(at, button));
        ASSERT_TRUE(spinUntil([&] { return presses.size() > before; }));
        EXPECT_EQ(presses.back(), std::make_pair(reported, QPointF(at)));
    }
    tovrik::test::drainEvents();
    ASSERT_EQ(presses.size(), 3u);
    EXPECT_TRUE(onMain);
    // Removed: presses queued or arriving later are not delivered.
    ASSERT_TRUE(seat.click(QPoint(10, 10), 1));
    monitor.reset();
    tovrik::test::drainEvents();
    ASSERT_TRUE(seat.click(QPoint(20, 20), 1));
    tovrik::test::drainEvents();
    EXPECT_LE(presses.size(), 4u);
    for (size_t i = 3; i < presses.size(); ++i)
        EXPECT_EQ(presses[i].second, QPointF(10, 10));
}

TEST(X11ServerLoss, PostsFailTapsEndAndTheLastDisplaysStay)
{
    QProcess server;
    const int n = tovrik::test::startPrivateXvfb(server, QStringLiteral("800x600x24"));
    ASSERT_GE(n, 0);
    // The backend's connections go to the short-lived server.
    const QByteArray previous = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":" + QByteArray::number(n));
    bool ready = false;
    std::unique_ptr<X11Displays> displays;
    for (int attempt = 0; attempt < 100 && !ready; ++attempt) {
        displays = std::make_unique<X11Displays>();
        ready = displays->isConnected();
        if (!ready)
            QThread::msleep(50);
    }
    X11Input input(*displays);
    X11EventTap tap(*displays, input);
    X11Capture capture(*displays);
    std::atomic<int> events{0};
    std::atomic<bool> disabled{false};
    auto session = tap.start(QStringLiteral("tovrik.tap-loss"), [&](const RawInputEvent& e) {
        ++events;
        disabled = e.type == RawInputEvent::Type::TapDisabled;
    });
    // A session outlives the platform objects that made it.
    std::unique_ptr<EventTapSession> orphan;
    std::atomic<bool> orphanSaw{false};
    {
        X11Displays d;
        X11Input i(d);
        orphan = X11EventTap(d, i).start(QStringLiteral("tovrik.tap-orphan"), [&](const RawInputEvent& e) {
            orphanSaw = orphanSaw || (e.type == RawInputEvent::Type::MouseDown && e.location == QPointF(222, 111));
        });
    }
    std::atomic<bool> recorderSaw{false};
    auto recorder = X11MotionRecorder::start(QStringLiteral("tovrik.motion-loss"), [](QPointF p) { return p; },
                                             [&](const RawInputEvent& e) { recorderSaw = e.location == QPointF(222, 111); });
    qputenv("DISPLAY", previous);
    ASSERT_TRUE(ready);
    ASSERT_TRUE(recorder);
    ASSERT_TRUE(orphan);
    ASSERT_TRUE(input.postMouse(MouseEventKind::Down, MouseButton::Right, QPointF(222, 111), 1)
                && input.postMouse(MouseEventKind::Up, MouseButton::Right, QPointF(222, 111), 1));
    ASSERT_TRUE(spinUntil([&] { return orphanSaw.load() && recorderSaw.load(); }));
    ASSERT_TRUE(session);
    ASSERT_EQ(displays->displays().size(), 1);
    EXPECT_EQ(displays->displays().first().bounds, QRectF(0, 0, 800, 600));
    ASSERT_TRUE(input.postKey(KeyCode::Escape, true, 0));
    ASSERT_TRUE(input.postKey(KeyCode::Escape, false, 0));
    ASSERT_TRUE(spinUntil([&] { return events.load() >= 2; }));

    server.kill();
    server.waitForFinished(5000);

    EXPECT_FALSE(input.postKey(KeyCode::Escape, true, 0));
    EXPECT_FALSE(input.postMouse(MouseEventKind::Move, MouseButton::Left, QPointF(5, 5), 0));
    EXPECT_FALSE(input.postText(QStringLiteral("x")));
    EXPECT_TRUE(capture.captureDisplay(displays->displays().first().displayID).isNull());
    // The tap's thread ended by itself, telling its handler last; its
    // session still stops cleanly.
    EXPECT_TRUE(spinUntil([&] { return disabled.load(); }));
    session->stop();
    orphan->stop();
    recorder->stop(); // its thread ended with the connection, or ends now
    EXPECT_TRUE(tap.threadNames().isEmpty());
    // The registry keeps the last configuration through the loss.
    tovrik::test::drainEvents();
    EXPECT_EQ(displays->displays().size(), 1);
    EXPECT_EQ(displays->pointerLocation(), QPointF());
}

TEST(X11AudioOutput, UndecodableAudioReportsAnErrorOnceAStoppedPlaybackNever)
{
    X11AudioOutput out;
    int calls = 0, stoppedCalls = 0;
    QString result = QStringLiteral("unset");
    bool onMain = false;
    const QByteArray garbage(4096, '\x5a');
    auto stopped = out.play(garbage, QStringLiteral("audio/mpeg"), [&](const QString&) { ++stoppedCalls; });
    stopped->stop();
    stopped->stop();
    auto playback = out.play(garbage, QStringLiteral("audio/mpeg"), [&](const QString& error) {
        ++calls;
        result = error;
        onMain = QThread::currentThread() == qApp->thread();
    });
    ASSERT_TRUE(playback);
    ASSERT_TRUE(spinUntil([&] { return calls > 0; }, 10000));
    // Whatever the stopped player would have said by now stays unsaid.
    spinUntil([] { return false; }, 300);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(stoppedCalls, 0);
    EXPECT_FALSE(result.isEmpty()) << "garbage reported as played";
    EXPECT_TRUE(onMain);
    playback.reset(); // destroying a finished playback is harmless
}

TEST(X11Speech, EverySpeechReportsExactlyOnce)
{
    X11Speech speech;
    std::vector<QString> results;
    speech.speak(QStringLiteral("   "), [&](const QString& error) { results.push_back(error); });
    ASSERT_TRUE(spinUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front(), QString()); // nothing to say is done at once
    results.clear();
    const bool available = speech.isAvailable();
    speech.speak(QStringLiteral("Hello"), [&](const QString& error) { results.push_back(error); });
    ASSERT_TRUE(spinUntil([&] { return !results.empty(); }, 20000));
    tovrik::test::drainEvents();
    ASSERT_EQ(results.size(), 1u); // spoken, or the reason it was not (e.g. no audio device)
    if (!available) {
        EXPECT_EQ(results.front(), QStringLiteral("No system voice is available."));
    }
}

TEST(X11Workspace, RefusesAnInvalidURL)
{
    X11Workspace workspace;
    EXPECT_FALSE(workspace.openURL(QUrl()));
    EXPECT_FALSE(workspace.openURL(QUrl(QStringLiteral("http://[::1"))));
}
