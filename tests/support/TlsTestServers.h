#pragma once

// Servers for the transport tests that run on threads of their own, so that
// they keep answering (and closing idle connections) while the test's main
// thread is busy:
//  - TunnelProxy: an HTTP proxy that accepts CONNECT to any host and tunnels
//    it to one local port (nginx, a RawTlsServer); a close or a reset on one
//    side is passed on to the other at once.
//  - RawTlsServer: TLS on a local port (the test certificates, ALPN as
//    configured) that answers each request with exactly the bytes a script
//    gives and ends the connection as the script says.
// Both are reached through installTunnel(), which makes the tunnel the
// application proxy and trusts the test CA (restored by uninstallTunnel()).

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QNetworkProxy>
#include <QPair>
#include <QSslConfiguration>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace tovrik::test {

class TunnelProxy {
public:
    TunnelProxy();
    ~TunnelProxy();
    // Listens on 127.0.0.1 and tunnels every CONNECT to 127.0.0.1:targetPort.
    bool start(quint16 targetPort);
    // The proxy's answer to CONNECT (set before start()). An answer that is
    // not 2xx refuses the tunnel; the connection then stays open.
    QByteArray connectAnswer = QByteArrayLiteral("HTTP/1.1 200 Connection established\r\n\r\n");
    // How long a close of the server's side takes to reach the client (what
    // came before it passes at once), as behind a slow middlebox.
    int closeDelayMs = 0;
    void stop();
    quint16 port() const { return m_port; }
    // Tunnels opened so far.
    int tunnels() const { return m_tunnels.load(); }

    // Application proxy = this tunnel, test CA trusted; undo with uninstall().
    void install();
    void uninstall();

    class Worker;

private:
    QThread m_thread;
    Worker* m_worker = nullptr;
    quint16 m_port = 0;
    std::atomic<int> m_tunnels{0};
    bool m_installed = false;
    QNetworkProxy m_previousProxy;
    bool m_previousSystemProxy = false;
    QSslConfiguration m_previousTls;
};

struct RawRequest {
    QByteArray method;
    QByteArray target;
    QList<QPair<QByteArray, QByteArray>> headers;
    qint64 bodySize = 0;
    int connection = 0; // 1, 2, ... in the order connections were accepted
    int onConnection = 0; // 1 for the first request on its connection
    QByteArray header(const QByteArray& name) const;
};

struct RawReply {
    QByteArray bytes; // sent as they are
    enum class End {
        keepOpen,      // wait for the next request (see idleCloseSeconds)
        close,         // close_notify, then close
        closeBare,     // close without close_notify
        reset,         // a TCP reset
    } end = End::keepOpen;
    // keepOpen: close (close_notify + close) after this long without a request.
    double idleCloseSeconds = 60;
    // Before `bytes`: wait this long (real time).
    int delayMs = 0;
    // keepOpen: bytes written outside TLS, straight to the connection, this
    // long after `bytes` (the connection then idle on the client's side).
    QByteArray strayBytes;
    int strayDelayMs = 0;
};

class RawTlsServer {
public:
    // Called on the server's thread for every request (its body read whole).
    using Script = std::function<RawReply(const RawRequest&)>;

    RawTlsServer();
    ~RawTlsServer();
    // `alpn`: the protocols the server agrees to (empty: no ALPN at all).
    bool start(Script script, QList<QByteArray> alpn = {QByteArrayLiteral("http/1.1")});
    // The TLS versions the server agrees to (set before start()).
    QSsl::SslProtocol protocol = QSsl::TlsV1_2OrLater;
    void stop();
    quint16 port() const { return m_port; }
    QList<RawRequest> requests() const;
    int connections() const { return m_connections.load(); }

    class Worker;

private:
    friend class Worker;
    void record(const RawRequest& request);
    QThread m_thread;
    Worker* m_worker = nullptr;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QList<RawRequest> m_requests;
    std::atomic<int> m_connections{0};
};

// "HTTP/1.1 200 OK" answers for scripts.
QByteArray rawAnswer(const QByteArray& contentType, const QByteArray& body, const QByteArray& moreFields = {});

} // namespace tovrik::test
