// The overlay's drawing: the pointer and morph shapes, the guide icon, halo
// and blur, the bubble, and the waveform and spinner badges.

#include "PaintedImage.h"
#include "overlay/views/CursorBadges.h"
#include "overlay/views/CursorBubbleView.h"
#include "overlay/views/CursorGuideIcon.h"
#include "overlay/views/CursorShapes.h"
#include "overlay/views/GaussianBlur.h"
#include "overlay/views/ImageCanvas.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QImage>
#include <QLineF>
#include <QtGui/private/qimage_p.h>
#include <gtest/gtest.h>
#include <cmath>
#include <tuple>

using namespace tovrik::overlay;
using namespace tovrik::test;
namespace Pointer = tovrik::overlay::TovrikNavigationPointerShape;
using Morph = TovrikMorphingCursorShape;
using Waveform = BlueCursorWaveformView;

namespace {
double polylineLength(const QVector<QPointF>& points)
{
    double total = 0;
    for (qsizetype k = 0; k < points.size(); ++k)
        total += QLineF(points[k], points[(k + 1) % points.size()]).length();
    return total;
}
// Shoelace area, signed: positive runs clockwise on screen (y down).
double signedArea(const QVector<QPointF>& points)
{
    double twice = 0;
    for (qsizetype k = 0; k < points.size(); ++k)
        twice += points[k].x() * points[(k + 1) % points.size()].y() - points[(k + 1) % points.size()].x() * points[k].y();
    return twice / 2;
}
const QRectF kIcon(0, 0, 32, 32);
QImage renderIcon(double angle, double size, double morph, QPointF centre = QPointF(50, 50))
{
    return painted(QSize(100, 100), [&](QPainter& p) { TovrikCursorGuideIcon(angle, size, morph).paint(p, centre); });
}
int opaquePixels(const QImage& image) { return countPixels(image, [](QRgb px) { return qAlpha(px) > 0; }); }
QPointF alphaCentroid(const QImage& image)
{
    double sx = 0, sy = 0, total = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const double a = qAlpha(image.pixel(x, y));
            sx += a * (x + 0.5);
            sy += a * (y + 0.5);
            total += a;
        }
    return total > 0 ? QPointF(sx / total, sy / total) : QPointF();
}
QImage render(const CursorBubbleView& bubble)
{
    return painted(QSize(340, 80), [&](QPainter& p) { bubble.paint(p, QPointF(20, 20), 1440); });
}
double wobble(int i, double T) { return 0.75 * (1 + std::sin(0.35 * i + 3.6 * T)); }
QImage renderBadge(const std::function<void(QPainter&)>& paint) { return painted(QSize(80, 80), paint); }
} // namespace

TEST(ShapePointer, OutlineAndEvenSamplesFitTheRectangleAxisByAxis)
{
    const auto outline = Pointer::roundedOutline();
    ASSERT_EQ(outline.size(), 100);
    EXPECT_NEAR(polylineLength(outline), 161.907, 0.0005);
    const auto unit = Pointer::sampledNavigationPoints(QRectF(0, 0, 100, 100), 144);
    ASSERT_EQ(unit.size(), 144);
    for (const auto& [i, x, y] : {std::tuple{0, 25.929, 24.632}, {72, 56.088, 60.754}, {143, 26.972, 24.278}}) {
        EXPECT_NEAR(unit[i].x(), x, 0.0005) << i;
        EXPECT_NEAR(unit[i].y(), y, 0.0005) << i;
    }
    // Evenly spaced: neighbours lie no farther apart than a 144th of the length.
    const double step = polylineLength(outline) / 144;
    const auto wide = Pointer::sampledNavigationPoints(QRectF(0, 0, 200, 100));
    const auto moved = Pointer::sampledNavigationPoints(QRectF(10, -20, 100, 100));
    for (int i = 0; i < 144; ++i) {
        EXPECT_LE(QLineF(unit[i], unit[(i + 1) % 144]).length(), step + 1e-9) << i;
        EXPECT_DOUBLE_EQ(wide[i].x(), 2 * unit[i].x());
        EXPECT_DOUBLE_EQ(wide[i].y(), unit[i].y());
        EXPECT_NEAR(moved[i].x(), unit[i].x() + 10, 1e-12);
        EXPECT_NEAR(moved[i].y(), unit[i].y() - 20, 1e-12);
    }
    // An empty rectangle gives copies of its origin; no samples, nothing.
    for (const auto& p : Pointer::sampledNavigationPoints(QRectF(7, 9, 0, 0)))
        EXPECT_EQ(p, QPointF(7, 9));
    EXPECT_TRUE(Pointer::sampledNavigationPoints(QRectF(0, 0, 10, 10), 0).isEmpty());
}

