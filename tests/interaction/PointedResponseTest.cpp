#include "interaction/PointedResponse.h"

#include <QFile>
#include <gtest/gtest.h>

#include <limits>

using namespace tovrik;
using Status = PointedResponse::TagStatus;

namespace {

ScreenCapturePayload shot(int number, QSize size)
{
    ScreenCapturePayload p;
    p.screenNumber = number;
    p.pixelSize = size;
    p.displayID = uint32_t(100 + number);
    return p;
}

const ScreenCapturePayloads twoScreens = {shot(1, QSize(2560, 1440)), shot(2, QSize(1920, 1080))};
const ScreenCapturePayloads oneScreen = {shot(1, QSize(1280, 800))};

} // namespace

TEST(PointedResponse, WellFormedTagGivesPointLabelAndScreen)
{
    const auto r = PointedResponse::parse(
        QStringLiteral("Click the blue Save button at the bottom right. [POINT:1830,1012:Save button:screen2]"),
        twoScreens);
    EXPECT_EQ(r.tagStatus, Status::Valid);
    EXPECT_EQ(r.spokenText, QStringLiteral("Click the blue Save button at the bottom right."));
    ASSERT_TRUE(r.point.has_value());
    EXPECT_EQ(*r.point, QPointF(1830, 1012));
    EXPECT_EQ(r.pointLabel, QStringLiteral("Save button"));
    EXPECT_EQ(r.screenNumber, 2);
    EXPECT_FALSE(r.rejection().has_value());
    const auto capture = r.pointedCapture(twoScreens);
    ASSERT_TRUE(capture.has_value());
    EXPECT_EQ(capture->displayID, 102u);
}

TEST(PointedResponse, LenientSpellingsAreAccepted)
{
    struct Case {
        const char* reply;
        QPointF point;
        const char* label;
        int screen;
    };
    const Case cases[] = {
        {"It's here [point: (12.5, 40) : File menu : Screen 1]", {12.5, 40}, "File menu", 1},
        {"Here. [POINT:10,20:search field:screen=2]", {10, 20}, "search field", 2},
        {"Here. [ POINT : 0 , 0 : corner : screen #2 ]", {0, 0}, "corner", 2},
        {"[POINT:5,6:screen2]", {5, 6}, "", 2},
        {"[POINT:1919,1079:last pixel:screen2] is the spot", {1919, 1079}, "last pixel", 2},
        {"A label may hold colons. [POINT:7,8:Time: 12:00 clock:screen1]", {7, 8}, "Time: 12:00 clock", 1},
        {"Ignore the first. [POINT:1,1:old:screen1] Use this. [POINT:2,2:new:screen2]", {2, 2}, "new", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        const auto r = PointedResponse::parse(QString::fromUtf8(c.reply), twoScreens);
        EXPECT_EQ(r.tagStatus, Status::Valid);
        ASSERT_TRUE(r.point.has_value());
        EXPECT_EQ(*r.point, c.point);
        EXPECT_EQ(r.pointLabel, QString::fromUtf8(c.label));
        EXPECT_EQ(r.screenNumber, c.screen);
        EXPECT_FALSE(r.spokenText.contains(QLatin1Char('[')));
    }
    // Every tag is removed from the spoken text, not only the one used.
    EXPECT_EQ(PointedResponse::parse(QStringLiteral("Ignore the first. [POINT:1,1:old:screen1] Use this. "
                                                    "[POINT:2,2:new:screen2]"),
                                     twoScreens)
                  .spokenText,
              QStringLiteral("Ignore the first. Use this."));
}

TEST(PointedResponse, SingleScreenMayOmitTheScreen)
{
    const auto r = PointedResponse::parse(QStringLiteral("There. [POINT:640,400:dock]"), oneScreen);
    EXPECT_EQ(r.tagStatus, Status::Valid);
    EXPECT_EQ(r.screenNumber, 1);
    EXPECT_EQ(r.pointLabel, QStringLiteral("dock"));
    EXPECT_EQ(r.spokenText, QStringLiteral("There."));

    // With several screens an unnamed screen is no point.
    const auto several = PointedResponse::parse(QStringLiteral("There. [POINT:640,400:dock]"), twoScreens);
    EXPECT_EQ(several.tagStatus, Status::AmbiguousScreen);
    EXPECT_FALSE(several.point.has_value());
    EXPECT_FALSE(several.screenNumber.has_value());
}

TEST(PointedResponse, MissingAndNoneTagsGiveNoPointWithoutRejection)
{
    const auto missing = PointedResponse::parse(QStringLiteral("  Just an answer.  "), twoScreens);
    EXPECT_EQ(missing.tagStatus, Status::Absent);
    EXPECT_EQ(missing.spokenText, QStringLiteral("Just an answer."));
    EXPECT_FALSE(missing.point.has_value());
    EXPECT_FALSE(missing.rejection().has_value());

    const auto none = PointedResponse::parse(QStringLiteral("Nothing to show. [POINT:none]"), twoScreens);
    EXPECT_EQ(none.tagStatus, Status::NoPoint);
    EXPECT_EQ(none.spokenText, QStringLiteral("Nothing to show."));
    EXPECT_FALSE(none.point.has_value());
    EXPECT_FALSE(none.rejection().has_value());
    EXPECT_EQ(PointedResponse::parse(QStringLiteral("[point: NONE ]"), twoScreens).tagStatus, Status::NoPoint);

    // A bracket that is not a point tag is ordinary text.
    const auto other = PointedResponse::parse(QStringLiteral("Press [Ctrl] and S."), twoScreens);
    EXPECT_EQ(other.tagStatus, Status::Absent);
    EXPECT_EQ(other.spokenText, QStringLiteral("Press [Ctrl] and S."));
}

TEST(PointedResponse, OnlyTheGapOfARemovedTagCloses)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Give the file the extension .txt and save it.", "Give the file the extension .txt and save it."},
        {"Type cd .. to go up , then  wait ! [POINT:none]", "Type cd .. to go up , then  wait !"},
        {"Click here [POINT:1,2:x:screen1].", "Click here."},
        {"Click [POINT:1,2:x:screen1] here, then [POINT:none]\nsave.", "Click here, then\nsave."},
        {"One.\n[POINT:none] Two", "One.\nTwo"},
        {"Glued[POINT:none]word", "Gluedword"},
    };
    for (const auto& [reply, spoken] : cases)
        EXPECT_EQ(PointedResponse::parse(QString::fromUtf8(reply), twoScreens).spokenText, QString::fromUtf8(spoken))
            << reply;
}

