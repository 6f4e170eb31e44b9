// The per-screen overlay windows: how many, where, with which window flags,
// fading, capture suspension and rebuilding when the screens change. The UI
// Autopilot busy state and the autopilot cursor that mirrors every synthetic
// mouse event.

#include "ControllerFixture.h"

#include "overlay/OverlayCoordinates.h"

#include <QPainter>
#include <QSet>
#include <algorithm>
#include <limits>
#include <tuple>

using namespace tovrik;
using namespace tovrik::test;
using overlay::CursorOverlayWindow;
using overlay::MouseVisualEventType;
using platform::sim::SimDisplays;

namespace {

class WindowsTest : public ControllerTest {
protected:
    overlay::CursorOverlayWindowManager& manager() { return controller->windowManager(); }
    QList<platform::DisplayInfo> screens() { return sim->displays().displays(); }
    int visibleCount() { return int(std::count_if(live().begin(), live().end(), [](auto* w) { return w->isVisible(); })); }
    // The main display is 1440 x 900: display y 50 is AppKit y 850.
    void startRun()
    {
        pointAt(QPointF(700, 400)); // AppKit (700, 500)
        controller->setUIAutopilotBusy(true);
    }
};
using AutopilotStateTest = WindowsTest;

} // namespace

TEST_F(WindowsTest, TwoScreensGiveTwoWindowsInListOrderWithTheirIdsFramesAndFlags)
{
    useDisplays(twoScreens());
    manager().show(screens(), controller.get());
    ASSERT_EQ(live().size(), 2);
    // AppKit frames: the second display's top is level with the main one's,
    // so its frame starts 100 points above the main display's bottom. Qt/X11
    // geometry is the display's y-down bounds.
    using Window = std::tuple<std::optional<uint32_t>, QRectF, QRect>;
    const auto window = [&](int i) { return Window(live()[i]->displayID(), live()[i]->screenFrame(), live()[i]->geometry()); };
    EXPECT_EQ(window(0), Window(1, QRectF(0, 0, 1440, 900), QRect(0, 0, 1440, 900)));
    EXPECT_EQ(window(1), Window(2, QRectF(1440, 100, 1280, 800), QRect(1440, 0, 1280, 800)));

    for (auto* w : live()) {
        const Qt::WindowFlags needed = Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
            | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint;
        EXPECT_EQ(w->windowFlags() & needed, needed);
        EXPECT_EQ(w->windowFlags() & Qt::WindowType_Mask, Qt::Tool); // no taskbar entry
        EXPECT_TRUE(w->testAttribute(Qt::WA_TranslucentBackground) && w->testAttribute(Qt::WA_ShowWithoutActivating));
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->focusPolicy(), Qt::NoFocus);
        // The hosted view fills the window.
        ASSERT_NE(w->contentView(), nullptr);
        EXPECT_EQ(w->contentView()->geometry(), QRect(QPoint(0, 0), w->size()));
    }
    // Each view was built for its own screen with this controller.
    ASSERT_EQ(built.size(), 2);
    EXPECT_EQ(std::tuple(built[0].controller, built[0].displayID), std::tuple(controller.get(), 1u));
    EXPECT_EQ(std::tuple(built[1].displayID, built[1].frame), std::tuple(2u, QRectF(1440, 100, 1280, 800)));

    QList<platform::DisplayInfo> reversed = screens();
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_TRUE(manager().matches(reversed));
    EXPECT_FALSE(manager().matches({screens().first()}));
    // Windows are never reused: a rebuild builds fresh views.
    QPointer<QWidget> firstView = live().first()->contentView();
    manager().show(screens(), controller.get());
    runDeferredDeletes();
    EXPECT_FALSE(firstView);
    EXPECT_EQ(built.size(), 4);
    // A screen without an id gets no window and is ignored by matches(); a
    // screen that moved or changed size under the same id no longer matches.
    auto list = twoScreens();
    list.append(SimDisplays::make(0, QRectF(2720, 0, 800, 600)));
    useDisplays(list);
    manager().show(screens(), controller.get());
    EXPECT_EQ(live().size(), 2);
    EXPECT_TRUE(manager().matches(screens()));
    list[1] = SimDisplays::make(2, QRectF(1440, 0, 1920, 1080));
    useDisplays(list);
    EXPECT_FALSE(manager().matches(screens()));
}

