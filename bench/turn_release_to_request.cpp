// The time from the push-to-talk chord's release to the chat request leaving:
// the recording is finalised, uploaded for transcription, every display is
// captured and encoded, and the chat request is sent. The network is taken
// out of the figure as far as it can be: a local stand-in of the hosted
// service (HTTP CONNECT, then TLS with a certificate made for this run)
// answers every request at once on the loopback interface.
//
// On sim: two 2560 x 1440 sim displays. On x11: the displays, capture and
// compositor of the X server the benchmark's windows live on (the test
// environment's, with xcompmgr), so the capture step takes the real overlay
// windows off screen and waits for the compositor's repaint; everything else
// (audio, keys, keychain) stays simulated. Text-only mode, so no speech
// follows. The chord is held 0.25 s of real time before each timed release
// (outside the figure). Counters: the part up to the transcription request's
// arrival and the part from the transcript to the chat request (capture,
// JPEG, request).

#include "common/Clock.h"
#include "common/Constants.h"
#include "interaction/AudioRecorderService.h"
#include "model/TovrikAppModel.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Platform.h"
#include "settings/TovrikSettings.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

using namespace tovrik;

namespace {

// A stand-in of the hosted service that answers at once. Times are taken
// when a request's last byte has been read.
class InstantHostedService : public QTcpServer {
public:
    bool start(QString* error)
    {
        const QString host = QUrl(constants::defaultHostedWorkerBaseURL()).host();
        if (!m_dir.isValid()) {
            *error = QStringLiteral("no temporary folder");
            return false;
        }
        const QString cert = m_dir.filePath(QStringLiteral("cert.pem"));
        const QString key = m_dir.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                       QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=") + host,
                       QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:") + host,
                       QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            *error = QString::fromUtf8(openssl.readAll());
            return false;
        }
        QFile certFile(cert), keyFile(key);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("certificate files missing");
            return false;
        }
        m_certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
        m_key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
        if (m_certificate.isNull() || m_key.isNull() || !listen(QHostAddress::LocalHost, 0)) {
            *error = QStringLiteral("certificate unreadable or no port");
            return false;
        }
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), serverPort()));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificate(m_certificate);
        QSslConfiguration::setDefaultConfiguration(tls);
        return true;
    }

    std::function<void(const QByteArray& path)> onRequest;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        auto buffer = std::make_shared<QByteArray>();
        auto tunnelled = std::make_shared<bool>(false);
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer, tunnelled]() {
            buffer->append(socket->readAll());
            if (!*tunnelled) {
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                buffer->clear();
                *tunnelled = true;
                socket->write("HTTP/1.1 200 Connection Established\r\n\r\n");
                socket->flush();
                QSslConfiguration configuration = socket->sslConfiguration();
                configuration.setAllowedNextProtocols({QByteArrayLiteral("http/1.1")});
                socket->setSslConfiguration(configuration);
                socket->startServerEncryption();
                return;
            }
            serve(socket, *buffer);
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void serve(QSslSocket* socket, QByteArray& buffer)
    {
        for (;;) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = buffer.left(end);
            qsizetype length = 0;
            for (const QByteArray& line : head.split('\n')) {
                const QByteArray l = line.trimmed();
                if (l.toLower().startsWith("content-length:"))
                    length = l.mid(15).trimmed().toLongLong();
            }
            if (buffer.size() < end + 4 + length)
                return;
            const QList<QByteArray> requestLine = head.left(head.indexOf('\r')).split(' ');
            const QByteArray path = requestLine.value(1);
            buffer.remove(0, end + 4 + length);
            if (onRequest)
                onRequest(path);
            QByteArray type = "application/json";
            QByteArray body;
            if (path == "/stt") {
                body = R"({"text":"what is on my screen?"})";
            } else if (path == "/chat") {
                type = "text/event-stream";
                body = "event: delta\ndata: {\"text\":\"A desktop.\"}\n\nevent: done\ndata: {}\n\n";
            } else if (path == "/auth/me") {
                body = R"({"email":"bench@b.c","creditsBalance":100,"displayName":"Bench","pictureUrl":null})";
            } else {
                body = R"({"error":"not_found","message":"Not found."})";
            }
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: "
                          + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        }
    }

    QTemporaryDir m_dir;
    QSslCertificate m_certificate;
    QSslKey m_key;
};

