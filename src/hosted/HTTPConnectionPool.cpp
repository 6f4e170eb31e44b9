#include "hosted/HTTPConnectionPool.h"

#include "common/Clock.h"
#include "hosted/HTTPExchange.h"
#include "hosted/IdleByteWatch.h"

#include <QSslConfiguration>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace tovrik {

namespace {

const QByteArray kHTTP11 = QByteArrayLiteral("http/1.1");

// An idle close at a younger age than this is taken for something else than
// the server's idle limit (a restart, a proxy's hiccup).
constexpr double kShortestLearnedLimit = 0.5;
// How late a server may close an idle connection against its own limit (its
// timers, its load) before a connection alive past that limit counts.
constexpr double kServerLateness = 0.1;
constexpr qsizetype kMaximumProxyAnswer = 16 * 1024;

// Where the head of a proxy's answer ends (after its empty line; lines end
// with CRLF or a lone LF), or -1 while it is incomplete.
qsizetype endOfHead(const QByteArray& answer)
{
    for (qsizetype lf = answer.indexOf('\n'); lf >= 0; lf = answer.indexOf('\n', lf + 1)) {
        const qsizetype next = lf + 1;
        if (next < answer.size() && answer.at(next) == '\n')
            return next + 1;
        if (next + 1 < answer.size() && answer.at(next) == '\r' && answer.at(next + 1) == '\n')
            return next + 2;
    }
    return -1;
}

void discard(QSslSocket* socket)
{
    socket->setParent(nullptr);
    socket->abort();
    socket->deleteLater();
}

} // namespace

HTTPConnectionPool::~HTTPConnectionPool()
{
    for (const QList<Idle>& list : std::as_const(m_idle))
        for (const Idle& idle : list)
            if (idle.socket) {
                idle.socket->disconnect(this);
                idle.socket->abort();
            }
    for (const Idle& opening : std::as_const(m_opening))
        if (opening.socket) {
            opening.socket->disconnect(this);
            opening.socket->abort();
        }
}

QString HTTPConnectionPool::keyFor(const QUrl& url, const QNetworkProxy& proxy)
{
    return url.host(QUrl::FullyEncoded) + QLatin1Char(':') + QString::number(url.port(443)) + QLatin1Char('|')
        + QString::number(int(proxy.type())) + QLatin1Char(':') + proxy.hostName() + QLatin1Char(':')
        + QString::number(proxy.port()) + QLatin1Char(':') + proxy.user();
}

QSslSocket* HTTPConnectionPool::newSocket(const QNetworkProxy& proxy, QObject* parent)
{
    auto* socket = new QSslSocket(parent);
    // An HTTP proxy is spoken to directly (connectEncrypted).
    socket->setProxy(proxy.type() == QNetworkProxy::HttpProxy ? QNetworkProxy(QNetworkProxy::NoProxy) : proxy);
    QSslConfiguration configuration = socket->sslConfiguration();
    configuration.setAllowedNextProtocols({kHTTP11});
    socket->setSslConfiguration(configuration);
    return socket;
}

void HTTPConnectionPool::connectEncrypted(QSslSocket* socket, const QString& host, quint16 port,
                                          const QNetworkProxy& proxy)
{
    prepareTunnel(socket, host, port, proxy);
    startConnecting(socket, host, port, proxy);
}

void HTTPConnectionPool::startConnecting(QSslSocket* socket, const QString& host, quint16 port,
                                         const QNetworkProxy& proxy)
{
    if (proxy.type() == QNetworkProxy::HttpProxy)
        socket->connectToHost(proxy.hostName(), proxy.port());
    else
        socket->connectToHostEncrypted(host, port);
}

