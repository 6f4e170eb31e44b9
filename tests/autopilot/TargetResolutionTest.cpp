// Screenshot pixels to live displays on the sim backend: the point mapping,
// the refusals and their codes, and the detail crop's way back.

#include "autopilot/UIAutopilotParsing.h"
#include "autopilot/UIAutopilotTargets.h"
#include "interaction/AsyncOutcome.h"
#include "interaction/ScreenCaptureService.h"
#include "support/SimFixture.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

namespace tovrik::test {
namespace {

using platform::sim::SimDisplays;

class TargetResolution : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true),
                                        SimDisplays::make(2, QRectF(1440, 100, 1920, 1080), 1.0)});
        service = std::make_unique<ScreenCaptureService>();
        auto out = runToEnd(service->captureAllScreens(false));
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
    drainEvents();
    EXPECT_EQ(failureCode(R"({"type":"click","x":10,"y":10,"screen":2})", captures), 16);
    sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true)});
    drainEvents();
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
} // namespace tovrik::test
