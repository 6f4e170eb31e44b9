// The panel's drawing kit: button styles, hover wash, small controls, marks
// and the text label, checked on offscreen grabs (sRGB pixels, ±2, sampled
// away from text and corners).

#include "panel/kit/Controls.h"
#include "panel/kit/Marks.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/Symbols.h"
#include "panel/kit/TextInputs.h"
#include "support/SimFixture.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <gtest/gtest.h>

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

void expectGrey(const QImage& image, QPoint p, int value)
{
    const QColor c = image.pixelColor(p);
    EXPECT_NEAR(c.red(), value, 2) << "at " << p.x() << "," << p.y();
    EXPECT_NEAR(c.green(), value, 2) << "at " << p.x() << "," << p.y();
    EXPECT_NEAR(c.blue(), value, 2) << "at " << p.x() << "," << p.y();
}

void expectColor(const QImage& image, QPoint p, QColor want, int tolerance = 2)
{
    const QColor c = image.pixelColor(p);
    EXPECT_NEAR(c.red(), want.red(), tolerance) << "at " << p.x() << "," << p.y();
    EXPECT_NEAR(c.green(), want.green(), tolerance) << "at " << p.x() << "," << p.y();
    EXPECT_NEAR(c.blue(), want.blue(), tolerance) << "at " << p.x() << "," << p.y();
}

} // namespace

TEST(ButtonStyles, TableValues)
{
    const auto& primary = buttonStyleSpec(ButtonStyle::Primary);
    EXPECT_EQ(primary.background, grey(242));
    EXPECT_EQ(primary.pressedBackground, grey(220));
    EXPECT_EQ(primary.text, grey(21));
    EXPECT_EQ(primary.clip.radius, 9);
    const auto& secondary = buttonStyleSpec(ButtonStyle::Secondary);
    EXPECT_EQ(secondary.border.radius, 10); // border rounded 10 inside a rounded-9 clip
    EXPECT_EQ(secondary.clip.radius, 9);
    EXPECT_DOUBLE_EQ(buttonStyleSpec(ButtonStyle::CompactPrimary).borderWidth, 0.5);
    EXPECT_DOUBLE_EQ(buttonStyleSpec(ButtonStyle::WidePrimary).borderWidth, 0.5);
    EXPECT_EQ(buttonStyleSpec(ButtonStyle::WidePrimary).border.radius, 8);
    EXPECT_EQ(buttonStyleSpec(ButtonStyle::WideSecondary).minimumHeight, 39);
    EXPECT_EQ(buttonStyleSpec(ButtonStyle::WideSecondary).paddingV, 0);
    EXPECT_FALSE(buttonStyleSpec(ButtonStyle::Pill).fontSize.has_value());
    EXPECT_EQ(buttonStyleSpec(ButtonStyle::Ask).minimumWidth, 54);
    EXPECT_DOUBLE_EQ(buttonStyleSpec(ButtonStyle::Ask).hoverOpacity, 0.09);
    EXPECT_TRUE(buttonStyleSpec(ButtonStyle::Permission).fixedWidth);
    EXPECT_FALSE(buttonStyleSpec(ButtonStyle::Ask).fixedWidth);
}

TEST(ButtonStyles, PrimaryFillPressedFillAndText)
{
    StyledButton button(ButtonStyle::Primary, QStringLiteral("Sign in"));
    const QSize size(120, 32);
    QImage normal = grabOn(&button, Qt::black, size);
    expectGrey(normal, QPoint(5, 16), 242);
    EXPECT_EQ(button.currentTextColor(), grey(21));
    button.setDown(true);
    QImage pressed = grabOn(&button, Qt::black, size);
    expectGrey(pressed, QPoint(5, 16), 220);
    // The text is drawn in grey 21: the darkest pixel of the label area is close to it.
    int darkest = 255;
    for (int y = 8; y < 24; ++y)
        for (int x = 30; x < 90; ++x)
            darkest = std::min(darkest, qGray(normal.pixel(x, y)));
    EXPECT_LE(darkest, 40);
}

