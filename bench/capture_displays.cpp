// Capture of every display for the model, on a real X server with two
// 2560x1440 screens (a private Xvfb started for this run, 5120x1440 split
// into two RandR monitors, its root painted with a desktop-like picture):
//  - grab only (MIT-SHM or GetImage of each display),
//  - grab + JPEG of all displays as the pipeline does it (parallel encode),
//    against the bare floor measured in the same iterations: XShmGetImage of
//    each display, then libjpeg-turbo with one thread per frame (ratio),
//  - the capture step with two full-screen translucent overlay windows
//    taken off screen and put back, with xcompmgr running on the same
//    server and, in the same iterations, without it (ratio of the two),
// and bare libjpeg-turbo encodes of the same frames, one after the other
// and with one thread per frame.

#include "BenchDesktop.h"
#include "interaction/JpegEncoder.h"
#include "interaction/ScreenCaptureService.h"
#include "overlay/CursorOverlayWindowManager.h"
#include "platform/Platform.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
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
    double ours = 0, bare = 0;
    for (auto _ : state) {
        // Alternated, so that both see the same load.
        const double t = secondsOf([&] {
            auto payloads = QCoro::waitFor(s.service->captureAllScreens(false));
            bytes = 0;
            for (const auto& p : payloads)
                bytes += p.imageData.size();
        });
        bare += secondsOf([&] { floorBytes = floor.run(); });
        ours += t;
        state.SetIterationTime(t);
    }
    state.counters["jpeg_bytes"] = double(bytes);
    state.counters["floor_jpeg_bytes"] = double(floorBytes);
    state.counters["floor_ms"] = 1000.0 * bare / double(state.iterations());
    state.counters["ratio_to_floor"] = ours / bare;
}

// Two full-screen 32-bit override-redirect windows, one per display, with a
// companion-like picture (an opaque glyph in a translucent glow), standing
// in for the overlay (raw xcb: the benchmark's Qt runs offscreen). Its
// opaque pixels are picked from a full-display picture the way the overlay
// picks them from its backing store, inside the step.
class OverlayStandIn {
public:
    OverlayStandIn() : m_conn(benchDisplay.constData())
    {
        xcb_screen_t* screen = m_conn.screen();
        xcb_visualid_t visual = 0;
        for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visual; xcb_depth_next(&d))
            if (d.data->depth == 32)
                for (auto v = xcb_depth_visuals_iterator(d.data); v.rem && !visual; xcb_visualtype_next(&v))
                    visual = v.data->visual_id;
        if (!visual)
            return;
        const xcb_colormap_t colormap = xcb_generate_id(m_conn);
        xcb_create_colormap(m_conn, XCB_COLORMAP_ALLOC_NONE, colormap, m_conn.root(), visual);
        m_picture = QImage(kScreenW, kScreenH, QImage::Format_ARGB32_Premultiplied);
        m_picture.fill(Qt::transparent);
        {
            QPainter p(&m_picture);
            p.fillRect(QRect(1200, 700, 64, 64), QColor(40, 120, 255, 90));
            p.fillRect(QRect(1216, 716, 32, 32), QColor(52, 211, 199));
        }
        for (int i = 0; i < 2; ++i) {
            const xcb_window_t w = xcb_generate_id(m_conn);
            const uint32_t values[] = {0, 0, 1, colormap};
            xcb_create_window(m_conn, 32, w, m_conn.root(), int16_t(i * kScreenW), 0, kScreenW, kScreenH, 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                              XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP,
                              values);
            m_windows.push_back(w);
        }
        m_gc = xcb_generate_id(m_conn);
        xcb_create_gc(m_conn, m_gc, m_windows.front(), 0, nullptr);
        show();
        m_conn.sync();
        for (const auto& d : platform::Platform::get().displays().displays())
            m_displayIDs.push_back(d.displayID);
        std::sort(m_displayIDs.begin(), m_displayIDs.end(), [](uint32_t a, uint32_t b) {
            const auto& x = static_cast<platform::x11::X11Platform&>(platform::Platform::get()).x11Displays();
            return x.pixelRect(a).x() < x.pixelRect(b).x();
        });
    }
    bool ok() const { return m_windows.size() == 2 && m_displayIDs.size() == 2; }
    bool compositing = false;
    // `probes` false leaves the capture without the overlay's opaque
    // pixels (it then waits for the root to go quiet).
    ScreenCaptureOverlayHooks hooks(bool probes = true)
    {
        ScreenCaptureOverlayHooks h;
        if (probes)
            h.probes = [this] {
                QList<platform::RepaintProbe> list;
                if (!compositing)
                    return list; // as the overlay: none without a compositor
                for (uint32_t id : m_displayIDs)
                    for (const auto& [pixel, colour] :
                         overlay::opaqueSamples(m_picture, m_picture.rect(),
                                                overlay::CursorOverlayWindowManager::probesPerWindow))
                        list.append({id, pixel, colour});
                return list;
            };
        h.suspend = [this] {
            for (auto w : m_windows)
                xcb_unmap_window(m_conn, w);
            m_conn.sync();
            return true;
        };
        h.resume = [this](bool) { show(); };
        return h;
    }

