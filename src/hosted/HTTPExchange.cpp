#include "hosted/HTTPExchange.h"

#include "common/Clock.h"
#include "hosted/ProxyEnvironment.h"

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
// Decoded body handed on at a time (the reader checks its cap in between).
constexpr qsizetype kDecodeStep = 256 * 1024;

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

// The idle limit a server announces ("Keep-Alive: timeout=5, max=100"), or 0.
double keepAliveTimeout(const QByteArray& field)
{
    for (const QByteArray& part : field.split(',')) {
        const QByteArray item = part.trimmed();
        if (item.size() > 8 && item.left(8).compare("timeout=", Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const double seconds = item.mid(8).trimmed().toDouble(&ok);
            return ok && seconds > 0 ? seconds : 0;
        }
    }
    return 0;
}

// A proxy the application set itself (QNetworkProxy::setApplicationProxy,
// which ends Qt's use of the system configuration). While the system
// configuration is in use, Qt's application proxy is Qt's own reading of the
// environment (http_proxy, HTTP_PROXY, ...) and the desktop: never a choice.
bool applicationChoseProxy()
{
    if (QNetworkProxyFactory::usesSystemConfiguration())
        return false;
    const QNetworkProxy::ProxyType type = QNetworkProxy::applicationProxy().type();
    return type == QNetworkProxy::HttpProxy || type == QNetworkProxy::Socks5Proxy;
}

} // namespace

HTTPExchange::HTTPExchange(HTTPConnectionPool* pool, HTTPRequest request, QObject* parent)
    : QObject(parent), m_pool(pool), m_request(std::move(request)), m_parser(m_request.method)
{
}

HTTPExchange::~HTTPExchange() { release(false); }

