#pragma once

// One HTTPS request and its answer, on a connection of our own (QSslSocket),
// for the hosted client and the sign-in's token exchange:
//  - TLS with the default configuration (the system's roots plus any extra
//    authorities the application trusts), the peer verified against the
//    URL's host; HTTP/1.1 only;
//  - the proxy the application or the system gives for the URL (an HTTP
//    proxy is used through CONNECT, SOCKS5 directly);
//  - the answer is read by HTTPResponseParser: its status line and headers
//    are bounded in size, and an answer over the bound fails at once and
//    frees what it held;
//  - the request is written once. A connection that breaks before the
//    answer is complete fails the exchange; nothing is ever sent again;
//  - an idle connection is kept for reuse only briefly (the pool below), so
//    it is rarely the one a server is closing at the moment a request goes
//    out; one that closed is never used again;
//  - a connection may be opened ahead of a likely request (the pool's
//    prepare()); a request that finds one still shaking hands takes it and
//    goes out once it is encrypted.
// Time limits belong to the caller (abort() stops the exchange at once).
// Signals may be emitted from inside the socket's own; a receiver may
// delete the exchange in any of them.

#include "hosted/HTTPResponseParser.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QPointer>
#include <QSslSocket>
#include <QUrl>

namespace tovrik {

struct HTTPRequest {
    QByteArray method;
    QUrl url; // https
    QList<QPair<QByteArray, QByteArray>> fields; // besides Host and Content-Length
    QByteArray body;
};

// Idle connections by origin and proxy, each reused at most
// maximumIdleSeconds after its last answer (on the project clock), and the
// connections being opened ahead of a request (at most one an origin).
class HTTPConnectionPool : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~HTTPConnectionPool() override;
    static constexpr double maximumIdleSeconds = 4;
    static constexpr int maximumIdlePerKey = 4;

    // The pool's key for requests to `url` through `proxy`.
    static QString keyFor(const QUrl& url, const QNetworkProxy& proxy);

    // A connected, idle socket for `key`, else one being opened for it
    // (not encrypted yet), or nullptr. The caller owns it.
    QSslSocket* take(const QString& key);
    // Keeps `socket` (connected, its last answer read whole) for `key`.
    void keep(const QString& key, QSslSocket* socket);
    // Opens a connection to `url`'s origin for a request likely soon, unless
    // one is being opened or an idle one has more than half its reuse time
    // left. Once encrypted it waits like any idle connection.
    void prepare(const QUrl& url);
    int idleCount() const;
    int openingCount() const;

private:
    struct Idle {
        QPointer<QSslSocket> socket;
        double since;
    };
    void drop(QSslSocket* socket);
    void forget(QSslSocket* socket);
    QHash<QString, QList<Idle>> m_idle;
    QHash<QString, Idle> m_opening;
};

class HTTPExchange : public QObject {
    Q_OBJECT
public:
    enum class Failure { none, transport, invalidResponse };

    HTTPExchange(HTTPConnectionPool* pool, HTTPRequest request, QObject* parent = nullptr);
    ~HTTPExchange() override;

    // Connects (or reuses a connection) and sends; connect to the signals first.
    void start();
    // Stops at once and closes the connection; no signal follows.
    void abort();
    // For a caller that has all it needs before the answer's end (a stream's
    // last event): the exchange reads the rest on its own, so that the
    // connection can carry another request, but at most `maxBytes` more body
    // within `maxSeconds`, else it closes the connection. No signal reaches
    // the caller any more; the exchange deletes itself once done.
    void finishInBackground(qint64 maxBytes = 64 * 1024, double maxSeconds = 2);

    bool isFinished() const { return m_finished; }
    bool isRunning() const { return m_started && !m_finished; }
    const QUrl& url() const { return m_request.url; }
    bool headReceived() const { return m_parser.headComplete(); }
    int status() const { return m_parser.headComplete() ? m_parser.head().status : 0; }
    QByteArray field(const QByteArray& name) const { return m_parser.head().field(name); }
    qint64 contentLength() const { return m_parser.contentLength(); }
    // Body bytes received and not read yet.
    qint64 bytesAvailable() const { return m_body.size(); }
    QByteArray readAll();

    Failure failure() const { return m_failure; }
    QString errorString() const { return m_errorString; }
    // The failure as a QNetworkReply::NetworkError value.
    int networkError() const { return m_networkError; }

    // The proxy for `url`, as the application or the system configured it.
    static QNetworkProxy proxyFor(const QUrl& url);

signals:
    void uploadProgress(qint64 sent, qint64 total);
    // Every byte of the request has left.
    void requestSent();
    void headerReady();
    void readyRead();
    void finished();

private:
    void sendRequest();
    void pump();
    void onReadable();
    void onClosed();
    void onSocketError(QAbstractSocket::SocketError error);
    void fail(Failure kind, const QString& text, int networkError);
    void complete();
    void release(bool reusable);

    QPointer<HTTPConnectionPool> m_pool;
    HTTPRequest m_request;
    QString m_poolKey;
    QPointer<QSslSocket> m_socket;
    HTTPResponseParser m_parser;
    QByteArray m_head;      // the request line and fields
    qint64 m_total = 0;     // head + body
    qint64 m_written = 0;   // handed to the socket
    qint64 m_reportedSent = 0;
    bool m_sentSignalled = false;
    bool m_headSignalled = false;
    bool m_started = false;
    bool m_finished = false;
    QByteArray m_body;
    qint64 m_discardLeft = -1; // finishing in the background: body bytes still allowed
    Failure m_failure = Failure::none;
    QString m_errorString;
    int m_networkError = 0;
};

} // namespace tovrik