private:
    // Maps the windows and draws their picture (an unmapped window's
    // content is gone; the real overlay repaints on exposure).
    void show()
    {
        for (auto w : m_windows) {
            xcb_map_window(m_conn, w);
            xcb_put_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, w, m_gc, kScreenW, 64, 0, 700, 0, 32,
                          uint32_t(m_picture.bytesPerLine() * 64), m_picture.constScanLine(700));
        }
        xcb_flush(m_conn);
    }

    platform::x11::XcbConnection m_conn;
    std::vector<xcb_window_t> m_windows;
    xcb_gcontext_t m_gc = 0;
    std::vector<uint32_t> m_displayIDs;
    QImage m_picture;
};

void BM_Capture_StepWithOverlayCompositorVsNone(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    OverlayStandIn overlay;
    if (!overlay.ok()) {
        state.SkipWithError("no 32-bit visual for the overlay windows");
        return;
    }
    auto step = [&](bool probes) {
        return secondsOf([&] {
            auto payloads = QCoro::waitFor(captureAllScreensForModel(s.service, overlay.hooks(probes), false));
            benchmark::DoNotOptimize(payloads.size());
        });
    };
    // The reference: the same step on the same server without a compositor,
    // in the same iterations (the compositor stopped and started between
    // the two), so that both see the same load.
    QProcess compositor;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromUtf8(benchDisplay));
    compositor.setProcessEnvironment(env);
    compositor.setStandardOutputFile(QProcess::nullDevice());
    compositor.setStandardErrorFile(QProcess::nullDevice());
    platform::x11::XcbConnection probe(benchDisplay.constData());
    const auto compositorRuns = [&](bool wanted) {
        for (int i = 0; i < 300 && platform::x11::compositorRunning(probe, 0) != wanted; ++i)
            QThread::msleep(10);
        return platform::x11::compositorRunning(probe, 0) == wanted;
    };
    if (!compositorRuns(false)) {
        state.SkipWithError("another compositor runs on the benchmark's server");
        return;
    }
    std::vector<double> with, without, quietRule;
    for (auto _ : state) {
        state.PauseTiming();
        QThread::msleep(20); // the overlay back on screen and painted
        without.push_back(step(true));
        compositor.start(QStringLiteral("xcompmgr"), QStringList());
        if (!compositor.waitForStarted(5000) || !compositorRuns(true)) {
            state.SkipWithError("xcompmgr could not be started");
            return;
        }
        QThread::msleep(300); // its first full paint
        overlay.compositing = true;
        state.ResumeTiming();
        const double t = step(true);
        with.push_back(t);
        state.SetIterationTime(t);
        state.PauseTiming();
        QThread::msleep(20);
        quietRule.push_back(step(false));
        compositor.terminate();
        compositor.waitForFinished(3000);
        compositorRuns(false);
        overlay.compositing = false;
        state.ResumeTiming();
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    const auto mean = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v)
            sum += x;
        return v.empty() ? 0.0 : sum / double(v.size());
    };
    state.counters["with_compositor_median_ms"] = 1000.0 * median(with);
    state.counters["without_compositor_median_ms"] = 1000.0 * median(without);
    state.counters["ratio_of_medians"] = median(with) / median(without);
    state.counters["ratio_of_means"] = mean(with) / mean(without);
    // The same step with the compositor when the capture only waits for
    // the root to go quiet (no probes), for comparison.
    state.counters["quiet_rule_ratio_of_medians"] = median(quietRule) / median(without);
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
BENCHMARK(BM_Capture_StepWithOverlayCompositorVsNone)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(31);
BENCHMARK(BM_Capture_BareTurboJpegSequential)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Capture_BareTurboJpegOneThreadPerFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
