// CPU cost of the overlay while it is up and idle: two 2560 x 1440 screens,
// each with its real full-screen window and companion view, the companion
// resting beside a still pointer; the real clock and event loop run for one
// second per iteration and the process CPU time is what counts. A second
// case moves the pointer every frame, for comparison.
//
// This file also provides the benchmark executable's main(): the overlay
// needs a QApplication (widgets), which the other benchmarks reuse.

#include "common/Clock.h"
#include "overlay/OverlayWindowController.h"
#include "platform/sim/SimPlatform.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <ctime>
#include <memory>

using namespace tovrik;

namespace {

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void runEventLoopFor(int ms, const std::function<void()>& perFrame = {})
{
    QEventLoop loop;
    QTimer frames;
    if (perFrame) {
        frames.setTimerType(Qt::PreciseTimer);
        QObject::connect(&frames, &QTimer::timeout, perFrame);
        frames.start(16);
    }
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct TwoScreenOverlay {
    TwoScreenOverlay()
    {
        Clock::install(nullptr);
        sim = &platform::sim::SimPlatform::install();
        sim->simDisplays().setDisplays({platform::sim::SimDisplays::make(1, QRectF(0, 0, 2560, 1440), 1.0, true),
                                        platform::sim::SimDisplays::make(2, QRectF(2560, 0, 2560, 1440))});
        sim->simDisplays().setPointerLocation(QPointF(1200, 700));
        controller = std::make_unique<overlay::OverlayWindowController>();
        controller->setIdleBehavior(true, false, false); // the glyph stays up while idle
        runEventLoopFor(1500);                           // first paints and every animation settle
    }
    ~TwoScreenOverlay()
    {
        controller.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    platform::sim::SimPlatform* sim;
    std::unique_ptr<overlay::OverlayWindowController> controller;
};

void BM_Overlay_IdleCpuPerSecondTwoScreens(benchmark::State& state)
{
    TwoScreenOverlay overlay;
    if (overlay.controller->windowManager().overlayWindows().size() != 2) {
        state.SkipWithError("expected two overlay windows");
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds();
        runEventLoopFor(1000);
        cpu += processCpuSeconds() - before;
    }
    state.counters["cpu_ms_per_s"] = benchmark::Counter(cpu * 1000.0, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Overlay_IdleCpuPerSecondTwoScreens)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Overlay_FollowingCpuPerSecondTwoScreens(benchmark::State& state)
{
    TwoScreenOverlay overlay;
    double cpu = 0;
    int step = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds();
        runEventLoopFor(1000, [&]() {
            ++step;
            overlay.sim->simDisplays().setPointerLocation(QPointF(1200 + (step % 120) * 10, 700 + (step % 60) * 3));
        });
        cpu += processCpuSeconds() - before;
    }
    state.counters["cpu_ms_per_s"] = benchmark::Counter(cpu * 1000.0, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Overlay_FollowingCpuPerSecondTwoScreens)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    platform::Platform::uninstall();
    return 0;
}
