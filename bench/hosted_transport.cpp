// The hosted client's transport against a real nginx (started here, reached
// through a local CONNECT tunnel with the test CA), each figure beside a
// reference measured in the same run:
//  - Upload: a 50 MB recording to /stt (nginx reads the whole body before
//    it answers): our time beside curl's upload of the same file to the same
//    server through the same tunnel (`ratio` = ours / curl's), and our peak
//    resident memory above idle during the upload.
//  - ReuseLoop: POST /api/account/signout again and again with nginx's
//    keepalive_timeout (or the raw TLS server's idle close) at 1, 4, 5 and
//    75 s, the gaps between requests spent
//    either with the main thread busy (1-3 s) or with the event loop idle
//    (0.9-1.1 s); our failures beside those of Qt's network manager sending
//    the same requests at the same moments. TOVRIK_BENCH_REUSE_REQUESTS sets
//    the number of requests a run (30 by default). Every configuration is a
//    benchmark of its own, so that they can run side by side, e.g. with
//    --benchmark_filter=ReuseLoop.*keepalive_s:1/busy:1/raw_server:0/

#ifdef TOVRIK_BENCH_HAS_FAKE_SERVICE

#include "BenchCoreApplication.h"
#include "common/Clock.h"
#include "common/Constants.h"
#include "hosted/HostedBackendClient.h"
#include "support/NginxServer.h"
#include "support/ProcessMemory.h"
#include "support/TestCertificates.h"
#include "support/TlsTestServers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <benchmark/benchmark.h>

using namespace tovrik;
using bench::ensureCoreApplication;
using test::resetPeakMemory;
using test::statusMiB;

