#include "AsyncOutcome.h"
#include "interaction/JpegEncoder.h"
#include "interaction/ScreenCaptureAttachments.h"
#include "interaction/ScreenCaptureService.h"

#include <QImage>
#include <QStringList>
#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::test;
using platform::sim::SimCapture;
using platform::sim::SimDisplays;

namespace {

void expectNear(QColor actual, QColor expected, int tolerance = 12)
{
    for (const auto channel : {&QColor::red, &QColor::green, &QColor::blue})
        EXPECT_NEAR((actual.*channel)(), (expected.*channel)(), tolerance) << actual.name().toStdString();
}

class ScreenCaptureTest : public SimTest {
protected:
    // Two displays side by side: a Retina-like main one and a plain one.
    void useTwoDisplays()
    {
        sim->simDisplays().setDisplays({SimDisplays::make(7, QRectF(0, 0, 1440, 900), 2.0, true),
                                        SimDisplays::make(9, QRectF(1440, 0, 1920, 1080), 1.0)});
    }

    ScreenCapturePayloads capture(ScreenCaptureService& service, bool native = false)
    {
        auto out = runToEnd(service.captureAllScreens(native));
        EXPECT_TRUE(out->done);
        if (out->error) {
            ADD_FAILURE() << describeException(out->error).toStdString();
            return {};
        }
        return *out->value;
    }

    static QColor decodedPixel(const ScreenCapturePayload& p, int x, int y)
    {
        return QImage::fromData(p.imageData, "JPEG").pixelColor(x, y);
    }
};

} // namespace

TEST(JpegEncoder, ScreenshotSizeKeepsTheLongestSideWithinLimitAndTheEncoderGivesADecodableJpeg)
{
    // At the limit untouched, never scaled up, 1705.81 rounded up, never collapsed to 0.
    const std::pair<QSize, QSize> cases[] = {{{5120, 2880}, {2560, 1440}}, {{2880, 5120}, {1440, 2560}},
                                             {{2560, 1600}, {2560, 1600}}, {{1280, 800}, {1280, 800}},
                                             {{3840, 2160}, {2560, 1440}}, {{3000, 1999}, {2560, 1706}},
                                             {{100000, 1}, {2560, 1}}};
    for (const auto& [in, out] : cases)
        EXPECT_EQ(jpeg::screenshotSize(in), out) << in.width() << "x" << in.height();
    EXPECT_FALSE(jpeg::screenshotSize(QSize(0, 0)).isValid() && !jpeg::screenshotSize(QSize(0, 0)).isEmpty());
    // RGB32 and another pixel format (converted, not misread).
    for (const auto format : {QImage::Format_RGB32, QImage::Format_RGB888}) {
        QImage image(64, 48, format);
        image.fill(QColor(200, 30, 90));
        const QByteArray jpeg = jpeg::encode(image);
        ASSERT_TRUE(jpeg.startsWith("\xFF\xD8")); // SOI
        const QImage decoded = QImage::fromData(jpeg, "JPEG");
        ASSERT_EQ(decoded.size(), QSize(64, 48));
        expectNear(decoded.pixelColor(32, 24), QColor(200, 30, 90), 8);
    }
    EXPECT_TRUE(jpeg::encode(QImage()).isEmpty());
}

