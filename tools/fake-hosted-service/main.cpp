// tovrik-fake-hosted-service: the tests' fake hosted service as a program.
//
//   tovrik-fake-hosted-service --port 8899 --account ada@example.com:secret123:1200
//                              --reply "Hello from the fake."
//
// Then start the app with the proxy and the CA (see the printed lines, or
// scripts/try.sh, which does it all). The CA and its certificates stay in the
// data folder (--data-dir) between starts. The service follows
// docs/hosted-api.md with an in-memory account store. With
// --approve-google it also plays Google's consent page: paste the
// authorization URL the app opened (one per line on standard input) and it
// sends the browser's redirect to the app's loopback listener. With
// --update-dir it publishes a Linux release: the folder's linux-latest.json
// (as `cmake --build build --target tovrik_update_package` writes it into
// build/update) at both manifest locations, and the package it names. With
// --decisions FILE (a JSON list of decisions, see docs/hosted-api.md) it
// plays UI Autopilot: each step gets the next decision of the list, and a
// step past its end (every step, without a list) gets a "done" that reports
// failure.

#include "SpeechAudio.h"
#include "support/FakeHostedService.h"
#include "support/TestCertificates.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

using tovrik::test::FakeHostedService;
using tovrik::test::FakeRequest;
using tovrik::test::FakeResponse;

