// From the start of a recording (what the voice chord's press does) to the
// first sample handed to the recorder, on the default microphone of the
// sound server (in the test environment its sine source), beside a bare
// QAudioSource reading the same source in the same run: started, its
// readyRead awaited, read. Counters: ours_ms and bare_qaudiosource_ms
// (medians of the iterations) and their ratio.

#include "BenchCoreApplication.h"
#include "platform/x11/X11Media.h"

#include <QAudioDevice>
#include <QAudioSource>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace {

// Runs the event loop until `done` or 5 s; the milliseconds it took.
template <typename Done>
double spinUntilDone(const QElapsedTimer& clock, Done done)
{
    while (!done() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    return clock.nsecsElapsed() / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_MicrophoneStartToFirstSample(benchmark::State& state)
{
    tovrik::bench::ensureCoreApplication();
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) {
        state.SkipWithError("no microphone (run through scripts/with-test-env.sh)");
        return;
    }
    std::vector<double> ours, bare;
    for (auto _ : state) {
        {
            tovrik::platform::x11::X11AudioInput input;
            bool got = false;
            QElapsedTimer clock;
            clock.start();
            auto stream = input.start(16000, [&](const QByteArray& pcm) { got = got || !pcm.isEmpty(); }, nullptr);
            ours.push_back(stream ? spinUntilDone(clock, [&] { return got; }) : 5000);
        }
        {
            QAudioFormat format;
            format.setSampleRate(16000);
            format.setChannelCount(1);
            format.setSampleFormat(QAudioFormat::Int16);
            QElapsedTimer clock;
            clock.start();
            QAudioSource source(device, format);
            QIODevice* io = source.start();
            bool got = false;
            if (io)
                QObject::connect(io, &QIODevice::readyRead, [&] { got = got || !io->readAll().isEmpty(); });
            bare.push_back(io ? spinUntilDone(clock, [&] { return got; }) : 5000);
            source.stop();
        }
    }
    state.counters["ours_ms"] = median(ours);
    state.counters["bare_qaudiosource_ms"] = median(bare);
    state.counters["ratio"] = median(bare) > 0 ? median(ours) / median(bare) : 0;
}
BENCHMARK(BM_MicrophoneStartToFirstSample)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
