// Reading the model's step reply: the object, the aliases and readers, every
// refusal with its code and text, the action records' descriptions and the
// step request's texts. Then screenshot pixels to live displays on the sim
// backend: the point mapping, the refusals and their codes, and the detail
// crop's way back.

#include "autopilot/AutopilotStepRequest.h"
#include "autopilot/AutopilotTaskMemory.h"
#include "autopilot/UIAutopilotParsing.h"
#include "autopilot/UIAutopilotTargets.h"
#include "interaction/AsyncOutcome.h"
#include "interaction/ScreenCaptureService.h"
#include "support/SimFixture.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <limits>

namespace tovrik {
namespace {

using K = UIAutopilotActionKind;
using platform::sim::SimDisplays;

UIAutopilotAction action(const QString& json) { return parseUIAutopilotDecision(json).action; }

// The code and text of the error a reply raises; code -1 when none.
std::pair<int, QString> failure(const QString& reply)
{
    try {
        parseUIAutopilotDecision(reply);
    } catch (const TovrikError& e) {
        return {e.domain() == kUIAutopilotErrorDomain ? e.code() : -2, e.message()};
    }
    return {-1, {}};
}

TEST(DecisionParsing, ReadsLenientForms)
{
    const UIAutopilotAction right = action(R"({"action":{"type":"Right Click","x":"10","y":20}})");
    EXPECT_EQ(std::tuple(right.kind, right.imagePoint, right.button), std::tuple(K::rightClick, QPointF(10, 20), "right"));

    const UIAutopilotDecision d = parseUIAutopilotDecision(
        "Sure:\n```json\n{\"message\":\"  hi \",\"expected_result\":\" e \",\"verification\":{\"status\":\"confirmed\","
        "\"evidence\":\"seen\"},\"task_state\":{\"next_step\":\"x\"},\"action\":{\"type\":\"double-click\",\"x\":1,"
        "\"y\":2,\"screen\":\"2\"}}\n```");
    EXPECT_EQ(std::tuple(d.action.kind, d.action.screenNumber, d.message, d.expectedResult),
              std::tuple(K::doubleClick, 2, "hi", " e "));
    EXPECT_EQ(std::tuple(d.verificationStatus, d.verificationEvidence), std::tuple("confirmed", "seen"));
    ASSERT_TRUE(d.taskState);
    EXPECT_EQ(d.taskState->value("next_step").toString(), "x");

    // A flat reply: the top level is the action; the message falls back to the text.
    const UIAutopilotDecision flat = parseUIAutopilotDecision(R"({"action":"done","text":" all set "})");
    EXPECT_EQ(std::tuple(flat.action.kind, flat.action.success, flat.message), std::tuple(K::done, true, "all set"));

    EXPECT_EQ(action(R"({"type":"click","x":1,"y":1,"button":"middle"})").kind, K::middleClick);
    const UIAutopilotAction down = action(R"({"type":"mouse_down","x":1,"y":1,"button":"middle"})");
    EXPECT_EQ(std::tuple(down.kind, down.phase, down.button), std::tuple(K::click, "down", "middle"));
    EXPECT_EQ(action(R"({"type":"key","keys":"command + shift + z"})").key, "shift+command+z");
    EXPECT_EQ(action(R"({"type":"key","key":"enter","label":"send"})").key, "return");
    const UIAutopilotAction shift = action(R"({"type":"key_down","key":"shift"})");
    EXPECT_EQ(std::tuple(shift.phase, shift.key), std::tuple("down", "shift"));
    const UIAutopilotAction chord = action(R"({"type":"key","key":"c","modifiers":["cmd"]})");
    EXPECT_EQ(chord.key, "cmd+c");
    EXPECT_TRUE(chord.modifiers.isEmpty());
    const UIAutopilotAction zoom = action(R"({"type":"zoom","x":5,"y":6})");
    EXPECT_EQ(std::tuple(zoom.zoomWidth, zoom.zoomHeight, zoom.coordinateSpace), std::tuple(320, 240, "overview"));
    EXPECT_EQ(action(R"({"type":"input","x":1,"y":1,"text":"  "})").text, "  ");
    const UIAutopilotAction drag = action(R"({"type":"drop","x":1,"y":2,"to":{"x":"3","y":4},"toScreen":2})");
    EXPECT_EQ(std::tuple(drag.endImagePoint, drag.endScreenNumber), std::tuple(QPointF(3, 4), 2));
}

TEST(DecisionParsing, NumbersAndDefaults)
{
    struct Case {
        const char* json;
        qint64 pixels;
        qint64 ms;
    };
    const Case cases[] = {
        {R"({"type":"scroll","wheel_steps":-40})", 1920, 0},
        {R"({"type":"scroll","amount":-5000})", 2400, 0},
        {R"({"type":"scroll","pixels":-9223372036854775808})", 2400, 0},
        {R"({"type":"scroll"})", 700, 0},
        {R"({"type":"scroll","pixels":"1e3"})", 700, 0},
        {R"({"type":"scroll","pixels":1e300})", 700, 0},
        {R"({"type":"scroll","pixels":" -37 "})", 37, 0},
        {R"({"type":"wait"})", 700, 1000},
        {R"({"type":"wait","ms":99999})", 700, 8000},
        {R"({"type":"wait","ms":12.9})", 700, 12},
        {R"({"type":"hold","x":1,"y":1})", 700, 1500},
        {R"({"type":"drag","x":1,"y":1,"toX":2,"toY":2})", 700, 2000},
        {R"({"type":"click","x":1,"y":1})", 700, 0},
    };
    for (const Case& c : cases) {
        const UIAutopilotAction a = action(QString::fromUtf8(c.json));
        EXPECT_EQ(a.pixels, c.pixels) << c.json;
        EXPECT_EQ(a.milliseconds, c.ms) << c.json;
    }
    EXPECT_TRUE(action(R"({"type":"hold","x":1,"y":1})").isTimedHold);
    EXPECT_EQ(action(R"({"type":"scroll","direction":"sideways"})").direction, QStringLiteral("down"));
    EXPECT_EQ(action(R"({"type":"scroll","direction":" Up "})").direction, QStringLiteral("up"));

    // Only plain decimal text is a number.
    for (const char* text : {"0x10", "inf", "nan", "", "1,5", "12abc"})
        EXPECT_FALSE(readOptionalDouble(QJsonValue(QString::fromLatin1(text)))) << text;
    EXPECT_EQ(readOptionalDouble(QJsonValue(QStringLiteral(" 412.5\n"))), 412.5);
    EXPECT_EQ(readOptionalInt(QJsonValue(QStringLiteral("+7"))), 7);
    EXPECT_FALSE(readOptionalInt(QJsonValue(QStringLiteral("99999999999999999999"))));
    EXPECT_FALSE(readOptionalInt(QJsonValue(1e19)));
    EXPECT_EQ(readOptionalInt(QJsonValue(-9.9)), -9);
}

TEST(DecisionParsing, RefusalsCarryTheirCodesAndTexts)
{
    const std::pair<const char*, std::pair<int, const char*>> cases[] = {
        {R"(} no object {)", {8, "UI Autopilot did not return a JSON object."}},
        {R"({"type":"left_click","x":1,"y":1})", {7, "Unsupported UI Autopilot action: left_click"}},
        {R"({"type":"Click","x":1,"y":1,"button":"LEFT","modifiers":"x"})", {30, "Unsupported modifier."}},
        {R"({"type":"key","key":"enter"})", {15, "UI Autopilot must name the focused control before activating it with the keyboard."}},
        {R"({"type":"key","key":"cmd++a"})", {17, "UI Autopilot returned an unsupported keyboard shortcut."}},
        {R"({"type":"key","key":"a+b"})", {17, "UI Autopilot returned an unsupported keyboard shortcut."}},
        {R"({"type":"input","text":"hello"})", {18, "UI Autopilot input actions require exact target coordinates from the current screenshot."}},
        {R"({"type":"drag","points":[{"x":1,"y":1}]})", {30, "drag_path requires 2 to 256 points."}},
        {R"({"type":"click","x":1,"y":1,"points":[{"x":1,"y":1},{"x":2,"y":2}]})", {30, "drag_path requires 2 to 256 points."}},
        {R"({"type":"drag","points":[{"x":1,"y":1},{"y":2}]})", {30, "Each path point requires finite x and y."}},
        {R"({"type":"click","x":1,"y":1,"modifiers":"cmd +shift"})", {30, "Unsupported modifier."}},
        {R"({"type":"wait","modifiers":"shift"})", {30, "This action does not accept modifiers."}},
        {R"({"type":"click","x":1,"y":1,"button":"back"})", {30, "Invalid mouse button or missing drag endpoint."}},
        {R"({"type":"drag","x":1,"y":1})", {30, "Invalid mouse button or missing drag endpoint."}},
        {R"({"type":"input","x":1,"y":1,"text":""})", {30, "Literal input cannot be empty."}},
        {R"({"type":"done","success":"true"})", {30, "success must be true or false."}},
    };
    for (const auto& [json, expected] : cases)
        EXPECT_EQ(failure(QString::fromUtf8(json)), std::make_pair(expected.first, QString::fromUtf8(expected.second))) << json;
    // 257 path points.
    QString many = QStringLiteral("{\"type\":\"drag\",\"points\":[");
    for (int i = 0; i < 257; ++i)
        many += QStringLiteral("{\"x\":1,\"y\":1},");
    many.chop(1);
    EXPECT_EQ(failure(many + QStringLiteral("]}")).second, QStringLiteral("drag_path requires 2 to 256 points."));
    // A syntax error is the JSON parser's own (a recoverable domain).
    EXPECT_EQ(failure(QStringLiteral("{\"type\":}")).first, -2);
}

TEST(DecisionParsing, KeyChordsCanonicalise)
{
    const std::pair<const char*, const char*> cases[] = {
        {"cmd+shift+t", "shift+command+t"}, {"Ctrl + Alt + Page Up", "control+option+pageup"},
        {"shift", "shift"},                 {"control+shift", "control+shift"},
        {"super+l", "command+l"},           {"esc", "escape"},
        {"backspace", "delete"},            {"ArrowLeft", "left"},
    };
    for (const auto& [text, expected] : cases) {
        const auto chord = canonicalUIAutopilotKeyChord(QString::fromUtf8(text));
        ASSERT_TRUE(chord) << text;
        EXPECT_EQ(chord->text(), QString::fromUtf8(expected)) << text;
    }
    for (const char* bad : {"", "+a", "a+", "a+b"})
        EXPECT_FALSE(canonicalUIAutopilotKeyChord(QString::fromUtf8(bad))) << bad;
}

TEST(ActionRecords, KindsAndDescriptions)
{
    EXPECT_FALSE(actionKindFromRawValue(QStringLiteral("Click")));
    EXPECT_EQ(actionKindFromRawValue(QStringLiteral("zoom")), K::zoom);
    const std::pair<const char*, const char*> cases[] = {
        {R"({"type":"click","x":1,"y":1,"label":"   "})", "click target"},
        {R"({"type":"input","x":1,"y":1,"text":"héllo"})", "input 5 chars into field"},
        {R"({"type":"input","x":1,"y":1,"text":"👍🏽e","label":"Box"})", "input 2 chars into Box"},
        {R"({"type":"key_down","key":"shift"})", "key_down shift left"},
        {R"({"type":"mouse_up"})", "click_up  left"},
        {R"({"type":"drag_path","points":[{"x":1,"y":1},{"x":2,"y":2},{"x":3,"y":3}],"ms":600})", "drag_path 3 points, left, 600ms"},
        {R"({"type":"zoom","x":1,"y":1})", "zoom 320x240 on screen 1"},
        {R"({"type":"scroll","direction":"up","pixels":50})", "scroll up 50"},
        {R"({"type":"wait","ms":250})", "wait 250ms"},
        {R"({"type":"done","text":"ok"})", "done ok"},
    };
    for (const auto& [json, expected] : cases)
        EXPECT_EQ(action(QString::fromUtf8(json)).logDescription(), QString::fromUtf8(expected)) << json;
}

TEST(StepRequest, UserMessageAndSystemPrompt)
{
    const QString message = AutopilotStepRequest::userMessage(QStringLiteral("say </task>"), 1, QStringLiteral("{}"),
                                                               QStringLiteral("Held keys: []; mouse: none."), QString(),
                                                               QString());
    EXPECT_EQ(message, QStringLiteral("<task>say </task></task>\n\n<step>1</step>\n\n<history>\n{}\n</history>\n\nUse the "
                                      "attached screen images. Return exactly one JSON object.\nHeld keys: []; mouse: "
                                      "none.\n\nLast expected result: "));
    const QString& prompt = AutopilotStepRequest::systemPrompt();
    // 53 lines of 7113 characters (the desktop's lines reworded), then the
    // memory's instruction text.
    EXPECT_EQ(prompt.size(), 7113 + 1261);
    EXPECT_TRUE(prompt.endsWith(AutopilotTaskMemory::prompt()));
    EXPECT_TRUE(prompt.startsWith(QStringLiteral("you're tovrik UI Autopilot, a cautious desktop screen agent.\n\n")));
    EXPECT_EQ(prompt.left(7113).count(QLatin1Char('\n')), 53);
    for (const char* gone : {"macOS", "Finder", "Quartz", "cmd+t", "cmd+l"})
        EXPECT_FALSE(prompt.contains(QLatin1String(gone))) << gone;
    EXPECT_TRUE(prompt.contains(QStringLiteral("ctrl+l")));
    EXPECT_EQ(AutopilotStepRequest::workload, QStringLiteral("autopilot"));
    EXPECT_EQ(AutopilotStepRequest::timeoutInterval, 70);
}

class TargetResolution : public test::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true),
                                        SimDisplays::make(2, QRectF(1440, 100, 1920, 1080), 1.0)});
        service = std::make_unique<ScreenCaptureService>();
        auto out = test::runToEnd(service->captureAllScreens(false));
        ASSERT_TRUE(out->value);
        captures = *out->value;
        ASSERT_EQ(captures.size(), 2);
    }
    UIAutopilotTarget resolve(const char* json, const ScreenCapturePayloads& list)
    {
        const UIAutopilotAction a = parseUIAutopilotAction(QJsonDocument::fromJson(json).object());
        return resolveUIAutopilotTarget(a, list, std::nullopt, std::nullopt, *service);
    }
    int failureCode(const char* json, const ScreenCapturePayloads& list)
    {
        try {
            resolve(json, list);
        } catch (const TovrikError& e) {
            return e.code();
        }
        return 0;
    }
    std::unique_ptr<ScreenCaptureService> service;
    ScreenCapturePayloads captures;
};