TEST_F(WindowsTest, OneSuspensionIsInChargeAndShowWhileSuspendedBuildsHiddenWindows)
{
    EXPECT_FALSE(manager().suspendForCapture()); // no windows: nothing to suspend
    EXPECT_FALSE(manager().isSuspendedForCapture());
    EXPECT_FALSE(controller->suspendForScreenCapture());

    manager().show(screens(), controller.get());
    ASSERT_TRUE(manager().suspendForCapture());
    EXPECT_FALSE(manager().suspendForCapture()); // the first suspension stays in charge
    EXPECT_FALSE(live().first()->isVisible());
    controller->resumeAfterScreenCapture(false); // not its own suspension: nothing
    EXPECT_TRUE(manager().isSuspendedForCapture());

    sim->simDisplays().setDisplays(twoScreens());
    manager().show(screens(), controller.get());
    ASSERT_EQ(live().size(), 2);
    EXPECT_TRUE(manager().isSuspendedForCapture());
    EXPECT_EQ(visibleCount(), 0);
    manager().resumeAfterCapture();
    EXPECT_FALSE(manager().isSuspendedForCapture());
    EXPECT_EQ(visibleCount(), 2);
    // Discarding with a reset while suspended: the resume then does nothing.
    ASSERT_TRUE(manager().suspendForCapture());
    manager().discardAllWindows(true);
    EXPECT_FALSE(manager().isSuspendedForCapture());
    EXPECT_TRUE(live().isEmpty());
    manager().show(screens(), controller.get());
    manager().resumeAfterCapture();
    EXPECT_TRUE(live().first()->isVisible());
    // The screens change during a capture (their observer has not run yet):
    // the capture ends with fresh windows shown.
    controller->setIdleBehavior(true, false, false);
    const bool suspended = controller->suspendForScreenCapture();
    ASSERT_TRUE(suspended);
    sim->simDisplays().setDisplays(
        {SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true), SimDisplays::make(3, QRectF(1440, 0, 800, 600))});
    controller->resumeAfterScreenCapture(suspended);
    ASSERT_EQ(live().size(), 2);
    EXPECT_EQ(live()[1]->displayID(), std::optional<uint32_t>(3));
    EXPECT_EQ(visibleCount(), 2);
    EXPECT_FALSE(manager().isSuspendedForCapture());
}

TEST_F(WindowsTest, FadeEasesOpacityInThenReleasesTheWindowsUnlessAShowOrACaptureComes)
{
    useDisplays(twoScreens());
    manager().show(screens(), controller.get());
    QPointer<CursorOverlayWindow> first = live().first();
    manager().fadeOutAndHide(0.25);
    EXPECT_TRUE(live().isEmpty());
    ASSERT_EQ(fading().size(), 2);

    advance(0.125);
    ASSERT_TRUE(first && first->isVisible());
    // Ease-in (0.42, 0, 1, 1): slow start, so at half time well over half remains.
    EXPECT_GT(first->fadeOpacity(), 0.6);
    EXPECT_LT(first->fadeOpacity(), 0.75);

    advance(0.15);
    EXPECT_TRUE(fading().isEmpty());
    runDeferredDeletes();
    EXPECT_FALSE(first); // released
    // A show during a fade discards the fading windows at once and starts opaque.
    manager().show(screens(), controller.get());
    QPointer<CursorOverlayWindow> old = live().first();
    manager().fadeOutAndHide(0.25);
    advance(0.1);
    ASSERT_TRUE(old);
    manager().show(screens(), controller.get());
    EXPECT_TRUE(fading().isEmpty());
    EXPECT_FALSE(old && old->isVisible());
    ASSERT_EQ(live().size(), 2);
    EXPECT_NE(live().first(), old.data());
    EXPECT_DOUBLE_EQ(live().first()->fadeOpacity(), 1.0);
    advance(0.3); // the old fade's end finds nothing to remove
    EXPECT_EQ(visibleCount(), 2);

    manager().fadeOutAndHide(0.25);
    advance(0.05);
    const auto fadingNow = fading();
    ASSERT_EQ(fadingNow.size(), 2);
    // No live windows: nothing is suspended, yet the fading ones must not be
    // caught by the capture.
    EXPECT_FALSE(manager().suspendForCapture());
    EXPECT_FALSE(fadingNow[0]->isVisible() || fadingNow[1]->isVisible());
    drainEvents();
    EXPECT_TRUE(fading().isEmpty());
}

