// The update package, 256 MiB, inside the app against the standard tools in
// the same run:
//  - SHA-256 of the file (128 KiB reads) against `sha256sum` on it,
//  - the verified download from the local fake hosted service through its
//    CONNECT proxy (real TLS; the download includes the size and digest
//    checks) against `curl` fetching the same URL through the same proxy.
// Each reports both times and ours / reference as `ratio`.

#include "BenchCoreApplication.h"
#include "common/Clock.h"
#include "common/Constants.h"
#include "updater/MacUpdateService.h"

#ifdef TOVRIK_BENCH_HAS_FAKE_SERVICE
#include "support/FakeHostedService.h"
#endif

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

using namespace tovrik;
using bench::ensureCoreApplication;

namespace {

constexpr qint64 kPackageBytes = qint64(256) << 20;

const QByteArray& packageBytes()
{
    static const QByteArray bytes = [] {
        QByteArray b(kPackageBytes, Qt::Uninitialized);
        QRandomGenerator generator(20260911);
        generator.fillRange(reinterpret_cast<quint32*>(b.data()), b.size() / 4);
        return b;
    }();
    return bytes;
}

const QString& packageFile()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString p = dir.path() + "/package.tar.gz";
        QFile f(p);
        f.open(QIODevice::WriteOnly);
        f.write(packageBytes());
        return p;
    }();
    return path;
}

// Runs a program to its end while the event loop keeps turning (the fake
// service answers on this thread). Returns its standard output.
QByteArray runSpinning(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    if (p.state() != QProcess::NotRunning)
        loop.exec();
    return p.readAllStandardOutput();
}

void BM_Update_Sha256Of256MiBAgainstSha256sum(benchmark::State& state)
{
    ensureCoreApplication();
    const QString path = packageFile();
    double ours = 0, reference = 0;
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        const QString digest = MacUpdateService::computeSHA256(path);
        ours += t.nsecsElapsed() / 1e6;
        t.restart();
        const QByteArray tool = runSpinning("sha256sum", {path});
        reference += t.nsecsElapsed() / 1e6;
        if (!tool.startsWith(digest.toLatin1()))
            state.SkipWithError("the digests differ");
    }
    state.counters["ours_ms"] = benchmark::Counter(ours, benchmark::Counter::kAvgIterations);
    state.counters["sha256sum_ms"] = benchmark::Counter(reference, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = reference > 0 ? ours / reference : 0;
}
BENCHMARK(BM_Update_Sha256Of256MiBAgainstSha256sum)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef TOVRIK_BENCH_HAS_FAKE_SERVICE
void BM_Update_Download256MiBAgainstCurl(benchmark::State& state)
{
    ensureCoreApplication();
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    test::FakeHostedService fake;
    if (!fake.start()) {
        state.SkipWithError("the fake service did not start");
        return;
    }
    fake.install();
    const QString url = constants::defaultHostedWorkerBaseURL() + "/downloads/package";
    fake.setHandler("GET", "/downloads/package", [](const test::FakeRequest&) {
        return test::FakeResponse::raw(200, "application/octet-stream", packageBytes());
    });
    MacUpdateManifest manifest;
    manifest.platform = "macos";
    manifest.version = manifest.appVersion = "1.10.16";
    manifest.bundleBuild = "121";
    manifest.bundleIdentifier = "ai.tovrik.mac";
    manifest.teamIdentifier = constants::macOSDeveloperTeamIdentifier();
    manifest.assetUrl = url;
    manifest.sizeBytes = kPackageBytes;
    manifest.sha256 = QString::fromLatin1(QCryptographicHash::hash(packageBytes(), QCryptographicHash::Sha256).toHex());
    MacUpdateService service("Tovrik", constants::defaultHostedWorkerBaseURL(), {}, "macos", "ai.tovrik.mac",
                             constants::macOSDeveloperTeamIdentifier());
    double ours = 0, reference = 0;
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        bool done = false, failed = false;
        [](MacUpdateService& s, MacUpdateManifest m, bool& d, bool& f) -> QCoro::Task<void> {
            try {
                co_await s.download(m, {});
            } catch (...) {
                f = true;
            }
            d = true;
        }(service, manifest, done, failed);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ours += t.nsecsElapsed() / 1e6;
        if (failed)
            state.SkipWithError("the download failed");
        t.restart();
        const QByteArray size = runSpinning("curl", {"--silent", "--proxy", QString("http://127.0.0.1:%1").arg(fake.port()),
                                                     "--cacert", fake.caCertificatePath(), "--output", "/dev/null",
                                                     "--write-out", "%{size_download}", url});
        reference += t.nsecsElapsed() / 1e6;
        if (size.toLongLong() != kPackageBytes)
            state.SkipWithError("curl did not fetch the whole package");
    }
    state.counters["ours_ms"] = benchmark::Counter(ours, benchmark::Counter::kAvgIterations);
    state.counters["curl_ms"] = benchmark::Counter(reference, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = reference > 0 ? ours / reference : 0;
    fake.uninstall();
}
BENCHMARK(BM_Update_Download256MiBAgainstCurl)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

} // namespace
