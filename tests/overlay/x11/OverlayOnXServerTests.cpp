// The overlay on a real X server: the companion glyph lands beside the
// pointer and nothing else of the desktop changes; a status shows and goes on
// time; a click in ANOTHER application's window (from another seat, as a
// person's mouse would be, not our own XTest input) reaches it through the
// overlay and dismisses a pinned bubble; at rest the window keeps only the
// memory pages its glyph draws on, and after a capture suspension it comes
// back without painting the whole window anew. The UI Autopilot look with two RandR
// monitors, the main one away from the root origin: every screen shows the
// edge glow, the frame and the centred banner while the rest of the desktop
// stays as it was; clicks reach the window below; the autopilot cursor lands
// on its point; the look is gone once the run ends. Both once more on a
// private server without a compositor (nothing may turn black).

#include "../PaintedImage.h"
#include "common/Clock.h"
#include "overlay/OverlayCoordinates.h"
#include "overlay/OverlayWindowController.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"
#include "support/PrivateXServer.h"
#include "support/RandrMonitors.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <QBackingStore>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QLineF>
#include <QPainter>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using namespace tovrik;
using namespace tovrik::test;

namespace {

// Set in the child process that runs the cases on an X server without a compositor.
constexpr const char* kNoCompositorChildEnv = "TOVRIK_OVERLAY_NO_COMPOSITOR_CHILD";

// A plain window in one known colour standing in for the desktop under the
// overlay (it counts the presses it receives).
const QColor kDesk(90, 110, 130);
bool isDesk(QRgb rgb) { return (rgb & 0xffffff) == (kDesk.rgb() & 0xffffff); }
class Desk : public QWidget {
public:
    explicit Desk(Qt::WindowFlags extra = {}) : QWidget(nullptr, Qt::FramelessWindowHint | extra) {}
    int presses = 0;

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kDesk); }
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

struct MonitorsGuard {
    const char* main;
    const char* side;
    ~MonitorsGuard()
    {
        setMonitor(side, QRect(), false);
        setMonitor(main, QRect(), false);
    }
};

QRgb rgbAt(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xffffff; }

// True when the glyph's white outline shows within `radius` of (cx, cy)
// (nothing else on the desk is white).
bool glyphNear(const QImage& image, int cx, int cy, int radius = 14)
{
    const auto white = [](QRgb c) { return qRed(c) > 235 && qGreen(c) > 235 && qBlue(c) > 235; };
    return countPixels(image, white, QRect(cx - radius, cy - radius, 2 * radius + 1, 2 * radius + 1)) > 0;
}

// Pixels of a coarse grid farther than `clearance` from (cx, cy) that are not
// the desk colour.
int changedFarFrom(const QImage& image, int cx, int cy, int clearance)
{
    int changed = 0;
    for (int y = 5; y < image.height(); y += 37)
        for (int x = 5; x < image.width(); x += 37)
            changed += std::hypot(x - cx, y - cy) >= clearance && !isDesk(rgbAt(image, x, y));
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
class ForeignClient : public SecondSeat {
public:
    explicit ForeignClient(QRect g) : SecondSeat("tovrik-overlay-test-seat"), m_window(xcb_generate_id(m_conn))
    {
        const uint32_t values[] = {m_conn.screen()->white_pixel, 1u, XCB_EVENT_MASK_BUTTON_PRESS};
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, m_window, m_conn.root(), int16_t(g.x()), int16_t(g.y()),
                          uint16_t(g.width()), uint16_t(g.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_conn, m_window);
        m_conn.sync();
    }
    ~ForeignClient() override
    {
        xcb_destroy_window(m_conn, m_window);
        m_conn.sync();
    }
    xcb_window_t window() const { return m_window; }
    // Button presses this window received so far.
    int presses()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(m_conn)) {
            m_presses += (e->response_type & 0x7f) == XCB_BUTTON_PRESS;
            std::free(e);
        }
        return m_presses;
    }