namespace {

// Runs `task` to its end; true when it failed.
bool runFails(QCoro::Task<void> task, bool* done)
{
    bool failed = false;
    [](QCoro::Task<void> t, bool& d, bool& f) -> QCoro::Task<void> {
        try {
            co_await std::move(t);
        } catch (...) {
            f = true;
        }
        d = true;
    }(std::move(task), *done, failed);
    while (!*done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return failed;
}

struct Servers {
    test::NginxServer nginx;
    test::RawTlsServer raw;
    test::TunnelProxy tunnel;
    // nginx, or the raw TLS server closing idle connections (close_notify,
    // then close) after `keepalive` seconds.
    bool start(double keepalive, benchmark::State& state, bool useRaw = false)
    {
        if (useRaw) {
            const bool started = raw.start([keepalive](const test::RawRequest&) {
                test::RawReply reply;
                reply.bytes = test::rawAnswer("application/json", R"({"ok":true})");
                reply.idleCloseSeconds = keepalive;
                return reply;
            });
            if (!started) {
                state.SkipWithError("the raw server did not start");
                return false;
            }
        } else if (!nginx.start(keepalive)) {
            state.SkipWithError(("nginx did not start: " + nginx.lastError()).toStdString().c_str());
            return false;
        }
        if (!tunnel.start(useRaw ? raw.port() : nginx.port())) {
            state.SkipWithError("the tunnel did not start");
            return false;
        }
        tunnel.install();
        return true;
    }
};

void BM_Hosted_UploadBesideCurl(benchmark::State& state)
{
    ensureCoreApplication();
    Clock::install(nullptr);
    Servers servers;
    if (!servers.start(75, state))
        return;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("recording.wav"));
    const QString caPath = dir.filePath(QStringLiteral("ca.pem"));
    {
        QFile f(path);
        QFile ca(caPath);
        if (!f.open(QIODevice::WriteOnly) || !ca.open(QIODevice::WriteOnly)) {
            state.SkipWithError("cannot write the recording");
            return;
        }
        ca.write(test::trustedTestCertificates().ca.toPem());
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < 50; ++i) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            f.write(block);
        }
    }
    const QString origin = constants::defaultHostedWorkerBaseURL();
    HostedBackendClient client;
    bool warm = false;
    runFails(client.revokeSession(origin, QStringLiteral("t")), &warm);
    double ours = 0, curl = 0, peak = 0, idle = 0;
    for (auto _ : state) {
        QProcess process;
        QElapsedTimer timer;
        timer.start();
        process.start(QStringLiteral("curl"),
                      {QStringLiteral("-sS"), QStringLiteral("-p"), QStringLiteral("-x"),
                       QStringLiteral("http://127.0.0.1:%1").arg(servers.tunnel.port()), QStringLiteral("--cacert"), caPath,
                       QStringLiteral("-F"), QStringLiteral("file=@%1;type=audio/wav").arg(path),
                       QStringLiteral("https://%1/stt").arg(QUrl(origin).host())});
        process.waitForFinished(120000);
        curl += timer.elapsed() / 1000.0;
        if (!process.readAllStandardOutput().contains("hello from nginx"))
            state.SkipWithError("curl's upload failed");

        idle = statusMiB("VmRSS");
        resetPeakMemory();
        timer.restart();
        bool done = false;
        QString text;
        const bool failed = runFails(
            [](HostedBackendClient& c, QString o, QString p, QString& out) -> QCoro::Task<void> {
                out = co_await c.transcribeFile(o, QStringLiteral("t"), p);
            }(client, origin, path, text),
            &done);
        ours += timer.elapsed() / 1000.0;
        peak = std::max(peak, statusMiB("VmHWM") - idle);
        if (failed || text != QStringLiteral("hello from nginx"))
            state.SkipWithError("our upload failed");
    }
    const double n = double(state.iterations());
    state.counters["tovrik_s"] = ours / n;
    state.counters["curl_s"] = curl / n;
    state.counters["ratio"] = curl > 0 ? ours / curl : 0;
    state.counters["peak_above_idle_MiB"] = peak;
    state.counters["idle_MiB"] = idle;
}
BENCHMARK(BM_Hosted_UploadBesideCurl)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Hosted_ReuseLoopBesideQt(benchmark::State& state)
{
    ensureCoreApplication();
    Clock::install(nullptr);
    const double keepalive = double(state.range(0));
    const bool busy = state.range(1) == 1;
    const bool useRaw = state.range(2) == 1;
    const int requests = qEnvironmentVariableIsSet("TOVRIK_BENCH_REUSE_REQUESTS")
        ? qEnvironmentVariableIntValue("TOVRIK_BENCH_REUSE_REQUESTS")
        : 30;
    Servers servers;
    if (!servers.start(keepalive, state, useRaw))
        return;
    const QString origin = constants::defaultHostedWorkerBaseURL();
    const QUrl url(origin + QStringLiteral("/api/account/signout"));
    int ourFailures = 0, qtFailures = 0;
    for (auto _ : state) {
        HostedBackendClient client;
        QNetworkAccessManager qt;
        QRandomGenerator random(7);
        ourFailures = qtFailures = 0;
        for (int i = 0; i < requests; ++i) {
            if (i > 0) {
                if (busy) {
                    QThread::msleep(1000 + random.bounded(2000));
                } else {
                    QEventLoop idle;
                    QTimer::singleShot(900 + random.bounded(200), &idle, &QEventLoop::quit);
                    idle.exec();
                }
            }
            QNetworkRequest request(url);
            request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
            request.setRawHeader("Authorization", "Bearer t");
            QNetworkReply* reply = qt.post(request, QByteArrayLiteral("{}"));
            bool done = false;
            ourFailures += runFails(client.revokeSession(origin, QStringLiteral("t")), &done) ? 1 : 0;
            while (!reply->isFinished())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            qtFailures += reply->error() != QNetworkReply::NoError ? 1 : 0;
            delete reply;
        }
    }
    state.counters["requests"] = requests;
    state.counters["tovrik_failures"] = ourFailures;
    state.counters["qt_failures"] = qtFailures;
    state.counters["connections"] = servers.tunnel.tunnels();
}
BENCHMARK(BM_Hosted_ReuseLoopBesideQt)
    ->ArgNames({"keepalive_s", "busy", "raw_server"})
    ->ArgsProduct({{1, 4, 5, 75}, {1, 0}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

#endif
