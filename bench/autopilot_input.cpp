// UI Autopilot's synthetic input on a real X server (the bench command's
// Xvfb), each figure beside a reference measured in the same run:
//  - typing: the time per character, and what it takes beyond the 2 ms
//    pause between characters, for ASCII and for non-ASCII text (which lends
//    spare keys their symbols), against `xdotool type --delay 2` of the same
//    text on the same server (its process start, measured with an empty
//    text, taken out); the ratio is ours over xdotool's time per character;
//  - posting: one synthetic click's round trip (press and release posted,
//    until our own tap has seen the release as ours), against one bare X
//    round trip (GetInputFocus) on a connection of its own.

#include "autopilot/DesktopInputService.h"
#include "platform/Platform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTextBoundaryFinder>
#include <benchmark/benchmark.h>
#include <qcoro/qcorotask.h>

#include <condition_variable>
#include <mutex>

using namespace tovrik;

namespace {

bool setUp(benchmark::State& state)
{
    if (!QCoreApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "tovrik_bench";
        static char* argv[] = {name, nullptr};
        new QGuiApplication(argc, argv);
    }
    if (!platform::Platform::isInstalled() || !dynamic_cast<platform::x11::X11Platform*>(&platform::Platform::get()))
        platform::Platform::install(std::make_unique<platform::x11::X11Platform>());
    if (!static_cast<platform::x11::X11Platform&>(platform::Platform::get()).isConnected()) {
        state.SkipWithError("no X server");
        return false;
    }
    return true;
}

int graphemes(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int n = 0;
    while (finder.toNextBoundary() != -1)
        ++n;
    return n;
}

double xdotoolSeconds(const QString& text)
{
    QElapsedTimer timer;
    timer.start();
    QProcess p;
    p.start(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("2"), text});
    p.waitForFinished(60000);
    return timer.nsecsElapsed() / 1e9;
}

void typing(benchmark::State& state, const QString& text)
{
    if (!setUp(state))
        return;
    DesktopInputService service;
    const int n = graphemes(text);
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(service.typeText(text));
        ours += timer.nsecsElapsed() / 1e9;
        state.PauseTiming();
        theirs += xdotoolSeconds(text) - xdotoolSeconds(QString());
        state.ResumeTiming();
    }
    const double iterations = double(state.iterations());
    const double oursMs = ours / iterations / n * 1000;
    const double theirsMs = theirs / iterations / n * 1000;
    state.counters["ours_ms_per_char"] = oursMs;
    state.counters["ours_beyond_2ms"] = oursMs - 2;
    state.counters["xdotool_ms_per_char"] = theirsMs;
    state.counters["ratio"] = oursMs / theirsMs;
}

void BM_Input_TypingOverheadAscii(benchmark::State& state)
{
    typing(state, QStringLiteral("The quick brown fox jumps over the lazy dog 0123456789"));
}

void BM_Input_TypingOverheadNonAscii(benchmark::State& state)
{
    typing(state, QString::fromUtf8("héllo wörld — ✓ 中文 🙂 naïve façade Grüße €5 ½ αβγ"));
}

void BM_Input_ClickRoundTripToOwnTap(benchmark::State& state)
{
    if (!setUp(state))
        return;
    std::mutex mutex;
    std::condition_variable seen;
    int releases = 0;
    auto session = platform::Platform::get().eventTap().start(
        QStringLiteral("tovrik.bench-tap"), [&](const platform::RawInputEvent& e) {
            if (e.type != platform::RawInputEvent::Type::MouseUp || !e.isSynthetic)
                return;
            std::lock_guard lock(mutex);
            ++releases;
            seen.notify_all();
        });
    auto& input = platform::Platform::get().input();
    platform::x11::XcbConnection conn(nullptr);
    double click = 0;
    double roundTrip = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const int before = releases;
        input.postMouse(platform::MouseEventKind::Down, platform::MouseButton::Middle, QPointF(5, 5), 1);
        input.postMouse(platform::MouseEventKind::Up, platform::MouseButton::Middle, QPointF(5, 5), 1);
        std::unique_lock lock(mutex);
        seen.wait(lock, [&] { return releases > before; });
        click += timer.nsecsElapsed() / 1e9;
        lock.unlock();
        state.PauseTiming();
        timer.restart();
        free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        roundTrip += timer.nsecsElapsed() / 1e9;
        state.ResumeTiming();
    }
    const double iterations = double(state.iterations());
    state.counters["click_us"] = click / iterations * 1e6;
    state.counters["x_round_trip_us"] = roundTrip / iterations * 1e6;
    state.counters["ratio"] = click / roundTrip;
}

} // namespace

BENCHMARK(BM_Input_TypingOverheadAscii)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Input_TypingOverheadNonAscii)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Input_ClickRoundTripToOwnTap)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();