TEST_F(ScreenCaptureTest, PayloadCarriesEveryFieldPerDisplay)
{
    useTwoDisplays();
    sim->simDisplays().setPointerLocation(QPointF(2000, 500)); // on display 9
    platform::ForegroundInfo fg;
    fg.processID = 4242;
    fg.bundleIdentifier = QStringLiteral("Gedit");
    fg.frontWindowSignature = QStringLiteral("window:0x1200007:Untitled");
    fg.focusedElementSignature = QStringLiteral("focus:0x1200009");
    sim->simCapture().setForeground(fg);

    ScreenCaptureService service;
    const auto payloads = capture(service);
    ASSERT_EQ(payloads.size(), 2);

    const auto& a = payloads[0];
    const auto& b = payloads[1];
    // The frame is y up from the bottom of the main display (900 high).
    EXPECT_EQ(std::make_tuple(a.displayID, a.screen.displayID, a.screenNumber, a.displayBounds, a.screenFrame, a.scale),
              std::make_tuple(7u, 7u, 1, QRectF(0, 0, 1440, 900), QRectF(0, 0, 1440, 900), 2.0));
    EXPECT_EQ(std::make_tuple(b.displayID, b.screenNumber, b.displayBounds, b.screenFrame, b.scale),
              std::make_tuple(9u, 2, QRectF(1440, 0, 1920, 1080), QRectF(1440, 900 - 1080, 1920, 1080), 1.0));
    EXPECT_EQ(std::make_tuple(a.nativePixelSize, a.pixelSize, b.nativePixelSize, b.pixelSize),
              std::make_tuple(QSize(2880, 1800), QSize(2560, 1600), QSize(1920, 1080), QSize(1920, 1080)));
    EXPECT_FALSE(a.isCursorScreen || a.nativeImage || b.nativeImage);
    EXPECT_TRUE(b.isCursorScreen);
    EXPECT_EQ(a.imageLabel, QStringLiteral("Screen 1 of 2 (2560x1600 pixels, main display)"));
    EXPECT_EQ(b.imageLabel, QStringLiteral("Screen 2 of 2 (1920x1080 pixels, the mouse pointer is on this screen)"));
    const ScreenCaptureForegroundContext foreground{4242, "Gedit", fg.frontWindowSignature, fg.focusedElementSignature};
    EXPECT_TRUE(a.foregroundContext == foreground && b.foregroundContext == foreground);
    EXPECT_EQ(a.screenConfigurationRevision, service.screenConfigurationRevision());
    EXPECT_EQ(a.displayConfigurationSignature, b.displayConfigurationSignature);
    EXPECT_FALSE(a.displayConfigurationSignature.isEmpty());
    // Each JPEG holds its own display's pixels (the blue channel is keyed by id),
    // the scaled one the same picture: its corners and middle.
    const QSize native(2880, 1800);
    for (const auto& [x, y] : {std::pair{0, 0}, {2559, 1599}, {1280, 800}, {10, 10}})
        expectNear(decodedPixel(a, x, y), SimCapture::patternColor(7, x * 2880 / 2560, y * 1800 / 1600, native));
    expectNear(decodedPixel(b, 1900, 1060), SimCapture::patternColor(9, 1900, 1060, QSize(1920, 1080)));
    // Asked for, the native images come along at their native sizes.
    for (const ScreenCapturePayload& p : capture(service, /*native*/ true))
        EXPECT_EQ(p.nativeImage.value_or(QImage()).size(), p.nativePixelSize);

    const auto attachments = makeScreenCaptureAttachments(payloads);
    ASSERT_EQ(attachments.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(attachments[i].imageData, payloads[i].imageData);
        EXPECT_EQ(attachments[i].imageLabel, payloads[i].imageLabel);
    }
    EXPECT_TRUE(makeScreenCaptureAttachments({}).isEmpty());
}

TEST_F(ScreenCaptureTest, ForModelTakesOverlayOffScreenUntilFramesAreTaken)
{
    useTwoDisplays();
    ScreenCaptureService service;
    QStringList calls;
    ScreenCaptureOverlayHooks hooks;
    const QList<platform::RepaintProbe> probes{{7, QPoint(3, 4), 0xff2f7df6}};
    hooks.probes = [&] {
        calls << QStringLiteral("probes");
        return probes;
    };
    hooks.suspend = [&] {
        calls << QStringLiteral("suspend sync=%1 captures=%2")
                     .arg(sim->simCapture().syncCount())
                     .arg(sim->simCapture().captureCount());
        return true;
    };
    hooks.resume = [&](bool wasSuspended) {
        calls << QStringLiteral("resume %1 sync=%2 captures=%3")
                     .arg(wasSuspended)
                     .arg(sim->simCapture().syncCount())
                     .arg(sim->simCapture().captureCount());
    };
    auto out = runToEnd(captureAllScreensForModel(&service, hooks, false));
    ASSERT_TRUE(out->value) << describeException(out->error).toStdString();
    EXPECT_EQ(out->value->size(), 2);
    // The overlay's opaque pixels are read while it shows and watched for;
    // then off screen, the server is synchronised, both displays are
    // grabbed, and the overlay comes back.
    EXPECT_EQ(calls, QStringList({"probes", "suspend sync=0 captures=0", "resume 1 sync=1 captures=2"}));
    EXPECT_EQ(sim->simCapture().watchedProbes(), probes);
    // A failing capture still puts the overlay back, with what suspend said.
    calls.clear();
    hooks.suspend = [&] {
        calls << QStringLiteral("suspend");
        return false;
    };
    sim->simCapture().setFailing(7, true);
    runToEnd(captureAllScreensForModel(&service, hooks, false))
        ->expectError("TovrikScreenCapture", ScreenCaptureService::CaptureFailed);
    ASSERT_EQ(calls.size(), 3);
    EXPECT_TRUE(calls[2].startsWith(QStringLiteral("resume 0")));
    // A service that is gone is a cancellation, not a crash.
    auto gone = runToEnd(captureAllScreensForModel(nullptr, hooks, false));
    EXPECT_TRUE(gone->cancelled());
}

