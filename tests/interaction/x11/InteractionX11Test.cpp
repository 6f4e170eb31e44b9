// The interaction services on the real X server. The capture step: a known
// window comes back pixel for pixel at its place, and the overlay, drawn over
// it until the step begins, leaves no pixel in the screenshot and is back on
// screen afterwards. The hotkey monitor: keys of another seat (a second
// keyboard, a remote-desktop client) reach it, our own XTest keys do not.

#include "../AsyncOutcome.h"
#include "interaction/HotkeyMonitor.h"
#include "interaction/ScreenCaptureService.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Platform.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Platform.h"
#include "support/X11TestClients.h"

#include <X11/keysym.h>

#include <QCoreApplication>
#include <QPainter>
#include <QThread>
#include <QWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

using namespace tovrik;
using namespace tovrik::test;

namespace {

const QRect windowRect(300, 200, 400, 300);
const QColor quadrant[4] = {QColor(220, 20, 60), QColor(30, 160, 70), QColor(20, 60, 200), QColor(240, 200, 20)};

// The known window: four solid quadrants.
class Quadrants : public QWidget {
public:
    Quadrants()
    {
        setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
        setAttribute(Qt::WA_ShowWithoutActivating);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const int w = width() / 2, h = height() / 2;
        for (int q = 0; q < 4; ++q)
            p.fillRect(QRect(q % 2 ? w : 0, q / 2 ? h : 0, q % 2 ? width() - w : w, q / 2 ? height() - h : h), quadrant[q]);
    }
};

QImage grabRoot()
{
    auto& p = platform::Platform::get();
    const auto main = p.displays().mainDisplay();
    return main ? p.capture().captureDisplay(main->displayID) : QImage();
}

// The pixels of `image` that differ from the known window placed at `origin`.
int mismatches(const QImage& image, QPoint origin)
{
    int bad = 0;
    for (int y = 0; y < windowRect.height(); ++y)
        for (int x = 0; x < windowRect.width(); ++x) {
            const int q = (x < windowRect.width() / 2 ? 0 : 1) + (y < windowRect.height() / 2 ? 0 : 2);
            bad += image.pixelColor(origin.x() + x, origin.y() + y).rgb() != quadrant[q].rgb();
        }
    return bad;
}

} // namespace

TEST(ScreenCaptureX11, TheKnownWindowAtItsPlaceWithoutOverlayPixelsAndTheOverlayBackAfterwards)
{
    QString error;
    ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    Quadrants known;
    known.setGeometry(windowRect);
    known.show();
    ASSERT_TRUE(spinUntil([&] { return mismatches(grabRoot(), windowRect.topLeft()) == 0; }, 10000))
        << "the known window never appeared";
    // The pointer over the known window, so the overlay draws over it.
    platform::Platform::get().input().postMouse(platform::MouseEventKind::Move, platform::MouseButton::Left,
                                                QPointF(windowRect.center()), 0);
    overlay::OverlayWindowController overlay;
    overlay.showStatus(QStringLiteral("listening"), std::nullopt, false);
    ASSERT_TRUE(spinUntil([&] { return mismatches(grabRoot(), windowRect.topLeft()) > 0; }, 10000))
        << "the overlay never drew over the known window";
    // With a compositor, the pixels the capture watches are opaque pixels of
    // the overlay, each at its place on the screen (once the compositor has
    // drawn its latest frame: the waveform moves).
    auto& x11 = static_cast<platform::x11::X11Platform&>(platform::Platform::get());
    EXPECT_TRUE(!x11.compositorActive() || spinUntil([&] {
        const auto probes = overlay.screenCaptureProbes();
        const QImage root = grabRoot();
        return !probes.isEmpty() && std::all_of(probes.begin(), probes.end(), [&](const auto& p) {
            return (root.pixel(x11.x11Displays().pixelRect(p.displayID).topLeft() + p.pixel) | 0xff000000u) == p.color;
        });
    }, 10000)) << "the overlay's probes are not what the screen shows";

    ScreenCaptureService service;
    auto out = runToEnd(captureAllScreensForModel(&service, &overlay, /*includeNativeImage*/ true));
    ASSERT_TRUE(out->value) << describeException(out->error).toStdString();
    ASSERT_EQ(out->value->size(), platform::Platform::get().displays().displays().size());
    const ScreenCapturePayload* main = nullptr;
    for (const auto& p : *out->value)
        if (p.displayBounds.contains(QPointF(windowRect.center())))
            main = &p;
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(main->nativeImage.has_value());
    EXPECT_EQ(main->nativePixelSize, main->nativeImage->size());
    EXPECT_TRUE(service.screenConfigurationIsCurrent(*main));
    const QPoint origin = windowRect.topLeft() - main->displayBounds.topLeft().toPoint();
    EXPECT_EQ(mismatches(*main->nativeImage, origin), 0);
    // The JPEG shows the same (within JPEG error) at the quadrant centres.
    const QImage jpeg = QImage::fromData(main->imageData, "JPEG");
    ASSERT_EQ(jpeg.size(), main->pixelSize);
    const double sx = double(main->pixelSize.width()) / main->nativePixelSize.width();
    const double sy = double(main->pixelSize.height()) / main->nativePixelSize.height();
    for (int q = 0; q < 4; ++q) {
        const QPoint at = origin + QPoint((q % 2) * windowRect.width() / 2 + windowRect.width() / 4,
                                          (q / 2) * windowRect.height() / 2 + windowRect.height() / 4);
        const QRgb c = jpeg.pixel(int(at.x() * sx), int(at.y() * sy)), want = quadrant[q].rgb();
        for (const int shift : {16, 8, 0})
            EXPECT_NEAR(int(c >> shift & 0xff), int(want >> shift & 0xff), 16) << q;
    }
    EXPECT_TRUE(spinUntil([&] { return mismatches(grabRoot(), windowRect.topLeft()) > 0; }, 10000))
        << "the overlay did not come back";
}

