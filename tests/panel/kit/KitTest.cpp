// The panel's drawing kit: button styles, hover wash, small controls, marks,
// the text label and the views that no screen places, checked on offscreen
// grabs (sRGB pixels, ±2, sampled away from text and corners).

#include "common/Constants.h"
#include "panel/kit/Controls.h"
#include "panel/kit/Marks.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/SettingsRows.h"
#include "panel/kit/UnplacedRows.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/Symbols.h"
#include "panel/kit/TextInputs.h"
#include "support/SimFixture.h"

#include <QApplication>
#include <QEnterEvent>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace tovrik::panel;

namespace {

// Hosts `w` on an opaque background of `bg` and returns the grab.
QImage grabOn(QWidget* w, QColor bg, QSize size)
{
    QWidget host;
    host.setAutoFillBackground(true);
    QPalette pal = host.palette();
    pal.setColor(QPalette::Window, bg);
    host.setPalette(pal);
    w->setParent(&host);
    w->setGeometry(QRect(QPoint(0, 0), size));
    host.resize(size);
    host.show();
    tovrik::test::drainEvents();
    QImage image = host.grab().toImage().convertToFormat(QImage::Format_RGB32);
    w->setParent(nullptr);
    return image;
}

bool near(QColor c, QColor want, int tolerance)
{
    return std::abs(c.red() - want.red()) <= tolerance && std::abs(c.green() - want.green()) <= tolerance &&
           std::abs(c.blue() - want.blue()) <= tolerance;
}

void expectColor(const QImage& image, QPoint p, QColor want, int tolerance = 2)
{
    EXPECT_TRUE(near(image.pixelColor(p), want, tolerance))
        << image.pixelColor(p).name().toStdString() << " at " << p.x() << "," << p.y();
}

void expectGrey(const QImage& image, QPoint p, int value) { expectColor(image, p, QColor(value, value, value)); }

// Whether any pixel of `area` shows `want` (±3).
bool shows(const QImage& image, QRect area, QColor want)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (near(image.pixelColor(x, y), want, 3))
                return true;
    return false;
}

// The brightest pixel of `area`.
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

} // namespace