TEST(PointedResponse, MalformedTagsAreRejectedAndNeverSpoken)
{
    const char* replies[] = {
        "Here. [POINT:left side:screen1]",
        "Here. [POINT:12;40:menu:screen1]",
        "Here. [POINT:12:screen1]",
        "Here. [POINT:]",
        "Here. [POINT:0x10,20:menu:screen1]",
        "Here. [POINT:1e3,20:menu:screen1]",
        "Here. [POINT:100,200:menu",  // cut off by the end of the stream
    };
    for (const char* reply : replies) {
        SCOPED_TRACE(reply);
        const auto r = PointedResponse::parse(QString::fromUtf8(reply), twoScreens);
        EXPECT_EQ(r.tagStatus, Status::Malformed);
        EXPECT_FALSE(r.point.has_value());
        EXPECT_EQ(r.spokenText, QStringLiteral("Here."));
        const auto error = r.rejection();
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->domain(), QStringLiteral("TovrikPointing"));
        EXPECT_EQ(error->code(), int(Status::Malformed));
    }
}

TEST(PointedResponse, OutOfRangePointsAreNoPoint)
{
    const char* replies[] = {
        "[POINT:1920,10:edge:screen2]",   // x == width
        "[POINT:10,1080:edge:screen2]",   // y == height
        "[POINT:-1,10:left:screen2]",
        "[POINT:10,-0.5:top:screen2]",
        "[POINT:2000,100:beyond:screen2]", // inside screen 1's size, not screen 2's
        "[POINT:99999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
        "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
        "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
        "9999999,1:huge:screen1]",
    };
    for (const char* reply : replies) {
        SCOPED_TRACE(reply);
        const auto r = PointedResponse::parse(QString::fromUtf8(reply), twoScreens);
        EXPECT_EQ(r.tagStatus, Status::OutOfRange);
        EXPECT_FALSE(r.point.has_value());
        EXPECT_FALSE(r.screenNumber.has_value());
        ASSERT_TRUE(r.rejection().has_value());
        EXPECT_EQ(r.rejection()->code(), int(Status::OutOfRange));
    }
}

TEST(PointedResponse, UnknownScreensAreNoPoint)
{
    const char* replies[] = {
        "[POINT:10,10:x:screen3]",
        "[POINT:10,10:x:screen0]",
        "[POINT:10,10:x:screen99999999999999999999]",
    };
    for (const char* reply : replies) {
        SCOPED_TRACE(reply);
        const auto r = PointedResponse::parse(QString::fromUtf8(reply), twoScreens);
        EXPECT_EQ(r.tagStatus, Status::UnknownScreen);
        EXPECT_FALSE(r.point.has_value());
        EXPECT_FALSE(r.pointedCapture(twoScreens).has_value());
    }
    // No screenshots at all: nothing can be pointed at.
    EXPECT_EQ(PointedResponse::parse(QStringLiteral("[POINT:1,1:x]"), {}).tagStatus, Status::UnknownScreen);
}