TEST(ShapeMorph, BlendsLinearlyIntoACircleOfRadius768WithProgressClampedNeverFolding)
{
    const auto pointer = Morph::blendedPoints(kIcon, 0);
    const auto circle = Morph::blendedPoints(kIcon, 1);
    ASSERT_EQ(circle.size(), 144);
    EXPECT_EQ(pointer, Pointer::sampledNavigationPoints(kIcon));
    EXPECT_EQ(Morph::blendedPoints(kIcon, -1), pointer);
    EXPECT_EQ(Morph::blendedPoints(kIcon, 2), circle);
    EXPECT_EQ(Morph::blendedPoints(kIcon, std::nan("")), pointer);
    for (const auto& p : circle)
        EXPECT_NEAR(QLineF(kIcon.center(), p).length(), 7.68, 1e-9);
    // The circle starts at the angle of the pointer's first sample.
    EXPECT_NEAR(std::atan2(circle[0].y() - 16, circle[0].x() - 16), std::atan2(pointer[0].y() - 16, pointer[0].x() - 16),
                1e-12);
    const auto half = Morph::blendedPoints(kIcon, 0.5);
    for (int i = 0; i < 144; ++i) {
        EXPECT_NEAR(half[i].x(), (pointer[i].x() + circle[i].x()) / 2, 1e-12);
        EXPECT_NEAR(half[i].y(), (pointer[i].y() + circle[i].y()) / 2, 1e-12);
    }
    // The path: a move, 143 lines and the closing line through every point.
    const QPainterPath path = Morph(0.5).path(kIcon);
    ASSERT_EQ(path.elementCount(), 145);
    EXPECT_EQ(QPointF(path.elementAt(0)), QPointF(path.elementAt(144)));
    for (int i = 0; i < 144; ++i)
        EXPECT_EQ(QPointF(path.elementAt(i)), half[i]);
    // A 0 × 0 rectangle: a circle of radius 0.
    for (const auto& p : Morph::blendedPoints(QRectF(3, 4, 0, 0), 1))
        EXPECT_EQ(p, QPointF(3, 4));
    EXPECT_EQ(Morph::path(QRectF(3, 4, 0, 0), 1).boundingRect(), QRectF(3, 4, 0, 0));
    // Blending into a circle that ran the other way round would fold the
    // outline through a sliver mid-morph; each in-between outline keeps the
    // pointer's orientation and a body at least as large as the smaller end.
    const double pointerArea = signedArea(pointer);
    const double circleArea = signedArea(circle);
    ASSERT_LT(pointerArea, 0); // the outline runs counter-clockwise on screen
    EXPECT_NEAR(circleArea, -M_PI * 7.68 * 7.68, 0.5);
    for (double p = 0.05; p < 1; p += 0.05) {
        const double area = signedArea(Morph::blendedPoints(kIcon, p));
        EXPECT_LT(area, 0) << p;
        EXPECT_GE(-area, 0.9 * std::min(-pointerArea, -circleArea)) << p;
    }
    // Neighbouring points stay neighbours: the circle advances one 144th
    // of a turn per point, in the pointer's direction.
    const double a0 = std::atan2(circle[0].y() - 16, circle[0].x() - 16);
    const double a1 = std::atan2(circle[1].y() - 16, circle[1].x() - 16);
    EXPECT_NEAR(std::remainder(a1 - a0, 2 * M_PI), -2 * M_PI / 144, 1e-12);
}