private:
    xcb_window_t m_window;
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
        drainEvents();
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

    // Waits until `done` holds for a fresh screenshot (the last one in `last`).
    bool shotUntil(const std::function<bool(const QImage&)>& done, QImage* last = nullptr)
    {
        QImage image;
        const bool ok = spinUntil([&] { return !(image = capture()).isNull() && done(image); }, 8000);
        if (last)
            *last = image;
        return ok;
    }

    // An overlay whose idle glyph stays up, shown beside `pointer`.
    void showIdleGlyph(QPoint pointer)
    {
        movePointer(pointer);
        controller = std::make_unique<overlay::OverlayWindowController>();
        controller->setIdleBehavior(true, false, false);
        ASSERT_EQ(controller->windowManager().overlayWindows().size(), 1);
        ASSERT_TRUE(shotUntil([&](const QImage& i) { return glyphNear(i, pointer.x() + 35, pointer.y() + 25); }))
            << "no glyph near the pointer + (35, 25)";
    }

    // The pointer moves from `from` to `to`: the glyph follows and, once
    // settled, nothing else of the desktop has changed.
    void expectGlyphFollows(QPoint from, QPoint to)
    {
        movePointer(to);
        const QPoint old = from + QPoint(35, 25), now = to + QPoint(35, 25);
        ASSERT_TRUE(shotUntil([&](const QImage& i) { return glyphNear(i, now.x(), now.y()) && !glyphNear(i, old.x(), old.y()); }))
            << "the glyph did not follow the pointer";
        // Without a compositor the old place may flash dark, or the new one
        // show nothing, for one repaint while the clip catches up.
        EXPECT_TRUE(shotUntil([&](const QImage& i) {
            return changedFarFrom(i, now.x(), now.y(), 90) == 0 && glyphNear(i, now.x(), now.y());
        })) << "the desktop stayed changed after the glyph moved";
    }

    uint32_t displayID = 0;
    std::unique_ptr<Desk> desk;
    std::unique_ptr<overlay::OverlayWindowController> controller;
};

QColor at(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }
bool isDesk(const QColor& c) { return isDesk(c.rgb()); }
// The frame line (43, 148, 255 at 230/255) over the desk, or shown as drawn.
bool isFrameLine(const QColor& c) { return c.blue() > 200 && c.red() < 100 && c.green() > 100 && c.green() < 190; }
// The banner's fill (18, 120, 213 at 240/255).
bool isBannerFill(const QColor& c) { return c.red() < 45 && c.green() > 95 && c.green() < 140 && c.blue() > 180 && c.blue() < 230; }

// Points of a coarse grid inside the screen, clear of the bands, the banner
// and the autopilot cursor (at `cursor`, local), that are not the desk.
int changedInTheMiddle(const QImage& image, QPointF cursor = QPointF(-1000, -1000))
{
    int changed = 0;
    for (int y = 100; y < image.height() - 40; y += 23)
        for (int x = 40; x < image.width() - 40; x += 23)
            changed += QLineF(QPointF(x, y), cursor).length() > 50 && !isDesk(at(image, x, y));
    return changed;
}

// The banner's first and last columns on its fill row, and the white (text)
// pixels between them.
struct BannerSpan {
    int left = -1, right = -1, whitePixels = 0;
};
BannerSpan findBanner(const QImage& image)
{
    BannerSpan span;
    for (int x = 0; x < image.width(); ++x)
        if (isBannerFill(at(image, x, 14 + 3)))
            span.left = span.left < 0 ? x : span.left, span.right = x;
    if (span.left >= 0)
        span.whitePixels = countPixels(
            image, [](QRgb c) { return qRed(c) > 235 && qGreen(c) > 235 && qBlue(c) > 235; },
            QRect(QPoint(span.left, 14), QPoint(span.right, 14 + 29)));
    return span;
}

// The whole look, as one screen's capture shows it.
bool lookShown(const QImage& image, bool compositor, QPointF cursor, QString* why)
{
    const int w = image.width(), h = image.height();
    for (const QPoint p : {QPoint(w / 4, 1), QPoint(1, h / 2), QPoint(w - 2, h / 2), QPoint(w / 4, h - 2)})
        if (!isFrameLine(at(image, p.x(), p.y())))
            return *why = QStringLiteral("no frame line at %1,%2").arg(p.x()).arg(p.y()), false;
    for (const QPoint p : {QPoint(w / 4, 4), QPoint(4, h / 2), QPoint(w - 5, h / 2)}) {
        const QColor c = at(image, p.x(), p.y());
        // With a compositor the band tints the desk blue; without one the
        // translucent band is left out rather than drawn black.
        const bool ok = compositor ? (c.blue() > kDesk.blue() + 15 && c.red() < kDesk.red()) : isDesk(c);
        if (!ok)
            return *why = QStringLiteral("band at %1,%2 is %3").arg(p.x()).arg(p.y()).arg(c.name()), false;
    }
    const BannerSpan banner = findBanner(image);
    if (banner.left < 0 || std::abs((banner.left + banner.right + 1) / 2.0 - w / 2.0) > 2
        || banner.right - banner.left < 200)
        return *why = QStringLiteral("banner at %1...%2 of %3").arg(banner.left).arg(banner.right).arg(w), false;
    if (banner.whitePixels < 40)
        return *why = QStringLiteral("no banner text"), false;
    if (isBannerFill(at(image, w / 2, 12)))
        return *why = QStringLiteral("the banner starts above y 14"), false;
    if (const int changed = changedInTheMiddle(image, cursor))
        return *why = QStringLiteral("%1 changed pixels in the middle").arg(changed), false;
    return true;
}

