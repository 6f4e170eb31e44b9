#pragma once

// The client of the hosted service (wire contract: docs/hosted-api.md).
//
// Every method takes the hosted origin (`baseURL`, normally the result of
// normalizedTrustedHostedWorkerBaseURL) and refuses any URL that is not a
// trusted hosted origin before a byte leaves the process. One long-lived
// connection pool per client: no cookies, no cache, the system proxy
// settings unless the application set a proxy of its own. Redirects are
// followed by hand and only to the same trusted https origin (at most
// maximumRedirects times), so the bearer token never leaves the origin.
//
// Errors: HTTPError (invalid response, time-out, failed status, transport);
// CancellationError when `token` is cancelled (the request is aborted at
// once). Call on the main thread; the client must outlive its requests.
//
// Requests travel on connections of the client's own (HTTPExchange): the
// status line and headers of an answer are bounded in size, not in time
// (they may take the request's whole time limit), and a request other than
// a GET is sent exactly once: a connection that breaks before the answer is
// complete is one transport failure, never a second copy of a (billed)
// request. A GET whose reused connection turns out closed before any byte
// of the answer goes once more on a fresh connection; idle connections are
// probed before reuse (HTTPConnectionPool).
//
// GCC 12 destroys a temporary made by a conditional expression inside a
// co_await full-expression twice when the awaited task throws, e.g.
// `co_await client.signIn(origin, ok ? a : QString(), pw)`. Put such
// arguments in named variables first (plain temporaries are fine).

#include "common/Task.h"
#include "hosted/HTTPError.h"
#include "hosted/HTTPExchange.h"
#include "hosted/HostedPayloads.h"
#include "settings/ConversationTurn.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

namespace tovrik {

class HostedBackendClient : public QObject {
    Q_OBJECT
public:
    explicit HostedBackendClient(QObject* parent = nullptr);
    // Sets up a Qt network manager (the updater's downloads) the way the
    // hosted origin needs it: no cookies, redirects followed only by the
    // caller, replies owned by the caller, and the proxy found as for the
    // client's own requests (the application's, the environment's read as
    // curl reads it, else the system's).
    static void configureNetworkAccess(QNetworkAccessManager* network);
    ~HostedBackendClient() override;

    static constexpr int maximumRedirects = 5;
    // Largest JSON body accepted (larger ones are an invalid response).
    static constexpr qint64 maximumJSONBodyBytes = 1 << 20;
    // Largest speech audio accepted.
    static constexpr qint64 maximumAudioBodyBytes = 32 << 20;
    // Time limits in seconds: plain JSON requests, uploads/speech, and the
    // chat stream's idle limit and default overall limit.
    static constexpr double requestTimeout = 30;
    static constexpr double mediaRequestTimeout = 90;
    static constexpr double chatIdleTimeout = 45;
    static constexpr double chatDefaultTimeout = 180;

    // POST /auth/signin and /auth/signup with {"email","password"}.
    QCoro::Task<HostedAuthSessionPayload> signIn(QString baseURL, QString email, QString password,
                                                 CancellationToken token = {});
    QCoro::Task<HostedAuthSessionPayload> signUp(QString baseURL, QString email, QString password,
                                                 CancellationToken token = {});
    // POST /auth/google/native with Google's tokens.
    QCoro::Task<HostedAuthSessionPayload> signInWithGoogle(QString baseURL, QString idToken, QString accessToken,
                                                           CancellationToken token = {});
    // GET /auth/me.
    QCoro::Task<HostedAccountSummaryPayload> fetchAccountSummary(QString baseURL, QString sessionToken,
                                                                 CancellationToken token = {});
    // POST /api/account/signout: revokes the session token on the service.
    QCoro::Task<void> revokeSession(QString baseURL, QString sessionToken, CancellationToken token = {});
    // POST /stt: uploads a WAV recording (multipart field "file"); returns the
    // transcript, trimmed (may be empty).
    QCoro::Task<QString> transcribe(QString baseURL, QString sessionToken, QByteArray wavData,
                                    QString fileName = QStringLiteral("recording.wav"), CancellationToken token = {});
    // Sends the file as it is read (never whole in memory); a file that
    // cannot be opened throws a TovrikError, one that cannot be read whole
    // while it is sent fails as a transport error.
    QCoro::Task<QString> transcribeFile(QString baseURL, QString sessionToken, QString wavFilePath,
                                        CancellationToken token = {});
    // POST /tts: returns MPEG audio (Content-Type audio/mpeg).
    QCoro::Task<QByteArray> synthesizeSpeech(QString baseURL, QString sessionToken, QString text, QString voiceID,
                                             QString modelID, CancellationToken token = {});
    // Opens a connection to the hosted origin ahead of a request that is
    // likely soon (a question being typed, the push-to-talk chord held), so
    // that the request does not wait for the connection and its TLS
    // handshake. Does nothing for an untrusted origin or while a fresh
    // connection is at hand.
    void prepareConnection(const QString& baseURL);

    // POST /chat: streams the reply and returns its whole text once the
    // stream has ended. `timeoutInterval` (seconds) limits the whole request,
    // chatDefaultTimeout when absent; the stream also fails after
    // chatIdleTimeout seconds without a byte.
    QCoro::Task<QString> respond(QString baseURL, QString sessionToken, QString model,
                                 QList<HostedChatImageAttachment> imageAttachments, QString transcript,
                                 ConversationHistory history, QString systemPrompt,
                                 std::optional<double> timeoutInterval, QString workload,
                                 CancellationToken token = {});

    // The request body of POST /chat (exposed for tests and the fake).
    static QByteArray chatRequestBody(const QString& model, const QList<HostedChatImageAttachment>& images,
                                      const QString& transcript, const ConversationHistory& history,
                                      const QString& systemPrompt, const QString& workload);

    // Makes the system's proxy settings apply unless the application chose a
    // proxy of its own.
    static void useSystemProxyUnlessChosen();

private:
    struct Response {
        int status = 0;
        QByteArray body;
        QByteArray contentType;
        QUrl url;
    };
    QCoro::Task<Response> send(QByteArray method, QUrl url, QString sessionToken, QByteArray contentType,
                               QByteArray body, double timeout, qint64 maxBody, CancellationToken token,
                               QString bodyFile = {}, QByteArray bodyTail = {});
    QCoro::Task<QJsonObject> sendJSON(QByteArray method, QString baseURL, QString path, QString sessionToken,
                                      std::optional<QJsonObject> body, double timeout, CancellationToken token);

    HTTPConnectionPool* m_connections;
};

// Builds origin + path, or throws HTTPError::invalidResponse when the origin
// is not a trusted hosted origin.
QUrl hostedEndpointURL(const QString& baseURL, const QString& path);

// Reads the service's error body ({"error": code, "message": text}) into a
// failedStatus error; tolerates any body.
HTTPError hostedStatusError(int status, const QByteArray& body);

} // namespace tovrik