namespace {

// Serves `folder`'s manifest at both Linux manifest paths and the package
// at its URL's path. Both files are read on every request, so a rebuilt
// package is served without a restart.
bool publishRelease(FakeHostedService& fake, const QString& folder)
{
    const QString manifestPath = folder + QStringLiteral("/linux-latest.json");
    QFile manifest(manifestPath);
    if (!manifest.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "fake hosted service: cannot read %s\n", qPrintable(manifestPath));
        return false;
    }
    const QJsonObject object = QJsonDocument::fromJson(manifest.readAll()).object();
    const QUrl package(object.value(QStringLiteral("assetUrl")).toString());
    if (!package.isValid() || package.path().isEmpty()) {
        std::fprintf(stderr, "fake hosted service: %s names no package URL\n", qPrintable(manifestPath));
        return false;
    }
    const auto serveFile = [](const QString& path, const QByteArray& type) {
        return [path, type](const FakeRequest&) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? FakeResponse::raw(200, type, file.readAll())
                                                  : FakeResponse::error(404, QString(), QStringLiteral("not published"));
        };
    };
    for (const QString& path : {QStringLiteral("/api/downloads/linux/latest"), QStringLiteral("/downloads/linux-latest.json")})
        fake.setHandler("GET", path, serveFile(manifestPath, "application/json"));
    const QString packageFile = folder + QLatin1Char('/') + package.fileName();
    fake.setHandler("GET", package.path(), serveFile(packageFile, "application/octet-stream"));
    std::printf("publishing %s at %s\n", qPrintable(packageFile), qPrintable(package.toString()));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovrik-fake-hosted-service"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A local fake of Tovrik's hosted service (HTTPS through a CONNECT proxy on 127.0.0.1)."));
    parser.addHelpOption();
    QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1 (0: any)."), QStringLiteral("port"), QStringLiteral("0"));
    QCommandLineOption account(QStringLiteral("account"), QStringLiteral("An account: email:password:credits (repeatable)."),
                               QStringLiteral("account"));
    QCommandLineOption dataDir(QStringLiteral("data-dir"),
                               QStringLiteral("Where the test CA and its certificates are kept between starts "
                                              "(default: the user's data folder of this program)."),
                               QStringLiteral("path"));
    QCommandLineOption caOut(QStringLiteral("ca-out"), QStringLiteral("Copy the test CA certificate (PEM) to this file."),
                             QStringLiteral("path"));
    QCommandLineOption reply(QStringLiteral("reply"), QStringLiteral("The chat reply text."), QStringLiteral("text"));
    QCommandLineOption transcript(QStringLiteral("transcript"), QStringLiteral("The transcription text."), QStringLiteral("text"));
    QCommandLineOption approve(QStringLiteral("approve-google"),
                               QStringLiteral("Read Google authorization URLs from standard input and approve each."));
    QCommandLineOption updateDir(QStringLiteral("update-dir"),
                                 QStringLiteral("Publish the release in this folder (linux-latest.json and its package)."),
                                 QStringLiteral("path"));
    QCommandLineOption speechAudio(QStringLiteral("speech-audio"),
                                   QStringLiteral("An MP3 file that /tts answers with (default: a short chime made by lame)."),
                                   QStringLiteral("path"));
    QCommandLineOption decisions(QStringLiteral("decisions"),
                                 QStringLiteral("UI Autopilot decisions, one per step: a JSON list of decision objects. "
                                                "A step past the end of the list is answered with done."),
                                 QStringLiteral("file"));
    QCommandLineOption speechFails(QStringLiteral("speech-fails"),
                                   QStringLiteral("/tts answers 500 (a speech request that fails)."));
    QCommandLineOption speechFlood(QStringLiteral("speech-header-flood"),
                                   QStringLiteral("/tts answers with header fields that never end."));
    parser.addOptions({port, account, dataDir, caOut, reply, transcript, approve, updateDir, speechAudio, decisions,
                       speechFails, speechFlood});
    parser.process(app);
    const QString folder = parser.isSet(dataDir)
                               ? parser.value(dataDir)
                               : QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    tovrik::test::setCertificateFolder(folder);

    FakeHostedService fake;
    tovrik::test::FakeHostedServiceOptions options;
    options.port = quint16(parser.value(port).toUInt());
    if (!fake.start(options)) {
        std::fprintf(stderr, "fake hosted service: %s\n", qPrintable(fake.lastError()));
        return 1;
    }
    for (const QString& entry : parser.values(account)) {
        const QStringList parts = entry.split(QLatin1Char(':'));
        if (parts.size() != 3) {
            std::fprintf(stderr, "fake hosted service: --account wants email:password:credits, got %s\n", qPrintable(entry));
            return 2;
        }
        fake.addAccount(parts[0], parts[1], parts[2].toLongLong());
    }
    if (parser.isSet(reply))
        fake.setChatReply(parser.value(reply));
    if (parser.isSet(transcript))
        fake.setTranscript(parser.value(transcript));
    if (parser.isSet(updateDir) && !publishRelease(fake, parser.value(updateDir)))
        return 1;
    QString speechError;
    const QByteArray speech = tovrik::test::standInSpeechAudio(parser.value(speechAudio), &speechError);
    if (!speech.isEmpty()) {
        fake.setSpeechAudio(speech);
    } else if (parser.isSet(speechAudio)) {
        std::fprintf(stderr, "fake hosted service: %s\n", qPrintable(speechError));
        return 1;
    } else {
        std::fprintf(stderr, "fake hosted service: %s; /tts answers with bytes that do not play\n",
                     qPrintable(speechError));
    }
    if (parser.isSet(speechFails)) {
        fake.setHandler("POST", QStringLiteral("/tts"), [](const tovrik::test::FakeRequest&) {
            return tovrik::test::FakeResponse::error(500, QStringLiteral("speech_failed"),
                                                      QStringLiteral("The speech service failed."));
        });
    } else if (parser.isSet(speechFlood)) {
        fake.setHandler("POST", QStringLiteral("/tts"), [](const tovrik::test::FakeRequest&) {
            tovrik::test::FakeResponse flood;
            flood.verbatim = true;
            flood.repeatLastChunk = true;
            flood.chunks << QByteArray("HTTP/1.1 200 OK\r\n") << QByteArray("X-Flood: b\r\n").repeated(5461);
            return flood;
        });
    }
    if (parser.isSet(decisions)) {
        QFile file(parser.value(decisions));
        QString error = file.open(QIODevice::ReadOnly) ? QString() : file.errorString();
        const auto script = error.isEmpty() ? FakeHostedService::readDecisionScript(file.readAll(), &error) : std::nullopt;
        if (!script) {
            std::fprintf(stderr, "fake hosted service: --decisions %s: %s\n", qPrintable(file.fileName()), qPrintable(error));
            return 2;
        }
        fake.queueAutopilotReplies(*script);
    }
    // A UI Autopilot step never gets a chat reply (which is no decision):
    // without a script, or past its end, the run ends with a done that says
    // why.
    fake.setAutopilotDoneWhenEmpty(true);
    QString caPath = fake.caCertificatePath();
    if (parser.isSet(caOut)) {
        QFile::remove(parser.value(caOut));
        if (!QFile::copy(caPath, parser.value(caOut))) {
            std::fprintf(stderr, "fake hosted service: cannot write %s\n", qPrintable(parser.value(caOut)));
            return 1;
        }
        caPath = parser.value(caOut);
    }
    std::printf("fake hosted service listening on 127.0.0.1:%u\n", unsigned(fake.port()));
    std::printf("  export https_proxy=http://127.0.0.1:%u\n", unsigned(fake.port()));
    std::printf("  export TOVRIK_EXTRA_CA_FILE=%s\n", qPrintable(caPath));
    std::fflush(stdout);

    QObject::connect(&fake, &FakeHostedService::requestReceived, &fake, [&fake]() {
        // A copy: requests() hands out a list of its own, gone after this line.
        const tovrik::test::FakeRequest r = fake.requests().constLast();
        std::printf("%s %s%s\n", r.method.constData(), qPrintable(r.host), r.target.constData());
        std::fflush(stdout);
    });
    std::unique_ptr<QSocketNotifier> stdinNotifier;
    if (parser.isSet(approve)) {
        stdinNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated, &fake, [&fake, &stdinNotifier]() {
            char line[8192];
            if (!std::fgets(line, sizeof line, stdin)) {
                stdinNotifier->setEnabled(false);
                return;
            }
            const QUrl url(QString::fromUtf8(line).trimmed());
            if (!fake.completeGoogleAuthorization(url))
                std::printf("not an acceptable authorization URL\n");
            std::fflush(stdout);
        });
    }
    return app.exec();
}