TEST(PainterGuideIcon, ClampedMorphWholeTurnsSizeZeroAShiftedCircleAndATurningPointer)
{
    EXPECT_EQ(renderIcon(0, 32, -0.5), renderIcon(0, 32, 0));
    EXPECT_EQ(renderIcon(0, 32, 1.7), renderIcon(0, 32, 1));
    EXPECT_NE(renderIcon(0, 32, 0.5), renderIcon(0, 32, 0));
    EXPECT_EQ(TovrikCursorGuideIcon(0, 32, 0.5).radialFillOpacity(), 0.5);
    EXPECT_DOUBLE_EQ(TovrikCursorGuideIcon(0, 32, 0).outlineWidth(), 1.6);
    // A full turn draws the same glyph.
    const QImage a = renderIcon(0, 32, 0);
    const QImage b = renderIcon(360, 32, 0);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            ASSERT_LE(std::abs(qAlpha(a.pixel(x, y)) - qAlpha(b.pixel(x, y))), 2) << x << "," << y;
    EXPECT_EQ(opaquePixels(renderIcon(30, 0, 0)), 0);
    EXPECT_GT(opaquePixels(renderIcon(30, 32, 0)), 100);
    // At morph 1 the glyph is a circle of radius 7.68 centred on the square's
    // centre, shifted by (−0.3, −3.9) for every angle.
    for (double angle : {0.0, 90.0, 217.0}) {
        const QImage image = renderIcon(angle, 32, 1);
        const QPointF c = alphaCentroid(image);
        EXPECT_NEAR(c.x(), 50 - 0.3, 0.15) << angle;
        EXPECT_NEAR(c.y(), 50 - 3.9, 0.15) << angle;
    }
    const QImage image = renderIcon(0, 32, 1);
    // The circle's outline (radius 7.68, 1.6 wide) is near white; the inside dark.
    const QColor rim = image.pixelColor(50, int(46.1 - 7.68));
    EXPECT_GT(rim.red(), 150);
    const QColor inside = image.pixelColor(50, 46);
    EXPECT_LT(inside.red(), 40);
    EXPECT_EQ(inside.alpha(), 255);
    EXPECT_EQ(qAlpha(image.pixel(50, 60)), 0);
    // The pointer's tip lies up-left of the centre; turning by 180° moves
    // the ink to the opposite side.
    const QPointF up = alphaCentroid(renderIcon(0, 32, 0, QPointF(50.3, 53.9)));
    const QPointF down = alphaCentroid(renderIcon(180, 32, 0, QPointF(50.3, 53.9)));
    EXPECT_NEAR(up.x() - 50, -(down.x() - 50), 0.3);
    EXPECT_NEAR(up.y() - 50, -(down.y() - 50), 0.3);
    EXPECT_GT(std::abs(up.x() - 50) + std::abs(up.y() - 50), 0.5);
}

TEST(PainterHalo, DensestAtTheCentreAndSymmetric)
{
    const QImage& halo = TovrikCursorHaloView::image(1.0);
    const int c = halo.width() / 2;
    EXPECT_GT(alphaAt(halo, c, c), 90);
    EXPECT_GT(alphaAt(halo, c, c), alphaAt(halo, c + 20, c));
    EXPECT_GT(alphaAt(halo, c + 20, c), alphaAt(halo, c + 45, c));
    EXPECT_EQ(alphaAt(halo, 0, 0), 0);
    EXPECT_NEAR(alphaAt(halo, c + 30, c), alphaAt(halo, c - 30, c), 3);
    EXPECT_NEAR(alphaAt(halo, c, c + 30), alphaAt(halo, c + 30, c), 3);
    EXPECT_GT(halo.pixelColor(c, c).blue(), halo.pixelColor(c, c).red()) << "a blue glow";
}

