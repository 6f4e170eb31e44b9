#pragma once

// One HTTPS request and its answer, on a connection of our own (QSslSocket),
// for the hosted client and the sign-in's token exchange:
//  - TLS with the default configuration (the system's roots plus any extra
//    authorities the application trusts), the peer verified against the
//    URL's host; HTTP/1.1 only, offered by ALPN: a server that does no ALPN
//    is spoken to in HTTP/1.1, one that chose another protocol fails the
//    handshake with a clear message;
//  - the proxy the application chose (QNetworkProxy::setApplicationProxy;
//    never Qt's own reading of the environment), else the one the
//    environment names (read as curl reads it, ProxyEnvironment.h), else the
//    system's; an HTTP proxy is used through CONNECT, SOCKS5 directly;
//  - the answer is read by HTTPResponseParser: its status line and headers
//    are bounded in size, and an answer over the bound fails at once and
//    frees what it held. A body that runs until the connection closes is
//    complete only when the server ended TLS properly (close_notify): a
//    reset or a bare close there is a truncated answer;
//  - requests ask for `Accept-Encoding: gzip`; a gzip body is decoded (in
//    bounded steps, see ContentDecoder), any other coding is an invalid
//    response;
//  - the body goes out in pieces: from memory, then optionally from a file
//    (read as it is sent, never held whole), then a tail from memory;
//  - the request is written once. A connection that breaks before the
//    answer is complete fails the exchange — except that a GET (or HEAD)
//    whose reused connection turns out closed before a single byte of the
//    answer came is sent once more on a fresh connection. Other methods are
//    never sent twice;
//  - an idle connection is reused only when the pool finds it alive at that
//    moment (HTTPConnectionPool); one that closed is never used again;
//  - a connection may be opened ahead of a likely request (the pool's
//    prepare()); a request that finds one still shaking hands takes it and
//    goes out once it is encrypted.
// Time limits belong to the caller (abort() stops the exchange at once).
// Signals may be emitted from inside the socket's own; a receiver may
// delete the exchange in any of them.

#include "hosted/ContentDecoder.h"
#include "hosted/HTTPConnectionPool.h"
#include "hosted/HTTPResponseParser.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QPointer>
#include <QSslSocket>
#include <QUrl>

#include <memory>

namespace tovrik {

struct HTTPRequest {
    QByteArray method;
    QUrl url; // https
    QList<QPair<QByteArray, QByteArray>> fields; // besides Host, Content-Length and Accept-Encoding
    QByteArray body;
    // When set, the body goes on with this file's bytes (its size when the
    // exchange starts; a file that changes meanwhile fails the exchange),
    // then `bodyTail`.
    QString bodyFile;
    QByteArray bodyTail;
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
    // Body bytes received (decoded) and not read yet.
    qint64 bytesAvailable() const { return m_body.size(); }
    QByteArray readAll();
    // The request went out a second time, on a fresh connection.
    bool wasRetried() const { return m_retried; }

    Failure failure() const { return m_failure; }
    QString errorString() const { return m_errorString; }
    // The failure as a QNetworkReply::NetworkError value.
    int networkError() const { return m_networkError; }

    // The proxy for `url`: the application's choice, else the environment's
    // (ProxyEnvironment.h), else the system's.
    static QNetworkProxy proxyFor(const QUrl& url);
    // The same; `error` is set when the environment names a proxy that
    // cannot be used (the request then fails rather than going direct).
    static QNetworkProxy resolveProxy(const QUrl& url, QString* error);

signals:
    void uploadProgress(qint64 sent, qint64 total);
    // Every byte of the request has left.
    void requestSent();
    void headerReady();
    void readyRead();
    void finished();

private:
    void connectSocket(QSslSocket* socket, bool reused);
    void onEncrypted();
    void sendRequest();
    void pump();
    qint64 writeBodyPiece(QSslSocket* socket, qint64 offset);
    void onReadable();
    bool takeBody(const QByteArray& raw, const QPointer<HTTPExchange>& guard);
    void onClosed();
    void onSocketError(QAbstractSocket::SocketError error);
    void failTransport(const QString& text, int networkError);
    bool retryOnFreshConnection();
    void fail(Failure kind, const QString& text, int networkError);
    void complete();
    void release(bool reusable);

    QPointer<HTTPConnectionPool> m_pool;
    HTTPRequest m_request;
    QString m_poolKey;
    QNetworkProxy m_proxy;
    QPointer<QSslSocket> m_socket;
    HTTPResponseParser m_parser;
    std::unique_ptr<ContentDecoder> m_decoder;
    QByteArray m_head;      // the request line and fields
    std::unique_ptr<QFile> m_file;
    qint64 m_fileSize = 0;
    qint64 m_bodySize = 0;  // body + file + tail
    qint64 m_total = 0;     // head + body
    qint64 m_written = 0;   // handed to the socket
    qint64 m_reportedSent = 0;
    bool m_sentSignalled = false;
    bool m_headSignalled = false;
    bool m_started = false;
    bool m_finished = false;
    bool m_reused = false;       // the connection carried an earlier answer
    bool m_retried = false;
    bool m_answerStarted = false; // a byte of the answer arrived
    bool m_closeNotify = false;  // the server ended TLS properly
    QByteArray m_body;
    qint64 m_discardLeft = -1; // finishing in the background: body bytes still allowed
    Failure m_failure = Failure::none;
    QString m_errorString;
    int m_networkError = 0;
};

} // namespace tovrik
