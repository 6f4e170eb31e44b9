#include "PaintedImage.h"
#include "overlay/views/CursorBadges.h"

#include <QDateTime>
#include <QImage>
#include <gtest/gtest.h>
#include <cmath>

using namespace tovrik::overlay;
using Waveform = BlueCursorWaveformView;
using tovrik::test::alphaAt;

namespace {
double wobble(int i, double T) { return 0.75 * (1 + std::sin(0.35 * i + 3.6 * T)); }
} // namespace

TEST(WaveformBars, HeightsFollowTheLevelProfileAndTheWobble)
{
    // Silence up to level 0.008 (and for levels that are not a number).
    for (double level : {0.0, 0.004, 0.008, -0.3, std::nan("")})
        for (double T : {0.0, 0.4, 812345.6789})
            for (int i = 0; i < 5; ++i)
                EXPECT_NEAR(Waveform::barHeight(i, level, T), 3 + wobble(i, T), 1e-12) << level;
    // Full level: the bar profile; the response saturates near 0.359.
    const double rise[5] = {4, 7, 10, 7, 4};
    for (int i = 0; i < 5; ++i)
        EXPECT_NEAR(Waveform::barHeight(i, 1.0, 17.25), 3 + rise[i] + wobble(i, 17.25), 1e-12) << i;
    EXPECT_EQ(Waveform::normalizedLevel(0.5), 1.0);
    EXPECT_NEAR(Waveform::normalizedLevel(0.3588), 0.99978, 1e-5);
    // Level 0.1 raises the middle bar by 10 × 0.2622^0.76 and the outer ones by 4 × that.
    EXPECT_NEAR(Waveform::normalizedLevel(0.1), 0.2622, 1e-4);
    EXPECT_NEAR(Waveform::barHeight(2, 0.1, 3.0) - 3 - wobble(2, 3.0), 3.615, 5e-4);
    EXPECT_NEAR(Waveform::barHeight(0, 0.1, 3.0) - 3 - wobble(0, 3.0), 1.446, 5e-4);
    EXPECT_NEAR(Waveform::barHeight(4, 0.1, 3.0) - 3 - wobble(4, 3.0), 1.446, 5e-4);
    // Time counts from 1 January 2001, 00:00:00 UTC (978307200 s after the epoch).
    EXPECT_NEAR(secondsSinceReferenceDate(), QDateTime::currentMSecsSinceEpoch() / 1000.0 - 978307200.0, 1.0);
}

namespace {
QImage renderBadge(const std::function<void(QPainter&)>& paint) { return tovrik::test::painted(QSize(80, 80), paint); }
} // namespace

TEST(WaveformCard, DrawsDarkCardBlueBarsAndGlowAllScaledByAlpha)
{
    const QImage image = renderBadge([](QPainter& p) { Waveform(1.0, 1.0, 0).paint(p, QPointF(40, 40)); });
    // Card 34 × 24 centred at (40, 40): dark inside, blue bar at the centre.
    const QColor middleBar = image.pixelColor(40, 40);
    EXPECT_GT(middleBar.blue(), 200);
    EXPECT_LT(middleBar.red(), 80);
    const QColor card = image.pixelColor(26, 30);
    EXPECT_LT(card.red(), 40);
    EXPECT_GE(card.alpha(), 235);
    // The glow reaches beyond the card, fading outward.
    EXPECT_GT(alphaAt(image, 40, 26), alphaAt(image, 40, 22));
    EXPECT_EQ(alphaAt(image, 0, 0), 0);

    const QImage full = renderBadge([](QPainter& p) { Waveform(0.0, 1.0, 0).paint(p, QPointF(40, 40)); });
    const QImage faint = renderBadge([](QPainter& p) { Waveform(0.0, 0.72, 0).paint(p, QPointF(40, 40)); });
    // Inside, the card (alpha 240/255) lies over its own glow.
    const double cardAlpha = 240.0 / 255;
    const double glow = (alphaAt(full, 26, 30) / 255.0 - cardAlpha) / (1 - cardAlpha);
    EXPECT_NEAR(alphaAt(faint, 26, 30) / 255.0, 0.72 * cardAlpha + 0.72 * glow * (1 - 0.72 * cardAlpha), 0.02);
    // The glow colour is at alpha × 0.72, so it falls to 0.72 of itself too.
    EXPECT_NEAR(alphaAt(faint, 40, 25), 0.72 * alphaAt(full, 40, 25), 2.0);
}

TEST(SpinnerCard, TurnsOnceEvery08SecondsAndItsArcTurnsWithIt)
{
    EXPECT_EQ(BlueCursorSpinnerView::rotationAt(0), 0);
    EXPECT_NEAR(BlueCursorSpinnerView::rotationAt(0.4), 180, 1e-9);
    EXPECT_NEAR(BlueCursorSpinnerView::rotationAt(1.0), 90, 1e-9);   // 450 degrees a second
    EXPECT_NEAR(BlueCursorSpinnerView::rotationAt(10.1), 225, 1e-6); // 12 turns and 225° on
    // The arc starts at the circle's rightmost point and runs clockwise 112.5°.
    const QImage still = renderBadge([](QPainter& p) { BlueCursorSpinnerView(1.0, 0).paint(p, QPointF(40, 40)); });
    const QImage half = renderBadge([](QPainter& p) { BlueCursorSpinnerView(1.0, 180).paint(p, QPointF(40, 40)); });
    const auto isBlue = [](const QImage& img, int x, int y) {
        const QColor c = img.pixelColor(x, y);
        return c.blue() > 150 && c.red() < 120;
    };
    // Radius 7: the point at 45° clockwise (down-right) is on the arc at 0.
    EXPECT_TRUE(isBlue(still, 45, 45));
    EXPECT_FALSE(isBlue(still, 35, 35));
    EXPECT_TRUE(isBlue(half, 35, 35));
    EXPECT_FALSE(isBlue(half, 45, 45));
}
