#include "hosted/HTTPExchange.h"

#include "common/Clock.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>

namespace tovrik {

namespace {

// The request is handed to the socket in pieces, so that a large upload
// neither sits twice in memory (plain and encrypted) nor reports its
// progress only at the end.
constexpr qint64 kWritePiece = 64 * 1024;
constexpr qint64 kWriteWindow = 256 * 1024;
constexpr qint64 kReadPiece = 256 * 1024;

qint64 pendingBytes(const QSslSocket* socket) { return socket->bytesToWrite() + socket->encryptedBytesToWrite(); }

int networkErrorOf(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError:
        return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError:
        return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError:
        return QNetworkReply::TimeoutError;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return QNetworkReply::SslHandshakeFailedError;
    case QAbstractSocket::ProxyConnectionRefusedError:
        return QNetworkReply::ProxyConnectionRefusedError;
    case QAbstractSocket::ProxyConnectionClosedError:
        return QNetworkReply::ProxyConnectionClosedError;
    case QAbstractSocket::ProxyNotFoundError:
        return QNetworkReply::ProxyNotFoundError;
    case QAbstractSocket::ProxyConnectionTimeoutError:
        return QNetworkReply::ProxyTimeoutError;
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case QAbstractSocket::ProxyProtocolError:
        return QNetworkReply::UnknownProxyError;
    case QAbstractSocket::NetworkError:
        return QNetworkReply::UnknownNetworkError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

// A header value as it may go on the wire: no line breaks, no NUL.
QByteArray fieldValue(QByteArray value)
{
    value.replace('\r', ' ').replace('\n', ' ').replace('\0', ' ');
    return value;
}

void discard(QSslSocket* socket)
{
    socket->setParent(nullptr);
    socket->abort();
    socket->deleteLater();
}

} // namespace

// ------------------------------------------------------------------ pool

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

QSslSocket* HTTPConnectionPool::take(const QString& key)
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
        if (now - idle.since > maximumIdleSeconds || socket->state() != QAbstractSocket::ConnectedState
            || !socket->isEncrypted() || socket->bytesAvailable() > 0) {
            socket->disconnect(this);
            discard(socket);
        } else if (!found) {
            found = socket;
        } else {
            kept.prepend(idle);
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

void HTTPConnectionPool::keep(const QString& key, QSslSocket* socket)
{
    socket->setParent(this);
    // Anything from an idle connection (the server closing it, stray bytes)
    // ends it.
    connect(socket, &QSslSocket::readyRead, this, [this, socket]() { drop(socket); });
    connect(socket, &QSslSocket::disconnected, this, [this, socket]() { drop(socket); });
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket]() { drop(socket); });
    QList<Idle>& list = m_idle[key];
    list.append({socket, Clock::instance().now()});
    while (list.size() > maximumIdlePerKey) {
        const Idle oldest = list.takeFirst();
        if (oldest.socket) {
            oldest.socket->disconnect(this);
            discard(oldest.socket);
        }
    }
}

void HTTPConnectionPool::prepare(const QUrl& url)
{
    if (url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return;
    const QNetworkProxy proxy = HTTPExchange::proxyFor(url);
    const QString key = keyFor(url, proxy);
    const double now = Clock::instance().now();
    const auto opening = m_opening.constFind(key);
    if (opening != m_opening.constEnd() && opening->socket && now - opening->since <= maximumIdleSeconds)
        return;
    for (const Idle& idle : m_idle.value(key))
        if (idle.socket && now - idle.since < maximumIdleSeconds / 2
            && idle.socket->state() == QAbstractSocket::ConnectedState)
            return;
    if (opening != m_opening.constEnd() && opening->socket) {
        QSslSocket* stale = opening->socket;
        m_opening.remove(key);
        stale->disconnect(this);
        discard(stale);
    }

    auto* socket = new QSslSocket(this);
    socket->setProxy(proxy);
    m_opening.insert(key, {socket, now});
    connect(socket, &QSslSocket::connected, this,
            [socket]() { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(socket, &QSslSocket::encrypted, this, [this, key, socket]() {
        forget(socket);
        socket->disconnect(this);
        keep(key, socket);
    });
    connect(socket, &QSslSocket::disconnected, this, [this, socket]() { drop(socket); });
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket]() { drop(socket); });
    socket->connectToHostEncrypted(url.host(), quint16(url.port(443)));
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

// -------------------------------------------------------------- exchange

HTTPExchange::HTTPExchange(HTTPConnectionPool* pool, HTTPRequest request, QObject* parent)
    : QObject(parent), m_pool(pool), m_request(std::move(request)), m_parser(m_request.method)
{
}

HTTPExchange::~HTTPExchange() { release(false); }

QNetworkProxy HTTPExchange::proxyFor(const QUrl& url)
{
    for (const QNetworkProxy& proxy : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url))) {
        switch (proxy.type()) {
        case QNetworkProxy::NoProxy:
        case QNetworkProxy::HttpProxy:
        case QNetworkProxy::Socks5Proxy:
            return proxy;
        default:
            break; // a caching proxy cannot carry TLS
        }
    }
    return QNetworkProxy(QNetworkProxy::NoProxy);
}

void HTTPExchange::start()
{
    if (m_started || m_finished)
        return;
    m_started = true;
    const QUrl& url = m_request.url;
    const QString host = url.host(QUrl::FullyEncoded);
    if (url.scheme() != QLatin1String("https") || host.isEmpty()) {
        // Reported once the caller is waiting.
        QTimer::singleShot(0, this, [this]() {
            fail(Failure::transport, QStringLiteral("Protocol \"%1\" is unknown").arg(m_request.url.scheme()),
                 QNetworkReply::ProtocolUnknownError);
        });
        return;
    }
    const int port = url.port(443);
    const QNetworkProxy proxy = proxyFor(url);
    m_poolKey = HTTPConnectionPool::keyFor(url, proxy);

    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray hostField = host.contains(QLatin1Char(':')) ? '[' + host.toLatin1() + ']' : host.toLatin1();
    if (port != 443)
        hostField += ':' + QByteArray::number(port);
    m_head = m_request.method + ' ' + target + " HTTP/1.1\r\nHost: " + hostField + "\r\n";
    for (const auto& [name, value] : m_request.fields)
        m_head += name + ": " + fieldValue(value) + "\r\n";
    if (!m_request.body.isEmpty() || m_request.method == "POST" || m_request.method == "PUT")
        m_head += "Content-Length: " + QByteArray::number(m_request.body.size()) + "\r\n";
    m_head += "\r\n";
    m_total = m_head.size() + m_request.body.size();

    QSslSocket* socket = m_pool ? m_pool->take(m_poolKey) : nullptr;
    const bool reused = socket != nullptr;
    if (!socket) {
        socket = new QSslSocket;
        socket->setProxy(proxy);
    }
    socket->setParent(this);
    m_socket = socket;
    connect(socket, &QSslSocket::readyRead, this, &HTTPExchange::onReadable);
    connect(socket, &QSslSocket::bytesWritten, this, &HTTPExchange::pump);
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &HTTPExchange::pump);
    connect(socket, &QSslSocket::disconnected, this, &HTTPExchange::onClosed);
    connect(socket, &QSslSocket::errorOccurred, this, &HTTPExchange::onSocketError);
    if (reused && socket->isEncrypted()) {
        sendRequest();
        return;
    }
    // Requests are small writes followed by a wait for the answer: no
    // Nagle delay on them.
    connect(socket, &QSslSocket::connected, this,
            [socket]() { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(socket, &QSslSocket::encrypted, this, &HTTPExchange::sendRequest);
    if (!reused)
        socket->connectToHostEncrypted(url.host(), quint16(port));
    else if (socket->state() == QAbstractSocket::ConnectedState)
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

void HTTPExchange::sendRequest()
{
    if (m_socket && !m_finished)
        pump();
}

void HTTPExchange::pump()
{
    if (!m_socket || m_finished || !m_socket->isEncrypted())
        return;
    QSslSocket* socket = m_socket;
    while (m_written < m_total && pendingBytes(socket) < kWriteWindow) {
        const char* from;
        qint64 size;
        if (m_written < m_head.size()) {
            from = m_head.constData() + m_written;
            size = m_head.size() - m_written;
        } else {
            const qint64 offset = m_written - m_head.size();
            from = m_request.body.constData() + offset;
            size = std::min(kWritePiece, m_request.body.size() - offset);
        }
        const qint64 written = socket->write(from, size);
        if (written <= 0)
            break;
        m_written += written;
    }
    // Progress of the body, as the bytes leave the process.
    const qint64 left = m_total - m_written + pendingBytes(socket);
    const qint64 sent = std::max<qint64>(0, m_total - left - m_head.size());
    QPointer<HTTPExchange> guard(this);
    if (sent > m_reportedSent) {
        m_reportedSent = sent;
        emit uploadProgress(sent, m_request.body.size());
        if (!guard || m_finished)
            return;
    }
    if (!m_sentSignalled && left == 0) {
        m_sentSignalled = true;
        emit requestSent();
    }
}

void HTTPExchange::onReadable()
{
    QPointer<HTTPExchange> guard(this);
    while (m_socket && !m_finished && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(kReadPiece);
        qsizetype consumed = 0;
        if (!m_parser.feed(chunk.constData(), chunk.size(), &m_body, &consumed)) {
            fail(Failure::invalidResponse, m_parser.error(), QNetworkReply::ProtocolFailure);
            return;
        }
        if (!m_headSignalled && m_parser.headComplete()) {
            m_headSignalled = true;
            emit headerReady();
            if (!guard || m_finished)
                return;
        }
        if (m_discardLeft >= 0 && !m_body.isEmpty()) {
            m_discardLeft -= m_body.size();
            m_body.clear();
            if (m_discardLeft < 0) {
                abort();
                deleteLater();
                return;
            }
        }
        if (!m_body.isEmpty()) {
            emit readyRead();
            if (!guard || m_finished)
                return;
        }
        if (m_parser.isComplete()) {
            const bool reusable = m_parser.connectionReusable() && consumed == chunk.size()
                && m_socket->bytesAvailable() == 0 && m_sentSignalled;
            release(reusable);
            complete();
            return;
        }
    }
}

void HTTPExchange::onClosed()
{
    if (m_finished || !m_socket)
        return;
    QPointer<HTTPExchange> guard(this);
    onReadable(); // what arrived before the close
    if (!guard || m_finished)
        return;
    if (m_parser.finish()) {
        release(false);
        complete();
        return;
    }
    fail(Failure::transport, QStringLiteral("The remote host closed the connection"), QNetworkReply::RemoteHostClosedError);
}

void HTTPExchange::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_finished || !m_socket)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onClosed();
        return;
    }
    fail(Failure::transport, m_socket->errorString(), networkErrorOf(error));
}

