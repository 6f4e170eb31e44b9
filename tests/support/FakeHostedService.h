#pragma once

// A local fake of the hosted service, spoken to over real TLS.
//
// It listens on 127.0.0.1 as an HTTP proxy that accepts CONNECT to any host
// and then speaks TLS with a certificate for the trusted hosted hosts and
// Google's endpoint hosts, signed by a test CA made at test time. Install it
// as the application proxy and add its CA to the default TLS configuration
// (install()), and the production client runs unchanged: same URLs, host
// checks, certificate verification and redirect policy.
//
// Out of the box it implements docs/hosted-api.md with an in-memory account
// store (addAccount, sessions, credits) and stands in for Google's
// authorization and token endpoints (completeGoogleAuthorization plays the
// browser; POST https://oauth2.googleapis.com/token checks the PKCE verifier).
// Tests script any endpoint with setHandler(); every request is recorded.
//
//   FakeHostedService fake;
//   ASSERT_TRUE(fake.start());
//   fake.install();                                  // proxy + CA
//   fake.addAccount("a@b.c", "password1", 1200);
//   fake.setHandler("POST", "/chat", [](const FakeRequest&) {
//       return FakeResponse::eventStream({FakeResponse::sseEvent("delta", R"({"text":"Hi"})"),
//                                         FakeResponse::sseEvent("done", "{}")});
//   });
//   ... client calls against constants::defaultHostedWorkerBaseURL() ...
//   EXPECT_EQ(fake.requestsTo("/chat").size(), 1);
//
// Everything runs on the main thread's event loop: tests must spin it (the
// client's coroutines do) while the fake answers.

#include "support/TestCertificates.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QObject>
#include <QSslConfiguration>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <functional>
#include <memory>
#include <optional>

namespace tovrik::test {

using FakeHeaders = QList<QPair<QByteArray, QByteArray>>;

struct FakeRequest {
    QString host;        // the tunnelled host (from CONNECT), lowercase
    QByteArray method;
    QByteArray target;   // path and query as sent
    QString path;        // decoded path
    QUrlQuery query;
    FakeHeaders headers; // as sent, in order
    QByteArray body;

    // The first header of that name (case-insensitive), or empty.
    QByteArray header(const QByteArray& name) const;
    // The token of "Authorization: Bearer <token>", or empty.
    QString bearerToken() const;
    // The body as a JSON object (empty when it is not one).
    QJsonObject json() const;
    // multipart/form-data: the part named `name` (its bytes), its file name
    // and content type; false when there is no such part.
    bool multipartPart(const QByteArray& name, QByteArray* data, QString* fileName = nullptr,
                       QByteArray* contentType = nullptr) const;
};

struct FakeResponse {
    int status = 200;
    FakeHeaders headers;
    QByteArray body;             // sent with Content-Length (unless chunks)
    QList<QByteArray> chunks;    // sent with chunked transfer encoding, one write each
    int chunkIntervalMs = 0;     // real-time pause before each chunk (slow streams)
    bool holdOpen = false;       // after the chunks: keep the connection open, send nothing
    bool truncate = false;       // after the chunks: close without the terminating chunk
    bool hang = false;           // never answer at all
    bool verbatim = false;       // the chunks are the whole answer (status line and headers too), sent as they are
    bool repeatLastChunk = false; // after the chunks: the last one again and again until the connection closes
    double holdSeconds = 0;      // on the project clock: wait this long before answering

