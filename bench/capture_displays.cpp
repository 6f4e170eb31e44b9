// Capture of every display for the model, on a real X server with two
// 2560x1440 screens (a private Xvfb started for this run, 5120x1440 split
// into two RandR monitors, its root painted with a desktop-like picture):
//  - grab only (MIT-SHM or GetImage of each display),
//  - grab + JPEG of all displays as the pipeline does it (parallel encode),
//  - the capture step with its display-server synchronisation,
// against the physical limit in the same run: bare libjpeg-turbo encodes of
// the same frames with the same settings, one after the other and with one
// thread per frame.

#include "BenchDesktop.h"
#include "interaction/JpegEncoder.h"
#include "interaction/ScreenCaptureService.h"
#include "platform/Platform.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QCoreApplication>
#include <QDir>
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
#include <xcb/xcb.h>

#include <algorithm>
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

void BM_Capture_GrabAndJpegAllDisplays(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    qint64 bytes = 0;
    for (auto _ : state) {
        auto payloads = QCoro::waitFor(s.service->captureAllScreens(false));
        bytes = 0;
        for (const auto& p : payloads)
            bytes += p.imageData.size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["jpeg_bytes"] = double(bytes);
}

void BM_Capture_StepForModelWithServerSync(benchmark::State& state)
{
    REQUIRE_SETUP(state);
    for (auto _ : state) {
        auto payloads = QCoro::waitFor(captureAllScreensForModel(s.service, ScreenCaptureOverlayHooks{}, false));
        benchmark::DoNotOptimize(payloads.size());
    }
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
BENCHMARK(BM_Capture_GrabAndJpegAllDisplays)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Capture_StepForModelWithServerSync)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Capture_BareTurboJpegSequential)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Capture_BareTurboJpegOneThreadPerFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
