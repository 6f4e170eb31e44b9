#pragma once

// The connections of HTTPExchange: how one is opened (TLS offering only
// HTTP/1.1 by ALPN) and the pool that keeps idle ones for reuse.
//
// An idle connection is handed out again only when it is known to be alive
// at that moment: young enough (maximumIdleSeconds, less a margin below the
// server's own limit when the server announced one with `Keep-Alive:
// timeout=` or was seen closing idle connections at a certain age: a FIN, a
// reset, close_notify), and its descriptor probed with a peeked read that
// finds neither the server's close nor any byte waiting — whatever the event
// loop was doing while it sat idle. Bytes waiting are handed to TLS first: a
// TLS 1.3 post-handshake message (a session ticket, a key update) is no
// close. Any other byte that arrives while it is idle (one that TLS would
// keep to itself) keeps it from carrying a request that cannot be sent
// again.

#include <QHash>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QPointer>
#include <QSslSocket>
#include <QUrl>

namespace tovrik {

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
    // How much sooner than the server's own idle limit a connection stops
    // being reused (the request must reach the server before it closes).
    static constexpr double serverLimitMargin = 0.5;

    // The pool's key for requests to `url` through `proxy`.
    static QString keyFor(const QUrl& url, const QNetworkProxy& proxy);
    // A socket for a new connection through `proxy`, its TLS offering
    // HTTP/1.1 (ALPN) and nothing else.
    static QSslSocket* newSocket(const QNetworkProxy& proxy, QObject* parent = nullptr);
    // Connects `socket` (from newSocket) to host:port and starts TLS. Through
    // an HTTP proxy the tunnel is asked for here (CONNECT, with Basic
    // credentials when the proxy has a user), so that the socket talks to
    // the proxy's connection itself: its writes are paced by that
    // connection and its descriptor can be probed. A refused tunnel emits
    // errorOccurred with the proxy's error and aborts; the text is then
    // failureText(). The proxy's answer may end its lines with a lone LF; a
    // refusal is told by its status whatever page comes with it.
    static void connectEncrypted(QSslSocket* socket, const QString& host, quint16 port, const QNetworkProxy& proxy);
    // connectEncrypted() in two steps, for a caller with handlers of its
    // own to connect in between (the tunnel's go first).
    static void prepareTunnel(QSslSocket* socket, const QString& host, quint16 port, const QNetworkProxy& proxy);
    static void startConnecting(QSslSocket* socket, const QString& host, quint16 port, const QNetworkProxy& proxy);
    // The description of the socket's last failure.
    static QString failureText(const QSslSocket* socket);
    // Why an encrypted connection cannot carry HTTP/1.1 (the server chose
    // another protocol by ALPN), or empty. A server without ALPN speaks
    // HTTP/1.1.
    static QString protocolProblem(const QSslSocket* socket);
    // Peeks at the descriptor of an idle connection.
    enum class Probe { alive, closed, bytesWaiting };
    static Probe probeIdle(const QSslSocket* socket);
    // Whether an idle connection is alive right now. Bytes waiting are
    // handed to TLS first (a TLS 1.3 server's session tickets or key updates
    // may arrive while the event loop is busy): the connection is alive when
    // they were no data and no close. `closed` says whether the server
    // closed it. The socket's receivers hear of what is read here: the
    // caller disconnects its own first.
    static bool aliveNow(QSslSocket* socket, bool* closed);

    // A connected, idle socket for `key` that is alive right now, else one
    // being opened for it (not encrypted yet), or nullptr. The caller owns it.
    // Unless the request may be sent again (`repeatable`), a connection on
    // which anything but whole TLS records arrived while it was idle is not
    // handed out (IdleByteWatch).
    QSslSocket* take(const QString& key, bool repeatable = false);
    // Keeps `socket` (connected, its last answer read whole) for `key`;
    // `serverIdleSeconds` is the server's announced idle limit (0: none).
    void keep(const QString& key, QSslSocket* socket, double serverIdleSeconds = 0);
    // Opens a connection to `url`'s origin for a request likely soon, unless
    // one is being opened or an idle one has more than half its reuse time
    // left. Once encrypted it waits like any idle connection.
    void prepare(const QUrl& url);
    int idleCount() const;
    int openingCount() const;
    // How long an idle connection for `key` may be reused, given the
    // server's announced limit.
    double reuseLimit(const QString& key, double serverIdleSeconds = 0) const;
    // The age at which the server was seen closing idle connections of
    // `key` (0: none learned).
    double learnedServerLimit(const QString& key) const { return m_learned.value(key).limit; }

private:
    struct Idle {
        QPointer<QSslSocket> socket;
        double since;
        double serverLimit = 0;
    };
    // What the pool knows of a server's idle limit. A close tells an
    // upper bound, a connection found alive a lower one: a close well
    // younger than a connection already seen alive (a reload, a restart) is
    // no limit, and a limit that connections outlive is forgotten.
    struct Learned {
        double limit = 0;    // seen closing idle connections at this age
        double survived = 0; // the oldest idle connection found alive
        int outlived = 0;    // connections found alive past `limit`
    };
    // Ends an idle connection on anything from it; a close by the server
    // teaches its idle limit.
    void watchIdle(const QString& key, QSslSocket* socket, double since);
    void drop(QSslSocket* socket);
    void forget(QSslSocket* socket);
    // The server closed an idle connection of `key` after `age` seconds.
    void learnServerLimit(const QString& key, double age);
    // An idle connection of `key` was found alive after `age` seconds.
    void learnSurvivor(const QString& key, double age);
    // The reuse time without what was learned of the server.
    static double announcedLimit(double serverIdleSeconds);
    QHash<QString, QList<Idle>> m_idle;
    QHash<QString, Idle> m_opening;
    QHash<QString, Learned> m_learned;
};

} // namespace tovrik
