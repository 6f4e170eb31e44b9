// The capture step on the real X server: a known window comes back pixel for
// pixel at its place, and a window standing in for the overlay, shown on top
// of it until the step begins, leaves no pixel in the screenshot.

#include "../AsyncOutcome.h"
#include "interaction/ScreenCaptureService.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Platform.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Platform.h"

#include <QGuiApplication>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

const QRect windowRect(300, 200, 400, 300);
const QRect overlayRect(420, 260, 200, 150); // overlaps all four quadrants
const QColor quadrant[4] = {QColor(220, 20, 60), QColor(30, 160, 70), QColor(20, 60, 200), QColor(240, 200, 20)};
const QColor overlayColor(255, 0, 255);

// Expected colour of the known window at a local pixel.
QColor expected(int x, int y)
{
    const int index = (x < windowRect.width() / 2 ? 0 : 1) + (y < windowRect.height() / 2 ? 0 : 2);
    return quadrant[index];
}

class Solid : public QWidget {
public:
    explicit Solid(bool quadrants) : m_quadrants(quadrants)
    {
        setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
        setAttribute(Qt::WA_ShowWithoutActivating);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        if (!m_quadrants) {
            p.fillRect(rect(), overlayColor);
            return;
        }
        const int w = width() / 2, h = height() / 2;
        p.fillRect(QRect(0, 0, w, h), quadrant[0]);
        p.fillRect(QRect(w, 0, width() - w, h), quadrant[1]);
        p.fillRect(QRect(0, h, w, height() - h), quadrant[2]);
        p.fillRect(QRect(w, h, width() - w, height() - h), quadrant[3]);
    }

private:
    bool m_quadrants;
};

// Sends what Qt queued to the server and waits for it to be processed.
void flushQt()
{
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t* c = x11->connection();
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
}

QImage grabRoot()
{
    auto& p = platform::Platform::get();
    const auto main = p.displays().mainDisplay();
    return main ? p.capture().captureDisplay(main->displayID) : QImage();
}

int mismatches(const QImage& image, QPoint origin)
{
    int bad = 0;
    for (int y = 0; y < windowRect.height(); ++y)
        for (int x = 0; x < windowRect.width(); ++x)
            if (image.pixelColor(origin.x() + x, origin.y() + y).rgb() != expected(x, y).rgb())
                ++bad;
    return bad;
}

class ScreenCaptureX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        known.setGeometry(windowRect);
        known.show();
        flushQt();
        ASSERT_TRUE(spinUntil([&] { return mismatches(grabRoot(), windowRect.topLeft()) == 0; }, 10000))
            << "the known window never appeared";
    }
    Solid known{true};
};

} // namespace

