#include "support/TlsTestServers.h"

#include "support/TestCertificates.h"

#include <QNetworkProxyFactory>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace tovrik::test {

namespace {

// Runs `fn` on `object`'s thread and waits for it.
template <typename Fn>
void onThread(QObject* object, Fn fn)
{
    QMetaObject::invokeMethod(object, fn, Qt::BlockingQueuedConnection);
}

void waitWritten(QAbstractSocket* socket)
{
    for (int i = 0; i < 200 && socket->state() == QAbstractSocket::ConnectedState; ++i) {
        const auto* ssl = qobject_cast<QSslSocket*>(socket);
        if (socket->bytesToWrite() == 0 && (!ssl || ssl->encryptedBytesToWrite() == 0))
            break;
        socket->waitForBytesWritten(10);
    }
}

} // namespace

QByteArray RawRequest::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

QByteArray rawAnswer(const QByteArray& contentType, const QByteArray& body, const QByteArray& moreFields)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\n" + moreFields + "\r\n" + body;
}

// ------------------------------------------------------------------ tunnel

class TunnelProxy::Worker : public QTcpServer {
public:
    Worker(quint16 target, std::atomic<int>* tunnels, QByteArray answer, int closeDelayMs)
        : m_target(target), m_tunnels(tunnels), m_answer(std::move(answer)), m_closeDelayMs(closeDelayMs)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* client = new QTcpSocket(this);
        client->setSocketDescriptor(descriptor);
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto* upstream = new QTcpSocket(client);
        auto head = std::make_shared<QByteArray>();
        auto open = std::make_shared<bool>(false);
        // Bytes are passed on with back-pressure: at most a few hundred KiB
        // wait in this process, whatever the speeds of the two sides.
        constexpr qint64 kWindow = 256 * 1024;
        client->setReadBufferSize(kWindow);
        upstream->setReadBufferSize(kWindow);
        const auto relay = [](QTcpSocket* from, QTcpSocket* to) {
            while (from->bytesAvailable() > 0 && to->bytesToWrite() < kWindow)
                to->write(from->read(64 * 1024));
        };
        connect(client, &QTcpSocket::readyRead, client, [=, this]() {
            if (*open) {
                if (upstream->state() == QAbstractSocket::ConnectedState)
                    relay(client, upstream);
                return;
            }
            head->append(client->readAll());
            const qsizetype end = head->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            if (!head->startsWith("CONNECT ")) {
                client->write("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n");
                client->disconnectFromHost();
                return;
            }
            if (!m_answer.startsWith("HTTP/1.1 2")) {
                client->write(m_answer);
                return;
            }
            *open = true;
            const QByteArray early = head->mid(end + 4);
            connect(upstream, &QTcpSocket::connected, client, [=, this]() {
                upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                m_tunnels->fetch_add(1);
                client->write(m_answer);
                client->flush();
                if (!early.isEmpty())
                    upstream->write(early);
                relay(client, upstream);
            });
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
        });
        connect(upstream, &QTcpSocket::readyRead, client, [=]() { relay(upstream, client); });
        connect(upstream, &QTcpSocket::bytesWritten, client, [=]() { relay(client, upstream); });
        connect(client, &QTcpSocket::bytesWritten, client, [=]() { relay(upstream, client); });
        // A close on one side closes the other once what came before it is through.
        const auto upstreamGone = [=, this]() {
            client->setReadBufferSize(0);
            client->write(upstream->readAll());
            if (m_closeDelayMs > 0)
                QTimer::singleShot(m_closeDelayMs, client, [client]() { client->disconnectFromHost(); });
            else
                client->disconnectFromHost();
        };
        connect(upstream, &QTcpSocket::disconnected, client, upstreamGone);
        connect(upstream, &QTcpSocket::errorOccurred, client, upstreamGone);
        connect(client, &QTcpSocket::disconnected, client, [=]() {
            upstream->write(client->readAll());
            upstream->disconnectFromHost();
            client->deleteLater();
        });
    }

private:
    quint16 m_target;
    std::atomic<int>* m_tunnels;
    QByteArray m_answer;
    int m_closeDelayMs;
};

TunnelProxy::TunnelProxy() = default;
TunnelProxy::~TunnelProxy() { stop(); }

bool TunnelProxy::start(quint16 targetPort)
{
    (void)trustedTestCertificates(); // made on the main thread
    m_worker = new Worker(targetPort, &m_tunnels, connectAnswer, closeDelayMs);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    bool ok = false;
    onThread(m_worker, [&]() {
        ok = m_worker->listen(QHostAddress::LocalHost, 0);
        m_port = m_worker->serverPort();
    });
    return ok;
}

void TunnelProxy::stop()
{
    uninstall();
    if (!m_worker)
        return;
    onThread(m_worker, [this]() { delete m_worker; });
    m_worker = nullptr;
    m_thread.quit();
    m_thread.wait();
}

