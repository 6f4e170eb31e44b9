// Views of the kit that no screen places: their layout, texts and colours on
// offscreen grabs (sRGB, sampled away from text edges and corners).

#include "common/Constants.h"
#include "panel/kit/Controls.h"
#include "panel/kit/Marks.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/TextInputs.h"
#include "support/SimFixture.h"

#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::panel;

namespace {

// Shows `w` at `size` on black and returns the grab.
QImage grabOnBlack(QWidget& w, QSize size)
{
    w.setAutoFillBackground(true);
    QPalette pal = w.palette();
    pal.setColor(QPalette::Window, Qt::black);
    w.setPalette(pal);
    w.resize(size);
    w.show();
    test::drainEvents();
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The brightest pixel of `area`, as a colour.
QColor brightest(const QImage& image, QRect area)
{
    QColor best(0, 0, 0);
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() + c.green() + c.blue() > best.red() + best.green() + best.blue())
                best = c;
        }
    return best;
}

bool near(QColor c, QColor want, int tolerance)
{
    return std::abs(c.red() - want.red()) <= tolerance && std::abs(c.green() - want.green()) <= tolerance
        && std::abs(c.blue() - want.blue()) <= tolerance;
}

} // namespace

TEST(UnplacedViews, SettingsFieldCaptionBoxAndPasteButton)
{
    int pasted = 0;
    SettingsField field(QStringLiteral("Worker URL"), [&] { ++pasted; });
    QStringList edits;
    field.onEdited = [&](const QString& text) { edits << text; };
    const QImage image = grabOnBlack(field, QSize(300, 70));
    // The caption over the box, 6 apart; the button 8 right of the box.
    EXPECT_EQ(field.caption()->text(), "Worker URL");
    EXPECT_EQ(field.fieldBox()->geometry().top() - field.caption()->geometry().bottom() - 1, 6);
    ASSERT_NE(field.pasteButton(), nullptr);
    EXPECT_EQ(field.pasteButton()->style(), ButtonStyle::Secondary);
    EXPECT_EQ(field.pasteButton()->title(), "Paste");
    EXPECT_EQ(field.pasteButton()->geometry().left() - field.fieldBox()->geometry().right() - 1, 8);
    // The field sits 12 by 10 inside the box.
    EXPECT_EQ(field.field()->geometry().topLeft(), QPoint(12, 10));
    // Caption white 0.65 on black; the box is the panel surface with a
    // white 0.08 hairline.
    EXPECT_TRUE(near(brightest(image, field.caption()->geometry()), QColor(166, 166, 166), 4));
    const QRect box = field.fieldBox()->geometry();
    EXPECT_TRUE(near(image.pixelColor(box.left() + 4, box.center().y()), constants::panelSurface(), 2));
    // The hairline is centred on the clipped edge: its inner half shows.
    EXPECT_TRUE(near(image.pixelColor(box.center().x(), box.top()), QColor(41, 41, 41), 3));
    field.pasteButton()->click();
    EXPECT_EQ(pasted, 1);
    QTest::keyClicks(field.field(), "ab");
    EXPECT_EQ(edits, (QStringList{"a", "ab"}));
    field.setText(QStringLiteral("ab")); // same value: the field is left alone
    EXPECT_EQ(field.field()->cursorPosition(), 2);

    SettingsField plain(QStringLiteral("Name"));
    EXPECT_EQ(plain.pasteButton(), nullptr);
}

