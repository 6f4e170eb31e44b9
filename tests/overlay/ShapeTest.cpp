#include "overlay/views/CursorShapes.h"

#include <QLineF>
#include <gtest/gtest.h>
#include <cmath>

using namespace tovrik::overlay;
namespace Pointer = tovrik::overlay::TovrikNavigationPointerShape;
using Morph = TovrikMorphingCursorShape;

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
    for (qsizetype k = 0; k < points.size(); ++k) {
        const QPointF a = points[k];
        const QPointF b = points[(k + 1) % points.size()];
        twice += a.x() * b.y() - b.x() * a.y();
    }
    return twice / 2;
}
const QRectF kIcon(0, 0, 32, 32);
} // namespace

TEST(ShapePointer, OutlineAndEvenSamplesFitTheRectangleAxisByAxis)
{
    const auto outline = Pointer::roundedOutline();
    ASSERT_EQ(outline.size(), 100);
    EXPECT_NEAR(polylineLength(outline), 161.907, 0.0005);
    const auto unit = Pointer::sampledNavigationPoints(QRectF(0, 0, 100, 100), 144);
    ASSERT_EQ(unit.size(), 144);
    EXPECT_NEAR(unit[0].x(), 25.929, 0.0005);
    EXPECT_NEAR(unit[0].y(), 24.632, 0.0005);
    EXPECT_NEAR(unit[72].x(), 56.088, 0.0005);
    EXPECT_NEAR(unit[72].y(), 60.754, 0.0005);
    EXPECT_NEAR(unit[143].x(), 26.972, 0.0005);
    EXPECT_NEAR(unit[143].y(), 24.278, 0.0005);
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