TEST_F(TargetResolution, MapsPixelsOntoTheDisplayAndRefusesWhatItCannotPlace)
{
    ScreenCapturePayload retina = captures[0];
    retina.pixelSize = QSize(2880, 1800);
    const UIAutopilotTarget t = resolve(R"({"type":"click","x":1440,"y":900})", {retina});
    EXPECT_EQ(t.displayLocalPoint, QPointF(720, 450));
    EXPECT_EQ(t.displayID, 1u);
    EXPECT_EQ(resolve(R"({"type":"click","x":0,"y":0})", {retina}).displayLocalPoint, QPointF(0, 0));
    // The second display's global point adds its origin.
    EXPECT_EQ(globalPoint(resolve(R"({"type":"click","x":0,"y":0,"screen":2})", captures)), QPointF(1440, 100));

    EXPECT_EQ(failureCode(R"({"type":"click","x":2880,"y":10})", {retina}), 14);
    EXPECT_EQ(failureCode(R"({"type":"click","x":10,"y":10})", captures), 13);
    EXPECT_EQ(failureCode(R"({"type":"click","x":10,"y":10,"screen":3})", captures), 12);
    EXPECT_EQ(failureCode(R"({"type":"click","x":10,"y":10})", {}), 4);
    EXPECT_EQ(failureCode(R"({"type":"scroll"})", captures), 3);

    // A display changed or gone since the shot is refused.
    EXPECT_EQ(failureCode(R"({"type":"click","x":10,"y":10,"screen":2})", captures), 0);
    sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true),
                                    SimDisplays::make(2, QRectF(1440, 100, 1280, 720), 1.0)});
    test::drainEvents();
    EXPECT_EQ(failureCode(R"({"type":"click","x":10,"y":10,"screen":2})", captures), 16);
    sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true)});
    test::drainEvents();
    EXPECT_EQ(failureCode(R"({"type":"click","x":10,"y":10,"screen":1})", captures), 16);
}

TEST_F(TargetResolution, DetailPointsMapBackToTheOverview)
{
    AutopilotDetail detail;
    detail.capture = captures[0];
    detail.capture.pixelSize = QSize(1440, 900);
    detail.capture.nativePixelSize = QSize(2880, 1800);
    detail.region = QRectF(1000, 500, 400, 300);
    EXPECT_EQ(convertDetailPoint(detail, QPointF(100, 50)), QPointF(550, 275));
    for (QPointF bad : {QPointF(400, 10), QPointF(-1, 10), QPointF(qQNaN(), 1)}) {
        try {
            convertDetailPoint(detail, bad);
            ADD_FAILURE();
        } catch (const TovrikError& e) {
            EXPECT_EQ(e.message(), QStringLiteral("Point outside the current detail image."));
        }
    }
}

} // namespace
} // namespace tovrik