TEST(ButtonStyles, FillsNormalPressedAndDisabledHoverFadesInAndTheClipShapeIsTheHitShape)
{
    struct Row {
        ButtonStyle style;
        std::function<StyledButton*()> make;
        QColor under;
        QSize size;
        QPoint sample;
        int normal, pressed;
        int disabled; // -1: the style has no disabled look
    };
    const Row rows[] = {
        {ButtonStyle::Primary, [] { return new StyledButton(ButtonStyle::Primary, QStringLiteral("Sign in")); },
         Qt::black, {120, 32}, {5, 16}, 242, 220, -1},
        {ButtonStyle::Google, [] { return new StyledButton(ButtonStyle::Google, new GooglePrimaryLabel); },
         Qt::black, {280, 39}, {270, 30}, 50, 41, -1},
        {ButtonStyle::Ask, [] { return new StyledButton(ButtonStyle::Ask, QStringLiteral("Ask")); }, Qt::black,
         {70, 32}, {35, 4}, 242, 220, 38},
        // Black at 0.24 and 0.32 over grey 32.
        {ButtonStyle::WideSecondary,
         [] { return new StyledButton(ButtonStyle::WideSecondary, new EmailPrimaryLabel(false)); }, grey(32),
         {280, 39}, {250, 33}, 24, 22, -1},
    };
    for (const Row& r : rows) {
        std::unique_ptr<StyledButton> button(r.make());
        SCOPED_TRACE(int(r.style));
        expectGrey(grabOn(button.get(), r.under, r.size), r.sample, r.normal);
        button->setDown(true);
        expectGrey(grabOn(button.get(), r.under, r.size), r.sample, r.pressed);
        if (r.disabled >= 0) {
            // Disabled looks the same pressed or not.
            button->setEnabled(false);
            expectGrey(grabOn(button.get(), r.under, r.size), r.sample, r.disabled);
            button->setDown(false);
            expectGrey(grabOn(button.get(), r.under, r.size), r.sample, r.disabled);
            EXPECT_EQ(button->currentTextColor(), whiteAt(0.4));
        }
        if (r.size.height() == 39) { // the wide styles: height from their minimum
            EXPECT_EQ(button->sizeHint().height(), 39);
        }
    }
    // The primary label is drawn in grey 21.
    StyledButton primary(ButtonStyle::Primary, QStringLiteral("Sign in"));
    const QImage image = grabOn(&primary, Qt::black, QSize(120, 32));
    int darkest = 255;
    for (int y = 8; y < 24; ++y)
        for (int x = 30; x < 90; ++x)
            darkest = std::min(darkest, qGray(image.pixel(x, y)));
    EXPECT_LE(darkest, 40);
    // The hover wash fades in, never shows while disabled, and is cut where the clicks are.
    StyledButton button(ButtonStyle::Primary, QStringLiteral("Go"));
    button.resize(100, 32);
    button.show();
    auto* hover = button.hoverHighlight();
    ASSERT_NE(hover, nullptr);
    EXPECT_EQ(hover->washOpacity(), 0);
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
    QApplication::sendEvent(&button, &enter);
    EXPECT_TRUE(hover->isHovered());
    EXPECT_LT(hover->washOpacity(), 0.04); // fading, not at once
    ASSERT_TRUE(tovrik::test::spinUntil([&] { return hover->washOpacity() >= 0.04 - 1e-9; }, 2000));
    EXPECT_NEAR(hover->washOpacity(), 0.04, 1e-9);

    button.setEnabled(false);
    EXPECT_EQ(hover->washOpacity(), 0);
    // Re-enabling a hovered control shows the wash at once.
    button.setEnabled(true);
    EXPECT_NEAR(hover->washOpacity(), 0.04, 1e-9);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    ASSERT_TRUE(tovrik::test::spinUntil([&] { return hover->washOpacity() <= 1e-9; }, 2000));
    // A control hidden while hovered (a page switch) comes back unlit.
    QApplication::sendEvent(&button, &enter);
    button.hide();
    button.show();
    EXPECT_FALSE(hover->isHovered());
    EXPECT_EQ(hover->washOpacity(), 0);
    // The clip shape is the hit shape.
    int clicks = 0;
    QObject::connect(&button, &QAbstractButton::clicked, [&] { ++clicks; });
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(1, 1)); // outside the rounded corner
    EXPECT_EQ(clicks, 0);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(50, 16));
    EXPECT_EQ(clicks, 1);
}