bool spinUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// The sim backend with the displays, capture and compositor of a real X server.
class SimWithX11Screens : public platform::Platform {
public:
    SimWithX11Screens() : x11(std::make_unique<platform::x11::X11Platform>()) {}
    platform::sim::SimPlatform sim;
    std::unique_ptr<platform::x11::X11Platform> x11;
    platform::Displays& displays() override { return x11->displays(); }
    platform::SyntheticInput& input() override { return sim.input(); }
    platform::EventTap& eventTap() override { return sim.eventTap(); }
    platform::DisplayCapture& capture() override { return x11->capture(); }
    platform::Permissions& permissions() override { return sim.permissions(); }
    platform::Keychain& keychain() override { return sim.keychain(); }
    platform::Workspace& workspace() override { return sim.workspace(); }
    platform::AudioInput& audioInput() override { return sim.audioInput(); }
    platform::AudioOutput& audioOutput() override { return sim.audioOutput(); }
    platform::SpeechSynthesizer& speech() override { return sim.speech(); }
    bool compositorActive() override { return x11->compositorActive(); }
};

} // namespace

// The display the benchmark's Qt windows are on (main() keeps it).
extern QByteArray benchQtDisplay;

namespace {

void runTurns(benchmark::State& state, bool onX11)
{
    Clock::install(nullptr);
    platform::sim::SimPlatform* sim = nullptr;
    if (onX11) {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || benchQtDisplay.isEmpty()) {
            state.SkipWithError("needs the benchmark's windows on an X server (run through scripts/bench.sh)");
            return;
        }
        qputenv("DISPLAY", benchQtDisplay);
        auto hybrid = std::make_unique<SimWithX11Screens>();
        sim = &hybrid->sim;
        if (!hybrid->x11->isConnected() || !hybrid->compositorActive()) {
            state.SkipWithError("no X server with a compositor");
            return;
        }
        platform::Platform::install(std::move(hybrid));
    } else {
        sim = &platform::sim::SimPlatform::install();
        sim->simDisplays().setDisplays({platform::sim::SimDisplays::make(1, QRectF(0, 0, 2560, 1440), 1.0, true),
                                        platform::sim::SimDisplays::make(2, QRectF(2560, 0, 2560, 1440))});
        sim->simDisplays().setPointerLocation(QPointF(1200, 700));
    }

    InstantHostedService service;
    QString error;
    if (!service.start(&error)) {
        state.SkipWithError(error.toUtf8().constData());
        return;
    }
    QElapsedTimer clock;
    clock.start();
    qint64 sttArrived = -1, chatArrived = -1;
    service.onRequest = [&](const QByteArray& path) {
        if (path == "/stt")
            sttArrived = clock.nsecsElapsed();
        else if (path == "/chat")
            chatArrived = clock.nsecsElapsed();
    };

    {
        auto model = std::make_unique<TovrikAppModel>();
        TovrikSettings settings = model->settings();
        settings.hostedAccountSessionToken = QStringLiteral("bench-session");
        settings.hostedAccountEmail = QStringLiteral("bench@b.c");
        settings.isSilentModeEnabled = true;
        if (!model->saveSettings(settings)) {
            state.SkipWithError("settings could not be saved");
            return;
        }
        model->launch();
        spinUntil([]() { return false; }, 300);

        double uploadPart = 0, chatPart = 0;
        for (auto _ : state) {
            sim->simInput().setPhysicalModifiers(platform::ModControl | platform::ModOption);
            model->handlePushToTalkPressed();
            if (!model->isPushToTalkRecording()) {
                state.SkipWithError("the press started no recording");
                break;
            }
            sim->simAudioInput().feedTone(1.0, 0.5);
            spinUntil([]() { return false; }, 250);
            sttArrived = chatArrived = -1;

            const qint64 released = clock.nsecsElapsed();
            sim->simInput().setPhysicalModifiers(0);
            model->handlePushToTalkReleased();
            if (!spinUntil([&]() { return chatArrived >= 0; }, 20000)) {
                state.SkipWithError("no chat request arrived");
                break;
            }
            state.SetIterationTime(double(chatArrived - released) / 1e9);
            uploadPart += double(sttArrived - released) / 1e9;
            chatPart += double(chatArrived - sttArrived) / 1e9;
            spinUntil([&]() { return model->interactionTask().isFinished(); }, 20000);
        }
        if (state.iterations() > 0) {
            state.counters["release_to_upload_ms"] = 1000.0 * uploadPart / double(state.iterations());
            state.counters["upload_to_chat_ms"] = 1000.0 * chatPart / double(state.iterations());
        }
        model.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

void BM_TurnReleaseToChatRequest(benchmark::State& state) { runTurns(state, false); }
void BM_TurnReleaseToChatRequestX11WithCompositor(benchmark::State& state) { runTurns(state, true); }

BENCHMARK(BM_TurnReleaseToChatRequest)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_TurnReleaseToChatRequestX11WithCompositor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace
