#pragma once

// Shared set-up of the overlay controller tests: the sim backend with a
// known display layout, a VirtualClock, and a controller whose windows host
// a plain recording view (the companion view has tests of its own).

#include "overlay/OverlayWindowController.h"
#include "support/SimFixture.h"

#include <QWidget>
#include <memory>

namespace tovrik::test {

// The main 1440 × 900 display and a 1280 × 800 one to its right.
inline QList<platform::DisplayInfo> twoScreens()
{
    using platform::sim::SimDisplays;
    return {SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true), SimDisplays::make(2, QRectF(1440, 0, 1280, 800))};
}

// What a view was built for.
struct BuiltView {
    overlay::OverlayWindowController* controller;
    uint32_t displayID;
    QRectF frame;
};

class ControllerTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        useDisplays({twoScreens().first()});
        pointAt(QPointF(720, 450));
        controller = std::make_unique<overlay::OverlayWindowController>();
        controller->windowManager().setViewFactory(
            [this](overlay::OverlayWindowController* c, uint32_t id, QRectF frame, QWidget* parent) -> QWidget* {
                built.append({c, id, frame});
                return new QWidget(parent);
            });
        QObject::connect(controller.get(), &overlay::OverlayWindowController::changed, controller.get(),
                         [this]() { ++changes; });
    }
    void TearDown() override
    {
        controller.reset();
        drainEvents();
        SimTest::TearDown();
    }

    // Changes the screens and lets the controller's screen observer run.
    void useDisplays(QList<platform::DisplayInfo> displays)
    {
        sim->simDisplays().setDisplays(std::move(displays));
        drainEvents();
    }
    // Runs deferred deletions (released windows and views).
    static void runDeferredDeletes()
    {
        drainEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // The pointer, in global display coordinates (y down).
    void pointAt(QPointF displayPoint) { sim->simDisplays().setPointerLocation(displayPoint); }
    std::optional<platform::DisplayInfo> display(uint32_t id) { return sim->displays().display(id); }

    const QList<overlay::CursorOverlayWindow*>& live() { return controller->windowManager().overlayWindows(); }
    const QList<overlay::CursorOverlayWindow*>& fading() { return controller->windowManager().fadingOverlayWindows(); }
    // Pinned if and only if both mouse-down monitors are installed.
    bool pinnedIffMonitored() const
    {
        return controller->isResponseBubblePinned() == controller->hasResponseDismissGlobalMonitor()
            && controller->isResponseBubblePinned() == controller->hasResponseDismissLocalMonitor();
    }
    // No shared return flight, and every published value of one reset.
    void expectNoReturnFlight()
    {
        EXPECT_FALSE(controller->isSharedReturnFlightActive());
        EXPECT_FALSE(controller->sharedReturnScreenLocation() || controller->sharedReturnDisplayID());
        EXPECT_EQ(std::pair(controller->sharedReturnAngleDegrees(), controller->sharedReturnScale()), std::pair(0.0, 1.0));
    }

    std::unique_ptr<overlay::OverlayWindowController> controller;
    QList<BuiltView> built;
    int changes = 0;
};

} // namespace tovrik::test
