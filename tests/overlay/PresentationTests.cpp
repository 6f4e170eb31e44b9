// Presenting an answer: the pointed place mapped from screenshot pixels, the
// pinned bubble and its two mouse-down monitors.

#include "ControllerFixture.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWindow>
#include <QWidget>
#include <functional>
#include <limits>

using namespace tovrik;
using namespace tovrik::test;
using overlay::OverlayWindowController;
using platform::sim::SimDisplays;

namespace {

std::optional<QPointF> map(std::optional<QPointF> p, QSizeF size, QRectF frame = QRectF(0, 0, 1280, 800))
{
    platform::DisplayInfo screen;
    screen.displayID = 7;
    screen.frame = frame;
    return OverlayWindowController::mapGlobalScreenLocation(p, size, screen);
}

struct PressRecorder : QWidget {
    int presses = 0;
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

class PresentationTest : public ControllerTest {
protected:
    // Pinned if and only if both mouse-down monitors are installed.
    bool consistent() const
    {
        return controller->isResponseBubblePinned() == controller->hasResponseDismissGlobalMonitor()
            && controller->isResponseBubblePinned() == controller->hasResponseDismissLocalMonitor();
    }
};

} // namespace

TEST(MappingTest, ScreenshotPixelsScaleOntoTheFrameClampedInsideItOrGiveNoPlace)
{
    const QSizeF image(2560, 1600);
    EXPECT_EQ(map(QPointF(1280, 400), image), QPointF(640, 600));
    EXPECT_EQ(map(QPointF(2559, 1599), image), QPointF(1279, 0.5));
    EXPECT_EQ(map(QPointF(5000, -20), image), QPointF(1279, 799));
    EXPECT_EQ(map(QPointF(0, 0), image), QPointF(0, 799)); // top-left pixel: top edge less 1
    EXPECT_EQ(map(QPointF(1280, 400), image, QRectF(1440, 100, 1280, 800)), QPointF(2080, 700));
    // An empty image counts as one pixel: the top-left corner.
    EXPECT_EQ(map(QPointF(640, 400), QSizeF(0, 0), QRectF(-1280, 100, 1280, 800)), QPointF(-1280, 899));
    // No point, no screen or input that is not finite: no place.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(map(std::nullopt, QSizeF(10, 10)));
    EXPECT_FALSE(OverlayWindowController::mapGlobalScreenLocation(QPointF(1, 1), QSizeF(10, 10), std::nullopt));
    EXPECT_FALSE(map(QPointF(nan, 10), QSizeF(100, 100)));
    EXPECT_FALSE(map(QPointF(10, inf), QSizeF(100, 100)));
    EXPECT_FALSE(map(QPointF(10, 10), QSizeF(nan, 100)));
    EXPECT_FALSE(map(QPointF(10, 10), QSizeF(100, 100), QRectF(0, 0, nan, 800)));
}

TEST_F(PresentationTest, AnAnswerWithAPointSetsTheMappedPlaceShowsTheWindowsHidesLaterAndEndsAReturnFlight)
{
    controller->showResponse(QStringLiteral("click here"), QPointF(2880, 900), QSizeF(2880, 1800), display(1), true, 5);
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("click here"));
    EXPECT_EQ(controller->targetScreenLocation(), QPointF(1439, 450));
    EXPECT_TRUE(controller->isTransparent());
    EXPECT_FALSE(controller->isResponseBubblePinned() || controller->hasResponseDismissGlobalMonitor());
    EXPECT_EQ(live().size(), 1);
    EXPECT_EQ(controller->voiceState(), TovrikVoiceState::idle); // the caller sets responding
    advance(4.9);
    EXPECT_TRUE(controller->targetScreenLocation());
    advance(0.2);
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    // Without a point, with one that is not finite, or without a screen: nowhere.
    controller->showResponse(QStringLiteral("b"), QPointF(std::numeric_limits<double>::quiet_NaN(), 3),
                             QSizeF(100, 100), display(1), false, 5);
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("b"));
    controller->showResponse(QStringLiteral("c"), QPointF(10, 10), QSizeF(100, 100), std::nullopt, false, 5);
    EXPECT_FALSE(controller->targetScreenLocation());

    // A new answer ends a running return flight.
    controller->setIdleBehavior(true, false, false);
    controller->showResponse(QStringLiteral("p"), QPointF(1000, 100), QSizeF(1440, 900), display(1), false, 1);
    controller->dismissResponseBubble();
    controller->clearInteractionVisuals();
    ASSERT_TRUE(controller->isSharedReturnFlightActive());
    controller->showResponse(QStringLiteral("q"), QPointF(20, 20), QSizeF(1440, 900), display(1), false, 1);
    EXPECT_FALSE(controller->isSharedReturnFlightActive());
    EXPECT_EQ(controller->targetScreenLocation(), QPointF(20, 880));
}