TEST(PointedResponse, StrictParseThrowsThePointingError)
{
    try {
        PointedResponse::parseStrict(QStringLiteral("[POINT:10,10:x:screen7]"), twoScreens);
        FAIL() << "an unknown screen was accepted";
    } catch (const TovrikError& e) {
        EXPECT_EQ(e.domain(), QStringLiteral("TovrikPointing"));
        EXPECT_EQ(e.code(), int(Status::UnknownScreen));
        EXPECT_EQ(e.message(), QStringLiteral("The point names a screen that was not captured."));
    }
    EXPECT_NO_THROW(PointedResponse::parseStrict(QStringLiteral("No tag."), twoScreens));
    EXPECT_EQ(PointedResponse::parseStrict(QStringLiteral("[POINT:3,4:a:screen1]"), twoScreens).point, QPointF(3, 4));
}

TEST(PointedResponse, PointFromPointingOnlyReplyKeepsTheAnswer)
{
    const auto answer = PointedResponse::parse(QStringLiteral("It is in the top bar."), twoScreens);
    const auto pointing = PointedResponse::parse(QStringLiteral("[POINT:100,12:top bar:screen1]"), twoScreens);
    const auto merged = answer.withPointFrom(pointing);
    EXPECT_EQ(merged.spokenText, QStringLiteral("It is in the top bar."));
    EXPECT_EQ(merged.point, QPointF(100, 12));
    EXPECT_EQ(merged.pointLabel, QStringLiteral("top bar"));
    EXPECT_EQ(merged.screenNumber, 1);
    EXPECT_EQ(merged.tagStatus, Status::Valid);
}

TEST(PointedResponse, PointingRequestsAndPrompts)
{
    for (const char* yes : {"Where is the settings button?", "can you point at the wifi icon", "show me the trash",
                            "How do I find my downloads", "what should I click to save", "Which button sends it?"})
        EXPECT_TRUE(PointedResponse::requestAsksForPointing(QString::fromUtf8(yes))) << yes;
    for (const char* no : {"What is the capital of France?", "summarise this page", "tell me a joke",
                           "is this appointment today"})
        EXPECT_FALSE(PointedResponse::requestAsksForPointing(QString::fromUtf8(no))) << no;

    const QString& voice = PointedResponse::voiceCompanionSystemPrompt();
    EXPECT_TRUE(voice.startsWith(QStringLiteral("You are Tovrik")));
    EXPECT_TRUE(voice.contains(QStringLiteral("[POINT:x,y:label:screenN]")));
    EXPECT_TRUE(voice.contains(QStringLiteral("[POINT:none]")));
    // The prompt's own example is a tag this parser takes.
    const int example = voice.lastIndexOf(QStringLiteral("Example: "));
    ASSERT_GE(example, 0);
    const auto parsed = PointedResponse::parse(voice.mid(example + 9), {shot(1, QSize(2560, 1440))});
    EXPECT_EQ(parsed.tagStatus, Status::Valid);
    EXPECT_EQ(parsed.point, QPointF(1830, 1012));

    const QString& pointing = PointedResponse::pointingOnlySystemPrompt();
    EXPECT_TRUE(pointing.contains(QStringLiteral("[POINT:x,y:label:screenN]")));
    EXPECT_TRUE(pointing.contains(QStringLiteral("[POINT:none]")));
    EXPECT_EQ(PointedResponse::pointingOnlyUserMessage(QStringLiteral(" where is wifi? "), QStringLiteral("Top right.")),
              QStringLiteral("Request: where is wifi?\nAnswer given: Top right.\nWhere should the companion cursor point?"));
}

TEST(PointedResponse, WireContractCarriesThePromptsVerbatim)
{
    QString root = qEnvironmentVariable("TOVRIK_SOURCE_DIR");
    if (root.isEmpty())
        root = QStringLiteral(TOVRIK_TEST_SOURCE_DIR);
    QFile file(root + QStringLiteral("/docs/hosted-api.md"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString doc = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(doc.contains(PointedResponse::voiceCompanionSystemPrompt()));
    EXPECT_TRUE(doc.contains(PointedResponse::pointingOnlySystemPrompt()));
    EXPECT_TRUE(doc.contains(PointedResponse::pointingOnlyUserMessage(QStringLiteral("<the user's request>"),
                                                                     QStringLiteral("<the spoken answer>"))));
}
