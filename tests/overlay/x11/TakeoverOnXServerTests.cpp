// The UI Autopilot look on a real X server with two RandR monitors, the main
// one away from the root origin: every screen shows the edge glow, the frame
// and the centred banner while the rest of the desktop stays as it was;
// clicks reach the window below; the autopilot cursor lands on its point;
// the look is gone once the run ends. Once with the test command's
// compositor, once on a private server without one (nothing may turn black).

#include "common/Clock.h"
#include "overlay/OverlayCoordinates.h"
#include "overlay/OverlayWindowController.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "DeskWindow.h"
#include "../PaintedImage.h"
#include "support/PrivateXServer.h"
#include "support/SimFixture.h"

#include <QGuiApplication>
#include <QLineF>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace tovrik;
using namespace tovrik::test;

namespace {

QColor at(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }
bool isDesk(const QColor& c) { return tovrik::test::isDesk(c.rgb()); }
bool near(const QColor& c, QColor e, int tolerance)
{
    return std::abs(c.red() - e.red()) <= tolerance && std::abs(c.green() - e.green()) <= tolerance
        && std::abs(c.blue() - e.blue()) <= tolerance;
}
// The frame line (43, 148, 255 at 230/255) over the desk, or shown as drawn.
bool isFrameLine(const QColor& c) { return c.blue() > 200 && c.red() < 100 && c.green() > 100 && c.green() < 190; }
// The banner's fill (18, 120, 213 at 240/255).
bool isBannerFill(const QColor& c) { return c.red() < 45 && c.green() > 95 && c.green() < 140 && c.blue() > 180 && c.blue() < 230; }

// Points of a coarse grid inside the screen, clear of the bands, the banner
// and the autopilot cursor (at `cursor`, local), that are not the desk.
int changedInTheMiddle(const QImage& image, QPointF cursor = QPointF(-1000, -1000))
{
    int changed = 0;
    for (int y = 100; y < image.height() - 40; y += 23)
        for (int x = 40; x < image.width() - 40; x += 23)
            changed += QLineF(QPointF(x, y), cursor).length() > 50 && !isDesk(at(image, x, y));
    return changed;
}

// The banner's first and last columns on its fill row, and the white (text)
// pixels between them.
struct BannerSpan {
    int left = -1, right = -1, whitePixels = 0;
};
BannerSpan findBanner(const QImage& image)
{
    BannerSpan span;
    for (int x = 0; x < image.width(); ++x)
        if (isBannerFill(at(image, x, 14 + 3)))
            span.left = span.left < 0 ? x : span.left, span.right = x;
    if (span.left >= 0)
        span.whitePixels = countPixels(
            image, [](QRgb c) { return qRed(c) > 235 && qGreen(c) > 235 && qBlue(c) > 235; },
            QRect(QPoint(span.left, 14), QPoint(span.right, 14 + 29)));
    return span;
}

// The whole look, as one screen's capture shows it.
bool lookShown(const QImage& image, bool compositor, QPointF cursor, QString* why)
{
    const int w = image.width(), h = image.height();
    for (const QPoint p : {QPoint(w / 4, 1), QPoint(1, h / 2), QPoint(w - 2, h / 2), QPoint(w / 4, h - 2)})
        if (!isFrameLine(at(image, p.x(), p.y())))
            return *why = QStringLiteral("no frame line at %1,%2").arg(p.x()).arg(p.y()), false;
    for (const QPoint p : {QPoint(w / 4, 4), QPoint(4, h / 2), QPoint(w - 5, h / 2)}) {
        const QColor c = at(image, p.x(), p.y());
        // With a compositor the band tints the desk blue; without one the
        // translucent band is left out rather than drawn black.
        const bool ok = compositor ? (c.blue() > kDesk.blue() + 15 && c.red() < kDesk.red()) : isDesk(c);
        if (!ok)
            return *why = QStringLiteral("band at %1,%2 is %3").arg(p.x()).arg(p.y()).arg(c.name()), false;
    }
    const BannerSpan banner = findBanner(image);
    if (banner.left < 0 || std::abs((banner.left + banner.right + 1) / 2.0 - w / 2.0) > 2
        || banner.right - banner.left < 200)
        return *why = QStringLiteral("banner at %1...%2 of %3").arg(banner.left).arg(banner.right).arg(w), false;
    if (banner.whitePixels < 40)
        return *why = QStringLiteral("no banner text"), false;
    if (isBannerFill(at(image, w / 2, 12)))
        return *why = QStringLiteral("the banner starts above y 14"), false;
    if (const int changed = changedInTheMiddle(image, cursor))
        return *why = QStringLiteral("%1 changed pixels in the middle").arg(changed), false;
    return true;
}

bool lookGone(const QImage& image)
{
    const int w = image.width(), h = image.height();
    for (const QPoint p : {QPoint(w / 4, 1), QPoint(w / 4, 4), QPoint(w / 2, 20), QPoint(1, h / 2), QPoint(w / 4, h - 2)})
        if (!isDesk(at(image, p.x(), p.y())))
            return false;
    return changedInTheMiddle(image) == 0;
}

void runTakeoverOnTwoMonitors(bool compositor)
{
    Clock::install(nullptr);
    // The root is 1920 × 1080 under the test command, 1280 × 800 on a private
    // server: a side monitor at the origin, the main one right of it and
    // 100 pixels down.
    const QSize root = QGuiApplication::primaryScreen()->virtualSize();
    const QRect side(0, 0, root.width() / 2 - 160, root.height() - 200);
    const QRect main(side.width(), 100, root.width() / 2 + 160, root.height() - 100);
    MonitorsGuard guard{"TOVRIK-TK-MAIN", "TOVRIK-TK-SIDE"};
    ASSERT_TRUE(tovrik::test::setMonitor("TOVRIK-TK-MAIN", main, true, tovrik::test::firstOutput()));
    ASSERT_TRUE(tovrik::test::setMonitor("TOVRIK-TK-SIDE", side, false));
    QString error;
    ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
    auto& displays = platform::Platform::get().displays();
    ASSERT_TRUE(spinUntil([&] { return displays.displays().size() == 2; }, 3000));
    ASSERT_EQ(platform::Platform::get().compositorActive(), compositor);
    ASSERT_EQ(displays.mainDisplay()->name, QStringLiteral("TOVRIK-TK-MAIN"));

    {
        Desk desk(Qt::X11BypassWindowManagerHint);
        desk.setGeometry(QRect(QPoint(0, 0), root));
        desk.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&desk));
        auto& capture = platform::Platform::get().capture();
        const auto shot = [&](uint32_t id) {
            capture.synchronize();
            return capture.captureDisplay(id);
        };

