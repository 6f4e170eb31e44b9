// The overlay on a real X server: the companion glyph lands beside the
// pointer and nothing else of the desktop changes; a click in ANOTHER
// application's window (from another seat, as a person's mouse would be,
// not our own XTest input) reaches it through the overlay and dismisses a
// pinned bubble; a capture suspension really takes the overlay off screen;
// each window covers its RandR monitor when the main one is not at the
// origin; and without a compositor the desktop never turns black.

#include "common/Clock.h"
#include "overlay/OverlayWindowController.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"
#include "support/PrivateXServer.h"
#include "DeskWindow.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <QBackingStore>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>
#include <xcb/randr.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

QRgb rgbAt(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xffffff; }

// True when the glyph's white outline shows within `radius` of (cx, cy)
// (nothing else on the desk is white).
bool glyphNear(const QImage& image, int cx, int cy, int radius = 14)
{
    for (int y = cy - radius; y <= cy + radius; ++y)
        for (int x = cx - radius; x <= cx + radius; ++x) {
            if (!image.rect().contains(x, y))
                continue;
            const QColor c(image.pixel(x, y));
            if (c.red() > 235 && c.green() > 235 && c.blue() > 235)
                return true;
        }
    return false;
}

// Pixels of a coarse grid farther than `clearance` from (cx, cy) that are not
// the desk colour.
int changedFarFrom(const QImage& image, int cx, int cy, int clearance)
{
    int changed = 0;
    for (int y = 5; y < image.height(); y += 37)
        for (int x = 5; x < image.width(); x += 37) {
            if (std::hypot(x - cx, y - cy) < clearance)
                continue;
            if (!isDesk(rgbAt(image, x, y)))
                ++changed;
        }
    return changed;
}

// The bytes of `image` the process holds in memory.
qsizetype residentBytes(const QImage& image)
{
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t start = uintptr_t(image.constBits()) & ~(page - 1);
    const size_t length = uintptr_t(image.constBits()) + size_t(image.sizeInBytes()) - start;
    std::vector<unsigned char> pages((length + page - 1) / page);
    if (mincore(reinterpret_cast<void*>(start), length, pages.data()) != 0)
        return -1;
    qsizetype n = 0;
    for (unsigned char p : pages)
        n += p & 1;
    return n * qsizetype(page);
}

// Counts the paints of `view` that cover all of it.
struct WholeViewPaints : QObject {
    explicit WholeViewPaints(QWidget* view) : view(view) { view->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint && static_cast<QPaintEvent*>(e)->region().contains(view->rect()))
            ++count;
        return false;
    }
    QWidget* view;
    int count = 0;
};

// Another X client with a window of its own and a master pointer of its own
// (its XTest input is not ours, so our monitors treat it as the user's).
class ForeignClient : public tovrik::test::SecondSeat {
public:
    explicit ForeignClient(QRect geometry) : SecondSeat("tovrik-overlay-test-seat")
    {
        if (!SecondSeat::ok())
            return;
        m_window = xcb_generate_id(m_conn);
        const uint32_t values[] = {m_conn.screen()->white_pixel, 1u, XCB_EVENT_MASK_BUTTON_PRESS};
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, m_window, m_conn.root(), int16_t(geometry.x()),
                          int16_t(geometry.y()), uint16_t(geometry.width()), uint16_t(geometry.height()), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_conn, m_window);
        m_conn.sync();
    }
    ~ForeignClient() override
    {
        if (m_window) {
            xcb_destroy_window(m_conn, m_window);
            m_conn.sync();
        }
    }

    bool ok() const { return SecondSeat::ok() && m_window; }
    xcb_window_t window() const { return m_window; }

    // Button presses this window received so far.
    int presses()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(m_conn)) {
            if ((e->response_type & 0x7f) == XCB_BUTTON_PRESS)
                ++m_presses;
            std::free(e);
        }
        return m_presses;
    }

private:
    xcb_window_t m_window = 0;
    int m_presses = 0;
};

class OverlayOnXServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        const auto main = platform::Platform::get().displays().mainDisplay();
        ASSERT_TRUE(main);
        displayID = main->displayID;
        desk = std::make_unique<Desk>();
        desk->setGeometry(main->bounds.toRect());
        desk->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(desk.get()));
    }
    void TearDown() override
    {
        controller.reset();
        desk.reset();
        tovrik::test::drainEvents();
        platform::sim::SimPlatform::install();
    }

    void movePointer(QPoint p)
    {
        ASSERT_TRUE(platform::Platform::get().input().postMouse(platform::MouseEventKind::Move,
                                                                platform::MouseButton::Left, QPointF(p), 0));
        ASSERT_TRUE(spinUntil([&] { return platform::Platform::get().displays().pointerLocation() == QPointF(p); }));
    }

    QImage capture()
    {
        auto& cap = platform::Platform::get().capture();
        cap.synchronize();
        return cap.captureDisplay(displayID);
    }

    // Waits until `done` holds for a fresh screenshot; returns the last one.
    QImage captureUntil(const std::function<bool(const QImage&)>& done, bool* ok)
    {
        QImage image;
        *ok = spinUntil(
            [&] {
                image = capture();
                return !image.isNull() && done(image);
            },
            8000);
        return image;
    }

    // An overlay whose idle glyph stays up, shown beside `pointer`.
    void showIdleGlyph(QPoint pointer)
    {
        movePointer(pointer);
        controller = std::make_unique<overlay::OverlayWindowController>();
        controller->setIdleBehavior(true, false, false);
        ASSERT_EQ(controller->windowManager().overlayWindows().size(), 1);
        bool ok = false;
        captureUntil([&](const QImage& i) { return glyphNear(i, pointer.x() + 35, pointer.y() + 25); }, &ok);
        ASSERT_TRUE(ok) << "no glyph near the pointer + (35, 25)";
    }

    // The pointer moves from `from` to `to`: the glyph follows and, once
    // settled, nothing else of the desktop has changed.
    void expectGlyphFollows(QPoint from, QPoint to)
    {
        movePointer(to);
        const QPoint old = from + QPoint(35, 25), now = to + QPoint(35, 25);
        bool ok = false;
        captureUntil([&](const QImage& i) { return glyphNear(i, now.x(), now.y()) && !glyphNear(i, old.x(), old.y()); },
                     &ok);
        ASSERT_TRUE(ok) << "the glyph did not follow the pointer";
        // Without a compositor the old place may flash dark for one repaint
        // while the clip catches up.
        const QImage shot =
            captureUntil([&](const QImage& i) { return changedFarFrom(i, now.x(), now.y(), 90) == 0; }, &ok);
        EXPECT_TRUE(ok) << "the desktop stayed changed after the glyph moved";
        EXPECT_TRUE(glyphNear(shot, now.x(), now.y()));
    }

    uint32_t displayID = 0;
    std::unique_ptr<Desk> desk;
    std::unique_ptr<overlay::OverlayWindowController> controller;
};

} // namespace

TEST_F(OverlayOnXServer, TheGlyphSitsBesideThePointerTheDesktopIsUnchangedElsewhereAndTheOverlayStaysOnTop)
{
    ASSERT_TRUE(platform::Platform::get().compositorActive()) << "the test command runs a compositor";
    const QPoint pointer(600, 420);
    ASSERT_NO_FATAL_FAILURE(showIdleGlyph(pointer));
    const QImage shot = capture();
    EXPECT_FALSE(glyphNear(shot, pointer.x() - 60, pointer.y() - 60));
    EXPECT_EQ(changedFarFrom(shot, pointer.x() + 35, pointer.y() + 25, 90), 0);
    expectGlyphFollows(pointer, QPoint(1200, 700));

    // A window mapped above the overlay is answered by raising it, without polling.
    auto* ours = controller->windowManager().overlayWindows().value(0);
    EXPECT_FALSE(controller->windowManager().isRaiseTimerRunning());
    ForeignClient other(QRect(100, 100, 200, 200)); // mapped on top of everything
    ASSERT_TRUE(other.ok());
    platform::x11::XcbConnection conn(nullptr);
    auto ourPlace = [&]() {
        platform::x11::XcbReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(conn, xcb_query_tree(conn, conn.root()), nullptr));
        int mine = -1, theirs = -1;
        for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
            const xcb_window_t w = xcb_query_tree_children(tree.get())[i];
            mine = w == xcb_window_t(ours->winId()) ? i : mine;
            theirs = w == other.window() ? i : theirs;
        }
        return theirs < 0 ? 0 : mine - theirs; // bottom to top
    };
    EXPECT_TRUE(spinUntil([&] { return ourPlace() > 0; })) << "the overlay stayed below the new window";
}

// The full-screen window holds little more than the pages the glyph draws
// on once the glyph rests, and the screen shows exactly what it did.
TEST_F(OverlayOnXServer, AtRestTheWindowKeepsOnlyThePagesTheGlyphDrawsAndTheScreenIsUnchanged)
{
    const QPoint pointer(600, 420);
    ASSERT_NO_FATAL_FAILURE(showIdleGlyph(pointer));
    auto* window = controller->windowManager().overlayWindows().value(0);
    QPaintDevice* device = window->backingStore()->paintDevice();
    ASSERT_TRUE(device && device->devType() == QInternal::Image);
    const QImage& store = *static_cast<const QImage*>(device);
    EXPECT_TRUE(spinUntil([&] { return residentBytes(store) < store.sizeInBytes() / 8; }, 4000))
        << residentBytes(store) << " of " << store.sizeInBytes() << " bytes still resident";
    const QImage shot = capture();
    EXPECT_TRUE(glyphNear(shot, pointer.x() + 35, pointer.y() + 25));
    EXPECT_EQ(changedFarFrom(shot, pointer.x() + 35, pointer.y() + 25, 90), 0);
    expectGlyphFollows(pointer, QPoint(1200, 700));
}

