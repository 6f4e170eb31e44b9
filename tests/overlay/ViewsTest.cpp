// The companion views in their real windows on two screens, driven by the
// real controller on a virtual clock: the companion, its flight across
// screens and back; the UI Autopilot look (the takeover look's pixels, the
// autopilot cursor and the click ripple).

#include "PaintedImage.h"
#include "overlay/OverlayWindowController.h"
#include "overlay/views/AutopilotCursorLayer.h"
#include "overlay/views/CursorBuddyView.h"
#include "overlay/views/UIAutopilotTakeoverView.h"
#include "support/SimFixture.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLineF>
#include <QPainter>
#include <gtest/gtest.h>
#include <memory>
#include <tuple>

using namespace tovrik;
using namespace tovrik::overlay;
using namespace tovrik::test;
using Mode = BuddyNavigationMode;

namespace {

QImage takeoverImage(QSizeF size, double progress)
{
    return painted(size.toSize(), [&](QPainter& p) { UIAutopilotTakeoverView::paint(p, size, progress); });
}

// Two screens side by side, the first the main one, and the real controller
// whose windows host the real companion views, on the virtual clock.
class TwoScreenViews : public SimTest {
protected:
    // `second` is the second screen's bounds; `pointer` is y down.
    TwoScreenViews(QRectF second, QPointF pointer) : second(second), pointer(pointer) {}
    void SetUp() override
    {
        SimTest::SetUp();
        using platform::sim::SimDisplays;
        sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 1.0, true), SimDisplays::make(2, second)});
        sim->simDisplays().setPointerLocation(pointer);
        controller = std::make_unique<OverlayWindowController>();
    }
    void TearDown() override
    {
        controller.reset();
        SimTest::TearDown();
    }
    CursorBuddyView* view(uint32_t displayID)
    {
        for (auto* window : controller->windowManager().overlayWindows())
            if (window->displayID() == displayID)
                return qobject_cast<CursorBuddyView*>(window->contentView());
        return nullptr;
    }

    const QRectF second;
    const QPointF pointer;
    std::unique_ptr<OverlayWindowController> controller;
};

// Two 1440 × 900 screens; the pointer at AppKit (700, 500).
class ViewWidget : public TwoScreenViews {
protected:
    ViewWidget() : TwoScreenViews(QRectF(1440, 0, 1440, 900), QPointF(700, 400)) {}
};


class AutopilotView : public TwoScreenViews {
protected:
    AutopilotView() : TwoScreenViews(QRectF(1440, 0, 1920, 1080), QPointF(200, 300)) {}
    AutopilotOverlayLayers& layers(uint32_t displayID)
    {
        if (auto* v = view(displayID))
            return v->autopilotLayers();
        throw std::runtime_error("no window");
    }
    // A press posted at a global display point (y down).
    void press(QPointF displayPoint)
    {
        controller->recordAutopilotMouse(MouseVisualEventType::leftMouseDown, displayPoint);
    }
};

} // namespace