bool lookGone(const QImage& image)
{
    const int w = image.width(), h = image.height();
    for (const QPoint p : {QPoint(w / 4, 1), QPoint(w / 4, 4), QPoint(w / 2, 20), QPoint(1, h / 2), QPoint(w / 4, h - 2)})
        if (!isDesk(at(image, p.x(), p.y())))
            return false;
    return changedInTheMiddle(image) == 0;
}

void runTakeoverOnTwoMonitors(bool compositor)
{
    Clock::install(nullptr);
    // The root is 1920 × 1080 under the test command, 1280 × 800 on a private
    // server: a side monitor at the origin, the main one right of it and
    // 100 pixels down.
    const QSize root = QGuiApplication::primaryScreen()->virtualSize();
    const QRect side(0, 0, root.width() / 2 - 160, root.height() - 200);
    const QRect main(side.width(), 100, root.width() / 2 + 160, root.height() - 100);
    MonitorsGuard guard{"TOVRIK-TK-MAIN", "TOVRIK-TK-SIDE"};
    ASSERT_TRUE(setMonitor("TOVRIK-TK-MAIN", main, true, firstOutput()));
    ASSERT_TRUE(setMonitor("TOVRIK-TK-SIDE", side, false));
    QString error;
    ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    ASSERT_EQ(platform::Platform::get().compositorActive(), compositor);
    ASSERT_EQ(displays.mainDisplay()->name, QStringLiteral("TOVRIK-TK-MAIN"));

    {
        Desk desk(Qt::X11BypassWindowManagerHint);
        desk.setGeometry(QRect(QPoint(0, 0), root));
        desk.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&desk));
        auto& capture = platform::Platform::get().capture();
        const auto shot = [&](uint32_t id) {
            capture.synchronize();
            return capture.captureDisplay(id);
        };

        overlay::OverlayWindowController controller;
        controller.setUIAutopilotBusy(true);
        ASSERT_EQ(controller.windowManager().overlayWindows().size(), 2);
        for (const auto& d : displays.displays()) {
            QString why;
            QImage image;
            // The agent's cursor waits beside the pointer, on one of the screens.
            const QPointF cursor =
                overlay::localFromGlobal(d.frame, controller.autopilotCursorLocation().value_or(QPointF(-1e6, -1e6)));
            const bool shown = spinUntil(
                [&] { return !(image = shot(d.displayID)).isNull() && lookShown(image, compositor, cursor, &why); }, 8000);
            EXPECT_TRUE(shown) << d.name.toStdString() << ": " << why.toStdString();
            if (!shown)
                image.save(QStringLiteral("/tmp/takeover-%1.png").arg(d.name));
        }

        // The agent's cursor lands on its point on the main screen (display
        // coordinates are relative to it): its dark body just inside the tip.
        const QPointF point(300, 400);
        controller.recordAutopilotMouse(overlay::MouseVisualEventType::leftMouseDown, point);
        const uint32_t mainID = displays.mainDisplay()->displayID;
        const QColor navy(20, 36, 59);
        QImage image;
        EXPECT_TRUE(spinUntil([&] { return isColour((image = shot(mainID)).pixel(308, 408), navy, 12); }, 8000))
            << at(image, 308, 408).name().toStdString();
        EXPECT_FALSE(isColour(image.pixel(294, 408), navy, 30)) << "left of the tip is outside the arrow";
        // Clicks of the user (and of the run) pass through the look, in the
        // middle of a screen and on the banner.
        auto& input = platform::Platform::get().input();
        for (const QPointF p : {QPointF(main.width() / 2, main.height() / 2), QPointF(main.width() / 2, 24)}) {
            const int before = desk.presses;
            ASSERT_TRUE(input.postMouse(platform::MouseEventKind::Down, platform::MouseButton::Left, p, 1));
            ASSERT_TRUE(input.postMouse(platform::MouseEventKind::Up, platform::MouseButton::Left, p, 1));
            EXPECT_TRUE(spinUntil([&] { return desk.presses == before + 1; })) << p.x() << "," << p.y();
        }

        // A monitor goes while the look shows: so does its window (also
        // from those fading out), the main one's stays; it comes back.
        const auto overlayPlaces = [&] {
            QList<QRect> places;
            const auto& manager = controller.windowManager();
            for (const auto* w : manager.overlayWindows() + manager.fadingOverlayWindows())
                places << w->geometry();
            std::sort(places.begin(), places.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
            return places;
        };
        ASSERT_TRUE(setMonitor("TOVRIK-TK-SIDE", QRect(), false));
        EXPECT_TRUE(spinUntil([&] { return overlayPlaces() == QList<QRect>{main}; }, 8000)) << overlayPlaces().size();
        ASSERT_TRUE(setMonitor("TOVRIK-TK-SIDE", side, false));
        EXPECT_TRUE(spinUntil([&] { return overlayPlaces() == (QList<QRect>{side, main}); }, 8000)) << overlayPlaces().size();

        // The run ends: after the transition nothing of the look is left.
        controller.setUIAutopilotBusy(false);
        for (const auto& d : displays.displays())
            EXPECT_TRUE(spinUntil([&] { return lookGone(image = shot(d.displayID)); }, 8000)) << d.name.toStdString();
    }
    drainEvents();
    platform::sim::SimPlatform::install();
}