void TunnelProxy::install()
{
    if (m_installed)
        return;
    m_installed = true;
    m_previousProxy = QNetworkProxy::applicationProxy();
    m_previousSystemProxy = QNetworkProxyFactory::usesSystemConfiguration();
    m_previousTls = QSslConfiguration::defaultConfiguration();
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port));
    QSslConfiguration tls = m_previousTls;
    tls.addCaCertificate(trustedTestCertificates().ca);
    QSslConfiguration::setDefaultConfiguration(tls);
}

void TunnelProxy::uninstall()
{
    if (!m_installed)
        return;
    m_installed = false;
    // (Qt's application proxy was its reading of the system configuration.)
    if (m_previousSystemProxy)
        QNetworkProxyFactory::setUseSystemConfiguration(true);
    else
        QNetworkProxy::setApplicationProxy(m_previousProxy);
    QSslConfiguration::setDefaultConfiguration(m_previousTls);
}

// -------------------------------------------------------------- raw server

class RawTlsServer::Worker : public QTcpServer {
public:
    Worker(RawTlsServer* owner, Script script, QList<QByteArray> alpn, QSsl::SslProtocol protocol)
        : m_owner(owner), m_script(std::move(script)), m_alpn(std::move(alpn)), m_protocol(protocol)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        const int number = ++m_owner->m_connections;
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        const TestCertificateSet& certs = trustedTestCertificates();
        socket->setLocalCertificate(certs.server);
        socket->setPrivateKey(certs.serverKey);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        QSslConfiguration configuration = socket->sslConfiguration();
        configuration.setProtocol(m_protocol);
        if (!m_alpn.isEmpty())
            configuration.setAllowedNextProtocols(m_alpn);
        socket->setSslConfiguration(configuration);
        auto buffer = std::make_shared<QByteArray>();
        auto served = std::make_shared<int>(0);
        auto idle = new QTimer(socket);
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, socket, [socket]() { socket->disconnectFromHost(); });
        connect(socket, &QSslSocket::readyRead, socket, [=, this]() {
            buffer->append(socket->readAll());
            serve(socket, *buffer, number, served, idle);
        });
        connect(socket, &QSslSocket::sslErrors, socket, [](const QList<QSslError>&) {});
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }

private:
    void serve(QSslSocket* socket, QByteArray& buffer, int connection, const std::shared_ptr<int>& served, QTimer* idle)
    {
        for (;;) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            RawRequest request;
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
            }
            request.bodySize = request.header("Content-Length").toLongLong();
            if (buffer.size() < end + 4 + request.bodySize)
                return;
            buffer.remove(0, end + 4 + request.bodySize);
            request.connection = connection;
            request.onConnection = ++*served;
            m_owner->record(request);
            idle->stop();
            const RawReply reply = m_script(request);
            if (reply.delayMs > 0)
                QThread::msleep(reply.delayMs);
            socket->write(reply.bytes);
            socket->flush();
            switch (reply.end) {
            case RawReply::End::keepOpen:
                idle->start(int(reply.idleCloseSeconds * 1000));
                if (!reply.strayBytes.isEmpty())
                    QTimer::singleShot(reply.strayDelayMs, socket, [socket, stray = reply.strayBytes]() {
                        waitWritten(socket);
                        ::send(int(socket->socketDescriptor()), stray.constData(), size_t(stray.size()), MSG_NOSIGNAL);
                    });
                break;
            case RawReply::End::close:
                socket->disconnectFromHost();
                return;
            case RawReply::End::closeBare:
            case RawReply::End::reset: {
                waitWritten(socket);
                QThread::msleep(30); // let the client read what came before
                const int fd = int(socket->socketDescriptor());
                if (reply.end == RawReply::End::reset) {
                    const linger hard{1, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                } else {
                    ::shutdown(fd, SHUT_RDWR);
                }
                socket->abort();
                return;
            }
            }
        }
    }

    RawTlsServer* m_owner;
    Script m_script;
    QList<QByteArray> m_alpn;
    QSsl::SslProtocol m_protocol;
};

RawTlsServer::RawTlsServer() = default;
RawTlsServer::~RawTlsServer() { stop(); }

bool RawTlsServer::start(Script script, QList<QByteArray> alpn)
{
    (void)trustedTestCertificates(); // made on the main thread
    m_worker = new Worker(this, std::move(script), std::move(alpn), protocol);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    bool ok = false;
    onThread(m_worker, [&]() {
        ok = m_worker->listen(QHostAddress::LocalHost, 0);
        m_port = m_worker->serverPort();
    });
    return ok;
}

void RawTlsServer::stop()
{
    if (!m_worker)
        return;
    onThread(m_worker, [this]() { delete m_worker; });
    m_worker = nullptr;
    m_thread.quit();
    m_thread.wait();
}

QList<RawRequest> RawTlsServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

void RawTlsServer::record(const RawRequest& request)
{
    QMutexLocker lock(&m_mutex);
    m_requests << request;
}

} // namespace tovrik::test