void HTTPConnectionPool::prepareTunnel(QSslSocket* socket, const QString& host, quint16 port,
                                       const QNetworkProxy& proxy)
{
    if (proxy.type() != QNetworkProxy::HttpProxy)
        return;
    // The tunnel's handlers go first, so that the proxy's answer is read
    // here and never by a receiver of the connection's own data.
    auto* tunnel = new QObject(socket);
    auto answer = std::make_shared<QByteArray>();
    const QByteArray authority = (host.contains(QLatin1Char(':')) ? '[' + host.toLatin1() + ']' : host.toLatin1()) + ':'
        + QByteArray::number(port);
    QObject::connect(socket, &QSslSocket::connected, tunnel, [socket, proxy, authority]() {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QByteArray request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
        if (!proxy.user().isEmpty())
            request += "Proxy-Authorization: Basic " + (proxy.user() + QLatin1Char(':') + proxy.password()).toUtf8().toBase64()
                + "\r\n";
        socket->write(request + "\r\n");
    });
    QObject::connect(socket, &QSslSocket::readyRead, tunnel, [socket, tunnel, answer, host]() {
        const auto refuse = [&](QAbstractSocket::SocketError error, const QString& text) {
            delete tunnel;
            socket->setProperty("tovrikFailure", text);
            emit socket->errorOccurred(error);
            socket->abort();
        };
        answer->append(socket->readAll());
        const qsizetype end = endOfHead(*answer);
        if (end < 0) {
            if (answer->size() > kMaximumProxyAnswer)
                refuse(QAbstractSocket::ProxyProtocolError, QStringLiteral("The proxy's answer is too large"));
            return;
        }
        const QByteArray statusLine = answer->left(answer->indexOf('\n')).trimmed();
        const int status = statusLine.startsWith("HTTP/1.") ? statusLine.mid(9, 3).toInt() : 0;
        // A refusal's status says what it is; the page a proxy sends with it
        // is read and dropped. Only an open tunnel must stay silent until TLS
        // begins.
        if (status >= 200 && status <= 299 && end != answer->size()) {
            refuse(QAbstractSocket::ProxyProtocolError, QStringLiteral("The proxy sent data before the tunnel opened"));
        } else if (status == 407) {
            refuse(QAbstractSocket::ProxyAuthenticationRequiredError, QStringLiteral("The proxy requires authentication"));
        } else if (status < 200 || status > 299) {
            refuse(QAbstractSocket::ProxyConnectionRefusedError,
                   QStringLiteral("The proxy refused the connection (%1)").arg(QString::fromLatin1(statusLine.left(80))));
        } else {
            delete tunnel;
            socket->setPeerVerifyName(host);
            socket->startClientEncryption();
        }
    });
}

QString HTTPConnectionPool::failureText(const QSslSocket* socket)
{
    const QString text = socket->property("tovrikFailure").toString();
    return text.isEmpty() ? socket->errorString() : text;
}

QString HTTPConnectionPool::protocolProblem(const QSslSocket* socket)
{
    // A server that does no ALPN at all (it ignores the extension) speaks
    // HTTP/1.1; only a server that chose another protocol cannot be used.
    const QSslConfiguration configuration = socket->sslConfiguration();
    const QByteArray chosen = configuration.nextNegotiatedProtocol();
    if (chosen.isEmpty() || chosen == kHTTP11)
        return {};
    return QStringLiteral("TLS handshake failed: the server does not agree to HTTP/1.1 (ALPN: %1)")
        .arg(QString::fromLatin1(chosen.left(64)));
}

HTTPConnectionPool::Probe HTTPConnectionPool::probeIdle(const QSslSocket* socket)
{
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0)
        return Probe::closed;
    for (;;) {
        char byte;
        const ssize_t n = ::recv(int(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0)
            return Probe::bytesWaiting;
        // Nothing to read and no close: alive. A close (0) or a reset: not.
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Probe::alive : Probe::closed;
    }
}

bool HTTPConnectionPool::aliveNow(QSslSocket* socket, bool* closed)
{
    *closed = false;
    Probe probe = probeIdle(socket);
    if (probe == Probe::bytesWaiting) {
        // Let TLS read them now, watching what it meets. A close_notify or
        // the close itself is the server's close; a fatal alert or another
        // failure ends the connection too, but says nothing of the server's
        // idle limit. A post-handshake message (a TLS 1.3 session ticket, a
        // key update) is neither data nor a close: the wait then ends in a
        // timeout of its own, which says nothing about the connection — and
        // which replaces the socket's last error, so that error() cannot
        // tell a close_notify read just before it.
        bool peerClosed = false;
        bool failed = false;
        QObject watch;
        QObject::connect(socket, &QSslSocket::alertReceived, &watch,
                         [&](QSsl::AlertLevel level, QSsl::AlertType type, const QString&) {
                             if (type == QSsl::AlertType::CloseNotify)
                                 peerClosed = true;
                             else if (level == QSsl::AlertLevel::Fatal)
                                 failed = true;
                         });
        QObject::connect(socket, &QSslSocket::errorOccurred, &watch, [&](QAbstractSocket::SocketError error) {
            if (error == QAbstractSocket::RemoteHostClosedError)
                peerClosed = true;
            else if (error != QAbstractSocket::SocketTimeoutError)
                failed = true;
        });
        QObject::connect(socket, &QSslSocket::disconnected, &watch, [&]() { peerClosed = true; });
        socket->waitForReadyRead(0);
        if (failed)
            return false;
        probe = peerClosed || socket->state() != QAbstractSocket::ConnectedState ? Probe::closed
            : socket->bytesAvailable() > 0                                      ? Probe::bytesWaiting
                                                                                 : probeIdle(socket);
    }
    *closed = probe == Probe::closed;
    return probe == Probe::alive;
}

