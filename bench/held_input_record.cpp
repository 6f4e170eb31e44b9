// What recording held keys and buttons costs each synthetic press or
// release: one in-place rewrite of the record, against one bare X round trip
// (GetInputFocus) on a connection of its own, which every checked XTest
// post takes anyway; the ratio is the record's cost over the round trip's.

#include "platform/x11/HeldInputRecord.h"
#include "platform/x11/Xcb.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

void BM_Input_HeldRecordUpdateAgainstXRoundTrip(benchmark::State& state)
{
    tovrik::platform::x11::XcbConnection conn(nullptr);
    QTemporaryDir folder;
    if (!conn.ok() || !folder.isValid()) {
        state.SkipWithError("no X server or no temporary folder");
        return;
    }
    tovrik::platform::x11::HeldInputRecord record(QStringLiteral(":bench"), folder.path());
    double update = 0, roundTrip = 0;
    bool down = false;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        record.setKey(38, down = !down);
        update += timer.nsecsElapsed() / 1e9;
        state.PauseTiming();
        timer.restart();
        std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        roundTrip += timer.nsecsElapsed() / 1e9;
        state.ResumeTiming();
    }
    const double iterations = double(state.iterations());
    state.counters["record_us"] = update / iterations * 1e6;
    state.counters["x_round_trip_us"] = roundTrip / iterations * 1e6;
    state.counters["ratio"] = update / roundTrip;
}

} // namespace

BENCHMARK(BM_Input_HeldRecordUpdateAgainstXRoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond)->UseRealTime();
