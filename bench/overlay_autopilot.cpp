// Cost of the UI Autopilot look in the overlay, each beside a reference
// measured in the same run:
//  - one frame of the takeover transition and one frame of a click ripple on
//    a 2560 × 1440 screen, painted into their dirty regions as the window
//    does; the reference is clearing the whole screen once (what any
//    full-window repaint costs at least);
//  - a run's first frame, which makes the look's band images again (given
//    back at the end of the last run), against the same frame drawn from
//    kept images;
//  - the idle overlay of two 2560 × 1440 screens after a run has ended,
//    against the same overlay before any run (the layers are built in both).

#include "common/Clock.h"
#include "overlay/OverlayWindowController.h"
#include "overlay/views/AutopilotCursorLayer.h"
#include "overlay/views/UIAutopilotTakeoverView.h"
#include "platform/sim/SimPlatform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <ctime>
#include <functional>

using namespace tovrik;
using namespace tovrik::overlay;

namespace {

const QSizeF kScreen(2560, 1440);

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Paints `next` where it or `previous` drew, as the window repaints a dirty
// region; returns the dirty pixel count.
qint64 paintFrame(QImage& surface, const AutopilotLayersPresentation& previous, const AutopilotLayersPresentation& next)
{
    const QRegion dirty = AutopilotOverlayLayers::dirtyRegion(previous, next, kScreen);
    QPainter painter(&surface);
    painter.setClipRegion(dirty);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (const QRect& r : dirty)
        painter.fillRect(r, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    AutopilotOverlayLayers::paint(painter, next, kScreen);
    qint64 pixels = 0;
    for (const QRect& r : dirty)
        pixels += qint64(r.width()) * r.height();
    return pixels;
}

// Runs frames of an animation (presentation at frame i of n) and reports
// microseconds per frame, the reference full-screen clear and their ratio.
void runFrames(benchmark::State& state, int frameCount, const std::function<AutopilotLayersPresentation(int)>& at)
{
    QImage surface(kScreen.toSize(), QImage::Format_ARGB32_Premultiplied);
    surface.fill(Qt::transparent);
    // Process CPU time: the raster engine may hand large blends to its
    // thread pool, whose work counts too.
    double frameNs = 0, referenceNs = 0;
    qint64 pixels = 0, frames = 0;
    int i = 0;
    AutopilotLayersPresentation previous = at(0);
    for (auto _ : state) {
        const AutopilotLayersPresentation next = at(i = (i + 1) % frameCount);
        double start = cpuSeconds();
        pixels += paintFrame(surface, previous, next);
        frameNs += (cpuSeconds() - start) * 1e9;
        previous = next;
        ++frames;
        start = cpuSeconds();
        {
            QPainter painter(&surface);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.fillRect(surface.rect(), Qt::transparent);
        }
        referenceNs += (cpuSeconds() - start) * 1e9;
        state.SetIterationTime(0); // only the counters below are reported
        benchmark::DoNotOptimize(surface.constBits());
    }
    state.counters["frame_cpu_us"] = frameNs / 1000.0 / double(frames);
    state.counters["ref_full_clear_cpu_us"] = referenceNs / 1000.0 / double(frames);
    state.counters["ratio_to_ref"] = frameNs / referenceNs;
    state.counters["dirty_px"] = double(pixels) / double(frames);
}

void BM_OverlayAutopilot_TakeoverTransitionFrame(benchmark::State& state)
{
    // The 0.22 s transition at 60 frames a second: 13 frames in, 13 out.
    const int n = 13;
    runFrames(state, 2 * n, [n](int i) {
        AutopilotLayersPresentation p;
        const double t = i < n ? double(i + 1) / n : double(2 * n - i - 1) / n;
        p.takeoverProgress = easedProgress(EasingCurve::EaseOut, t);
        return p;
    });
}
BENCHMARK(BM_OverlayAutopilot_TakeoverTransitionFrame)->UseManualTime()->Iterations(400);

void BM_OverlayAutopilot_RippleFrame(benchmark::State& state)
{
    // The look fully shown, the cursor resting on the click, one 0.55 s ripple.
    const int n = 33;
    runFrames(state, n, [n](int i) {
        AutopilotLayersPresentation p;
        p.takeoverProgress = 1;
        p.cursorTip = QPointF(1280, 720);
        p.rippleCentre = QPointF(1280, 720);
        p.rippleExpansion = easedProgress(EasingCurve::EaseOut, double(i) / (n - 1));
        return p;
    });
}
BENCHMARK(BM_OverlayAutopilot_RippleFrame)->UseManualTime()->Iterations(400);

void BM_OverlayAutopilot_FirstFrameOfARun(benchmark::State& state)
{
    // The look, the arrow and a ripple over a whole 2560 x 1440 screen, drawn
    // as a run's first frame draws them after the last run gave the band
    // images back, beside the same frame drawn from kept images (what it cost
    // when they were kept between runs).
    AutopilotLayersPresentation p;
    p.takeoverProgress = 1;
    p.cursorTip = QPointF(1280, 720);
    p.rippleCentre = QPointF(1280, 720);
    p.rippleExpansion = 0.5;
    QImage surface(kScreen.toSize(), QImage::Format_ARGB32_Premultiplied);
    const auto frame = [&] {
        surface.fill(Qt::transparent);
        QPainter painter(&surface);
        AutopilotOverlayLayers::paint(painter, p, kScreen);
    };
    double freshNs = 0, keptNs = 0;
    qint64 frames = 0;
    for (auto _ : state) {
        UIAutopilotTakeoverView::releaseBandImages();
        double start = cpuSeconds();
        frame();
        freshNs += (cpuSeconds() - start) * 1e9;
        start = cpuSeconds();
        frame();
        keptNs += (cpuSeconds() - start) * 1e9;
        ++frames;
        state.SetIterationTime(0); // only the counters below are reported
        benchmark::DoNotOptimize(surface.constBits());
    }
    state.counters["fresh_images_cpu_us"] = freshNs / 1000.0 / double(frames);
    state.counters["ref_kept_images_cpu_us"] = keptNs / 1000.0 / double(frames);
    state.counters["ratio_to_ref"] = freshNs / keptNs;
    state.counters["band_images_kb"] = double(UIAutopilotTakeoverView::bandImageBytes()) / 1024.0;
}
BENCHMARK(BM_OverlayAutopilot_FirstFrameOfARun)->UseManualTime()->Iterations(50);

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void BM_OverlayAutopilot_IdleCpuAfterARun(benchmark::State& state)
{
    Clock::install(nullptr);
    auto& sim = platform::sim::SimPlatform::install();
    sim.simDisplays().setDisplays({platform::sim::SimDisplays::make(1, QRectF(0, 0, 2560, 1440), 1.0, true),
                                   platform::sim::SimDisplays::make(2, QRectF(2560, 0, 2560, 1440))});
    sim.simDisplays().setPointerLocation(QPointF(1200, 700));
    double reference = 0, afterRun = 0;
    int seconds = 0;
    {
        OverlayWindowController controller;
        controller.setIdleBehavior(true, false, false); // windows stay up while idle
        runEventLoopFor(1500);
        for (auto _ : state) {
            double before = cpuSeconds();
            runEventLoopFor(1000);
            reference += cpuSeconds() - before;
            controller.setUIAutopilotBusy(true);
            controller.recordAutopilotMouse(MouseVisualEventType::leftMouseDown, QPointF(900, 500));
            controller.recordAutopilotMouse(MouseVisualEventType::leftMouseUp, QPointF(900, 500));
            runEventLoopFor(700);
            controller.setUIAutopilotBusy(false);
            runEventLoopFor(800); // the look's transition ends
            before = cpuSeconds();
            runEventLoopFor(1000);
            afterRun += cpuSeconds() - before;
            ++seconds;
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    state.counters["cpu_ms_per_s"] = afterRun * 1000.0 / seconds;
    state.counters["ref_never_busy_cpu_ms_per_s"] = reference * 1000.0 / seconds;
    state.counters["ratio_to_ref"] = reference > 0 ? afterRun / reference : 0;
}
BENCHMARK(BM_OverlayAutopilot_IdleCpuAfterARun)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