TEST(ButtonStyles, GoogleFillsAndBorder)
{
    StyledButton button(ButtonStyle::Google, new GooglePrimaryLabel);
    const QSize size(280, 39);
    QImage normal = grabOn(&button, Qt::black, size);
    expectGrey(normal, QPoint(270, 30), 50);
    button.setDown(true);
    QImage pressed = grabOn(&button, Qt::black, size);
    expectGrey(pressed, QPoint(270, 30), 41);
    EXPECT_EQ(button.sizeHint().height(), 39);
}

TEST(ButtonStyles, DisabledAskLooksTheSamePressedOrNot)
{
    StyledButton ask(ButtonStyle::Ask, QStringLiteral("Ask"));
    ask.setEnabled(false);
    const QSize size(70, 32);
    QImage disabled = grabOn(&ask, Qt::black, size);
    expectGrey(disabled, QPoint(35, 4), 38);
    EXPECT_EQ(ask.currentTextColor(), whiteAt(0.4));
    ask.setDown(true);
    QImage pressed = grabOn(&ask, Qt::black, size);
    expectGrey(pressed, QPoint(35, 4), 38);
    ask.setDown(false);
    ask.setEnabled(true);
    QImage enabled = grabOn(&ask, Qt::black, size);
    expectGrey(enabled, QPoint(35, 4), 242);
    EXPECT_GE(ask.sizeHint().width(), 54);
}

TEST(ButtonStyles, WideSecondaryOverPanelSurface)
{
    StyledButton button(ButtonStyle::WideSecondary, new EmailPrimaryLabel(false));
    const QSize size(280, 39);
    QImage normal = grabOn(&button, grey(32), size);
    expectGrey(normal, QPoint(250, 33), 24);  // black at 0.24 over 32
    button.setDown(true);
    QImage pressed = grabOn(&button, grey(32), size);
    expectGrey(pressed, QPoint(250, 33), 22); // black at 0.32 over 32
}

TEST(ButtonStyles, ClipShapeIsTheHitShape)
{
    StyledButton button(ButtonStyle::Primary, QStringLiteral("Go"));
    button.resize(100, 32);
    int clicks = 0;
    QObject::connect(&button, &QAbstractButton::clicked, [&] { ++clicks; });
    auto click = [&](QPoint p) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(p), button.mapToGlobal(QPointF(p)), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&button, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(p), button.mapToGlobal(QPointF(p)), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&button, &release);
    };
    click(QPoint(0, 0)); // outside the rounded corner
    EXPECT_EQ(clicks, 0);
    click(QPoint(50, 16));
    EXPECT_EQ(clicks, 1);
}

TEST(HoverHighlight, FadesInAndNeverShowsOnADisabledControl)
{
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
}

TEST(SmallControls, KeySequenceChipsAndSeparators)
{
    ShortcutValueRow row(QStringLiteral("Talk"), {"Ctrl", "Shift", "Option"});
    EXPECT_EQ(row.keysView()->chipCount(), 3);
    EXPECT_EQ(row.keysView()->separatorCount(), 2);
    row.setKeys({"Cmd"});
    EXPECT_EQ(row.keysView()->chipCount(), 1);
    EXPECT_EQ(row.keysView()->separatorCount(), 0);
    row.setKeys({"Cmd", "Cmd"}); // equal tokens are both shown
    EXPECT_EQ(row.keysView()->chipCount(), 2);
    row.setKeys({"Ctrl", "Shift", "Option", "K"});
    EXPECT_EQ(row.keysView()->separatorCount(), 3);
    ShortcutCaptureRow empty({}, QStringLiteral("Change"), nullptr);
    EXPECT_EQ(empty.keysView()->chipCount(), 0);
    EXPECT_EQ(empty.button()->text(), "Change");
}

TEST(SmallControls, StepIndicatorHeaderButtonAndChip)
{
    PermissionStepIndicator indicator(1, 3);
    EXPECT_EQ(indicator.text(), "1 of 3");
    indicator.setSteps(5, 3); // shown unchanged
    EXPECT_EQ(indicator.text(), "5 of 3");

    int clicked = 0;
    HeaderIconButton gear(QStringLiteral("gearshape"), QStringLiteral("Settings"), [&] { ++clicked; });
    EXPECT_EQ(gear.size(), QSize(28, 28));
    EXPECT_EQ(gear.toolTip(), gear.accessibleName());
    gear.click();
    EXPECT_EQ(clicked, 1);

    HotkeyChip chip(QStringLiteral("Option"));
    HotkeyChip longChip(QStringLiteral("A much longer token"));
    EXPECT_GT(longChip.sizeHint().width(), chip.sizeHint().width()); // grows, never truncates
}