TEST_F(ScreenCaptureTest, ConfigurationIsCurrentUntilScreensChangeThePointersScreenAndFailures)
{
    useTwoDisplays();
    ScreenCaptureService service;
    const auto payloads = capture(service);
    ASSERT_EQ(payloads.size(), 2);
    EXPECT_TRUE(service.screenConfigurationIsCurrent(payloads[0]));
    EXPECT_TRUE(service.screenConfigurationIsCurrent(payloads[1]));
    // A payload whose recorded geometry differs is not current.
    auto edited = payloads[1];
    edited.displayBounds.translate(1, 0);
    EXPECT_FALSE(service.screenConfigurationIsCurrent(edited));
    edited = payloads[1];
    edited.displayID = 99;
    EXPECT_FALSE(service.screenConfigurationIsCurrent(edited));
    // The same geometry announced again: the revision moved on.
    useTwoDisplays();
    EXPECT_FALSE(service.screenConfigurationIsCurrent(payloads[0]));
    const auto again = capture(service);
    ASSERT_EQ(again.size(), 2);
    EXPECT_TRUE(service.screenConfigurationIsCurrent(again[1]));
    EXPECT_GT(again[1].screenConfigurationRevision, payloads[1].screenConfigurationRevision);
    // The second display moves below the first.
    sim->simDisplays().setDisplays({SimDisplays::make(7, QRectF(0, 0, 1440, 900), 2.0, true),
                                    SimDisplays::make(9, QRectF(0, 900, 1920, 1080), 1.0)});
    EXPECT_FALSE(service.screenConfigurationIsCurrent(again[0]));
    EXPECT_FALSE(service.screenConfigurationIsCurrent(again[1]));
    // The pointer's screen, side by side again: the shared edge belongs to the
    // display that starts there; below the shorter display, beside the
    // taller one, is on no screen (id 0).
    useTwoDisplays();
    const std::pair<QPointF, uint32_t> cases[] = {
        {{100, 100}, 7}, {{1440, 10}, 9}, {{1439.5, 10}, 7}, {{700, 1000}, 0}, {{2000, 1000}, 9}};
    for (const auto& [point, id] : cases) {
        sim->simDisplays().setPointerLocation(point);
        const auto screen = service.screenForCurrentPointer();
        EXPECT_EQ(screen ? screen->displayID : 0u, id) << point.x() << "," << point.y();
    }
    // A failing display or none at all are screen capture errors.
    sim->simCapture().setFailing(9, true);
    auto failed = runToEnd(service.captureAllScreens(false));
    failed->expectError("TovrikScreenCapture", ScreenCaptureService::CaptureFailed);
    EXPECT_EQ(describeException(failed->error), QStringLiteral("Could not capture screen 2."));
    sim->simDisplays().setDisplays({});
    runToEnd(service.captureAllScreens(false))->expectError("TovrikScreenCapture", ScreenCaptureService::NoDisplays);
    // The service going away while the screenshots encode ends the capture as
    // a cancellation instead of touching freed state.
    sim->simCapture().setFailing(9, false);
    useTwoDisplays();
    auto doomed = std::make_unique<ScreenCaptureService>();
    auto pending = launch(doomed->captureAllScreens(false));
    EXPECT_FALSE(pending->done);
    doomed.reset();
    ASSERT_TRUE(spinUntil([&] { return pending->done; }));
    EXPECT_TRUE(pending->cancelled());
}

TEST_F(ScreenCaptureTest, WarmedBuffersAreKeptLikeACapturesAndGivenBackAfterTheSameDelay)
{
    useTwoDisplays();
    ScreenCaptureService service;
    auto& capture = sim->simCapture();
    // A turn about to start readies every display's buffers once; more
    // typing while they are kept asks nothing more of the display server.
    service.warmBuffers().waitForFinished();
    EXPECT_EQ(capture.warmCount(), 1);
    EXPECT_EQ(capture.warmedDisplays(), (QList<uint32_t>{7, 9}));
    service.warmBuffers().waitForFinished();
    EXPECT_EQ(capture.warmCount(), 1);
    // Unused, they go after the delay a capture's buffers are kept.
    advance(ScreenCaptureService::bufferKeepSeconds - 0.5, 0.5);
    EXPECT_EQ(capture.releaseCount(), 0);
    advance(1.0, 0.5);
    EXPECT_EQ(capture.releaseCount(), 1);
    advance(60.0, 5.0);
    EXPECT_EQ(capture.releaseCount(), 1);
    // Warmed again, then used by a capture: the delay runs from the capture.
    service.warmBuffers().waitForFinished();
    EXPECT_EQ(capture.warmCount(), 2);
    advance(10.0, 0.5);
    ASSERT_EQ(this->capture(service).size(), 2);
    advance(ScreenCaptureService::bufferKeepSeconds - 0.5, 0.5);
    EXPECT_EQ(capture.releaseCount(), 1);
    advance(1.0, 0.5);
    EXPECT_EQ(capture.releaseCount(), 2);
    // Without displays there is nothing to ready.
    sim->simDisplays().setDisplays({});
    service.warmBuffers().waitForFinished();
    EXPECT_EQ(capture.warmCount(), 2);
}