TEST_F(OverlayOnXServer, AClickInAnotherApplicationReachesItAndDismissesAPinnedBubble)
{
    ForeignClient other(QRect(1000, 600, 300, 200));
    ASSERT_TRUE(other.ok());
    controller = std::make_unique<overlay::OverlayWindowController>();
    controller->showResponse(QStringLiteral("kept until a click"), QPointF(100, 100), QSizeF(1920, 1080),
                             platform::Platform::get().displays().mainDisplay(), false, 5, true);
    ASSERT_TRUE(controller->hasResponseDismissGlobalMonitor());
    ASSERT_EQ(controller->windowManager().overlayWindows().size(), 1);
    ASSERT_TRUE(controller->windowManager().overlayWindows().first()->isVisible());
    tovrik::test::drainEvents();

    ASSERT_TRUE(other.click(QPoint(1100, 700)));
    EXPECT_TRUE(spinUntil([&] { return other.presses() == 1; })) << "the click did not reach the other application";
    EXPECT_TRUE(spinUntil([&] { return controller->bubbleText().isEmpty(); })) << "the bubble was not dismissed";
    EXPECT_FALSE(controller->isResponseBubblePinned());
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_FALSE(controller->hasResponseDismissGlobalMonitor());
}

TEST_F(OverlayOnXServer, ASuspendedOverlayIsGoneFromTheScreenUntilResumed)
{
    const QPoint pointer(800, 500), glyph = pointer + QPoint(35, 25);
    ASSERT_NO_FATAL_FAILURE(showIdleGlyph(pointer));

    // As the capture step does it: repaints watched from before the windows
    // go; synchronized, the capture shows the bare desktop.
    auto& cap = platform::Platform::get().capture();
    cap.watchRepaints();
    const bool suspended = controller->suspendForScreenCapture();
    ASSERT_TRUE(suspended);
    cap.synchronize({displayID});
    const QImage during = cap.captureDisplay(displayID);
    EXPECT_EQ(changedFarFrom(during, -1000, -1000, 0), 0);
    EXPECT_FALSE(glyphNear(during, glyph.x(), glyph.y()));

    // Back on screen with the pixels it held: nothing is painted anew over
    // the whole window.
    auto* view = controller->windowManager().overlayWindows().value(0)->contentView();
    ASSERT_NE(view, nullptr);
    WholeViewPaints whole(view);
    controller->resumeAfterScreenCapture(suspended);
    bool ok = false;
    captureUntil([&](const QImage& i) { return glyphNear(i, glyph.x(), glyph.y()); }, &ok);
    EXPECT_TRUE(ok) << "the overlay did not come back";
    EXPECT_EQ(whole.count, 0);
}

TEST(OverlayMonitorsOnXServer, EachWindowCoversItsMonitorWhenTheMainOneIsNotAtTheOrigin)
{
    Clock::install(nullptr);
    const xcb_randr_output_t output = tovrik::test::firstOutput();
    ASSERT_NE(output, 0u);
    MonitorsGuard guard{"TOVRIK-OV-MAIN", "TOVRIK-OV-SIDE"};
    ASSERT_TRUE(tovrik::test::setMonitor("TOVRIK-OV-MAIN", QRect(720, 0, 1200, 800), true, output));
    ASSERT_TRUE(tovrik::test::setMonitor("TOVRIK-OV-SIDE", QRect(0, 0, 720, 1080), false));

    QString error;
    ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    const auto main = displays.mainDisplay();
    ASSERT_TRUE(main);
    ASSERT_EQ(main->name, QStringLiteral("TOVRIK-OV-MAIN"));
    // The side monitor lies left of the main one: negative display x.
    ASSERT_EQ(displays.displays()[1].bounds, QRectF(-720, 0, 720, 1080));

    {
        overlay::OverlayWindowController controller;
        controller.setIdleBehavior(true, false, false);
        const auto& windows = controller.windowManager().overlayWindows();
        ASSERT_EQ(windows.size(), 2);
        EXPECT_EQ(windows[0]->displayID(), std::optional<uint32_t>(main->displayID));
        EXPECT_EQ(windows[0]->geometry(), QRect(720, 0, 1200, 800));
        EXPECT_EQ(windows[1]->geometry(), QRect(0, 0, 720, 1080));
        // The X server agrees once the windows are mapped.
        ASSERT_TRUE(spinUntil([&] { return windows[0]->isVisible() && windows[1]->isVisible(); }));
        tovrik::test::drainEvents();
        EXPECT_EQ(windows[1]->frameGeometry().topLeft(), QPoint(0, 0));
    }
    tovrik::test::drainEvents();
    platform::sim::SimPlatform::install();
}