TEST(Marks, GoogleMarkColoursWhereThePathsPutThem)
{
    GoogleMarkView mark;
    EXPECT_EQ(mark.size(), QSize(18, 18));
    QImage image(18, 18, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    mark.render(&image);
    expectColor(image, QPoint(13, 9), QColor(66, 133, 245), 3);
    expectColor(image, QPoint(9, 16), QColor(51, 168, 84), 3);
    expectColor(image, QPoint(2, 9), QColor(250, 189, 5), 3);
    expectColor(image, QPoint(9, 1), QColor(235, 66, 54), 3);
}

TEST(Marks, GoogleShapesStretchWithTheirRectangle)
{
    const QPainterPath blue = GoogleBlueShape::path(QRectF(0, 0, 18, 18));
    EXPECT_NEAR(blue.elementAt(0).x, 17.64, 1e-9);
    EXPECT_NEAR(blue.elementAt(0).y, 9.2045, 1e-9);
    const QPainterPath big = GoogleBlueShape::path(QRectF(0, 0, 36, 36));
    // The crossbar corner (9, 7.3636) maps to (18, 14.7272).
    bool found = false;
    for (int i = 0; i < big.elementCount(); ++i)
        if (std::abs(big.elementAt(i).x - 18) < 1e-9 && std::abs(big.elementAt(i).y - 14.7272) < 1e-9)
            found = true;
    EXPECT_TRUE(found);
    const QRectF wide = GoogleRedShape::path(QRectF(0, 0, 36, 18)).boundingRect();
    const QRectF square = GoogleRedShape::path(QRectF(0, 0, 18, 18)).boundingRect();
    EXPECT_NEAR(wide.width(), square.width() * 2, 1e-6);
    EXPECT_NEAR(wide.height(), square.height(), 1e-6);
}

TEST(Marks, EmailLabelChevronFollowsExpansion)
{
    EmailPrimaryLabel label(true);
    EXPECT_EQ(label.chevronSymbol(), "chevron.up");
    label.setExpanded(false);
    EXPECT_EQ(label.chevronSymbol(), "chevron.down");
    EXPECT_EQ(label.textLabel()->text(), "Sign in with email");
    GooglePrimaryLabel google;
    EXPECT_EQ(google.textLabel()->text(), "Sign in with Google");
}

TEST(PanelTextLabel, LineLimitTruncatesTheTailAndShrinkStopsAtItsFactor)
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
}

TEST(Symbols, EveryNamedSymbolHasAnOutline)
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
}

TEST(Marks, ProductMarkDrawsTheGlyphWithItsDarkBodyAndBlueGlow)
{
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

TEST(ButtonStyles, InALayoutTheWideStylesKeepTheirHeightAndAskShowsItsWholeTitle)
{
    QWidget host;
    auto* column = new QVBoxLayout(&host);
    auto* google = new StyledButton(ButtonStyle::Google, new GooglePrimaryLabel);
    auto* email = new StyledButton(ButtonStyle::WideSecondary, new EmailPrimaryLabel(false));
    auto* ask = new StyledButton(ButtonStyle::Ask, QStringLiteral("Ask"));
    column->addWidget(google);
    column->addWidget(email);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ask);
    column->addLayout(row);
    column->addStretch(1);
    host.resize(288, 300);
    host.show();
    tovrik::test::drainEvents();
    EXPECT_GE(google->height(), 39);
    EXPECT_GE(email->height(), 39);
    EXPECT_GE(ask->width(), 54);
    EXPECT_EQ(ask->textLabel()->displayedLines(), QStringList{"Ask"});
}

// A prompt put back from outside (after a failed turn) shows its beginning
// like a short one, and a text beyond QLineEdit's default 32,767 limit is
// kept whole.
TEST(ChatTextInput, ATextSetFromOutsideShowsItsBeginningAndIsKeptWhole)
{
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
