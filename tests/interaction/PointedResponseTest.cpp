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
    std::tie(p.screenNumber, p.pixelSize, p.displayID) = std::make_tuple(number, size, uint32_t(100 + number));
    return p;
}

const ScreenCapturePayloads twoScreens = {shot(1, QSize(2560, 1440)), shot(2, QSize(1920, 1080))};
const ScreenCapturePayloads oneScreen = {shot(1, QSize(1280, 800))};

} // namespace

TEST(PointedResponse, WellFormedAndLenientTagsGiveThePointATagWithoutOneSaysWhyAndOnlyItsGapClosesWhenRemoved)
{
    struct Case {
        const char* reply;
        QPointF point;
        const char* label;
        int screen;
        const char* spoken;
        const ScreenCapturePayloads* captures;
    };
    const Case cases[] = {
        {"Click the blue Save button. [POINT:1830,1012:Save button:screen2]", {1830, 1012}, "Save button", 2,
         "Click the blue Save button.", &twoScreens},
        {"It's here [point: (12.5, 40) : File menu : Screen 1]", {12.5, 40}, "File menu", 1, "It's here", &twoScreens},
        {"Here. [POINT:10,20:search field:screen=2]", {10, 20}, "search field", 2, "Here.", &twoScreens},
        {"Here. [ POINT : 0 , 0 : corner : screen #2 ]", {0, 0}, "corner", 2, "Here.", &twoScreens},
        {"[POINT:5,6:screen2]", {5, 6}, "", 2, "", &twoScreens},
        {"[POINT:1919,1079:last pixel:screen2] is the spot", {1919, 1079}, "last pixel", 2, "is the spot", &twoScreens},
        {"Colons. [POINT:7,8:Time: 12:00 clock:screen1]", {7, 8}, "Time: 12:00 clock", 1, "Colons.", &twoScreens},
        // The last tag counts; every tag leaves the text.
        {"Ignore the first. [POINT:1,1:old:screen1] Use this. [POINT:2,2:new:screen2]", {2, 2}, "new", 2,
         "Ignore the first. Use this.", &twoScreens},
        // One screenshot: the screen may go unnamed.
        {"There. [POINT:640,400:dock]", {640, 400}, "dock", 1, "There.", &oneScreen},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        const auto r = PointedResponse::parse(QString::fromUtf8(c.reply), *c.captures);
        EXPECT_EQ(std::make_tuple(r.tagStatus, r.point, r.pointLabel, r.screenNumber, r.spokenText),
                  std::make_tuple(Status::Valid, std::optional<QPointF>(c.point), QString::fromUtf8(c.label),
                                  std::optional<int>(c.screen), QString::fromUtf8(c.spoken)));
        EXPECT_FALSE(r.rejection().has_value());
        const auto capture = r.pointedCapture(*c.captures);
        ASSERT_TRUE(capture.has_value());
        EXPECT_EQ(capture->displayID, uint32_t(100 + c.screen));
    }
    // A tag without a point says why, and is never spoken.
    const QByteArray huge(330, '9');
    const std::pair<QByteArray, Status> rejected[] = {
        {"  ", Status::Absent},
        {"[POINT:none]", Status::NoPoint},
        {"[point: NONE ]", Status::NoPoint},
        {"[POINT:left side:screen1]", Status::Malformed},
        {"[POINT:12;40:menu:screen1]", Status::Malformed},
        {"[POINT:12:screen1]", Status::Malformed},
        {"[POINT:]", Status::Malformed},
        {"[POINT:0x10,20:menu:screen1]", Status::Malformed},
        {"[POINT:1e3,20:menu:screen1]", Status::Malformed},
        {"[POINT:100,200:menu", Status::Malformed}, // cut off by the end of the stream
        {"[POINT:1920,10:edge:screen2]", Status::OutOfRange}, // x == width
        {"[POINT:10,1080:edge:screen2]", Status::OutOfRange}, // y == height
        {"[POINT:-1,10:left:screen2]", Status::OutOfRange},
        {"[POINT:10,-0.5:top:screen2]", Status::OutOfRange},
        {"[POINT:2000,100:beyond:screen2]", Status::OutOfRange}, // inside screen 1's size only
        {"[POINT:" + huge + ",1:huge:screen1]", Status::OutOfRange},
        {"[POINT:10,10:x:screen3]", Status::UnknownScreen},
        {"[POINT:10,10:x:screen0]", Status::UnknownScreen},
        {"[POINT:10,10:x:screen99999999999999999999]", Status::UnknownScreen},
        {"[POINT:10,10:x]", Status::AmbiguousScreen},
    };
    for (const auto& [tag, status] : rejected) {
        const QString reply = QStringLiteral("Here. ") + QString::fromUtf8(tag);
        SCOPED_TRACE(reply.toStdString());
        const auto r = PointedResponse::parse(reply, twoScreens);
        EXPECT_EQ(r.tagStatus, status);
        EXPECT_EQ(r.spokenText, QStringLiteral("Here."));
        EXPECT_FALSE(r.point || r.screenNumber || r.pointedCapture(twoScreens));
        const auto error = r.rejection();
        EXPECT_EQ(error.has_value(), status != Status::Absent && status != Status::NoPoint);
        if (!error) {
            EXPECT_NO_THROW(PointedResponse::parseStrict(reply, twoScreens));
            continue;
        }
        EXPECT_EQ(error->domain(), QStringLiteral("TovrikPointing"));
        EXPECT_EQ(error->code(), int(status));
        try {
            PointedResponse::parseStrict(reply, twoScreens);
            ADD_FAILURE() << "a rejected tag was accepted";
        } catch (const TovrikError& e) {
            EXPECT_EQ(e.code(), int(status));
            EXPECT_EQ(e.message(), error->message());
        }
    }
    EXPECT_EQ(PointedResponse::parse(QStringLiteral("[POINT:10,10:x:screen7]"), twoScreens).rejection()->message(),
              QStringLiteral("The point names a screen that was not captured."));
    // No screenshots at all: nothing can be pointed at.
    EXPECT_EQ(PointedResponse::parse(QStringLiteral("[POINT:1,1:x]"), {}).tagStatus, Status::UnknownScreen);
    // A bracket that is not a point tag is ordinary text.
    const auto other = PointedResponse::parse(QStringLiteral("Press [Ctrl] and S."), twoScreens);
    EXPECT_EQ(other.tagStatus, Status::Absent);
    EXPECT_EQ(other.spokenText, QStringLiteral("Press [Ctrl] and S."));
    // Only the gap of a removed tag closes.
    const std::pair<const char*, const char*> gaps[] = {
        {"Give the file the extension .txt and save it.", "Give the file the extension .txt and save it."},
        {"Type cd .. to go up , then  wait ! [POINT:none]", "Type cd .. to go up , then  wait !"},
        {"Click here [POINT:1,2:x:screen1].", "Click here."},
        {"Click [POINT:1,2:x:screen1] here, then [POINT:none]\nsave.", "Click here, then\nsave."},
        {"One.\n[POINT:none] Two", "One.\nTwo"},
        {"Glued[POINT:none]word", "Gluedword"},
    };
    for (const auto& [reply, spoken] : gaps)
        EXPECT_EQ(PointedResponse::parse(QString::fromUtf8(reply), twoScreens).spokenText, QString::fromUtf8(spoken))
            << reply;
}

