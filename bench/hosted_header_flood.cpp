// The client's memory against a service that never ends its headers: the
// local fake hosted service (CONNECT proxy, real TLS) answers with a status
// line and then header bytes as fast as the client takes them, until the
// client gives up. Three answers: endless header fields to a JSON request
// (GET /auth/me) and to a chat (POST /chat), and one endless header line to
// /tts. Each reports the process's resident memory at idle (after a normal
// request, the reference) and its peak above that during the flooded
// request, and peak / idle as `ratio`. The peak is the kernel's high-water
// mark, reset before each request; the fake's own buffers count in it too.

#ifdef TOVRIK_BENCH_HAS_FAKE_SERVICE

#include "BenchCoreApplication.h"
#include "common/Constants.h"
#include "hosted/HostedBackendClient.h"
#include "support/FakeHostedService.h"
#include "support/ProcessMemory.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <functional>

using namespace tovrik;
using bench::ensureCoreApplication;
using test::resetPeakMemory;
using test::statusMiB;

namespace {

test::FakeResponse endless(const QByteArray& first, const QByteArray& more)
{
    test::FakeResponse r;
    r.verbatim = true;
    r.repeatLastChunk = true;
    r.chunks << first << more;
    return r;
}

// Runs `request` to its end; true when it failed (as it must here).
bool failsToEnd(const std::function<QCoro::Task<void>()>& request)
{
    bool done = false, failed = false;
    [](std::function<QCoro::Task<void>()> call, bool& d, bool& f) -> QCoro::Task<void> {
        try {
            co_await call();
        } catch (...) {
            f = true;
        }
        d = true;
    }(request, done, failed);
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return failed;
}

enum class Flood { jsonFields, chatFields, speechLine };

void BM_Hosted_EndlessHeadersPeakRSSAgainstIdle(benchmark::State& state)
{
    ensureCoreApplication();
    const auto flood = Flood(state.range(0));
    test::FakeHostedService fake;
    if (!fake.start()) {
        state.SkipWithError("the fake service did not start");
        return;
    }
    fake.install();
    fake.addAccount(QStringLiteral("ada@example.com"), QStringLiteral("pw"), 100);
    const QString token = fake.createSession(QStringLiteral("ada@example.com"));
    const QString origin = constants::defaultHostedWorkerBaseURL();
    HostedBackendClient client;
    const auto request = [&]() -> QCoro::Task<void> {
        switch (flood) {
        case Flood::jsonFields:
            co_await client.fetchAccountSummary(origin, token);
            break;
        case Flood::chatFields:
            co_await client.respond(origin, token, QStringLiteral("claude-fable-5"), {}, QStringLiteral("hi"), {},
                                    QStringLiteral("s"), 180.0, QStringLiteral("chat"));
            break;
        case Flood::speechLine:
            co_await client.synthesizeSpeech(origin, token, QStringLiteral("hi"), QStringLiteral("v"), QStringLiteral("m"));
            break;
        }
    };
    // The idle figure: after one normal request of the same kind.
    fake.setSpeechAudio(QByteArray(1000, 'm'));
    failsToEnd(request);
    const QByteArray fields = QByteArray("X-Flood: b\r\n").repeated(5461); // 64 KiB a write
    const QByteArray line = QByteArray(64 * 1024, 'a');
    const test::FakeResponse answer = flood == Flood::speechLine ? endless("HTTP/1.1 200 OK\r\nX-Flood: ", line)
                                                                 : endless("HTTP/1.1 200 OK\r\n", fields);
    fake.setHandler(flood == Flood::jsonFields ? "GET" : "POST",
                    flood == Flood::jsonFields ? QStringLiteral("/auth/me")
                                               : flood == Flood::chatFields ? QStringLiteral("/chat") : QStringLiteral("/tts"),
                    [answer](const test::FakeRequest&) { return answer; });
    double idle = 0, peak = 0;
    for (auto _ : state) {
        idle = statusMiB("VmRSS");
        if (!resetPeakMemory()) {
            state.SkipWithError("cannot reset the peak of resident memory");
            break;
        }
        if (!failsToEnd(request))
            state.SkipWithError("the flooded request did not fail");
        peak = std::max(peak, statusMiB("VmHWM") - idle);
    }
    state.counters["idle_MiB"] = idle;
    state.counters["peak_above_idle_MiB"] = peak;
    state.counters["ratio"] = idle > 0 ? peak / idle : 0;
    fake.uninstall();
}
BENCHMARK(BM_Hosted_EndlessHeadersPeakRSSAgainstIdle)
    ->ArgName("flood")
    ->Arg(int(Flood::jsonFields))
    ->Arg(int(Flood::chatFields))
    ->Arg(int(Flood::speechLine))
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

#endif