TEST_F(WindowsTest, ControllerRebuildsWhenTheScreensChangeButNotOnEveryStateChangeAndDiscardsWhenNothingIsShown)
{
    controller->updateVoiceState(TovrikVoiceState::listening);
    ASSERT_EQ(live().size(), 1);
    CursorOverlayWindow* before = live().first();
    controller->updateVoiceState(TovrikVoiceState::processing);
    controller->showStatus(QStringLiteral("thinking"), std::nullopt, false);
    EXPECT_EQ(live().first(), before); // no flicker
    EXPECT_EQ(built.size(), 1);

    sim->simDisplays().setDisplays(twoScreens());
    EXPECT_EQ(live().size(), 1); // the screen observer works in a later main-thread task
    drainEvents();
    ASSERT_EQ(live().size(), 2);
    CursorOverlayWindow* second = live()[1];
    auto resized = twoScreens();
    resized[1] = SimDisplays::make(2, QRectF(1440, 0, 1920, 1200));
    useDisplays(resized);
    ASSERT_EQ(live().size(), 2);
    EXPECT_NE(live()[1], second);
    EXPECT_EQ(std::pair(live()[1]->geometry(), live()[1]->screenFrame()),
              std::pair(QRect(1440, 0, 1920, 1200), QRectF(1440, -300, 1920, 1200)));
    // A screen removed: rebuilt while kept visible, discarded (not faded)
    // when nothing is shown.
    controller->clearInteractionVisuals();
    controller->updateVoiceState(TovrikVoiceState::idle);
    controller->setIdleBehavior(true, false, false);
    useDisplays({twoScreens().first()});
    ASSERT_EQ(live().size(), 1);
    EXPECT_EQ(live().first()->displayID(), std::optional<uint32_t>(1));
    controller->setIdleBehavior(false, false, false); // fades
    useDisplays(twoScreens());
    EXPECT_TRUE(live().isEmpty());
    EXPECT_TRUE(fading().isEmpty());
}

// Without a compositor the transparent parts of an ARGB window show black,
// so each window shows only the pixels its content draws.
namespace {
struct DotView : QWidget {
    using QWidget::QWidget;
    QRect dot{100, 100, 20, 10};
    int paints = 0;
    void paintEvent(QPaintEvent*) override
    {
        ++paints;
        QPainter p(this);
        p.fillRect(rect(), QColor(0, 0, 0, 0)); // the 0.001 backdrop rounds to 0
        p.fillRect(dot, QColor(47, 125, 246));
        p.fillRect(QRect(300, 300, 40, 40), QColor(255, 255, 255, 10)); // a faint glow
    }
};
} // namespace

TEST_F(WindowsTest, WithoutACompositorEachWindowIsClippedToWhatItsContentDraws)
{
    sim->setCompositorActive(false);
    DotView* view = nullptr;
    manager().setViewFactory([&view](overlay::OverlayWindowController*, uint32_t, QRectF, QWidget* parent) {
        return view = new DotView(parent);
    });
    manager().show(screens(), controller.get());
    ASSERT_NE(view, nullptr);
    auto* w = live().first();
    EXPECT_FALSE(manager().compositorActive());
    EXPECT_TRUE(w->clipsToContent());
    EXPECT_EQ(w->contentRegion(), QRegion(100, 100, 20, 10));
    // Once clipped, a window at rest paints nothing more (reading what the
    // content draws is no reason to read it again).
    drainEvents();
    const int paints = view->paints;
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(view->paints, paints);
    // Nothing drawn: nothing shown (not "no mask", which would show it all).
    view->dot = QRect();
    view->update(QRect(100, 100, 20, 10));
    EXPECT_TRUE(spinUntil([&] { return w->contentRegion().isEmpty(); }, 2000));
    EXPECT_FALSE(w->mask().isEmpty());
    EXPECT_FALSE(w->mask().intersects(w->rect()));
    // A compositor appears: the mask goes away at the next show.
    sim->setCompositorActive(true);
    manager().show(screens(), controller.get());
    EXPECT_FALSE(live().first()->clipsToContent());
    EXPECT_TRUE(live().first()->mask().isEmpty());
    // One that stops or starts while shown is noticed without polling.
    w = live().first();
    EXPECT_FALSE(manager().isRaiseTimerRunning());
    sim->setCompositorActive(false);
    EXPECT_TRUE(w->clipsToContent());
    sim->setCompositorActive(true);
    EXPECT_FALSE(w->clipsToContent());
    EXPECT_TRUE(w->mask().isEmpty());
}