TEST(PointedResponse, PointingRequestsAndPromptsWhichTheWireContractCarriesVerbatim)
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
    // The point of the pointing-only reply joins the answer, which is kept.
    const auto merged = PointedResponse::parse(QStringLiteral("It is in the top bar."), twoScreens)
                            .withPointFrom(PointedResponse::parse(QStringLiteral("[POINT:100,12:top bar:screen1]"), twoScreens));
    EXPECT_EQ(std::make_tuple(merged.spokenText, merged.point, merged.pointLabel, merged.screenNumber, merged.tagStatus),
              std::make_tuple(QStringLiteral("It is in the top bar."), std::optional<QPointF>(QPointF(100, 12)),
                              QStringLiteral("top bar"), std::optional<int>(1), Status::Valid));
    // The wire contract carries the prompts verbatim.
    QString root = qEnvironmentVariable("TOVRIK_SOURCE_DIR");
    if (root.isEmpty())
        root = QStringLiteral(TOVRIK_TEST_SOURCE_DIR);
    QFile file(root + QStringLiteral("/docs/hosted-api.md"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString doc = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(doc.contains(PointedResponse::voiceCompanionSystemPrompt()));
    EXPECT_TRUE(doc.contains(PointedResponse::pointingOnlySystemPrompt()));
    EXPECT_TRUE(doc.contains(PointedResponse::pointingOnlyUserMessage("<the user's request>", "<the spoken answer>")));
}