TEST(SmallControls, KeySequenceChipsStepIndicatorHeaderButtonChipAndTheGoogleMark)
{
    // Separators only between chips; equal tokens are all shown.
    ShortcutValueRow row(QStringLiteral("Talk"), {});
    for (const QStringList& keys : {QStringList{"Super"}, {"Super", "Super"}, {"Ctrl", "Shift", "Alt", "K"}}) {
        row.setKeys(keys);
        EXPECT_EQ(row.keysView()->chipCount(), keys.size());
        EXPECT_EQ(row.keysView()->separatorCount(), keys.size() - 1);
    }
    ShortcutCaptureRow empty({}, QStringLiteral("Change"), nullptr);
    EXPECT_EQ(empty.keysView()->chipCount(), 0);
    EXPECT_EQ(empty.button()->text(), "Change");

    EXPECT_EQ(PermissionStepIndicator(5, 3).text(), "5 of 3"); // shown unchanged
    int clicked = 0;
    HeaderIconButton gear(QStringLiteral("gearshape"), QStringLiteral("Settings"), [&] { ++clicked; });
    EXPECT_EQ(gear.size(), QSize(28, 28));
    EXPECT_EQ(gear.toolTip(), gear.accessibleName());
    gear.click();
    EXPECT_EQ(clicked, 1);

    HotkeyChip chip(QStringLiteral("Alt"));
    HotkeyChip longChip(QStringLiteral("A much longer token"));
    EXPECT_GT(longChip.sizeHint().width(), chip.sizeHint().width()); // grows, never truncates
    GoogleMarkView mark;
    EXPECT_EQ(mark.size(), QSize(18, 18));
    QImage image(18, 18, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    mark.render(&image);
    expectColor(image, QPoint(13, 9), QColor(66, 133, 245), 3);
    expectColor(image, QPoint(9, 16), QColor(51, 168, 84), 3);
    expectColor(image, QPoint(2, 9), QColor(250, 189, 5), 3);
    expectColor(image, QPoint(9, 1), QColor(235, 66, 54), 3);
    EmailPrimaryLabel label(true);
    EXPECT_EQ(label.chevronSymbol(), "chevron.up");
    label.setExpanded(false);
    EXPECT_EQ(label.chevronSymbol(), "chevron.down");
    EXPECT_EQ(label.textLabel()->text(), "Sign in with email");
    EXPECT_EQ(GooglePrimaryLabel().textLabel()->text(), "Sign in with Google");
    // The outline starts at design point (17.64, 9.2045); a 36 x 18 rectangle
    // stretches it twice as wide, a 36 x 36 one scales it both ways.
    EXPECT_EQ(GoogleBlueShape::path(QRectF(0, 0, 18, 18)).elementAt(0), QPointF(17.64, 9.2045));
    EXPECT_EQ(GoogleBlueShape::path(QRectF(0, 0, 36, 36)).elementAt(0), QPointF(35.28, 18.409));
    const QRectF wide = GoogleRedShape::path(QRectF(0, 0, 36, 18)).boundingRect();
    const QRectF square = GoogleRedShape::path(QRectF(0, 0, 18, 18)).boundingRect();
    EXPECT_NEAR(wide.width(), square.width() * 2, 1e-6);
    EXPECT_NEAR(wide.height(), square.height(), 1e-6);
}

TEST(PanelTextLabel, LineLimitTruncatesTheTailShrinkStopsAtItsFactorAndAChatTextSetFromOutsideShowsItsBeginning)
{
    PanelText text(QStringLiteral("This status line is far too long to fit in the little space given to it"));
    text.setPanelFont(12, FontWeight::Regular);
    text.setMaxLines(1);
    text.resize(120, 20);
    const QStringList lines = text.displayedLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().endsWith(QChar(0x2026)));

    text.setMaxLines(2);
    text.resize(120, 40);
    const QStringList two = text.displayedLines();
    EXPECT_EQ(two.size(), 2);
    EXPECT_TRUE(two.last().endsWith(QChar(0x2026)));

    PanelText shrink(QStringLiteral("Shrinks before it truncates"));
    shrink.setPanelFont(14, FontWeight::Bold);
    shrink.setMaxLines(1);
    shrink.setMinimumScaleFactor(0.82);
    shrink.resize(30, 20);
    EXPECT_NEAR(shrink.effectivePointSize(), 14 * 0.82, 1e-9);
    shrink.resize(2000, 20);
    EXPECT_DOUBLE_EQ(shrink.effectivePointSize(), 14);
    // A prompt put back from outside (after a failed turn) shows its beginning
    // like a short one, and a text beyond QLineEdit's default 32,767 limit is
    // kept whole.
    const QString start = QStringLiteral("Where is the export button");
    const QString longPrompt = start + QString(40000 - start.size(), QLatin1Char('x'));
    ChatTextInput shortBox(QStringLiteral("Ask"), 78), longBox(QStringLiteral("Ask"), 78);
    shortBox.setText(start);
    longBox.setText(longPrompt);
    EXPECT_EQ(longBox.text().size(), 40000);
    const QImage shortShot = grabOn(&shortBox, Qt::black, QSize(300, 78));
    const QImage longShot = grabOn(&longBox, Qt::black, QSize(300, 78));
    // The first words are drawn at the same place in both boxes.
    const QRect words(12, 9, 120, 24);
    const QImage drawn = shortShot.copy(words);
    int textPixels = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            textPixels += qGray(drawn.pixel(x, y)) > 128;
    ASSERT_GT(textPixels, 50); // the words are there to compare
    EXPECT_EQ(shortShot.copy(words), longShot.copy(words));
}