// The pixels a capture watches to know the overlay is gone from the screen.
TEST(OverlayProbes, OpaquePixelsSpreadOverEveryColourNeverTranslucentOnes)
{
    QImage image(400, 300, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const QRect glyph(200, 100, 40, 40), badge(300, 200, 8, 8);
    {
        QPainter p(&image);
        p.fillRect(QRect(0, 0, 400, 300), QColor(255, 255, 255, 200)); // a glow over everything
        p.fillRect(glyph, QColor(47, 125, 246));
        p.fillRect(badge, QColor(250, 250, 250));
    }
    const auto samples = overlay::opaqueSamples(image, image.rect(), 6);
    ASSERT_EQ(samples.size(), 6);
    QSet<QRgb> colours;
    for (const auto& [pixel, colour] : samples) {
        EXPECT_TRUE(glyph.contains(pixel) || badge.contains(pixel)) << pixel.x() << "," << pixel.y();
        EXPECT_EQ(colour, glyph.contains(pixel) ? 0xff2f7df6u : 0xfffafafau);
        colours << colour;
    }
    EXPECT_EQ(colours.size(), 2); // the small badge too, not only the large glyph
    // Only the area asked for; nothing where nothing is opaque.
    for (const auto& sample : overlay::opaqueSamples(image, QRect(0, 0, 250, 300), 6))
        EXPECT_TRUE(glyph.contains(sample.first));
    image.fill(QColor(0, 0, 0, 254));
    EXPECT_TRUE(overlay::opaqueSamples(image, image.rect(), 6).isEmpty());
}

// What a capture waits to see repainted: every tile holding a pixel that is
// not fully transparent (however faint), within the area asked about.
TEST(OverlayDrawnTiles, EveryTileWithAnyVisiblePixelAndNoOther)
{
    QImage image(200, 100, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setPixel(70, 40, qPremultiply(qRgba(47, 125, 246, 255)));
    image.setPixel(199, 99, qRgba(1, 1, 1, 1)); // the faintest glow, in a tile cut by the edge
    image.setPixel(10, 5, qRgba(0, 0, 0, 255)); // opaque black is drawn too
    image.setPixel(40, 5, qRgba(0, 0, 0, 255));
    EXPECT_EQ(overlay::drawnTiles(image, image.rect()),
              QRegion(0, 0, 64, 32) + QRegion(64, 32, 32, 32) + QRegion(192, 96, 8, 4));
    // Only where asked; a tile is cut to nothing beyond the image.
    EXPECT_EQ(overlay::drawnTiles(image, QRegion(60, 30, 20, 20) + QRegion(300, 300, 5, 5)),
              QRegion(64, 32, 32, 32));
    EXPECT_TRUE(overlay::drawnTiles(image, QRegion(100, 0, 90, 90)).isEmpty());
    // Without alpha every pixel shows.
    EXPECT_EQ(overlay::drawnTiles(image.convertToFormat(QImage::Format_RGB32), QRegion(100, 0, 90, 90)),
              QRegion(100, 0, 90, 90));
    // The whole tiles a painted area meets, cut to the image, are what is read again.
    EXPECT_EQ(overlay::tilesMeeting(QRegion(60, 30, 5, 5) + QRegion(190, 90, 40, 40), image.size()),
              QRegion(32, 0, 64, 64) + QRegion(160, 64, 40, 36));
}

// Paints marked one by one name the same tiles as their union would, whatever
// the order, overlaps, rectangles beyond the image or negative corners; the
// marks start over when read.
TEST(OverlayDrawnTiles, MarkedPaintsNameTheTilesTheirUnionMeets)
{
    const QSize size(200, 100);
    const QList<QList<QRect>> cases = {
        {QRect(60, 30, 5, 5), QRect(190, 90, 40, 40)},
        {QRect(0, 0, 1, 1), QRect(31, 31, 2, 2), QRect(10, 10, 5, 5)},
        {QRect(-20, -20, 40, 40), QRect(150, 0, 20, 100), QRect(400, 400, 5, 5)},
        {QRect(0, 0, 200, 100)},
        {QRect(70, 40, 30, 3), QRect(0, 64, 200, 1)},
    };
    overlay::TileMarks marks;
    for (const auto& rects : cases) {
        QRegion painted;
        for (const QRect& r : rects) {
            marks.mark(r);
            painted += r;
        }
        EXPECT_EQ(marks.region(size), overlay::tilesMeeting(painted, size)) << painted.boundingRect().x();
        marks.clear();
        EXPECT_TRUE(marks.region(size).isEmpty());
    }
}

TEST_F(WindowsTest, CaptureProbesComeFromEveryShownWindowAndNoneWhileSuspended)
{
    useDisplays(twoScreens());
    manager().show(screens(), controller.get());
    QSet<uint32_t> probed;
    spinUntil([&] {
        for (const auto& p : manager().captureProbes())
            probed << p.displayID;
        return probed.size() == 2;
    }, 2000);
    EXPECT_EQ(probed, QSet<uint32_t>({1, 2}));
    sim->setCompositorActive(false); // the windows leave with their unmapping
    EXPECT_TRUE(manager().captureProbes().isEmpty());
    sim->setCompositorActive(true);
    ASSERT_TRUE(manager().suspendForCapture());
    EXPECT_TRUE(manager().captureProbes().isEmpty());
}

TEST(OverlayCoordinates, DisplayPointsFlipAgainstTheMainDisplayAndFramesAreHalfOpen)
{
    EXPECT_EQ(overlay::displayToAppKit(QPointF(100, 50), 900), QPointF(100, 850));
    const QRectF f(0, 0, 1440, 900);
    for (const auto& [p, inside] : {std::pair{QPointF(0, 0), true}, {QPointF(1440, 10), false}, {QPointF(10, 900), false},
                                   {QPointF(1439.9, 899.9), true}})
        EXPECT_EQ(overlay::frameContains(f, p), inside) << p.x() << "," << p.y();
    EXPECT_DOUBLE_EQ(overlay::squaredDistanceToFrame(f, QPointF(1443, 904)), 9 + 16);
    EXPECT_DOUBLE_EQ(overlay::squaredDistanceToFrame(f, QPointF(-2, 450)), 4);
    EXPECT_EQ(overlay::localFromGlobal(QRectF(1440, 100, 1280, 800), QPointF(1500, 850)), QPointF(60, 50));
    platform::DisplayInfo d = SimDisplays::make(2, QRectF(1440, 0, 1280, 800));
    EXPECT_EQ(overlay::qtGeometryForDisplay(d, QPointF(100, 20)), QRectF(1540, 20, 1280, 800));
}

TEST_F(AutopilotStateTest, BusyPlacesTheCursorBesideThePointerFollowsItShowsTheWindowsAndBusyAgainRestarts)
{
    startRun();
    EXPECT_TRUE(controller->isUIAutopilotBusy() && controller->isAutopilotCursorTimerRunning());
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(735, 475));
    EXPECT_EQ(live().size(), 1);

    pointAt(QPointF(100, 800)); // AppKit (100, 100)
    advance(1.0 / 60.0);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(135, 75));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.0);
    // An idle follow with a still pointer announces nothing.
    changes = 0;
    advance(0.5);
    EXPECT_EQ(changes, 0);
    // It rests beside a still pointer until the watch reports motion.
    EXPECT_FALSE(controller->isAutopilotCursorTimerRunning());
    pointAt(QPointF(200, 700));
    EXPECT_TRUE(controller->isAutopilotCursorTimerRunning());
    advance(1.0 / 60.0);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(235, 175));
    // Busy again restarts the timer and clears the pin and the ripple; the
    // busy overlay is never faded as idle.
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    const QUuid id = controller->autopilotClickID();
    startRun();
    EXPECT_FALSE(controller->autopilotPinned() || controller->autopilotClickLocation());
    EXPECT_EQ(controller->autopilotClickID(), id);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(735, 475));
    EXPECT_TRUE(controller->isAutopilotCursorTimerRunning());
    controller->updateVoiceState(TovrikVoiceState::idle);
    controller->setIdleBehavior(false, false, false);
    controller->clearInteractionVisuals();
    EXPECT_EQ(live().size(), 1);
    EXPECT_TRUE(fading().isEmpty());
}