TEST_F(ScreenCaptureX11, KnownWindowAtItsPlaceWithoutOverlayPixels)
{
    Solid overlay(false);
    overlay.setGeometry(overlayRect);
    overlay.show();
    flushQt();
    // The stand-in really covers the window before the capture step.
    const auto overlayShown = [&] { return grabRoot().pixelColor(overlayRect.center()).rgb() == overlayColor.rgb(); };
    ASSERT_TRUE(spinUntil(overlayShown, 10000)) << "the overlay stand-in never appeared";
    EXPECT_GT(mismatches(grabRoot(), windowRect.topLeft()), 0);

    int suspends = 0, resumes = 0;
    ScreenCaptureOverlayHooks hooks;
    hooks.suspend = [&] {
        ++suspends;
        overlay.hide();
        flushQt();
        return true;
    };
    hooks.resume = [&](bool wasSuspended) {
        ++resumes;
        EXPECT_TRUE(wasSuspended);
        overlay.show();
        flushQt();
    };

    ScreenCaptureService service;
    auto out = runToEnd(captureAllScreensForModel(&service, hooks, /*includeNativeImage*/ true));
    ASSERT_TRUE(out->done);
    ASSERT_FALSE(out->error) << describeException(out->error).toStdString();
    EXPECT_EQ(suspends, 1);
    EXPECT_EQ(resumes, 1);
    EXPECT_TRUE(overlay.isVisible());

    const auto& payloads = *out->value;
    const auto displays = platform::Platform::get().displays().displays();
    ASSERT_EQ(payloads.size(), displays.size());
    const ScreenCapturePayload* main = nullptr;
    for (const auto& p : payloads)
        if (p.displayBounds.contains(QPointF(windowRect.center())))
            main = &p;
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(main->nativeImage.has_value());
    EXPECT_EQ(main->nativePixelSize, main->nativeImage->size());
    EXPECT_TRUE(service.screenConfigurationIsCurrent(*main));

    // Every pixel of the known window, at its place, and none of the overlay.
    const QPoint origin = windowRect.topLeft() - main->displayBounds.topLeft().toPoint();
    EXPECT_EQ(mismatches(*main->nativeImage, origin), 0);

    // The JPEG shows the same (within JPEG error) at the quadrant centres.
    const QImage jpeg = QImage::fromData(main->imageData, "JPEG");
    ASSERT_EQ(jpeg.size(), main->pixelSize);
    const double sx = double(main->pixelSize.width()) / main->nativePixelSize.width();
    const double sy = double(main->pixelSize.height()) / main->nativePixelSize.height();
    for (int q = 0; q < 4; ++q) {
        const QPoint local((q % 2) * windowRect.width() / 2 + windowRect.width() / 4,
                           (q / 2) * windowRect.height() / 2 + windowRect.height() / 4);
        const QPoint at = origin + local;
        const QRgb c = jpeg.pixel(int(at.x() * sx), int(at.y() * sy)), want = quadrant[q].rgb();
        for (const int shift : {16, 8, 0})
            EXPECT_NEAR(int(c >> shift & 0xff), int(want >> shift & 0xff), 16) << q;
    }

    // The overlay is back on screen afterwards.
    flushQt();
    EXPECT_TRUE(spinUntil(overlayShown, 10000));
}

TEST_F(ScreenCaptureX11, RealOverlayControllerIsSuspendedAndResumed)
{
    // The pointer over the known window, so the overlay draws beside it.
    platform::Platform::get().input().postMouse(platform::MouseEventKind::Move, platform::MouseButton::Left,
                                                QPointF(windowRect.center()), 0);
    overlay::OverlayWindowController overlay;
    overlay.showStatus(QStringLiteral("listening"), std::nullopt, false);
    // The overlay's windows draw over the known window before the step.
    ASSERT_TRUE(spinUntil([&] { return mismatches(grabRoot(), windowRect.topLeft()) > 0; }, 10000))
        << "the overlay never drew over the known window";
    // With a compositor, the pixels the capture watches are opaque pixels of
    // the overlay, each at its place on the screen (once the compositor has
    // drawn its latest frame: the waveform moves).
    auto& x11 = static_cast<platform::x11::X11Platform&>(platform::Platform::get());
    EXPECT_TRUE(!x11.compositorActive() || spinUntil(
        [&] {
            const auto probes = overlay.screenCaptureProbes();
            const QImage root = grabRoot();
            return !probes.isEmpty() && std::all_of(probes.begin(), probes.end(), [&](const auto& p) {
                const QPoint at = x11.x11Displays().pixelRect(p.displayID).topLeft() + p.pixel;
                return (root.pixel(at) | 0xff000000u) == p.color;
            });
        },
        10000));
    ScreenCaptureService service;
    auto out = runToEnd(captureAllScreensForModel(&service, &overlay, true));
    ASSERT_TRUE(out->done);
    ASSERT_FALSE(out->error) << describeException(out->error).toStdString();
    ASSERT_FALSE(out->value->isEmpty());
    const auto& main = out->value->first();
    const QPoint origin = windowRect.topLeft() - main.displayBounds.topLeft().toPoint();
    ASSERT_TRUE(main.nativeImage.has_value());
    EXPECT_EQ(mismatches(*main.nativeImage, origin), 0);
    // And it is back on screen afterwards.
    EXPECT_TRUE(spinUntil([&] { return mismatches(grabRoot(), windowRect.topLeft()) > 0; }, 10000));
}