TEST(Symbols, EveryNamedSymbolHasAnOutlineAndTheProductMarkItsDarkBodyAndBlueGlow)
{
    for (const char* name : {"gearshape", "xmark", "arrow.clockwise", "mic.fill", "envelope.fill", "chevron.up",
                             "chevron.down", "plus", "checkmark", "chevron.left", "chevron.right"}) {
        EXPECT_TRUE(hasSymbol(QString::fromLatin1(name))) << name;
        const QPainterPath path = symbolPath(QString::fromLatin1(name), 14, FontWeight::Bold);
        EXPECT_FALSE(path.isEmpty()) << name;
        EXPECT_LE(path.boundingRect().right(), symbolExtent(14) + 0.5) << name;
    }
    EXPECT_TRUE(symbolPath(QStringLiteral("no.such.symbol"), 14, FontWeight::Bold).isEmpty());
    // Heavier weights draw thicker outlines.
    const double light = symbolPath("xmark", 14, FontWeight::Regular).boundingRect().width();
    const double heavy = symbolPath("xmark", 14, FontWeight::Heavy).boundingRect().width();
    EXPECT_GT(heavy, light);
    const QImage image = TovrikMarkView::render(QSizeF(24, 24), 1.0);
    ASSERT_EQ(image.size(), QSize(24, 24));
    // Somewhere inside the glyph the body is near-black and opaque; the glow
    // leaves bluish translucent pixels outside the outline; corners far from
    // the glyph stay empty.
    int darkOpaque = 0, bluish = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            if (c.alpha() > 240 && c.red() < 40 && c.green() < 40 && c.blue() < 40)
                ++darkOpaque;
            if (c.alpha() > 10 && c.alpha() < 200 && c.blue() > c.red() + 20)
                ++bluish;
        }
    EXPECT_GT(darkOpaque, 10);
    EXPECT_GT(bluish, 10);
    EXPECT_EQ(QColor::fromRgba(image.pixel(23, 0)).alpha(), 0);
}

TEST(SettingsRows, SubtitleLineHintToggleVoiceCardStepLimitAndPermissionRowFollowTheirRules)
{
    struct Row {
        std::optional<QString> subtitle;
        bool line;
        const char *menuHint, *toggleHint;
    };
    const Row rows[] = {
        {std::nullopt, false, "Opens this setting.", "Toggles this setting."},
        {QStringLiteral(" \n "), false, " \n ", " \n "}, // blank: no line, yet the hint is the blank text
        {QStringLiteral("Ava"), true, "Ava", "Ava"},
    };
    for (const Row& r : rows) {
        SettingsMenuRow menu(std::nullopt, QStringLiteral("Voice"), r.subtitle, false, nullptr);
        SettingsToggleRow toggle(std::nullopt, QStringLiteral("Text only"), r.subtitle, false, nullptr);
        EXPECT_EQ(menu.subtitleLabel()->isVisibleTo(&menu), r.line);
        EXPECT_EQ(toggle.subtitleLabel()->isVisibleTo(&toggle), r.line);
        EXPECT_EQ(menu.accessibleDescription(), r.menuHint);
        EXPECT_EQ(toggle.accessibleDescription(), r.toggleHint);
    }
    SettingsMenuRow quit(std::nullopt, QStringLiteral("Quit Tovrik"), std::nullopt, true, nullptr);
    EXPECT_EQ(quit.titleLabel()->text(), "Quit Tovrik");
    EXPECT_DOUBLE_EQ(quit.hoverHighlight()->opacity(), 0.035);
    EXPECT_TRUE(shows(grabOn(&quit, grey(23), QSize(280, 36)), QRect(14, 8, 106, 20), QColor(248, 113, 113)));
    QList<bool> reported;
    SettingsToggleRow row(std::nullopt, "Text only", std::nullopt, true, [&](bool on) { reported << on; });
    row.click();
    EXPECT_EQ(reported, QList<bool>{false});
    EXPECT_TRUE(row.settingsSwitch()->isOn());
    EXPECT_EQ(row.accessibilityValue(), "On");
    // The knob and the track: accent with the knob right when on, white
    // 33/255 with the knob left when off.
    for (bool on : {true, false}) {
        SmallSettingsSwitch sw(on);
        EXPECT_EQ(sw.knobRect(), QRectF(on ? 17 : 3, 3, 12, 12));
        EXPECT_TRUE(sw.testAttribute(Qt::WA_TransparentForMouseEvents));
        const QImage image = grabOn(&sw, Qt::black, QSize(32, 18));
        if (on)
            expectColor(image, QPoint(8, 9), QColor(47, 125, 246));
        else
            expectGrey(image, QPoint(24, 9), 33);
        expectGrey(image, QPoint(on ? 23 : 9, 9), 255);
    }
    int clicks = 0;
    VoiceOptionCard card({"id", "Ava", "Female", true}, [&] { ++clicks; });
    EXPECT_TRUE(card.showsCheckmark());
    EXPECT_EQ(card.accessibleName(), "Ava, Female");
    EXPECT_EQ(card.accessibilityValue(), "Selected");
    EXPECT_GE(card.minimumHeight(), 36);
    // The accent border on the top edge; the thin white one when not selected.
    const QColor accent = grabOn(&card, Qt::black, QSize(140, 48)).pixelColor(70, 0);
    EXPECT_GT(accent.blue(), accent.red() + 60);
    card.setOption({QStringLiteral("id"), QStringLiteral("Ava"), QStringLiteral("Female"), false});
    const QColor plain = grabOn(&card, Qt::black, QSize(140, 48)).pixelColor(70, 0);
    EXPECT_LE(std::abs(plain.blue() - plain.red()), 3);
    EXPECT_FALSE(card.showsCheckmark());
    EXPECT_EQ(card.accessibilityValue(), "Not selected");
    card.click();
    EXPECT_EQ(clicks, 1);
    struct Step {
        qint64 value;
        bool minus, plus;
        qint64 reported;
    };
    for (const Step& s : {Step{0, false, false, 0}, Step{-3, false, true, -2}, Step{4, true, false, 3}}) {
        QList<qint64> got;
        SettingsStepLimitRow row(s.value, [&](qint64 v) { got << v; });
        EXPECT_EQ(row.minusButton()->isEnabled(), s.minus) << s.value;
        EXPECT_EQ(row.plusButton()->isEnabled(), s.plus) << s.value;
        EXPECT_EQ(row.valueText(), QString::number(s.value));
        (s.minus ? row.minusButton() : row.plusButton())->click();
        EXPECT_EQ(got, s.minus || s.plus ? QList<qint64>{s.reported} : QList<qint64>{});
    }
    PermissionRow none("Mic", "Sub", std::nullopt, std::nullopt, nullptr, std::nullopt, nullptr);
    EXPECT_EQ(none.buttonStack(), nullptr);
    PermissionRow titleOnly("Mic", "Sub", "Ready", "Allow", nullptr, std::nullopt, nullptr);
    ASSERT_NE(titleOnly.buttonStack(), nullptr); // an empty stack
    EXPECT_EQ(titleOnly.primaryButton(), nullptr);
    EXPECT_EQ(titleOnly.badge()->text(), "Ready");
    int clicked = 0;
    PermissionRow both("Mic", "Sub", std::nullopt, "Allow", [&] { ++clicked; }, "Later", [&] { clicked += 10; });
    both.primaryButton()->click();
    both.secondaryButton()->click();
    EXPECT_EQ(clicked, 11);
    EXPECT_EQ(StackPreviewCard(QStringLiteral("Title"), {}).lineCount(), 0);
    EXPECT_EQ(StackPreviewCard(QStringLiteral("Title"), {"a", "b"}).lineCount(), 2);
}

