// What the look at the receiving program's input method costs a text (once,
// before its first key): reading the process's mapped files and environment
// and picking the modules, here of this process (Qt 6 and every library the
// application links), against one bare X round trip (GetInputFocus) on a
// connection of its own, of which typing a character takes several; the
// ratio is the look's cost over the round trip's.

#include "platform/x11/X11InputMethods.h"
#include "platform/x11/Xcb.h"

#include <QElapsedTimer>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <unistd.h>

namespace {

void BM_Typing_InputMethodLookAgainstXRoundTrip(benchmark::State& state)
{
    tovrik::platform::x11::XcbConnection conn(nullptr);
    if (!conn.ok()) {
        state.SkipWithError("no X server");
        return;
    }
    double look = 0, roundTrip = 0;
    size_t files = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const auto modules = tovrik::platform::x11::readProcessModules(::getpid());
        benchmark::DoNotOptimize(modules ? tovrik::platform::x11::reorderingInputMethods(*modules).size() : 0);
        look += timer.nsecsElapsed() / 1e9;
        files = modules ? modules->files.size() : 0;
        state.PauseTiming();
        timer.restart();
        std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        roundTrip += timer.nsecsElapsed() / 1e9;
        state.ResumeTiming();
    }
    const double iterations = double(state.iterations());
    state.counters["look_us"] = look / iterations * 1e6;
    state.counters["x_round_trip_us"] = roundTrip / iterations * 1e6;
    state.counters["ratio"] = look / roundTrip;
    state.counters["mapped_files"] = double(files);
}

} // namespace

BENCHMARK(BM_Typing_InputMethodLookAgainstXRoundTrip)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();
