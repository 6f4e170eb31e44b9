// The companion view in its real windows, driven by the real controller.

#include "PaintedImage.h"
#include "ViewFixture.h"

#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::overlay;
using Mode = BuddyNavigationMode;
using tovrik::test::inkBounds;
using tovrik::test::rendered;

namespace {

// Two 1440 × 900 screens; the pointer at AppKit (700, 500).
class ViewWidget : public tovrik::test::TwoScreenViews {
protected:
    ViewWidget() : TwoScreenViews(QRectF(1440, 0, 1440, 900), QPointF(700, 400)) {}
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
    EXPECT_LE((ink.center() - QPoint(735, 425)).manhattanLength(), 4);
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
    // The card's dark body at its centre row.
    const QColor card = image.pixelColor(699 - 14, 450);
    EXPECT_GE(card.alpha(), 230);
    EXPECT_LT(card.red(), 40);
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
    EXPECT_LE((inkBounds(rendered(a)).center() - QPoint(735, 425)).manhattanLength(), 4);
}