namespace K = platform::KeyCode;
using Calls = std::vector<std::string>;

TEST(HotkeyMonitorX11Test, KeysOfAnotherSeatAreReportedOurOwnXTestKeysAreNot)
{
    QString error;
    ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    Calls calls;
    int offMainThread = 0;
    const auto record = [&](const char* what) -> std::function<void()> {
        return [&calls, &offMainThread, what] {
            offMainThread += QThread::currentThread() != QCoreApplication::instance()->thread();
            calls.push_back(what);
        };
    };
    HotkeyMonitor monitor;
    monitor.onShortcutPressed = record("pressed");
    monitor.onShortcutReleased = record("released");
    monitor.onPanelShortcutPressed = record("panel");
    monitor.onEscapePressed = record("escape");
    ASSERT_TRUE(monitor.start());
    const auto waitForCalls = [&](size_t n) { return spinUntil([&] { return calls.size() >= n; }, 10000); };

    SecondSeat other;
    ASSERT_TRUE(other.ok());
    // Control, Shift, Alt: the panel chord, passing through no exact
    // Control+Alt, so the voice chord does not go down. Then the voice chord.
    ASSERT_TRUE(other.chord({XK_Control_L, XK_Shift_L, XK_Alt_L}));
    ASSERT_TRUE(other.chord({XK_Control_L, XK_Alt_L}));
    ASSERT_TRUE(waitForCalls(3));
    EXPECT_EQ(calls, (Calls{"panel", "pressed", "released"}));
    // Our own synthetic input: the same chord and Esc, posted through XTest.
    auto& input = platform::Platform::get().input();
    ASSERT_TRUE(input.postKey(K::Control, true, platform::ModControl));
    ASSERT_TRUE(input.postKey(K::Option, true, platform::ModControl | platform::ModOption));
    ASSERT_TRUE(input.postKey(K::Option, false, platform::ModControl));
    ASSERT_TRUE(input.postKey(K::Control, false, 0));
    ASSERT_TRUE(input.postKey(K::Escape, true, 0));
    ASSERT_TRUE(input.postKey(K::Escape, false, 0));
    // Then a physical Esc of the other seat. Raw events arrive in order, so
    // once it is here anything of ours would have been reported before it.
    ASSERT_TRUE(other.tap(XK_Escape));
    ASSERT_TRUE(waitForCalls(4));
    test::drainEvents();
    EXPECT_EQ(calls, (Calls{"panel", "pressed", "released", "escape"}));
    EXPECT_EQ(offMainThread, 0);
}
