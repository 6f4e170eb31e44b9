// CPU cost of the overlay while it is up and idle: two 2560 x 1440 screens,
// each with its real full-screen window and companion view, the companion
// resting beside a still pointer; the real clock and event loop run for one
// second per iteration and the process CPU time is what counts. A second
// case moves the pointer every frame, against a floor measured in the same
// run: two translucent full-screen Qt windows polling the pointer every
// 16 ms and repainting a 64-pixel glyph's old and new squares (ratio); it
// also measures the latency from a pointer move to the companion's repaint.
//
// This file also provides the benchmark executable's main(): the overlay
// needs a QApplication (widgets), which the other benchmarks reuse.

#include "BenchDesktop.h"
#include "common/Clock.h"
#include "overlay/OverlayWindowController.h"
#include "platform/sim/SimPlatform.h"
#include "overlay-floor/FloorOverlay.h"

#include "platform/x11/X11Platform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <ctime>
#include <unistd.h>
#include <memory>

using namespace tovrik;

namespace {

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The resident set of this process, in MB.
double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

// CPU seconds the X server of $DISPLAY has used (an Xvfb of this machine),
// or -1 when it cannot be found.
double xServerCpuSeconds()
{
    static const QByteArray display = qgetenv("DISPLAY");
    static const QString statPath = [] {
        if (display.isEmpty())
            return QString();
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile cmd(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (!cmd.open(QIODevice::ReadOnly))
                continue;
            const QList<QByteArray> args = cmd.readAll().split('\0');
            if (!args.isEmpty() && args.first().endsWith("Xvfb") && args.contains(display))
                return QStringLiteral("/proc/%1/stat").arg(pid);
        }
        return QString();
    }();
    QFile stat(statPath);
    if (statPath.isEmpty() || !stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
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
    // The reference: the same server over the same time with no overlay up.
    const double referenceStart = xServerCpuSeconds();
    runEventLoopFor(5000);
    const double referenceServer = (xServerCpuSeconds() - referenceStart) / 5;
    const double rssBefore = residentMegabytes();
    TwoScreenOverlay overlay;
    // What the two windows hold (their backing stores, the views' caches).
    state.counters["rss_mb_added_by_overlay"] = residentMegabytes() - rssBefore;
    if (overlay.controller->windowManager().overlayWindows().size() != 2) {
        state.SkipWithError("expected two overlay windows");
        return;
    }
    double cpu = 0, server = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds();
        const double serverBefore = xServerCpuSeconds();
        runEventLoopFor(1000);
        cpu += processCpuSeconds() - before;
        server += xServerCpuSeconds() - serverBefore;
    }
    state.counters["cpu_ms_per_s"] = benchmark::Counter(cpu * 1000.0, benchmark::Counter::kAvgIterations);
    // The whole server's time (ticks of 10 ms: read over several seconds).
    if (xServerCpuSeconds() >= 0)
    {
        state.counters["x_server_cpu_ms_per_s"] = benchmark::Counter(server * 1000.0, benchmark::Counter::kAvgIterations);
        state.counters["x_server_without_overlay_ms_per_s"] = referenceServer * 1000.0;
    }
}
BENCHMARK(BM_Overlay_IdleCpuPerSecondTwoScreens)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

QPointF movingPointer(int step) { return QPointF(1200 + (step % 120) * 10, 700 + (step % 60) * 3); }

// Counts the paint events of the widgets it watches and keeps the time of
// the first one after each pointer move.
class PaintWatch : public QObject {
public:
    QElapsedTimer clock;
    qint64 movedAt = -1;
    double latencyTotal = 0;
    int latencyCount = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint && movedAt >= 0) {
            latencyTotal += double(clock.nsecsElapsed() - movedAt) / 1e6;
            ++latencyCount;
            movedAt = -1;
        }
        return false;
    }
};

void BM_Overlay_FollowingCpuPerSecondTwoScreens(benchmark::State& state)
{
    // The floor first, on the same sim pointer.
    double floorCpu = 0;
    {
        Clock::install(nullptr);
        auto* sim = &platform::sim::SimPlatform::install();
        sim->simDisplays().setPointerLocation(QPointF(1200, 700));
        FloorOverlay a(QRect(0, 0, 2560, 1440)), b(QRect(2560, 0, 2560, 1440));
        QTimer poll;
        poll.setTimerType(Qt::PreciseTimer);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const QPointF p = sim->displays().pointerLocation();
            a.follow(p);
            b.follow(p);
        });
        poll.start(16);
        runEventLoopFor(500);
        int step = 0;
        for (int i = 0; i < 3; ++i) {
            const double before = processCpuSeconds();
            runEventLoopFor(1000, [&]() { sim->simDisplays().setPointerLocation(movingPointer(++step)); });
            floorCpu += processCpuSeconds() - before;
        }
        floorCpu /= 3;
    }
    TwoScreenOverlay overlay;
    PaintWatch watch;
    watch.clock.start();
    for (auto* w : overlay.controller->windowManager().overlayWindows())
        if (w->contentView())
            w->contentView()->installEventFilter(&watch);
    double cpu = 0;
    int step = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds();
        runEventLoopFor(1000, [&]() {
            watch.movedAt = watch.clock.nsecsElapsed();
            overlay.sim->simDisplays().setPointerLocation(movingPointer(++step));
        });
        cpu += processCpuSeconds() - before;
    }
    const double perSecond = cpu / double(state.iterations());
    state.counters["cpu_ms_per_s"] = perSecond * 1000.0;
    state.counters["floor_cpu_ms_per_s"] = floorCpu * 1000.0;
    state.counters["ratio_to_floor"] = perSecond / floorCpu;
    const double latency = watch.latencyCount ? watch.latencyTotal / watch.latencyCount : -1;
    state.counters["move_to_paint_ms"] = latency;
    state.counters["latency_in_frames"] = latency / (1000.0 / 60.0);
}
BENCHMARK(BM_Overlay_FollowingCpuPerSecondTwoScreens)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

QByteArray benchQtDisplay;

int main(int argc, char** argv)
{
    // On the benchmarks' private two-screen server (with a compositor) the
    // windows are real, beside everything the X11 benchmarks capture; without
    // Xvfb on the test environment's server, or else drawn offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        const bool x11 = tovrik::bench::startDesktopServer() || !qEnvironmentVariableIsEmpty("DISPLAY");
        qputenv("QT_QPA_PLATFORM", x11 ? "xcb" : "offscreen");
    }
    benchQtDisplay = qgetenv("DISPLAY");
    // Windows are drawn as the program draws them (the setting lasts while
    // the application is made).
    QApplication app = [&] {
        const tovrik::platform::x11::QtWindowDrawingSetting drawing;
        return QApplication(argc, argv);
    }();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    platform::Platform::uninstall();
    return 0;
}