double HTTPConnectionPool::announcedLimit(double serverIdleSeconds)
{
    double limit = maximumIdleSeconds;
    if (serverIdleSeconds > 0)
        limit = std::min(limit, serverIdleSeconds - serverLimitMargin);
    return limit;
}

double HTTPConnectionPool::reuseLimit(const QString& key, double serverIdleSeconds) const
{
    double limit = announcedLimit(serverIdleSeconds);
    const double learned = learnedServerLimit(key);
    if (learned > 0)
        limit = std::min(limit, learned - serverLimitMargin);
    return limit;
}

void HTTPConnectionPool::learnServerLimit(const QString& key, double age)
{
    // A close well before the age at which a connection was found alive
    // is no idle limit (a reload, a restart).
    Learned& learned = m_learned[key];
    if (age < kShortestLearnedLimit || age + serverLimitMargin <= learned.survived)
        return;
    learned.limit = learned.limit > 0 ? std::min(learned.limit, age) : age;
    learned.outlived = 0;
}

void HTTPConnectionPool::learnSurvivor(const QString& key, double age)
{
    Learned& learned = m_learned[key];
    learned.survived = std::max(learned.survived, age);
    if (learned.limit <= 0 || age <= learned.limit + kServerLateness)
        return;
    // Well past the limit, or past it twice: the close that taught it was
    // not the server's idle limit.
    if (age >= learned.limit + serverLimitMargin || ++learned.outlived >= 2) {
        learned.limit = 0;
        learned.outlived = 0;
    }
}

QSslSocket* HTTPConnectionPool::take(const QString& key, bool repeatable)
{
    const double now = Clock::instance().now();
    QSslSocket* found = nullptr;
    auto it = m_idle.find(key);
    QList<Idle> kept;
    for (qsizetype i = it == m_idle.end() ? -1 : it->size() - 1; i >= 0; --i) { // the most recent first
        const Idle idle = it->at(i);
        QSslSocket* socket = idle.socket;
        if (!socket)
            continue;
        if (found) {
            kept.prepend(idle);
            continue;
        }
        const double age = now - idle.since;
        // Past the learned limit but not the announced one, a connection is
        // still probed: found alive, it may prove the learned limit wrong.
        bool usable = age <= announcedLimit(idle.serverLimit) && socket->state() == QAbstractSocket::ConnectedState
            && socket->isEncrypted() && socket->bytesAvailable() == 0;
        bool closed = false;
        IdleByteWatch* watch = IdleByteWatch::of(socket);
        if (usable) {
            socket->disconnect(this); // what the probe reads is for it alone
            if (watch)
                watch->look(); // before TLS reads what waits
        }
        if (usable && !aliveNow(socket, &closed)) {
            if (closed) // by the server, while nobody was looking
                learnServerLimit(key, age);
            usable = false;
        }
        if (usable) {
            learnSurvivor(key, age);
            if (age > reuseLimit(key, idle.serverLimit)) {
                // Alive past the learned limit: kept, as older it may yet
                // prove the limit wrong (a request then need not wait for
                // a connection to outlive it by chance).
                watchIdle(key, socket, idle.since);
                kept.prepend(idle);
                continue;
            }
            usable = repeatable || (watch && watch->clean());
        }
        delete watch;
        if (usable) {
            found = socket;
        } else {
            socket->disconnect(this);
            discard(socket);
        }
    }
    if (it != m_idle.end()) {
        if (kept.isEmpty())
            m_idle.erase(it);
        else
            *it = kept;
    }
    if (!found) {
        // A connection still being opened for this origin.
        const auto opening = m_opening.find(key);
        if (opening != m_opening.end()) {
            QSslSocket* socket = opening->socket;
            const bool usable = socket && now - opening->since <= maximumIdleSeconds
                && socket->state() != QAbstractSocket::UnconnectedState;
            m_opening.erase(opening);
            if (usable)
                found = socket;
            else if (socket) {
                socket->disconnect(this);
                discard(socket);
            }
        }
    }
    if (found) {
        found->disconnect(this);
        found->setParent(nullptr);
    }
    return found;
}

