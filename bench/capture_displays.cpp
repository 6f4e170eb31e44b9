// Capture of every display for the model, on a real X server with two
// 2560x1440 screens (a private Xvfb started for this run, 5120x1440 split
// into two RandR monitors, its root painted with a desktop-like picture):
//  - grab only (MIT-SHM or GetImage of each display),
//  - grab + JPEG of all displays as the pipeline does it (parallel encode),
//    against the bare floor measured in the same iterations: XShmGetImage of
//    each display, then libjpeg-turbo with one thread per frame (ratio),
//  - the capture step with the real overlay (its two full-screen windows
//    with the companion) taken off screen and put back, with xcompmgr
//    running on the same server and, in the same iterations, without it,
//    beside the bare floor (ratios of the three, in time and in CPU),
// and bare libjpeg-turbo encodes of the same frames, one after the other
// and with one thread per frame.

#include "BenchDesktop.h"
#include "interaction/JpegEncoder.h"
#include "interaction/ScreenCaptureService.h"
#include "common/Clock.h"
#include "overlay/CursorOverlayWindowManager.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Platform.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QThread>
#include <benchmark/benchmark.h>
#include <qcoro/qcorotask.h>
#include <turbojpeg.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <sys/prctl.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

using namespace tovrik;

namespace {

using bench::kScreenH;
using bench::kScreenW;

// The private server's name (the shared desktop sets $DISPLAY to it).
QByteArray benchDisplay;

struct Setup {
    bool ok = false;
    QString error;
    ScreenCaptureService* service = nullptr;
    QList<QImage> frames;
};

Setup& setup()
{
    static Setup s = [] {
        Setup s;
        if (!bench::ensureTwoScreenDesktop(&s.error))
            return s;
        benchDisplay = qgetenv("DISPLAY");
        s.service = new ScreenCaptureService();
        s.frames = s.service->grabFrames(false).images;
        for (const auto& f : s.frames)
            if (f.size() != QSize(kScreenW, kScreenH)) {
                s.error = QStringLiteral("unexpected frame size");
                return s;
            }
        s.ok = true;
        return s;
    }();
    return s;
}

#define REQUIRE_SETUP(state)                                                                                         \
    auto& s = setup();                                                                                               \
    if (!s.ok) {                                                                                                     \
        state.SkipWithError(s.error.toUtf8().constData());                                                           \
        return;                                                                                                      \
    }

QByteArray bareEncode(tjhandle handle, const QImage& frame)
{
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, frame.constBits(), frame.width(), int(frame.bytesPerLine()), frame.height(), TJPF_BGRX, &out,
                &size, TJSAMP_420, jpeg::screenshotQuality, TJFLAG_FASTDCT);
    QByteArray result(reinterpret_cast<const char*>(out), qsizetype(size));
    tjFree(out);
    return result;
}

void BM_Capture_GrabTwo2560x1440Displays(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    for (auto _ : state) {
        auto frames = s.service->grabFrames(false);
        benchmark::DoNotOptimize(frames.images.first().constBits());
    }
    state.SetLabel(QStringLiteral("%1").arg(static_cast<platform::x11::X11Platform&>(platform::Platform::get())
                                                    .x11Capture()
                                                    .usesSharedMemory()
                                                ? "MIT-SHM"
                                                : "GetImage")
                       .toStdString());
}

// The bare floor: XShmGetImage of each display into a segment of its own,
// then one libjpeg-turbo encode per display, each on a thread of its own,
// straight from the segments.
class BareFloor {
public:
    BareFloor() : m_conn(benchDisplay.constData())
    {
        for (int i = 0; i < 2; ++i) {
            const size_t bytes = size_t(kScreenW) * kScreenH * 4;
            const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
            auto* addr = static_cast<uint8_t*>(shmat(id, nullptr, 0));
            const uint32_t seg = xcb_generate_id(m_conn);
            xcb_shm_attach(m_conn, seg, uint32_t(id), 0);
            m_conn.sync();
            shmctl(id, IPC_RMID, nullptr);
            m_segments.push_back({seg, addr});
            m_handles.push_back(tjInitCompress());
        }
    }
    ~BareFloor()
    {
        for (auto& s : m_segments)
            shmdt(s.second);
        for (auto h : m_handles)
            tjDestroy(h);
    }
    qint64 run()
    {
        std::atomic<qint64> bytes{0};
        for (int i = 0; i < 2; ++i) {
            std::free(xcb_shm_get_image_reply(
                m_conn,
                xcb_shm_get_image(m_conn, m_conn.root(), int16_t(i * kScreenW), 0, kScreenW, kScreenH, ~0u,
                                  XCB_IMAGE_FORMAT_Z_PIXMAP, m_segments[size_t(i)].first, 0),
                nullptr));
        }
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i)
            threads.emplace_back([&, i] {
                unsigned char* out = nullptr;
                unsigned long size = 0;
                tjCompress2(m_handles[size_t(i)], m_segments[size_t(i)].second, kScreenW, kScreenW * 4, kScreenH,
                            TJPF_BGRX, &out, &size, TJSAMP_420, jpeg::screenshotQuality, TJFLAG_FASTDCT);
                bytes += qint64(size);
                tjFree(out);
            });
        for (auto& t : threads)
            t.join();
        return bytes.load();
    }