TEST_F(AutopilotStateTest, APressPinsWithANewClickAndItsReleaseGlidesBesideThePlaceIn045s)
{
    startRun();
    const QUuid before = controller->autopilotClickID();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(300, 200));
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(300, 700));
    EXPECT_EQ(controller->autopilotClickLocation(), QPointF(300, 700));
    EXPECT_TRUE(controller->autopilotPinned());
    const QUuid first = controller->autopilotClickID();
    EXPECT_NE(first, before) << "a new ripple";
    // Pinned: the follow timer leaves it alone.
    pointAt(QPointF(1000, 600));
    advance(0.2);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(300, 700));

    const double releasedAt = clock.now();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseUp, QPointF(300, 200));
    EXPECT_FALSE(controller->autopilotPinned());
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(335, 675));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.45);
    EXPECT_DOUBLE_EQ(controller->autopilotReturnAfter(), releasedAt + 0.45);
    EXPECT_EQ(controller->autopilotClickLocation(), QPointF(300, 700)); // the press stays marked

    pointAt(QPointF(900, 100)); // AppKit (900, 800)
    advance(0.43);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(335, 675));
    advance(0.04);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(935, 775));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.0);
    controller->recordAutopilotMouse(MouseVisualEventType::rightMouseDown, QPointF(300, 200));
    EXPECT_NE(controller->autopilotClickID(), first); // same place, new ripple
}