TEST_F(PresentationTest, APinnedBubbleHasBothMonitorsAndAClickAnywhereOrInOurWindowDismissesIt)
{
    controller->showResponse(QStringLiteral("kept"), QPointF(50, 50), QSizeF(1440, 900), display(1), false, 2, true);
    EXPECT_TRUE(controller->isResponseBubblePinned() && consistent());
    EXPECT_FALSE(controller->hasPendingHide());
    advance(10);
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("kept")); // no timed hide

    sim->simEventTap().injectMouseDown(platform::MouseButton::Right, QPointF(5, 5));
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("kept")); // not inline
    drainEvents();
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_FALSE(controller->isResponseBubblePinned());
    EXPECT_TRUE(consistent());

    // A second pinned answer installs no second pair: removing the one pair
    // leaves no monitor behind that could still dismiss the bubble.
    controller->showResponse(QStringLiteral("one"), std::nullopt, QSizeF(), std::nullopt, false, 2, true);
    controller->showResponse(QStringLiteral("two"), std::nullopt, QSizeF(), std::nullopt, false, 2, true);
    controller->stopResponseDismissMonitors();
    sim->simEventTap().injectMouseDown(platform::MouseButton::Left, QPointF(5, 5));
    drainEvents();
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("two"));

    // A click in our own window dismisses it too and still reaches the window.
    PressRecorder panel;
    panel.resize(200, 100);
    panel.show();
    controller->showResponse(QStringLiteral("kept"), std::nullopt, QSizeF(), std::nullopt, false, 2, true);
    ASSERT_TRUE(controller->isResponseBubblePinned());
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), panel.mapToGlobal(QPointF(10, 10)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(panel.windowHandle(), &press);
    EXPECT_EQ(panel.presses, 1);
    drainEvents();
    EXPECT_TRUE(controller->bubbleText().isEmpty());
    EXPECT_FALSE(controller->isResponseBubblePinned());
    EXPECT_TRUE(consistent());
}

TEST_F(PresentationTest, PinnedIfAndOnlyIfTheMonitorsAreInstalledAndAStatusUnpins)
{
    const std::function<void()> unpinning[] = {
        [&] { controller->showStatus(QStringLiteral("s"), std::nullopt, false); },
        [&] { controller->showResponse(QStringLiteral("u"), std::nullopt, QSizeF(), std::nullopt, false, 2, false); },
        [&] { controller->clearInteractionVisuals(); },
        [&] { controller->dismissResponseBubble(); },
    };
    for (const auto& unpin : unpinning) {
        controller->showResponse(QStringLiteral("p"), QPointF(10, 10), QSizeF(1440, 900), display(1), false, 2, true);
        EXPECT_TRUE(controller->isResponseBubblePinned() && consistent());
        unpin();
        EXPECT_FALSE(controller->isResponseBubblePinned());
        EXPECT_TRUE(consistent());
    }
    // A status line also clears the pointed place (not kept visible: no flight).
    controller->showResponse(QStringLiteral("p"), QPointF(10, 10), QSizeF(1440, 900), display(1), false, 2, true);
    unpinning[0]();
    EXPECT_FALSE(controller->targetScreenLocation());
    EXPECT_FALSE(controller->isSharedReturnFlightActive());
    EXPECT_EQ(controller->bubbleText(), QStringLiteral("s"));
}