private:
    platform::x11::XcbConnection m_conn;
    std::vector<std::pair<uint32_t, uint8_t*>> m_segments;
    std::vector<tjhandle> m_handles;
};

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double secondsOf(const std::function<void()>& fn)
{
    QElapsedTimer t;
    t.start();
    fn();
    return double(t.nsecsElapsed()) / 1e9;
}

void BM_Capture_GrabAndJpegAllDisplays(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    BareFloor floor;
    qint64 bytes = 0, floorBytes = 0;
    double ours = 0, bare = 0, cpu = 0;
    for (auto _ : state) {
        // Alternated, so that both see the same load.
        const double cpuBefore = processCpuSeconds();
        const double t = secondsOf([&] {
            auto payloads = QCoro::waitFor(s.service->captureAllScreens(false));
            bytes = 0;
            for (const auto& p : payloads)
                bytes += p.imageData.size();
        });
        cpu += processCpuSeconds() - cpuBefore;
        bare += secondsOf([&] { floorBytes = floor.run(); });
        ours += t;
        state.SetIterationTime(t);
    }
    state.counters["jpeg_bytes"] = double(bytes);
    state.counters["floor_jpeg_bytes"] = double(floorBytes);
    state.counters["floor_ms"] = 1000.0 * bare / double(state.iterations());
    state.counters["ratio_to_floor"] = ours / bare;
    state.counters["cpu_ms_per_capture"] = 1000.0 * cpu / double(state.iterations());
}

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// What one capture step costs: its time (up to the encoded payloads) and the
// process CPU from its start until the overlay is back and idle again.
struct StepCost {
    std::vector<double> seconds, cpu;
};