    static FakeResponse json(int status, const QJsonObject& object);
    // {"error": code, "message": message}; an empty code or message is left out.
    static FakeResponse error(int status, const QString& code, const QString& message);
    static FakeResponse raw(int status, const QByteArray& contentType, const QByteArray& body);
    static FakeResponse redirect(int status, const QString& location);
    // Content-Type: text/event-stream, the chunks as given.
    static FakeResponse eventStream(const QList<QByteArray>& chunks);
    // "event: <type>\ndata: <data>\n\n" (data lines split on LF).
    static QByteArray sseEvent(const QByteArray& type, const QByteArray& data);
    // A whole reply: `text` as `pieces` delta events, then "done".
    static QList<QByteArray> chatReplyEvents(const QString& text, int pieces = 3, qint64 creditsBalance = -1);
    // A response that never answers.
    static FakeResponse hanging();
    // No answer: the connection is closed once the request has arrived.
    static FakeResponse dropped();
    // This response sent slowly: a body becomes one chunk, and every chunk
    // waits `intervalMs` of real time.
    FakeResponse slowed(int intervalMs) const;
};

struct FakeGoogleOptions {
    QString expectedClientID;     // empty: accept any
    QString expectedClientSecret; // empty: accept any
    QString email = QStringLiteral("google.user@example.com");
    QString displayName = QStringLiteral("Google User");
};

struct FakeHostedServiceOptions {
    // Serve a certificate signed by a CA that install() does not add.
    bool untrustedCertificate = false;
    // The port on 127.0.0.1; 0 lets the system pick one.
    quint16 port = 0;
};

using FakeHandler = std::function<FakeResponse(const FakeRequest&)>;

// One step request of UI Autopilot as the fake received it.
struct FakeAutopilotRequest {
    QString model;
    QString transcript;   // the step's user message
    QString systemPrompt;
    QJsonArray history;
    QStringList imageLabels;
    QList<QByteArray> images; // decoded image bytes, in order
};

// The answer of one plain-HTTP GET to the loopback sign-in listener.
struct FakeBrowserVisit {
    bool finished = false;
    int status = -1; // -1 when no answer came
    QByteArray body;
};

class FakeHostedService : public QObject {
    Q_OBJECT
public:
    explicit FakeHostedService(QObject* parent = nullptr);
    ~FakeHostedService() override; // stops and uninstalls

    // Listens on 127.0.0.1 (system-picked port) with certificates made on
    // first use. Returns false (see lastError()) when anything fails.
    bool start(FakeHostedServiceOptions options = {});
    void stop();
    quint16 port() const;
    QString lastError() const { return m_lastError; }
    // The CA file of the trusted set (for the standalone program's users).
    QString caCertificatePath() const { return trustedTestCertificates().caPath; }

    // Sets the application proxy to this fake and adds the trusted CA to the
    // default TLS configuration; uninstall() restores both.
    void install();
    void uninstall();

    // Scripting: a handler for METHOD + path (path without query), on any
    // tunnelled host or on one host. Later calls replace earlier ones.
    void setHandler(const QByteArray& method, const QString& path, FakeHandler handler)
    {
        setHostHandler({}, method, path, std::move(handler));
    }
    void setHostHandler(const QString& host, const QByteArray& method, const QString& path, FakeHandler handler);
    void clearHandlers() { m_handlers.clear(); }

    // Recording.
    QList<FakeRequest> requests() const { return m_requests; }
    QList<FakeRequest> requestsTo(const QString& path) const;
    QStringList connectTargets() const { return m_connectTargets; } // "host:port" per CONNECT
    void clearRecords()
    {
        m_requests.clear();
        m_connectTargets.clear();
    }
    // Spins the event loop until `count` requests were recorded.
    bool waitForRequests(int count, int timeoutMs = 5000);