QByteArray HTTPExchange::readAll() { return std::exchange(m_body, {}); }

void HTTPExchange::fail(Failure kind, const QString& text, int networkError)
{
    if (m_finished)
        return;
    m_failure = kind;
    m_errorString = text;
    m_networkError = networkError;
    m_body = {};
    release(false);
    complete();
}

void HTTPExchange::complete()
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}

void HTTPExchange::abort()
{
    m_finished = true;
    release(false);
}

void HTTPExchange::finishInBackground(qint64 maxBytes, double maxSeconds)
{
    QObject::disconnect(this, nullptr, nullptr, nullptr);
    if (!m_started || m_finished || !m_pool || !m_socket) {
        abort();
        deleteLater();
        return;
    }
    setParent(m_pool);
    m_discardLeft = std::max<qint64>(0, maxBytes - m_body.size());
    m_body.clear();
    connect(this, &HTTPExchange::finished, this, &QObject::deleteLater);
    Clock::instance().schedule(maxSeconds, this, [this]() {
        if (m_finished)
            return;
        abort();
        deleteLater();
    });
}

void HTTPExchange::release(bool reusable)
{
    QSslSocket* socket = m_socket;
    m_socket = nullptr;
    if (!socket)
        return;
    socket->disconnect(this);
    if (reusable && m_pool && socket->state() == QAbstractSocket::ConnectedState) {
        m_pool->keep(m_poolKey, socket);
        return;
    }
    discard(socket);
}

} // namespace tovrik