TEST(UnplacedViews, ActiveStatusLabelAndGoogleContinueLabel)
{
    ActiveStatusLabel active;
    const QImage image = grabOnBlack(active, active.sizeHint());
    EXPECT_EQ(active.height(), 14);
    EXPECT_EQ(active.textLabel()->text(), "Active");
    EXPECT_EQ(active.textLabel()->geometry().left(), 6 + 5);
    EXPECT_TRUE(near(image.pixelColor(active.dotRect().center().toPoint()), constants::turquoiseAccent(), 3));
    // The glow reaches beyond the dot, fainter than it.
    const QColor glow = image.pixelColor(int(active.dotRect().center().x()), int(active.dotRect().top()) - 2);
    EXPECT_GT(glow.blue(), glow.red() + 10);
    EXPECT_LT(glow.blue(), 246);
    // The word is in the accent.
    const QColor word = brightest(image, active.textLabel()->geometry());
    EXPECT_GT(word.blue(), word.red() + 100);

    GoogleContinueLabel google;
    google.resize(240, 20);
    google.show();
    test::drainEvents();
    EXPECT_EQ(google.textLabel()->text(), "Continue with Google");
    EXPECT_EQ(google.mark()->size(), QSize(18, 18));
    EXPECT_EQ(google.mark()->x(), 0);
    EXPECT_EQ(google.textLabel()->x(), 18 + 10);
    EXPECT_EQ(google.sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
}

TEST(UnplacedViews, HotkeyShortcutLineSharesTheKeySequenceAndShrinksToItsFloor)
{
    HotkeyShortcutLine line(QStringLiteral("Hold"), {"Ctrl", "Shift", "Ctrl"}, QStringLiteral("to talk"));
    EXPECT_EQ(line.chipCount(), 3); // equal tokens are both shown
    EXPECT_EQ(line.separatorCount(), 2);
    const int full = line.sizeHint().width();
    line.resize(full + 40, line.sizeHint().height());
    line.show();
    test::drainEvents();
    EXPECT_DOUBLE_EQ(line.textScale(), 1.0);
    // Everything sits 7 apart in one row: prefix, chip, "+", chip, ...
    const int chipLeft = line.findChildren<HotkeyChip*>("chip").first()->x();
    EXPECT_EQ(chipLeft - line.prefixLabel()->geometry().right() - 1, 7);
    // The separators are 15 points here (9 in the shortcut rows).
    const auto separators = line.findChildren<PanelText*>("separator");
    ASSERT_EQ(separators.size(), 2);
    EXPECT_DOUBLE_EQ(separators.first()->effectivePointSize(), 15);

    // A little too narrow: the texts shrink just enough.
    line.resize(full * 9 / 10, line.height());
    test::drainEvents();
    EXPECT_LT(line.textScale(), 1.0);
    EXPECT_GE(line.textScale(), HotkeyShortcutLine::minimumScaleFactor);
    // Far too narrow: they stop at 0.82 and the prefix is cut, the suffix kept.
    line.resize(full / 3, line.height());
    test::drainEvents();
    EXPECT_DOUBLE_EQ(line.textScale(), 0.82);
    EXPECT_DOUBLE_EQ(separators.first()->effectivePointSize(), 15 * 0.82);
    EXPECT_DOUBLE_EQ(line.prefixLabel()->effectivePointSize(), 14 * 0.82);
    EXPECT_TRUE(line.prefixLabel()->displayedLines().value(0).endsWith(QChar(0x2026)));
    EXPECT_EQ(line.suffixLabel()->displayedLines(), QStringList{"to talk"});

    HotkeyShortcutLine bare(QStringLiteral("Press"), {"K"}, std::nullopt);
    EXPECT_EQ(bare.suffixLabel(), nullptr);
    EXPECT_EQ(bare.separatorCount(), 0);
}

TEST(UnplacedViews, FloatingCornerPointerHasTheMarksBodyOutlineGlowAndADropShadow)
{
    const QImage image = FloatingCornerPointerView::render(QSizeF(40, 40), 1.0);
    ASSERT_EQ(image.size(), QSize(40, 40));
    int darkBody = 0, outline = 0, bluish = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            if (c.alpha() > 240 && c.red() < 30 && c.blue() < 30)
                ++darkBody;
            if (c.alpha() > 230 && c.red() > 220 && c.green() > 220)
                ++outline;
            if (c.alpha() > 10 && c.alpha() < 200 && c.blue() > c.red() + 20)
                ++bluish;
        }
    EXPECT_GT(darkBody, 20);
    EXPECT_GT(outline, 10);
    EXPECT_GT(bluish, 10);
    // The drop shadow: translucent black (unpremultiplied) where neither
    // the body nor the glow covers.
    int shadow = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            const QRgb px = image.pixel(x, y);
            const QColor u = QColor::fromRgba(qUnpremultiply(px));
            if (qAlpha(px) > 3 && qAlpha(px) < 120 && u.red() < 60 && u.green() < 60 && u.blue() < 60)
                ++shadow;
        }
    EXPECT_GT(shadow, 0);
    EXPECT_EQ(QColor::fromRgba(image.pixel(39, 0)).alpha(), 0); // far from the glyph
}