TEST(PainterBlur, SpreadsInkAndKeepsItsAmount)
{
    QImage dot(41, 41, QImage::Format_ARGB32_Premultiplied);
    dot.fill(Qt::transparent);
    for (int y = 18; y < 23; ++y)
        for (int x = 18; x < 23; ++x)
            dot.setPixel(x, y, qRgba(0, 0, 200, 200));
    const QImage blurred = gaussianBlurred(dot, 3.0);
    const auto ink = [](const QImage& image) {
        double sum = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                sum += qAlpha(image.pixel(x, y));
        return sum;
    };
    EXPECT_NEAR(ink(blurred), ink(dot), ink(dot) * 0.03);
    EXPECT_LT(qAlpha(blurred.pixel(20, 20)), 200);
    EXPECT_GT(qAlpha(blurred.pixel(20, 27)), 0);
    EXPECT_EQ(qAlpha(blurred.pixel(0, 0)), 0);
    // Premultiplied colour never exceeds its alpha.
    EXPECT_TRUE(qBlue(blurred.pixel(20, 25)) <= qAlpha(blurred.pixel(20, 25)) && qRed(blurred.pixel(20, 25)) == 0);
}

TEST(BubbleSize, Always296WideAndTextPlus8High)
{
    const QString shortText = QStringLiteral("ok"),
                  longText = QStringLiteral("this answer is long enough to wrap onto several lines inside the bubble, "
                                            "which never truncates it and always shows every word of it");
    const QSizeF small = CursorBubbleView(shortText, 1, 1).sizeThatFits(1440), big = CursorBubbleView(longText, 1, 1).sizeThatFits(1440);
    EXPECT_EQ(small, QSizeF(296, CursorBubbleView::wrappedTextHeight(shortText, 280) + 8));
    EXPECT_EQ(big, QSizeF(296, CursorBubbleView::wrappedTextHeight(longText, 280) + 8));
    // Each extra line adds its height plus the 3 points of line spacing.
    const double lines = (big.height() - 8 + 3) / (small.height() - 8 + 3);
    EXPECT_GE(lines, 2.0);
    EXPECT_NEAR(lines, std::round(lines), 1e-6);
    // A single word too long for one line wraps anywhere instead of overflowing.
    const CursorBubbleView word(QString(200, QLatin1Char('m')), 1, 1);
    EXPECT_EQ(word.sizeThatFits(1440).width(), 296);
    EXPECT_GT(word.sizeThatFits(1440).height(), small.height());
    // A narrow offer narrows the text block.
    EXPECT_EQ(CursorBubbleView(shortText, 1, 1).sizeThatFits(200).width(), 200);
    // The text is set in an 11-pixel medium face.
    EXPECT_EQ(std::pair(CursorBubbleView::font().pixelSize(), CursorBubbleView::font().weight()), std::pair(11, QFont::Medium));
}

TEST(BubblePaint, ABlueBubbleWithWhiteTextAndASpaceDrawsNoText)
{
    const QImage space = render(CursorBubbleView(QStringLiteral(" "), 1, 1));
    EXPECT_EQ(space.pixelColor(150, 25), QColor(47, 125, 246));
    EXPECT_EQ(countPixels(space, isWhite, QRect(20, 20, 296, 20)), 0);
    const QImage text = render(CursorBubbleView(QStringLiteral("MMMMMMMM"), 1, 1));
    EXPECT_GT(countPixels(text, isWhite, QRect(28, 20, 72, 20)), 20);
}