// Runs in the child only (registered when kNoCompositorChildEnv is set): the
// server has no compositor, so transparent ARGB pixels would show black.
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
        EXPECT_TRUE(shotUntil([&](const QImage& i) { return rgbAt(i, 100, 700) == 0; }))
            << "an unclipped ARGB window should show black without a compositor";
        window->setClipToContent(true);
        EXPECT_TRUE(shotUntil([&](const QImage& i) { return changedFarFrom(i, glyph2.x(), glyph2.y(), 90) == 0; }));
    }
};

const bool kChildrenRegistered = [] {
    if (std::getenv(kNoCompositorChildEnv)) {
        ::testing::RegisterTest("OverlayWithoutCompositor", "Child", nullptr, nullptr, __FILE__, __LINE__,
                                []() -> ::testing::Test* { return new NoCompositorChild; });
        ::testing::RegisterTest("TakeoverWithoutCompositor", "Child", nullptr, nullptr, __FILE__, __LINE__,
                                []() -> ::testing::Test* {
                                    struct Child : ::testing::Test {
                                        void TestBody() override { runTakeoverOnTwoMonitors(false); }
                                    };
                                    return new Child;
                                });
    }
    return true;
}();

} // namespace

// The glyph sits beside the pointer and follows it, the rest of the desktop
// unchanged; a status over it shows beside the still pointer at once and goes
// on time; a window mapped above the overlay is answered by raising it,
// without polling.
TEST_F(OverlayOnXServer, TheGlyphFollowsThePointerLeavesTheDesktopAloneShowsStatusesAndStaysOnTop)
{
    ASSERT_TRUE(platform::Platform::get().compositorActive()) << "the test command runs a compositor";
    const QPoint pointer(600, 420);
    ASSERT_NO_FATAL_FAILURE(showIdleGlyph(pointer));
    const QImage shot = capture();
    EXPECT_FALSE(glyphNear(shot, pointer.x() - 60, pointer.y() - 60));
    EXPECT_EQ(changedFarFrom(shot, pointer.x() + 35, pointer.y() + 25, 90), 0);
    const QPoint moved(800, 500), glyph = moved + QPoint(35, 25);
    expectGlyphFollows(pointer, moved);

    const auto statusPixels = [&](const QImage& i) {
        int changed = 0;
        for (int y = glyph.y() - 120; y < glyph.y() + 120; y += 3)
            for (int x = glyph.x() + 50; x < glyph.x() + 400; x += 3)
                changed += i.rect().contains(x, y) && !isDesk(rgbAt(i, x, y));
        return changed;
    };
    ASSERT_TRUE(shotUntil([&](const QImage& i) { return statusPixels(i) == 0; }));
    for (int round = 0; round < 3; ++round) {
        controller->showStatus(QStringLiteral("no microphone found"), platform::Platform::get().displays().mainDisplay(),
                               false);
        controller->hide(2.5);
        QElapsedTimer since;
        since.start();
        EXPECT_TRUE(shotUntil([&](const QImage& i) { return statusPixels(i) > 100; }))
            << "round " << round << ": no status beside the pointer";
        EXPECT_LT(since.elapsed(), 1000);
        EXPECT_TRUE(shotUntil([&](const QImage& i) { return statusPixels(i) == 0; }))
            << "round " << round << ": the status stayed";
        EXPECT_GE(since.elapsed(), 2400);
        EXPECT_LT(since.elapsed(), 4000) << "round " << round;
    }

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

// Once the glyph rests, the full-screen window holds little more than the
// pages the glyph draws on, and the screen shows what it did. A capture
// suspension takes the overlay off the screen, and it comes back with the
// pixels it held, nothing painted anew over the whole window.
TEST_F(OverlayOnXServer, AtRestTheWindowKeepsOnlyThePagesTheGlyphDrawsAndComesBackFromACaptureUnpainted)
{
    const QPoint pointer(600, 420), glyph = pointer + QPoint(35, 25);
    ASSERT_NO_FATAL_FAILURE(showIdleGlyph(pointer));
    auto* window = controller->windowManager().overlayWindows().value(0);
    QPaintDevice* device = window->backingStore()->paintDevice();
    ASSERT_TRUE(device && device->devType() == QInternal::Image);
    const QImage& store = *static_cast<const QImage*>(device);
    EXPECT_TRUE(spinUntil([&] { return residentBytes(store) < store.sizeInBytes() / 8; }, 4000))
        << residentBytes(store) << " of " << store.sizeInBytes() << " bytes still resident";
    QImage shot = capture();
    EXPECT_TRUE(glyphNear(shot, glyph.x(), glyph.y()));
    EXPECT_EQ(changedFarFrom(shot, glyph.x(), glyph.y(), 90), 0);

    // As the capture step does it: repaints watched from before the windows
    // go; synchronized, the capture shows the bare desktop. With a compositor
    // the window stays mapped and only what it drew is emptied, so that just
    // that (a little around the glyph, not the display) is repainted.
    auto& cap = platform::Platform::get().capture();
    cap.watchRepaints(controller->screenCaptureProbes());
    const bool suspended = controller->suspendForScreenCapture();
    ASSERT_TRUE(suspended);
    const auto vacated = controller->screenCaptureVacatedAreas();
    ASSERT_FALSE(vacated.isEmpty());
    const auto area =
        std::find_if(vacated.begin(), vacated.end(), [&](const auto& a) { return a.displayID == displayID; });
    ASSERT_NE(area, vacated.end());
    ASSERT_TRUE(area->pixels.has_value());
    EXPECT_TRUE(area->pixels->contains(glyph)) << "the glyph's place is not among what the capture waits for";
    EXPECT_LT(area->pixels->boundingRect().width(), 400);
    {
        platform::x11::XcbConnection conn(nullptr);
        platform::x11::XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
            conn, xcb_get_window_attributes(conn, xcb_window_t(window->winId())), nullptr));
        ASSERT_TRUE(attributes);
        EXPECT_EQ(attributes->map_state, XCB_MAP_STATE_VIEWABLE);
    }
    cap.synchronizeAreas(vacated);
    shot = cap.captureDisplay(displayID);
    EXPECT_EQ(changedFarFrom(shot, -1000, -1000, 0), 0);
    EXPECT_FALSE(glyphNear(shot, glyph.x(), glyph.y(), 40)) << "the glyph is in the capture";
    WholeViewPaints whole(window->contentView());
    controller->resumeAfterScreenCapture(suspended);
    EXPECT_TRUE(shotUntil([&](const QImage& i) { return glyphNear(i, glyph.x(), glyph.y()); }))
        << "the overlay did not come back";
    EXPECT_EQ(whole.count, 0);
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
    drainEvents();

    ASSERT_TRUE(other.click(QPoint(1100, 700)));
    EXPECT_TRUE(spinUntil([&] { return other.presses() == 1; })) << "the click did not reach the other application";
    EXPECT_TRUE(spinUntil([&] { return controller->bubbleText().isEmpty(); })) << "the bubble was not dismissed";
    EXPECT_FALSE(controller->isResponseBubblePinned());
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_FALSE(controller->hasResponseDismissGlobalMonitor());
}

TEST(TakeoverOnXServer, EveryMonitorShowsTheLookAndClicksPassThrough)
{
    runTakeoverOnTwoMonitors(true);
}

// Both children (the takeover look's too) on one X server without a compositor.
TEST(WithoutCompositor, TheOverlayAndTheTakeoverLookAreClippedAndTheDesktopNeverTurnsBlack)
{
    const auto run = runTestOnPrivateXServer(
        QStringLiteral("OverlayWithoutCompositor.Child:TakeoverWithoutCompositor.Child"), kNoCompositorChildEnv);
    ASSERT_TRUE(run.serverStarted) << "the second X server did not start";
    EXPECT_TRUE(run.finishedNormally && run.exitCode == 0 && run.output.contains("[  PASSED  ] 2 tests"))
        << run.output.toStdString();
}