TEST_F(AutopilotStateTest, DragsAndPreparedPressesCarryThePinnedCursorAndUnpinnedMotionOrBadPointsDoNothing)
{
    // Outside a run, events and prepared presses are ignored.
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    controller->prepareAutopilotPress(QPointF(10, 10));
    EXPECT_FALSE(controller->autopilotCursorLocation() || controller->autopilotClickLocation() || controller->autopilotPinned());
    EXPECT_TRUE(live().isEmpty());
    startRun();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(nan, 3));
    controller->prepareAutopilotPress(QPointF(4, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(controller->autopilotPinned());
    const auto resting = controller->autopilotCursorLocation();
    controller->recordAutopilotMouse(MouseVisualEventType::scrollWheel, QPointF(10, 10));
    controller->recordAutopilotMouse(MouseVisualEventType::mouseMoved, QPointF(10, 10));
    EXPECT_EQ(controller->autopilotCursorLocation(), resting);

    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDragged, QPointF(50, 60));
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(50, 840));
    controller->recordAutopilotMouse(MouseVisualEventType::other, QPointF(70, 80));
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(70, 820));
    EXPECT_EQ(controller->autopilotClickLocation(), QPointF(10, 890));
    // A prepared press pins and glides onto its point in 0.35 s until released.
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseUp, QPointF(70, 80));
    ASSERT_FALSE(controller->autopilotPinned());
    controller->prepareAutopilotPress(QPointF(400, 300));
    EXPECT_TRUE(controller->autopilotPinned());
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(400, 600));
    EXPECT_EQ(controller->autopilotCursorAnimationDuration(), 0.35);
    pointAt(QPointF(10, 10));
    advance(0.5);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(400, 600));
    // Released, the next tick follows the pointer again.
    controller->releaseAutopilotCursor();
    pointAt(QPointF(500, 500));
    advance(1.0 / 60.0);
    EXPECT_EQ(controller->autopilotCursorLocation(), QPointF(535, 375));
}

TEST_F(AutopilotStateTest, EndingARunClearsTheCursorAndFadesIn017sUnlessAStatusIsUp)
{
    startRun();
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(10, 10));
    controller->setUIAutopilotBusy(false);
    EXPECT_FALSE(controller->autopilotCursorLocation() || controller->autopilotClickLocation());
    EXPECT_FALSE(controller->autopilotPinned() || controller->isAutopilotCursorTimerRunning());
    EXPECT_TRUE(live().isEmpty());
    EXPECT_EQ(fading().size(), 1);
    advance(0.16);
    EXPECT_EQ(fading().size(), 1);
    advance(0.03);
    EXPECT_TRUE(fading().isEmpty());

    startRun();
    controller->showStatus(QStringLiteral("done"), std::nullopt, false);
    controller->setUIAutopilotBusy(false);
    EXPECT_EQ(live().size(), 1);
    EXPECT_TRUE(fading().isEmpty());
    controller->hide(1);
    advance(1.01);
    EXPECT_EQ(fading().size(), 1); // the ordinary 0.25 s fade
    advance(0.2);
    EXPECT_EQ(fading().size(), 1);
    advance(0.06);
    EXPECT_TRUE(fading().isEmpty());
}