QNetworkProxy HTTPExchange::resolveProxy(const QUrl& url, QString* error)
{
    if (!applicationChoseProxy()) {
        const EnvironmentProxy fromEnvironment = environmentProxyFor(url);
        if (!fromEnvironment.error.isEmpty() && error)
            *error = fromEnvironment.error;
        if (fromEnvironment.configured)
            return fromEnvironment.proxy;
    }
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

QNetworkProxy HTTPExchange::proxyFor(const QUrl& url) { return resolveProxy(url, nullptr); }

void HTTPExchange::start()
{
    if (m_started || m_finished)
        return;
    m_started = true;
    const QUrl& url = m_request.url;
    const QString host = url.host(QUrl::FullyEncoded);
    const auto failSoon = [this](const QString& text, int networkError) {
        // Reported once the caller is waiting.
        QTimer::singleShot(0, this, [this, text, networkError]() { fail(Failure::transport, text, networkError); });
    };
    if (url.scheme() != QLatin1String("https") || host.isEmpty()) {
        failSoon(QStringLiteral("Protocol \"%1\" is unknown").arg(m_request.url.scheme()),
                 QNetworkReply::ProtocolUnknownError);
        return;
    }
    const int port = url.port(443);
    QString proxyError;
    m_proxy = resolveProxy(url, &proxyError);
    if (!proxyError.isEmpty()) {
        failSoon(proxyError, QNetworkReply::UnknownProxyError);
        return;
    }
    m_poolKey = HTTPConnectionPool::keyFor(url, m_proxy);

    if (!m_request.bodyFile.isEmpty()) {
        m_file = std::make_unique<QFile>(m_request.bodyFile);
        if (!m_file->open(QIODevice::ReadOnly | QIODevice::Unbuffered) || m_file->isSequential()) {
            failSoon(QStringLiteral("The file to send could not be read."), QNetworkReply::UnknownContentError);
            return;
        }
        m_fileSize = m_file->size();
    }
    m_bodySize = m_request.body.size() + m_fileSize + (m_file ? m_request.bodyTail.size() : 0);

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
        if (name.compare("Accept-Encoding", Qt::CaseInsensitive) != 0) // the exchange asks for what it decodes
            m_head += name + ": " + fieldValue(value) + "\r\n";
    m_head += "Accept-Encoding: " + ContentDecoder::acceptEncoding() + "\r\n";
    if (m_bodySize > 0 || m_request.method == "POST" || m_request.method == "PUT")
        m_head += "Content-Length: " + QByteArray::number(m_bodySize) + "\r\n";
    m_head += "\r\n";
    m_total = m_head.size() + m_bodySize;

    const bool repeatable = m_request.method == "GET" || m_request.method == "HEAD";
    QSslSocket* socket = m_pool ? m_pool->take(m_poolKey, repeatable) : nullptr;
    connectSocket(socket, socket != nullptr);
}

void HTTPExchange::connectSocket(QSslSocket* socket, bool fromPool)
{
    const bool reused = fromPool && socket->isEncrypted();
    m_reused = reused;
    const bool fresh = !socket;
    if (fresh)
        socket = HTTPConnectionPool::newSocket(m_proxy);
    socket->setParent(this);
    m_socket = socket;
    const QString host = m_request.url.host();
    const quint16 port = quint16(m_request.url.port(443));
    if (fresh) // the tunnel's handlers before the exchange's
        HTTPConnectionPool::prepareTunnel(socket, host, port, m_proxy);
    connect(socket, &QSslSocket::readyRead, this, &HTTPExchange::onReadable);
    connect(socket, &QSslSocket::bytesWritten, this, &HTTPExchange::pump);
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &HTTPExchange::pump);
    connect(socket, &QSslSocket::disconnected, this, &HTTPExchange::onClosed);
    connect(socket, &QSslSocket::errorOccurred, this, &HTTPExchange::onSocketError);
    connect(socket, &QSslSocket::alertReceived, this, [this](QSsl::AlertLevel, QSsl::AlertType type, const QString&) {
        if (type == QSsl::AlertType::CloseNotify)
            m_closeNotify = true;
    });
    if (reused) {
        sendRequest();
        return;
    }
    // Requests are small writes followed by a wait for the answer: no
    // Nagle delay on them.
    connect(socket, &QSslSocket::connected, this,
            [socket]() { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(socket, &QSslSocket::encrypted, this, &HTTPExchange::onEncrypted);
    if (fresh)
        HTTPConnectionPool::startConnecting(socket, host, port, m_proxy);
    else if (socket->state() == QAbstractSocket::ConnectedState)
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

void HTTPExchange::onEncrypted()
{
    if (!m_socket || m_finished)
        return;
    const QString problem = HTTPConnectionPool::protocolProblem(m_socket);
    if (!problem.isEmpty()) {
        fail(Failure::transport, problem, QNetworkReply::SslHandshakeFailedError);
        return;
    }
    sendRequest();
}

void HTTPExchange::sendRequest()
{
    if (m_socket && !m_finished)
        pump();
}

qint64 HTTPExchange::writeBodyPiece(QSslSocket* socket, qint64 offset)
{
    // Pieces stop at the ends of the memory body and of the file.
    const qint64 memory = m_request.body.size();
    if (offset < memory) {
        const qint64 size = std::min(kWritePiece, memory - offset);
        return socket->write(m_request.body.constData() + offset, size);
    }
    if (offset < memory + m_fileSize) {
        const qint64 size = std::min(kWritePiece, memory + m_fileSize - offset);
        if (m_file->pos() != offset - memory && !m_file->seek(offset - memory))
            return -1;
        const QByteArray piece = m_file->read(size);
        if (piece.size() != size)
            return -1;
        return socket->write(piece);
    }
    const qint64 at = offset - memory - m_fileSize;
    const qint64 size = std::min(kWritePiece, m_request.bodyTail.size() - at);
    return socket->write(m_request.bodyTail.constData() + at, size);
}

void HTTPExchange::pump()
{
    if (!m_socket || m_finished || !m_socket->isEncrypted())
        return;
    QSslSocket* socket = m_socket;
    const bool first = m_written == 0;
    while (m_written < m_total && pendingBytes(socket) < kWriteWindow) {
        qint64 written;
        if (m_written < m_head.size()) {
            written = socket->write(m_head.constData() + m_written, m_head.size() - m_written);
        } else {
            const qint64 offset = m_written - m_head.size();
            const bool fromFile = offset >= m_request.body.size() && offset < m_request.body.size() + m_fileSize;
            written = writeBodyPiece(socket, offset);
            if (written < 0 && fromFile) {
                fail(Failure::transport, QStringLiteral("The file to send could not be read whole."),
                     QNetworkReply::UnknownContentError);
                return;
            }
        }
        if (written <= 0)
            break;
        m_written += written;
    }
    if (first && m_written > 0)
        socket->flush(); // right after the connection was found alive, not once the event loop comes round
    // Progress of the body, as the bytes leave the process.
    const qint64 left = m_total - m_written + pendingBytes(socket);
    const qint64 sent = std::max<qint64>(0, m_total - left - m_head.size());
    QPointer<HTTPExchange> guard(this);
    if (sent > m_reportedSent) {
        m_reportedSent = sent;
        emit uploadProgress(sent, m_bodySize);
        if (!guard || m_finished)
            return;
    }
    if (!m_sentSignalled && left == 0) {
        m_sentSignalled = true;
        emit requestSent();
    }
}

bool HTTPExchange::takeBody(const QByteArray& raw, const QPointer<HTTPExchange>& guard)
{
    if (!m_decoder || (raw.isEmpty() && !m_decoder->hasPending()))
        return true; // (an answer without a body never meets its coding)
    m_decoder->push(raw);
    do {
        if (!m_decoder->pull(&m_body, kDecodeStep)) {
            fail(Failure::invalidResponse, m_decoder->error(), QNetworkReply::ProtocolFailure);
            return false;
        }
        if (m_discardLeft >= 0 && !m_body.isEmpty()) {
            m_discardLeft -= m_body.size();
            m_body.clear();
            if (m_discardLeft < 0) {
                abort();
                deleteLater();
                return false;
            }
        }
        if (!m_body.isEmpty()) {
            emit readyRead();
            if (!guard || m_finished)
                return false;
        }
    } while (m_decoder->hasPending());
    return true;
}

void HTTPExchange::onReadable()
{
    QPointer<HTTPExchange> guard(this);
    while (m_socket && !m_finished && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(kReadPiece);
        if (!chunk.isEmpty())
            m_answerStarted = true;
        qsizetype consumed = 0;
        QByteArray raw;
        if (!m_parser.feed(chunk.constData(), chunk.size(), &raw, &consumed)) {
            fail(Failure::invalidResponse, m_parser.error(), QNetworkReply::ProtocolFailure);
            return;
        }
        if (!m_headSignalled && m_parser.headComplete()) {
            m_headSignalled = true;
            m_decoder = std::make_unique<ContentDecoder>(m_parser.head().field("Content-Encoding"));
            if (!m_decoder->isValid() && !m_parser.isComplete()) {
                fail(Failure::invalidResponse, m_decoder->error(), QNetworkReply::ProtocolFailure);
                return;
            }
            emit headerReady();
            if (!guard || m_finished)
                return;
        }
        if (!takeBody(raw, guard))
            return;
        if (m_parser.isComplete()) {
            if (m_decoder && m_decoder->isValid() && !m_decoder->finish()) {
                fail(Failure::invalidResponse, m_decoder->error(), QNetworkReply::ProtocolFailure);
                return;
            }
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
    if (m_parser.headComplete() && m_parser.closeDelimited() && !m_closeNotify) {
        // Without the server's close_notify the close may be a reset or a
        // cut: the body's end is not known.
        failTransport(QStringLiteral("The connection closed before the end of the answer (no TLS close_notify)"),
                      QNetworkReply::RemoteHostClosedError);
        return;
    }
    if (m_parser.finish()) {
        if (m_decoder && m_decoder->isValid() && !m_decoder->finish()) {
            fail(Failure::invalidResponse, m_decoder->error(), QNetworkReply::ProtocolFailure);
            return;
        }
        release(false);
        complete();
        return;
    }
    failTransport(QStringLiteral("The remote host closed the connection"), QNetworkReply::RemoteHostClosedError);
}

void HTTPExchange::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_finished || !m_socket)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onClosed();
        return;
    }
    failTransport(HTTPConnectionPool::failureText(m_socket), networkErrorOf(error));
}

void HTTPExchange::failTransport(const QString& text, int networkError)
{
    if (retryOnFreshConnection())
        return;
    fail(Failure::transport, text, networkError);
}

bool HTTPExchange::retryOnFreshConnection()
{
    // Only a request that is safe to repeat, only once, and only when the
    // reused connection gave no sign of having taken it (not a byte back).
    if (!m_reused || m_retried || m_answerStarted || m_finished || m_discardLeft >= 0
        || (m_request.method != "GET" && m_request.method != "HEAD"))
        return false;
    m_retried = true;
    release(false);
    m_parser = HTTPResponseParser(m_request.method);
    m_decoder.reset();
    m_written = 0;
    m_reportedSent = 0;
    m_sentSignalled = false;
    m_headSignalled = false;
    m_closeNotify = false;
    m_body.clear();
    connectSocket(nullptr, false);
    return true;
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
    m_file.reset();
    emit finished();
}

void HTTPExchange::abort()
{
    m_finished = true;
    m_file.reset();
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
        m_pool->keep(m_poolKey, socket, keepAliveTimeout(m_parser.head().field("Keep-Alive")));
        return;
    }
    discard(socket);
}

} // namespace tovrik