// ---- without a compositor: a child process on an X server of its own ----

namespace {

constexpr const char* kChildEnv = "TOVRIK_OVERLAY_NO_COMPOSITOR_CHILD";

// Runs in the child only (registered when kChildEnv is set): the server has
// no compositor, so transparent ARGB pixels would show black.
class NoCompositorChild : public OverlayOnXServer {
public:
    void TestBody() override
    {
        ASSERT_FALSE(platform::Platform::get().compositorActive());
        const QPoint pointer(500, 300), glyph = pointer + QPoint(35, 25);
        ASSERT_NO_FATAL_FAILURE(showIdleGlyph(pointer));
        auto* window = controller->windowManager().overlayWindows().value(0);
        EXPECT_TRUE(window->clipsToContent());
        EXPECT_EQ(changedFarFrom(capture(), glyph.x(), glyph.y(), 90), 0) << "the desktop turned dark";
        EXPECT_TRUE(window->contentRegion().boundingRect().contains(glyph));

        // The clip follows the glyph when it moves.
        const QPoint moved(900, 600), glyph2 = moved + QPoint(35, 25);
        ASSERT_NO_FATAL_FAILURE(expectGlyphFollows(pointer, moved));

        // The control: unclipped, the same window does blacken the desktop,
        // so the clipping is what keeps it intact.
        window->setClipToContent(false);
        window->contentView()->update();
        bool ok = false;
        captureUntil([&](const QImage& i) { return rgbAt(i, 100, 700) == 0; }, &ok);
        EXPECT_TRUE(ok) << "an unclipped ARGB window should show black without a compositor";
        window->setClipToContent(true);
        captureUntil([&](const QImage& i) { return changedFarFrom(i, glyph2.x(), glyph2.y(), 90) == 0; }, &ok);
        EXPECT_TRUE(ok);
    }
};

const bool kChildRegistered = [] {
    if (!std::getenv(kChildEnv))
        return false;
    ::testing::RegisterTest("OverlayWithoutCompositor", "Child", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new NoCompositorChild; });
    return true;
}();

} // namespace

TEST(OverlayWithoutCompositor, TheDesktopNeverTurnsBlack)
{
    const auto run = tovrik::test::runTestOnPrivateXServer(QStringLiteral("OverlayWithoutCompositor.Child"), kChildEnv);
    ASSERT_TRUE(run.serverStarted) << "the second X server did not start";
    EXPECT_TRUE(run.finishedNormally);
    EXPECT_EQ(run.exitCode, 0) << run.output.toStdString();
    EXPECT_TRUE(run.passed()) << run.output.toStdString();
}

// A status over the idle glyph that stays up (a ready app) shows beside the
// still pointer at once and is gone again on time, the pointer never moving.
TEST_F(OverlayOnXServer, AStatusBesideAStillPointerShowsAndGoesOnTime)
{
    const QPoint pointer(500, 400), glyph = pointer + QPoint(35, 25);
    ASSERT_NO_FATAL_FAILURE(showIdleGlyph(pointer));
    const auto statusPixels = [&](const QImage& i) {
        int changed = 0;
        for (int y = glyph.y() - 120; y < glyph.y() + 120; y += 3)
            for (int x = glyph.x() + 50; x < glyph.x() + 400; x += 3)
                changed += i.rect().contains(x, y) && !isDesk(rgbAt(i, x, y));
        return changed;
    };
    bool ok = false;
    captureUntil([&](const QImage& i) { return statusPixels(i) == 0; }, &ok);
    ASSERT_TRUE(ok);
    for (int round = 0; round < 3; ++round) {
        controller->showStatus(QStringLiteral("no microphone found"), platform::Platform::get().displays().mainDisplay(),
                               false);
        controller->hide(2.5);
        QElapsedTimer since;
        since.start();
        captureUntil([&](const QImage& i) { return statusPixels(i) > 100; }, &ok);
        EXPECT_TRUE(ok) << "round " << round << ": no status beside the pointer";
        EXPECT_LT(since.elapsed(), 1000);
        captureUntil([&](const QImage& i) { return statusPixels(i) == 0; }, &ok);
        EXPECT_TRUE(ok) << "round " << round << ": the status stayed";
        EXPECT_GE(since.elapsed(), 2400);
        EXPECT_LT(since.elapsed(), 4000) << "round " << round;
    }
}