// The step with the real overlay: one full-screen window per display with
// the companion beside a still pointer, taken off screen and put back by the
// capture, on the private server with xcompmgr and, in the same iterations,
// without it; beside the bare floor (grab + JPEG, no overlay) measured in
// the same iterations.
void BM_Capture_StepWithRealOverlayCompositorVsNone(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    if (QGuiApplication::platformName() != QLatin1String("xcb")
        || qgetenv("DISPLAY") != bench::desktopDisplay()) {
        state.SkipWithError("needs the benchmark's windows on its private server (run through scripts/bench.sh)");
        return;
    }
    {
        platform::x11::XcbConnection conn(bench::desktopDisplay().constData());
        xcb_warp_pointer(conn, XCB_NONE, conn.root(), 0, 0, 0, 0, 1200, 700);
        conn.sync();
    }
    Clock::install(nullptr);
    overlay::OverlayWindowController overlay;
    overlay.setIdleBehavior(true, false, false); // the companion stays up
    runEventLoopFor(1500);
    if (overlay.windowManager().overlayWindows().size() != 2) {
        state.SkipWithError("expected two overlay windows");
        return;
    }
    BareFloor floor;
    // Each step is followed by this much of the event loop (the overlay back
    // on screen and repainted), inside its CPU figure; the floor's CPU
    // figure takes the same stretch of the idle loop.
    constexpr int settleMs = 40;
    auto step = [&](StepCost& cost, bool probes) {
        ScreenCaptureOverlayHooks hooks;
        if (probes)
            hooks.probes = [&] { return overlay.screenCaptureProbes(); };
        hooks.suspend = [&] { return overlay.suspendForScreenCapture(); };
        hooks.vacated = [&] { return overlay.screenCaptureVacatedAreas(); };
        hooks.resume = [&](bool was) { overlay.resumeAfterScreenCapture(was); };
        const double cpu = processCpuSeconds();
        cost.seconds.push_back(secondsOf([&] {
            auto payloads = QCoro::waitFor(captureAllScreensForModel(s.service, hooks, false));
            benchmark::DoNotOptimize(payloads.size());
        }));
        runEventLoopFor(settleMs);
        cost.cpu.push_back(processCpuSeconds() - cpu);
    };
    StepCost with, without, quietRule, bare;
    bool compositing = true;
    if (bench::desktopIsGiven()) {
        // A desktop of a measuring script: its compositor stays as it is;
        // only the step as it runs there.
        for (auto _ : state) {
            state.PauseTiming();
            runEventLoopFor(300);
            state.ResumeTiming();
            step(with, true);
            state.SetIterationTime(with.seconds.back());
        }
        state.counters["step_median_ms"] = 1000.0 * median(with.seconds);
        state.counters["cpu_median_ms"] = 1000.0 * median(with.cpu);
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        if (compositing && !bench::setCompositorRunning(false)) {
            state.SkipWithError("the compositor could not be stopped");
            return;
        }
        compositing = false;
        // The overlay clips itself to its content and, as on a desktop whose
        // compositor does not come and go, gives its blank pages back.
        runEventLoopFor(1500);
        step(without, true);
        if (!bench::setCompositorRunning(true)) {
            state.SkipWithError("xcompmgr could not be started");
            return;
        }
        compositing = true;
        runEventLoopFor(1500);
        {
            const double cpu = processCpuSeconds();
            bare.seconds.push_back(secondsOf([&] { benchmark::DoNotOptimize(floor.run()); }));
            runEventLoopFor(settleMs);
            bare.cpu.push_back(processCpuSeconds() - cpu);
        }
        state.ResumeTiming();
        step(with, true);
        state.SetIterationTime(with.seconds.back());
        state.PauseTiming();
        step(quietRule, false);
        state.ResumeTiming();
    }
    if (!compositing)
        bench::setCompositorRunning(true);
    state.counters["with_compositor_median_ms"] = 1000.0 * median(with.seconds);
    state.counters["without_compositor_median_ms"] = 1000.0 * median(without.seconds);
    state.counters["floor_median_ms"] = 1000.0 * median(bare.seconds);
    state.counters["ratio_with_to_without"] = median(with.seconds) / median(without.seconds);
    state.counters["ratio_without_to_floor"] = median(without.seconds) / median(bare.seconds);
    state.counters["cpu_with_median_ms"] = 1000.0 * median(with.cpu);
    state.counters["cpu_without_median_ms"] = 1000.0 * median(without.cpu);
    state.counters["cpu_floor_median_ms"] = 1000.0 * median(bare.cpu);
    state.counters["cpu_ratio_without_to_floor"] = median(without.cpu) / median(bare.cpu);
    state.counters["cpu_ratio_with_to_without"] = median(with.cpu) / median(without.cpu);
    // The same step with the compositor when the capture only waits for
    // the root to go quiet (no probes), for comparison.
    state.counters["quiet_rule_ratio_to_without"] = median(quietRule.seconds) / median(without.seconds);
}

void BM_Capture_BareTurboJpegSequential(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    tjhandle handle = tjInitCompress();
    qint64 bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const auto& f : s.frames)
            bytes += bareEncode(handle, f).size();
        benchmark::DoNotOptimize(bytes);
    }
    tjDestroy(handle);
    state.counters["jpeg_bytes"] = double(bytes);
}

void BM_Capture_BareTurboJpegOneThreadPerFrame(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    std::vector<tjhandle> handles;
    for (int i = 0; i < s.frames.size(); ++i)
        handles.push_back(tjInitCompress());
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int i = 0; i < s.frames.size(); ++i)
            threads.emplace_back([&, i] { benchmark::DoNotOptimize(bareEncode(handles[i], s.frames[i]).size()); });
        for (auto& t : threads)
            t.join();
    }
    for (auto h : handles)
        tjDestroy(h);
}

} // namespace

BENCHMARK(BM_Capture_GrabTwo2560x1440Displays)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Capture_GrabAndJpegAllDisplays)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(3.0);
BENCHMARK(BM_Capture_StepWithRealOverlayCompositorVsNone)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(21);
BENCHMARK(BM_Capture_BareTurboJpegSequential)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Capture_BareTurboJpegOneThreadPerFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