    // The built-in hosted service.
    void addAccount(const QString& email, const QString& password, qint64 creditsBalance,
                    const QString& displayName = {}, const QString& pictureUrl = {});
    QString createSession(const QString& email); // returns the new token
    bool isSessionActive(const QString& token) const;
    void setCreditsBalance(const QString& email, qint64 creditsBalance);
    void setTranscript(const QString& text) { m_transcript = text; }
    void setSpeechAudio(const QByteArray& mpeg) { m_speechAudio = mpeg; }
    void setChatReply(const QString& text, int pieces = 3) { m_chatReply = text; m_chatPieces = pieces; }
    // UI Autopilot: POST /chat with workload "autopilot" is answered from
    // this queue, in order (each decision text streamed as a reply), and
    // like any chat once it is empty. Every such request is recorded.
    void queueAutopilotReplies(const QStringList& decisions);
    void queueAutopilotResponse(const FakeResponse& response);
    // A scripted run: once the queue is empty, every further step is
    // answered with a "done" that reports failure (kDecisionsUsedUp), so a
    // script that ends early ends the run instead of feeding it a chat reply.
    void setAutopilotDoneWhenEmpty(bool on) { m_autopilotDoneWhenEmpty = on; }
    static inline const QString kDecisionsUsedUp =
        QStringLiteral("The stand-in has no scripted UI Autopilot decision left (see its --decisions option).");
    // A script of decisions: a JSON list whose entries are decision objects
    // (sent as compact JSON) or texts (sent as they are). Null on anything
    // else, with `error` set.
    static std::optional<QStringList> readDecisionScript(const QByteArray& json, QString* error);
    QList<FakeAutopilotRequest> autopilotRequests() const { return m_autopilotRequests; }
    int pendingAutopilotReplies() const { return int(m_autopilotReplies.size()); }
    // Reads request bytes slowly: at most `bytes` every `intervalMs` of real
    // time (0 bytes: as fast as they come). Slows uploads down.
    void setReadSlice(qint64 bytes, int intervalMs) { m_readSliceBytes = bytes; m_readSliceIntervalMs = intervalMs; }

    // Google stand-ins.
    void setGoogleOptions(FakeGoogleOptions options) { m_google = std::move(options); }
    enum class Consent { approve, deny };
    // Plays the browser at Google's authorization endpoint: checks the
    // request (client id, response type, S256 challenge, loopback redirect),
    // then visits redirect_uri with a fresh code (approve) or
    // error=access_denied (deny), echoing `state` unless stateOverride is set.
    // Returns the visit, which finishes while the event loop runs; nullptr
    // when the authorization request itself is unacceptable.
    std::shared_ptr<FakeBrowserVisit> completeGoogleAuthorization(const QUrl& authorizationURL,
                                                                  Consent consent = Consent::approve,
                                                                  const std::optional<QString>& stateOverride = {});
    // A plain GET of a loopback http URL (never through a proxy).
    static std::shared_ptr<FakeBrowserVisit> visitLoopback(const QUrl& url, const QByteArray& rawRequest = {});

signals:
    void requestReceived();

private:
    class Server;
    class Connection;
    friend class Connection;
    FakeResponse dispatch(const FakeRequest& request);
    FakeResponse builtIn(const FakeRequest& request);
    FakeResponse googleToken(const FakeRequest& request);
    QJsonObject sessionJSON(const QString& email, const QString& token) const;

    Server* m_server = nullptr;
    FakeHostedServiceOptions m_options;
    QString m_lastError;
    bool m_installed = false;
    QNetworkProxy m_previousProxy;
    bool m_previousSystemProxy = false;
    QSslConfiguration m_previousTls;
    QHash<QString, FakeHandler> m_handlers;
    QList<FakeRequest> m_requests;
    QStringList m_connectTargets;

    struct Account {
        QString password;
        qint64 credits = 0;
        QString displayName;
        QString pictureUrl;
    };
    QHash<QString, Account> m_accounts;
    QHash<QString, QString> m_sessions; // token -> email
    quint64 m_nextId = 1;
    QString m_transcript = QStringLiteral("hello there");
    QByteArray m_speechAudio;
    QString m_chatReply = QStringLiteral("Hello from the fake service.");
    int m_chatPieces = 3;
    QList<FakeResponse> m_autopilotReplies;
    bool m_autopilotDoneWhenEmpty = false;
    QList<FakeAutopilotRequest> m_autopilotRequests;
    qint64 m_readSliceBytes = 0;
    int m_readSliceIntervalMs = 0;

    FakeGoogleOptions m_google;
    struct GoogleCode {
        QString challenge;
        QString redirectURI;
        QString clientID;
        bool used = false;
    };
    QHash<QString, GoogleCode> m_googleCodes;
    QHash<QString, QString> m_googleIDTokens; // id token -> email
};

} // namespace tovrik::test
