#include "PaintedImage.h"
#include "overlay/views/CursorBubbleView.h"

#include <QFontMetricsF>
#include <QImage>
#include <gtest/gtest.h>

using namespace tovrik::overlay;
using tovrik::test::countPixels;
using tovrik::test::isWhite;

TEST(BubbleSize, Always296WideAndTextPlus8High)
{
    const CursorBubbleView shortText(QStringLiteral("ok"), 1, 1);
    const QSizeF small = shortText.sizeThatFits(1440);
    EXPECT_EQ(small.width(), 296);
    EXPECT_NEAR(small.height(), CursorBubbleView::wrappedTextHeight(QStringLiteral("ok"), 280) + 8, 1e-9);

    const QString longText = QStringLiteral("this answer is long enough to wrap onto several lines inside the bubble, "
                                            "which never truncates it and always shows every word of it");
    const CursorBubbleView tall(longText, 1, 1);
    const QSizeF big = tall.sizeThatFits(1440);
    EXPECT_EQ(big.width(), 296);
    EXPECT_NEAR(big.height(), CursorBubbleView::wrappedTextHeight(longText, 280) + 8, 1e-9);
    // Each extra line adds its height plus the 3 points of line spacing.
    const double lines = (big.height() - 8 + 3) / (small.height() - 8 + 3);
    EXPECT_GE(lines, 2.0);
    EXPECT_NEAR(lines, std::round(lines), 1e-6);
    // A single word too long for one line wraps anywhere instead of overflowing.
    const CursorBubbleView word(QString(200, QLatin1Char('m')), 1, 1);
    EXPECT_EQ(word.sizeThatFits(1440).width(), 296);
    EXPECT_GT(word.sizeThatFits(1440).height(), small.height());
    // A narrow offer narrows the text block.
    EXPECT_EQ(shortText.sizeThatFits(200).width(), 200);
    // The text is set in an 11-pixel medium face.
    const QFont font = CursorBubbleView::font();
    EXPECT_EQ(font.pixelSize(), 11);
    EXPECT_EQ(font.weight(), QFont::Medium);
}

namespace {
QImage render(const CursorBubbleView& bubble)
{
    return tovrik::test::painted(QSize(340, 80), [&](QPainter& p) { bubble.paint(p, QPointF(20, 20), 1440); });
}
} // namespace

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
    const int a = qAlpha(normal.pixel(150, 16));
    const int b = qAlpha(faint.pixel(150, 16));
    ASSERT_GT(a, 10);
    EXPECT_NEAR(b, 0.72 * a, 2.0);
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