        overlay::OverlayWindowController controller;
        controller.setUIAutopilotBusy(true);
        ASSERT_EQ(controller.windowManager().overlayWindows().size(), 2);
        for (const auto& d : displays.displays()) {
            QString why;
            QImage image;
            // The agent's cursor waits beside the pointer, on one of the screens.
            const QPointF cursor =
                overlay::localFromGlobal(d.frame, controller.autopilotCursorLocation().value_or(QPointF(-1e6, -1e6)));
            const bool shown = spinUntil(
                [&] { return !(image = shot(d.displayID)).isNull() && lookShown(image, compositor, cursor, &why); }, 8000);
            EXPECT_TRUE(shown) << d.name.toStdString() << ": " << why.toStdString();
            if (!shown)
                image.save(QStringLiteral("/tmp/takeover-%1.png").arg(d.name));
        }

        // The agent's cursor lands on its point on the main screen (display
        // coordinates are relative to it): its dark body just inside the tip.
        const QPointF point(300, 400);
        controller.recordAutopilotMouse(overlay::MouseVisualEventType::leftMouseDown, point);
        const uint32_t mainID = displays.mainDisplay()->displayID;
        const QColor navy(20, 36, 59);
        QImage image;
        EXPECT_TRUE(spinUntil([&] { return near(at(image = shot(mainID), 308, 408), navy, 12); }, 8000))
            << at(image, 308, 408).name().toStdString();
        EXPECT_FALSE(near(at(image, 294, 408), navy, 30)) << "left of the tip is outside the arrow";

        // Clicks of the user (and of the run) pass through the look, in the
        // middle of a screen and on the banner.
        auto& input = platform::Platform::get().input();
        for (const QPointF p : {QPointF(main.width() / 2, main.height() / 2), QPointF(main.width() / 2, 24)}) {
            const int before = desk.presses;
            ASSERT_TRUE(input.postMouse(platform::MouseEventKind::Down, platform::MouseButton::Left, p, 1));
            ASSERT_TRUE(input.postMouse(platform::MouseEventKind::Up, platform::MouseButton::Left, p, 1));
            EXPECT_TRUE(spinUntil([&] { return desk.presses == before + 1; })) << p.x() << "," << p.y();
        }

        // The run ends: after the transition nothing of the look is left.
        controller.setUIAutopilotBusy(false);
        for (const auto& d : displays.displays())
            EXPECT_TRUE(spinUntil([&] { return lookGone(image = shot(d.displayID)); }, 8000)) << d.name.toStdString();
    }
    tovrik::test::drainEvents();
    platform::sim::SimPlatform::install();
}

// The child run without a compositor is started by the overlay's X server tests.
const bool kChildRegistered = [] {
    if (std::getenv(kNoCompositorChildEnv))
        ::testing::RegisterTest("TakeoverWithoutCompositor", "Child", nullptr, nullptr, __FILE__, __LINE__,
                                []() -> ::testing::Test* {
                                    struct Child : ::testing::Test {
                                        void TestBody() override { runTakeoverOnTwoMonitors(false); }
                                    };
                                    return new Child;
                                });
    return true;
}();

} // namespace

TEST(TakeoverOnXServer, EveryMonitorShowsTheLookAndClicksPassThrough)
{
    runTakeoverOnTwoMonitors(true);
}