// ---- views that no screen places ----

TEST(UnplacedViews, SettingsFieldCaptionBoxAndPasteButton)
{
    int pasted = 0;
    SettingsField field(QStringLiteral("Worker URL"), [&] { ++pasted; });
    QStringList edits;
    field.onEdited = [&](const QString& text) { edits << text; };
    const QImage image = grabOn(&field, Qt::black, QSize(300, 70));
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
    EXPECT_TRUE(near(image.pixelColor(box.left() + 4, box.center().y()), tovrik::constants::panelSurface(), 2));
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
    const QImage image = grabOn(&active, Qt::black, active.sizeHint());
    EXPECT_EQ(active.height(), 14);
    EXPECT_EQ(active.textLabel()->text(), "Active");
    EXPECT_EQ(active.textLabel()->geometry().left(), 6 + 5);
    EXPECT_TRUE(near(image.pixelColor(active.dotRect().center().toPoint()), tovrik::constants::turquoiseAccent(), 3));
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
    tovrik::test::drainEvents();
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
    tovrik::test::drainEvents();
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
    tovrik::test::drainEvents();
    EXPECT_LT(line.textScale(), 1.0);
    EXPECT_GE(line.textScale(), HotkeyShortcutLine::minimumScaleFactor);
    // Far too narrow: they stop at 0.82 and the prefix is cut, the suffix kept.
    line.resize(full / 3, line.height());
    tovrik::test::drainEvents();
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