TEST(BubblePaint, TransparentModeWeakensOnlyTheGlow)
{
    EXPECT_NEAR(CursorBubbleView(QStringLiteral("a"), 1, 1.0).glowOpacity(), 0.55, 1e-12);
    EXPECT_NEAR(CursorBubbleView(QStringLiteral("a"), 1, 0.72).glowOpacity(), 0.396, 1e-12);
    const QImage normal = render(CursorBubbleView(QStringLiteral(" "), 1, 1.0));
    const QImage faint = render(CursorBubbleView(QStringLiteral(" "), 1, 0.72));
    // The fill stays at full strength.
    EXPECT_EQ(faint.pixelColor(150, 25), normal.pixelColor(150, 25));
    // Above the bubble only the glow shows, weaker by 0.72.
    ASSERT_GT(alphaAt(normal, 150, 16), 10);
    EXPECT_NEAR(alphaAt(faint, 150, 16), 0.72 * alphaAt(normal, 150, 16), 2.0);
}

TEST(BubbleText, LineBreaksOfTheTextAreKept)
{
    const double line = CursorBubbleView::wrappedTextHeight(QStringLiteral("Open the menu."), 280);
    for (const char* text : {"Open the menu.\nThen save.", "Open the menu.\r\nThen save.", "Open the menu.\rThen save.",
                             "Open the menu.\u2029Then save."}) {
        const CursorBubbleView bubble(QString::fromUtf8(text), 1, 1);
        // Two lines, 3 points apart, plus the padding.
        EXPECT_NEAR(bubble.sizeThatFits(1440).height(), 2 * line + 3 + 8, 1e-9) << text;
        const QImage image = render(bubble);
        const auto whiteIn = [&](int top, int bottom, int left, int right) {
            return countPixels(image, isWhite, QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)));
        };
        const int firstTop = 24, secondTop = 24 + int(line) + 3;
        const int firstWidth = int(QFontMetricsF(CursorBubbleView::font()).horizontalAdvance(QStringLiteral("Open the menu.")));
        // "Then save." starts the second line; nothing follows "menu." on the first.
        EXPECT_GT(whiteIn(secondTop + 1, secondTop + int(line) - 1, 28, 60), 10) << text;
        EXPECT_EQ(whiteIn(firstTop + 1, firstTop + int(line) - 1, 28 + firstWidth + 2, 300), 0) << text;
    }
}

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

namespace {
// Whether `image` still holds the paint engine of a painter that drew into it.
bool keepsPaintEngine(QImage& image) { return image.data_ptr()->paintEngine != nullptr; }
} // namespace

TEST(PainterImageCanvas, DrawsTheSamePixelsAtEveryRatioAndLeavesNoEngineBehind)
{
    for (const double dpr : {1.0, 2.0}) {
        const auto draw = [](QPainter& p) {
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawEllipse(QPointF(20, 20), 12, 9);
        };
        const auto blank = [dpr] {
            QImage image(QSize(40, 40) * dpr, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(dpr);
            image.fill(Qt::transparent);
            return image;
        };
        QImage direct = blank();
        {
            QPainter p(&direct);
            draw(p);
        }
        QImage kept = blank();
        {
            ImageCanvas canvas(kept);
            QPainter p(canvas.device());
            draw(p);
        }
        EXPECT_TRUE(keepsPaintEngine(direct)) << "what the canvas is for";
        EXPECT_FALSE(keepsPaintEngine(kept)) << dpr;
        EXPECT_EQ(kept, direct) << dpr;
        EXPECT_EQ(kept.devicePixelRatio(), dpr);
    }
    // The companion's glyphs and halo, kept by their painters, hold no engine.
    QImage glyph = TovrikCursorGuideIcon(30, 32, 0.4).render(2.0, QPointF(0.25, 0.5), 1.2);
    EXPECT_GT(opaquePixels(glyph), 100);
    EXPECT_FALSE(keepsPaintEngine(glyph));
    QImage halo = TovrikCursorHaloView::image(1.0);
    EXPECT_FALSE(keepsPaintEngine(halo));
}