TEST_F(ViewWidget, EachScreenGetsAViewAndOnlyThePointersScreenDrawsTheCompanionOrTheWaveform)
{
    controller->setIdleBehavior(true, false, false);
    CursorBuddyView* a = view(1);
    CursorBuddyView* b = view(2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(std::pair(a->screenFrame(), b->screenFrame()), std::pair(QRectF(0, 0, 1440, 900), QRectF(1440, 0, 1440, 900)));
    EXPECT_EQ(a->model().cursorPosition(), QPointF(735, 425));
    EXPECT_TRUE(a->model().isTracking());
    advance(0.1);
    // The glyph (halo around it) is centred beside the pointer; nothing else is drawn.
    const QRect ink = inkBounds(rendered(a));
    ASSERT_FALSE(ink.isNull());
    EXPECT_TRUE(QRect(735 - 3, 425 - 3, 7, 7).contains(ink.center())) << "the glyph is centred beside the pointer";
    EXPECT_LT(ink.width(), 170);
    EXPECT_TRUE(inkBounds(rendered(b)).isNull());
    // What a repaint touches is the glyph's coloured box, no more.
    const QRect dirty = CursorBuddyView::paintedRegion(a->model().presentation()).boundingRect();
    EXPECT_TRUE(dirty.contains(ink));
    EXPECT_LE(dirty.width(), ink.width() + 8);
    EXPECT_LE(dirty.height(), ink.height() + 8);
    // Listening shows the waveform below left of the companion, not the glyph.
    controller->updateVoiceState(TovrikVoiceState::listening);
    controller->updateAudioPowerLevel(qQNaN());
    advance(0.5);
    const auto p = a->model().presentation();
    EXPECT_EQ(std::tuple(p.waveformOpacity, p.audioPowerLevel, p.glyphOpacity), std::tuple(1.0, 0.0, 0.0));
    EXPECT_EQ(p.badgeCentre, QPointF(735 - 36, 425 + 25));
    const QImage image = rendered(a);
    const QColor card = image.pixelColor(699 - 14, 450);
    EXPECT_TRUE(card.alpha() >= 230 && card.red() < 40) << "the card's dark body at its centre row";
    EXPECT_LT(inkBounds(image).width(), 80);
}

TEST_F(ViewWidget, AnAnswerPointingAtScreenBFliesThereAndComesBack)
{
    controller->setIdleBehavior(true, false, false);
    controller->updateVoiceState(TovrikVoiceState::responding);
    const auto screenB = sim->displays().display(2);
    // Pixel (200, 300) of a 1440 × 900 screenshot of B: local (200, 300).
    controller->showResponse(QStringLiteral("right here"), QPointF(200, 300), QSizeF(1440, 900), screenB, false, 3);
    CursorBuddyView* a = view(1);
    CursorBuddyView* b = view(2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->model().buddyNavigationMode(), Mode::navigatingToTarget);
    EXPECT_FALSE(a->model().buddyIsVisibleOnThisScreen());
    // Mid-flight the glyph swells: it stays inside what a repaint touches.
    advance(0.45);
    ASSERT_GT(b->model().buddyFlightScale(), 1.1);
    EXPECT_TRUE(CursorBuddyView::paintedRegion(b->model().presentation()).boundingRect().contains(inkBounds(rendered(b))));
    advance(1.05);
    ASSERT_EQ(b->model().buddyNavigationMode(), Mode::pointingAtTarget);
    EXPECT_EQ(b->model().cursorPosition(), QPointF(204, 304));
    // B draws the pointing glyph and the bubble beside it; A draws nothing.
    const QImage imageB = rendered(b);
    const QColor glyphInk = imageB.pixelColor(204, 300);
    EXPECT_TRUE(glyphInk.alpha() == 255 && glyphInk.red() < 60) << "the pointing glyph's dark body";
    EXPECT_EQ(imageB.pixelColor(204 + 10 + 150, 304 + 18 + 8), QColor(47, 125, 246)); // the bubble's fill
    EXPECT_TRUE(inkBounds(rendered(a)).isNull());
    // The due hide clears the place; kept visible, the controller flies the
    // companion back across to the pointer on A.
    advance(1.6);
    EXPECT_FALSE(controller->targetScreenLocation());
    bool sawSharedOnB = false, sawSharedOnA = false;
    for (int i = 0; i < 120 && controller->isSharedReturnFlightActive(); ++i) {
        EXPECT_EQ(b->model().buddyIsVisibleOnThisScreen(), controller->sharedReturnDisplayID() == 2u);
        EXPECT_EQ(a->model().buddyIsVisibleOnThisScreen(), controller->sharedReturnDisplayID() == 1u);
        sawSharedOnB |= controller->sharedReturnDisplayID() == 2u;
        sawSharedOnA |= controller->sharedReturnDisplayID() == 1u;
        advance(1.0 / 60.0);
    }
    EXPECT_TRUE(sawSharedOnB && sawSharedOnA);
    EXPECT_FALSE(controller->isSharedReturnFlightActive());
    advance(0.1);
    EXPECT_EQ(a->model().buddyNavigationMode(), Mode::followingCursor);
    EXPECT_EQ(b->model().buddyNavigationMode(), Mode::followingCursor);
    EXPECT_TRUE(a->model().buddyIsVisibleOnThisScreen());
    EXPECT_EQ(a->model().cursorPosition(), QPointF(735, 425));
    advance(1.0);
    EXPECT_TRUE(QRect(735 - 3, 425 - 3, 7, 7).contains(inkBounds(rendered(a)).center()));
}

TEST(TakeoverLook, BandsFrameBannerAndTransitionOnA1440By900Screen)
{
    const QSizeF size(1440, 900);
    const QImage image = takeoverImage(size, 1.0);
    // The frame line covers the outermost 2 points on every side.
    for (const QPoint p : {QPoint(300, 0), QPoint(300, 1), QPoint(300, 899), QPoint(0, 450), QPoint(1439, 450)}) {
        EXPECT_TRUE(isColour(image.pixel(p), QColor(43, 148, 255), 12)) << p.x() << "," << p.y();
        EXPECT_GE(alphaAt(image, p.x(), p.y()), 230);
    }
    // Each band fades from its edge to nothing at 0.84 of its 34 points.
    EXPECT_TRUE(isColour(image.pixel(300, 3), QColor(40, 144, 255)));
    EXPECT_NEAR(alphaAt(image, 300, 2 + 1), 77 - (3.5 / 34 / 0.24) * 49, 4);
    EXPECT_GT(alphaAt(image, 300, 3), alphaAt(image, 300, 12));
    EXPECT_GT(alphaAt(image, 300, 12), alphaAt(image, 300, 26));
    EXPECT_EQ(alphaAt(image, 300, 30) + alphaAt(image, 300, 40), 0);
    for (const QPoint p : {QPoint(300, 896), QPoint(3, 450), QPoint(1436, 450)})
        EXPECT_EQ(alphaAt(image, p.x(), p.y()), alphaAt(image, 300, 3)) << "every band alike, " << p.x() << "," << p.y();
    EXPECT_EQ(alphaAt(image, 720, 450), 0) << "the middle of the screen is left alone";
    // Corners: both bands are drawn, so they are brighter.
    EXPECT_GT(alphaAt(image, 5, 5), alphaAt(image, 300, 5));
    // The banner: centred, its top 14 points down, as wide as its content
    // plus 61 and as tall as a 13-point line plus 19.
    QFont regular = QGuiApplication::font();
    regular.setPixelSize(13);
    QFont semibold = regular;
    semibold.setWeight(QFont::DemiBold);
    const QFontMetricsF b(semibold), r(regular);
    const double texts = b.horizontalAdvance(QStringLiteral("Tovrik is using your computer"))
        + r.horizontalAdvance(QStringLiteral("\u2022")) + b.horizontalAdvance(QStringLiteral("Esc to stop"));
    const QRectF banner = UIAutopilotTakeoverView::bannerRect(size);
    EXPECT_NEAR(banner.width(), texts + 61, 0.01);
    EXPECT_NEAR(banner.height(), std::max(b.height(), r.height()) + 19, 0.01);
    EXPECT_DOUBLE_EQ(banner.top(), 14);
    EXPECT_NEAR(banner.center().x(), 720, 0.01);
    const auto isFill = [&](int x, int y) { return isColour(image.pixel(x, y), QColor(18, 120, 213), 10) && alphaAt(image, x, y) > 200; };
    int left = -1, right = -1;
    for (int x = 0; x < 1440; ++x)
        if (isFill(x, int(banner.center().y())))
            left = left < 0 ? x : left, right = x;
    EXPECT_NEAR((left + right + 1) / 2.0, 720, 1.5);
    EXPECT_NEAR(right + 1 - left, banner.width(), 3);
    EXPECT_FALSE(isFill(720, 12));
    // The transition fades and scales inside the region it reports dirty.
    EXPECT_TRUE(UIAutopilotTakeoverView::paintedRegion(size, 0).isEmpty());
    EXPECT_EQ(countPixels(takeoverImage(size, 0), [](QRgb px) { return px != 0; }), 0);
    const QImage half = takeoverImage(size, 0.5);
    EXPECT_NEAR(alphaAt(half, 300, 10), 0.5 * alphaAt(image, 300, 10), 2);
    // Scaled by 0.9925 about the top centre: the bottom frame rises by
    // 0.0075 × 900 ≈ 7 points, the top one stays.
    EXPECT_EQ(alphaAt(half, 720, 899), 0);
    EXPECT_GT(alphaAt(half, 720, 892), 100);
    // Everything it draws lies inside the region it reports.
    const QRegion region = UIAutopilotTakeoverView::paintedRegion(size, 0.5);
    int outside = 0;
    for (int y = 0; y < half.height(); ++y)
        for (int x = 0; x < half.width(); ++x)
            outside += qAlpha(half.pixel(x, y)) > 0 && !region.contains(QPoint(x, y));
    EXPECT_EQ(outside, 0);
}

TEST_F(AutopilotView, TheLookFollowsTheBusyStateOnEveryScreenAndThenSleeps)
{
    controller->setUIAutopilotBusy(true);
    ASSERT_EQ(controller->windowManager().overlayWindows().size(), 2);
    // Windows built for the run show the look at once, on both screens.
    EXPECT_EQ(std::pair(layers(1).presentation().takeoverProgress, layers(2).presentation().takeoverProgress), std::pair(1.0, 1.0));

    controller->setUIAutopilotBusy(false);
    controller->setIdleBehavior(true, false, false); // keep the windows: watch the look come and go
    controller->setUIAutopilotBusy(true);
    ASSERT_EQ(controller->windowManager().overlayWindows().size(), 2);
    auto& first = layers(1);
    auto& second = layers(2);
    EXPECT_DOUBLE_EQ(first.presentation().takeoverProgress, 0);
    // Fades in over 0.22 s, eased out: past half way at half time.
    advance(0.11);
    EXPECT_GT(first.presentation().takeoverProgress, 0.6);
    EXPECT_LT(first.presentation().takeoverProgress, 1);
    EXPECT_DOUBLE_EQ(second.presentation().takeoverProgress, first.presentation().takeoverProgress);
    advance(0.12);
    EXPECT_DOUBLE_EQ(first.presentation().takeoverProgress, 1);
    EXPECT_TRUE(first.presentation().cursorTip);

    controller->setUIAutopilotBusy(false);
    EXPECT_FALSE(first.presentation().cursorTip) << "the cursor goes at once, without a transition";
    advance(0.11);
    EXPECT_GT(second.presentation().takeoverProgress, 0);
    EXPECT_LT(second.presentation().takeoverProgress, 0.4);
    advance(0.13);
    EXPECT_DOUBLE_EQ(first.presentation().takeoverProgress, 0);
    // Nothing left to draw and no frames: the layers wake nothing.
    EXPECT_FALSE(first.isAnimating() || second.isAnimating());
    EXPECT_TRUE(AutopilotOverlayLayers::paintedRegion(first.painted(), QSizeF(1440, 900)).isEmpty());
}

TEST_F(AutopilotView, TheCursorTipSitsOnTheLocationOnlyOnItsOwnScreen)
{
    controller->setUIAutopilotBusy(true);
    // Display (700, 400) is AppKit (700, 500): local (700, 400) on the first screen.
    // It waits beside the pointer (local (200, 300) + (35, 25)), then glides
    // to a prepared press in 0.35 s, eased in and out: half way at half time.
    ASSERT_EQ(layers(1).presentation().cursorTip, std::optional<QPointF>(QPointF(235, 325)));
    controller->prepareAutopilotPress(QPointF(700, 400));
    advance(0.175, 0.005);
    EXPECT_NEAR(QLineF(*layers(1).presentation().cursorTip, QPointF(467.5, 362.5)).length(), 0, 0.5);
    advance(0.2);
    EXPECT_EQ(layers(1).presentation().cursorTip, std::optional(QPointF(700, 400)));
    EXPECT_FALSE(layers(2).presentation().cursorTip);
    // The arrow box spans 700...724 × 400...428 from the tip.
    const QPainterPath arrow = AutopilotArrow::path();
    EXPECT_EQ(arrow.boundingRect(), QRectF(0, 0, 21, 24));
    EXPECT_TRUE(arrow.contains(QPointF(8, 8)));
    // Half-open edges: x = 1440 belongs to the second screen only.
    for (const double x : {1440.0, 1439.0}) {
        press(QPointF(x, 100));
        for (const uint32_t id : {1u, 2u}) {
            const bool mine = (id == 2) == (x >= 1440);
            EXPECT_EQ(bool(layers(id).presentation().cursorTip), mine) << x << " on " << id;
            EXPECT_EQ(bool(layers(id).presentation().rippleCentre), mine) << x << " on " << id;
        }
    }
    EXPECT_TRUE(AutopilotOverlayLayers::isOnScreen(QRectF(0, 0, 1440, 900), QPointF(0, 0)));
    EXPECT_FALSE(AutopilotOverlayLayers::isOnScreen(QRectF(0, 0, 1440, 900), QPointF(100, 900)));
    EXPECT_EQ(*layers(1).presentation().cursorTip, QPointF(1439, 100));
    // The second screen's frame is (1440, -180, 1920, 1080) in AppKit space.
    press(QPointF(1500, 700));
    EXPECT_EQ(*layers(2).presentation().cursorTip, QPointF(60, 700));
}

TEST_F(AutopilotView, EachPressGrowsAndFadesItsOwnRipple)
{
    controller->setUIAutopilotBusy(true);
    press(QPointF(300, 200));
    const QUuid first = controller->autopilotClickID();
    auto& screen = layers(1);
    const auto ripple = [&] { return screen.presentation(); };
    EXPECT_EQ(ripple().rippleCentre, std::optional(QPointF(300, 200)));
    // Eased out over 0.55 s: 8.8 points across and nearly opaque, then 61.6
    // points across and gone.
    double elapsed = 0;
    for (const auto& [at, scale, opacity] : {std::tuple{0.0, 0.2, 0.95}, {0.275, 1.0216, 0.2996}, {0.55, 1.4, 0.0}}) {
        advance(at - elapsed, 0.005);
        elapsed = at;
        EXPECT_NEAR(AutopilotClickRipple::scaleAt(ripple().rippleExpansion), scale, 2e-3) << at;
        EXPECT_NEAR(AutopilotClickRipple::opacityAt(ripple().rippleExpansion), opacity, 2e-3) << at;
    }
    EXPECT_NEAR(AutopilotClickRipple::diameter * AutopilotClickRipple::scaleAt(0), 8.8, 1e-9);
    EXPECT_NEAR(AutopilotClickRipple::diameter * AutopilotClickRipple::scaleAt(1), 61.6, 1e-9);
    advance(0.02);
    EXPECT_TRUE(ripple().rippleCentre);
    EXPECT_FALSE(screen.isAnimating()) << "a finished ring stays, invisible, without frames";
    // A second press at the same place: a new ring keyed by the new id.
    controller->recordAutopilotMouse(MouseVisualEventType::leftMouseUp, QPointF(300, 200));
    press(QPointF(300, 200));
    ASSERT_NE(controller->autopilotClickID(), first);
    EXPECT_EQ(ripple().rippleID, controller->autopilotClickID());
    EXPECT_DOUBLE_EQ(ripple().rippleExpansion, 0);
    advance(0.1);
    const double early = ripple().rippleExpansion;
    press(QPointF(300, 200)); // a third press restarts even mid-way
    EXPECT_GT(early, 0);
    EXPECT_DOUBLE_EQ(ripple().rippleExpansion, 0);
    // The end of the run takes the cursor and ring from every window at once.
    controller->setUIAutopilotBusy(false);
    EXPECT_FALSE(ripple().rippleCentre || ripple().cursorTip);
}

TEST_F(AutopilotView, TheLooksBandImagesGoOnceNoScreenShowsTheLook)
{
    const QImage look = takeoverImage(QSizeF(1920, 1080), 1);
    UIAutopilotTakeoverView::releaseBandImages();
    // Two screens' layers whose runs end at different times.
    AutopilotOverlayLayers a(QRectF(0, 0, 1440, 900)), b(QRectF(1440, 0, 1920, 1080));
    AutopilotLayerSnapshot busy;
    busy.isUIAutopilotBusy = true;
    a.update(busy);
    b.update(busy);
    const auto paint = [](const AutopilotOverlayLayers& layers, QSizeF size) {
        painted(size.toSize(), [&](QPainter& p) { AutopilotOverlayLayers::paint(p, layers.painted(), size); });
    };
    paint(a, QSizeF(1440, 900));
    paint(b, QSizeF(1920, 1080));
    // The four bands of each screen, 34 points thick.
    const qint64 whileRunning = UIAutopilotTakeoverView::bandImageBytes();
    EXPECT_EQ(whileRunning, (2 * (1440 + 900) + 2 * (1920 + 1080)) * 34 * 4);

    a.update(AutopilotLayerSnapshot());
    advance(0.3);
    EXPECT_TRUE(AutopilotOverlayLayers::paintedRegion(a.painted(), QSizeF(1440, 900)).isEmpty());
    EXPECT_EQ(UIAutopilotTakeoverView::bandImageBytes(), whileRunning) << "the second screen still shows the look";
    b.update(AutopilotLayerSnapshot());
    advance(0.11);
    EXPECT_GT(b.painted().takeoverProgress, 0);
    paint(b, QSizeF(1920, 1080));
    EXPECT_GT(UIAutopilotTakeoverView::bandImageBytes(), 0) << "the look fades out drawn from its bands";
    advance(0.13);
    EXPECT_EQ(UIAutopilotTakeoverView::bandImageBytes(), 0);

    // The next run's first frame makes them again: the same pixels.
    EXPECT_EQ(takeoverImage(QSizeF(1920, 1080), 1), look);
    EXPECT_GT(UIAutopilotTakeoverView::bandImageBytes(), 0);
}

// A frame is drawn only when its pixels change: every frame of a short glide
// and of a ring's last faint moments that is skipped renders exactly as the
// frame drawn before it, and most of a 3.5-point glide is skipped.
TEST_F(AutopilotView, FramesThatWouldDrawTheSamePixelsAreNotDrawn)
{
    controller->setUIAutopilotBusy(true);
    auto& screen = layers(1);
    ASSERT_EQ(screen.presentation().cursorTip, std::optional<QPointF>(QPointF(235, 325)));
    int drawn = 0;
    QObject::connect(&screen, &AutopilotOverlayLayers::dirty, [&] { ++drawn; });
    const auto image = [](const AutopilotLayersPresentation& p) {
        QImage out(160, 160, QImage::Format_ARGB32_Premultiplied);
        out.fill(Qt::transparent);
        QPainter painter(&out);
        painter.translate(-180, -270);
        AutopilotOverlayLayers::paint(painter, p, QSizeF(1440, 900));
        return out;
    };
    const auto watchFrames = [&](double seconds) {
        int skipped = 0;
        QImage last = image(screen.painted());
        for (double t = 0; t < seconds; t += 1.0 / 60) {
            const int before = drawn;
            advance(1.0 / 60, 1.0 / 60);
            const QImage now = image(screen.painted());
            if (drawn == before) {
                ++skipped;
                EXPECT_TRUE(now == last) << "a skipped frame at " << t << " s would have changed pixels";
            }
            last = now;
        }
        return skipped;
    };
    // Local (238.5, 327): display (238.5, 327) on the first screen.
    controller->prepareAutopilotPress(QPointF(238.5, 327));
    EXPECT_GE(watchFrames(0.4), 12) << "of 21 frames, at most 4 + 2 pixel steps are drawn";
    EXPECT_EQ(screen.painted().cursorTip, std::optional<QPointF>(QPointF(238.5, 327)));
    press(QPointF(238.5, 327));
    EXPECT_GE(watchFrames(0.6), 1) << "the ring's last faint frames draw nothing";
    EXPECT_FALSE(screen.isAnimating());
}
