#include "PaintedImage.h"
#include "overlay/views/CursorGuideIcon.h"
#include "overlay/views/GaussianBlur.h"

#include <QImage>
#include <gtest/gtest.h>

using namespace tovrik::overlay;

namespace {
QImage renderIcon(double angle, double size, double morph, QPointF centre = QPointF(50, 50))
{
    return tovrik::test::painted(QSize(100, 100),
                                 [&](QPainter& p) { TovrikCursorGuideIcon(angle, size, morph).paint(p, centre); });
}
int opaquePixels(const QImage& image)
{
    return tovrik::test::countPixels(image, [](QRgb px) { return qAlpha(px) > 0; });
}
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
} // namespace

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
    const int centre = qAlpha(halo.pixel(c, c));
    EXPECT_GT(centre, 90);
    EXPECT_GT(centre, qAlpha(halo.pixel(c + 20, c)));
    EXPECT_GT(qAlpha(halo.pixel(c + 20, c)), qAlpha(halo.pixel(c + 45, c)));
    EXPECT_EQ(qAlpha(halo.pixel(0, 0)), 0);
    EXPECT_NEAR(qAlpha(halo.pixel(c + 30, c)), qAlpha(halo.pixel(c - 30, c)), 3);
    EXPECT_NEAR(qAlpha(halo.pixel(c, c + 30)), qAlpha(halo.pixel(c + 30, c)), 3);
    // Blue glow.
    const QColor colour = halo.pixelColor(c, c);
    EXPECT_GT(colour.blue(), colour.red());
}

TEST(PainterBlur, SpreadsInkAndKeepsItsAmount)
{
    QImage dot(41, 41, QImage::Format_ARGB32_Premultiplied);
    dot.fill(Qt::transparent);
    for (int y = 18; y < 23; ++y)
        for (int x = 18; x < 23; ++x)
            dot.setPixel(x, y, qRgba(0, 0, 200, 200));
    const QImage blurred = gaussianBlurred(dot, 3.0);
    long before = 0, after = 0;
    for (int y = 0; y < 41; ++y)
        for (int x = 0; x < 41; ++x) {
            before += qAlpha(dot.pixel(x, y));
            after += qAlpha(blurred.pixel(x, y));
        }
    EXPECT_NEAR(double(after), double(before), before * 0.03);
    EXPECT_LT(qAlpha(blurred.pixel(20, 20)), 200);
    EXPECT_GT(qAlpha(blurred.pixel(20, 27)), 0);
    EXPECT_EQ(qAlpha(blurred.pixel(0, 0)), 0);
    // Premultiplied colour never exceeds its alpha.
    const QRgb px = blurred.pixel(20, 25);
    EXPECT_LE(qBlue(px), qAlpha(px));
    EXPECT_EQ(qRed(px), 0);
}