void HTTPConnectionPool::keep(const QString& key, QSslSocket* socket, double serverIdleSeconds)
{
    socket->setParent(this);
    const double since = Clock::instance().now();
    IdleByteWatch::start(socket);
    watchIdle(key, socket, since);
    QList<Idle>& list = m_idle[key];
    list.append({socket, since, serverIdleSeconds});
    while (list.size() > maximumIdlePerKey) {
        const Idle oldest = list.takeFirst();
        if (oldest.socket) {
            oldest.socket->disconnect(this);
            discard(oldest.socket);
        }
    }
}

void HTTPConnectionPool::watchIdle(const QString& key, QSslSocket* socket, double since)
{
    // Anything from an idle connection (the server closing it, stray bytes,
    // a failure) ends it; only a real close (a FIN, a reset, close_notify)
    // tells the age at which the server closes idle connections.
    const auto closedByServer = [this, key, socket, since]() {
        learnServerLimit(key, Clock::instance().now() - since);
        drop(socket);
    };
    connect(socket, &QSslSocket::readyRead, this, [this, socket]() { drop(socket); });
    connect(socket, &QSslSocket::disconnected, this, closedByServer);
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket, closedByServer](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            closedByServer();
        else
            drop(socket);
    });
}

void HTTPConnectionPool::prepare(const QUrl& url)
{
    if (url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return;
    QString proxyError;
    const QNetworkProxy proxy = HTTPExchange::resolveProxy(url, &proxyError);
    if (!proxyError.isEmpty())
        return;
    const QString key = keyFor(url, proxy);
    const double now = Clock::instance().now();
    const auto opening = m_opening.constFind(key);
    if (opening != m_opening.constEnd() && opening->socket && now - opening->since <= maximumIdleSeconds)
        return;
    for (const Idle& idle : m_idle.value(key)) {
        if (!idle.socket || idle.socket->state() != QAbstractSocket::ConnectedState)
            continue;
        const double age = now - idle.since;
        if (age > reuseLimit(key, idle.serverLimit) && age <= announcedLimit(idle.serverLimit)
            && probeIdle(idle.socket) == Probe::alive)
            learnSurvivor(key, age);
        if (age < reuseLimit(key, idle.serverLimit) / 2)
            return;
    }
    if (opening != m_opening.constEnd() && opening->socket) {
        QSslSocket* stale = opening->socket;
        m_opening.remove(key);
        stale->disconnect(this);
        discard(stale);
    }

    QSslSocket* socket = newSocket(proxy, this);
    m_opening.insert(key, {socket, now});
    connect(socket, &QSslSocket::connected, this,
            [socket]() { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(socket, &QSslSocket::encrypted, this, [this, key, socket]() {
        forget(socket);
        socket->disconnect(this);
        if (!protocolProblem(socket).isEmpty()) {
            discard(socket);
            return;
        }
        keep(key, socket);
    });
    connect(socket, &QSslSocket::disconnected, this, [this, socket]() { drop(socket); });
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket]() { drop(socket); });
    connectEncrypted(socket, url.host(), quint16(url.port(443)), proxy);
}

int HTTPConnectionPool::openingCount() const
{
    int count = 0;
    for (const Idle& opening : m_opening)
        count += opening.socket ? 1 : 0;
    return count;
}

int HTTPConnectionPool::idleCount() const
{
    int count = 0;
    for (const QList<Idle>& list : m_idle)
        for (const Idle& idle : list)
            count += idle.socket ? 1 : 0;
    return count;
}

void HTTPConnectionPool::forget(QSslSocket* socket)
{
    for (auto it = m_idle.begin(); it != m_idle.end(); ++it)
        it->removeIf([socket](const Idle& idle) { return idle.socket == socket; });
    m_opening.removeIf([socket](const auto& entry) { return entry.value().socket == socket; });
}

void HTTPConnectionPool::drop(QSslSocket* socket)
{
    forget(socket);
    socket->disconnect(this);
    discard(socket);
}

} // namespace tovrik
