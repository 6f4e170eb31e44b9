#include "support/FakeHostedService.h"

#include "common/Clock.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslConfiguration>
#include <QNetworkProxyFactory>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace tovrik::test {

namespace {

QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases = {
        {200, "OK"}, {204, "No Content"}, {301, "Moved Permanently"}, {302, "Found"}, {303, "See Other"},
        {307, "Temporary Redirect"}, {308, "Permanent Redirect"}, {400, "Bad Request"}, {401, "Unauthorized"},
        {402, "Payment Required"}, {404, "Not Found"}, {405, "Method Not Allowed"}, {409, "Conflict"},
        {413, "Payload Too Large"}, {500, "Internal Server Error"}, {503, "Service Unavailable"}};
    return phrases.value(status, "Status");
}

constexpr qsizetype kMaxRequestBytes = 64 << 20;
constexpr qint64 kSignupCredits = 100;

} // namespace

// ------------------------------------------------------------- connections

class FakeHostedService::Connection : public QObject {
public:
    Connection(FakeHostedService* service, QSslSocket* socket) : QObject(socket), m_service(service), m_socket(socket)
    {
        connect(socket, &QSslSocket::readyRead, this, [this]() { onReadable(); });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QSslSocket::sslErrors, socket, [](const QList<QSslError>&) {});
    }

private:
    void onReadable()
    {
        const qint64 slice = m_tunnel ? m_service->m_readSliceBytes : 0;
        if (slice > 0) {
            // A slow reader: one slice per interval, the rest waits in the
            // socket (its small buffer holds the sender back).
            if (m_readScheduled)
                return; // the timer reads on
            m_socket->setReadBufferSize(slice);
            m_buffer += m_socket->read(slice);
            m_readScheduled = true;
            QTimer::singleShot(m_service->m_readSliceIntervalMs, this, [this]() {
                m_readScheduled = false;
                if (m_socket->bytesAvailable() > 0)
                    onReadable();
            });
        } else {
            m_socket->setReadBufferSize(0);
            m_buffer += m_socket->readAll();
        }
        if (m_buffer.size() > kMaxRequestBytes)
            m_socket->abort();
        else if (m_tunnel)
            processRequests();
        else
            handleConnect();
    }

    void handleConnect()
    {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray line = m_buffer.left(m_buffer.indexOf("\r\n"));
        m_buffer.remove(0, end + 4);
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 3 || parts[0] != "CONNECT") {
            m_socket->write("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            m_socket->disconnectFromHost();
            return;
        }
        const QByteArray target = parts[1];
        m_host = QString::fromUtf8(target.left(target.lastIndexOf(':'))).toLower();
        m_service->m_connectTargets << QString::fromUtf8(target).toLower();
        m_socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
        m_socket->flush();
        const auto& certs = m_service->m_options.untrustedCertificate ? untrustedTestCertificates() : trustedTestCertificates();
        m_socket->setLocalCertificate(certs.server);
        m_socket->setPrivateKey(certs.serverKey);
        m_socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        m_socket->setProtocol(QSsl::TlsV1_2OrLater);
        {
            // The client offers HTTP/1.1 by ALPN and insists on it.
            QSslConfiguration configuration = m_socket->sslConfiguration();
            configuration.setAllowedNextProtocols({QByteArrayLiteral("http/1.1")});
            m_socket->setSslConfiguration(configuration);
        }
        m_tunnel = true;
        m_socket->startServerEncryption();
    }

    void processRequests()
    {
        while (!m_busy) {
            const qsizetype end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = m_buffer.left(end).split('\n');
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            if (requestLine.size() != 3) {
                m_socket->abort();
                return;
            }
            FakeRequest request;
            request.host = m_host;
            request.method = requestLine[0];
            request.target = requestLine[1];
            const qsizetype q = request.target.indexOf('?');
            request.path = QUrl::fromPercentEncoding(q < 0 ? request.target : request.target.left(q));
            if (q >= 0)
                request.query = QUrlQuery(QString::fromUtf8(request.target.mid(q + 1)));
            for (const QByteArray& line : lines.mid(1)) {
                if (const qsizetype colon = line.indexOf(':'); colon > 0)
                    request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
            const qsizetype length = request.header("Content-Length").toLongLong();
            if (m_buffer.size() < end + 4 + length)
                return;
            request.body = m_buffer.mid(end + 4, length);
            m_buffer.remove(0, end + 4 + length);
            m_service->m_requests.append(request);
            const FakeResponse response = m_service->dispatch(request);
            emit m_service->requestReceived();
            send(response);
        }
    }

    void send(const FakeResponse& r)
    {
        if (r.hang) {
            m_busy = true;
            return;
        }
        if (r.holdSeconds > 0) {
            m_busy = true;
            FakeResponse later = r;
            later.holdSeconds = 0;
            Clock::instance().schedule(r.holdSeconds, this, [this, later]() {
                m_busy = false;
                send(later);
                if (!m_busy && !m_buffer.isEmpty())
                    processRequests();
            });
            return;
        }
        const bool streamed = !r.chunks.isEmpty() || r.holdOpen || r.truncate;
        if (!r.verbatim) { // verbatim chunks carry their own status line and headers
            QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reasonPhrase(r.status) + "\r\n";
            for (const auto& [k, v] : r.headers)
                head += k + ": " + v + "\r\n";
            head += streamed ? QByteArray("Transfer-Encoding: chunked\r\n\r\n")
                             : "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n\r\n" + r.body;
            m_socket->write(head);
            m_socket->flush();
            if (!streamed)
                return;
        }
        m_busy = true;
        m_pending = r;
        m_nextChunk = 0;
        sendNextChunk();
    }

    void sendNextChunk()
    {
        if (m_pending.repeatLastChunk && !m_pending.chunks.isEmpty() && m_nextChunk >= m_pending.chunks.size())
            m_nextChunk = m_pending.chunks.size() - 1;
        if (m_nextChunk < m_pending.chunks.size()) {
            const auto write = [this]() {
                if (m_socket->state() != QAbstractSocket::ConnectedState)
                    return;
                // A reader slower than the chunks holds the writer back.
                if (m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() > (1 << 20)) {
                    QTimer::singleShot(1, this, [this]() { sendNextChunk(); });
                    return;
                }
                const QByteArray& c = m_pending.chunks[m_nextChunk++];
                if (m_pending.verbatim || !c.isEmpty()) {
                    m_socket->write(m_pending.verbatim ? c : QByteArray::number(c.size(), 16) + "\r\n" + c + "\r\n");
                    m_socket->flush();
                }
                sendNextChunk();
            };
            QTimer::singleShot(std::max(0, m_pending.chunkIntervalMs), this, write);
            return;
        }
        if (m_pending.holdOpen)
            return;
        if (m_pending.truncate || m_pending.verbatim) { // no terminating chunk
            m_socket->flush();
            m_socket->disconnectFromHost();
            return;
        }
        m_socket->write("0\r\n\r\n");
        m_socket->flush();
        m_busy = false;
        if (!m_buffer.isEmpty())
            processRequests();
    }

    FakeHostedService* m_service;
    QSslSocket* m_socket;
    QByteArray m_buffer;
    QString m_host;
    bool m_tunnel = false;
    bool m_busy = false;
    bool m_readScheduled = false;
    FakeResponse m_pending;
    qsizetype m_nextChunk = 0;
};

class FakeHostedService::Server : public QTcpServer {
public:
    explicit Server(FakeHostedService* service) : QTcpServer(service), m_service(service) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy);
        if (socket->setSocketDescriptor(descriptor))
            new Connection(m_service, socket);
        else
            delete socket;
    }

private:
    FakeHostedService* m_service;
};

// ----------------------------------------------------------------- service

FakeHostedService::FakeHostedService(QObject* parent) : QObject(parent) {}

FakeHostedService::~FakeHostedService() { uninstall(); stop(); }

bool FakeHostedService::start(FakeHostedServiceOptions options)
{
    stop();
    m_options = options;
    const TestCertificateSet& trusted = trustedTestCertificates();
    const TestCertificateSet& chosen = options.untrustedCertificate ? untrustedTestCertificates() : trusted;
    if (!trusted.valid || !chosen.valid) {
        m_lastError = trusted.valid ? chosen.error : trusted.error;
        return false;
    }
    m_server = new Server(this);
    m_server->setProxy(QNetworkProxy::NoProxy);
    if (!m_server->listen(QHostAddress::LocalHost, options.port)) {
        m_lastError = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    return true;
}

void FakeHostedService::stop()
{
    if (!m_server)
        return;
    m_server->close();
    for (QSslSocket* socket : m_server->findChildren<QSslSocket*>())
        socket->abort();
    delete m_server;
    m_server = nullptr;
}

quint16 FakeHostedService::port() const { return m_server ? m_server->serverPort() : 0; }

void FakeHostedService::install()
{
    if (!m_installed) {
        m_previousProxy = QNetworkProxy::applicationProxy();
        m_previousSystemProxy = QNetworkProxyFactory::usesSystemConfiguration();
        m_previousTls = QSslConfiguration::defaultConfiguration();
    }
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", port()));
    QSslConfiguration tls = m_previousTls;
    tls.addCaCertificate(trustedTestCertificates().ca);
    QSslConfiguration::setDefaultConfiguration(tls);
    m_installed = true;
}

void FakeHostedService::uninstall()
{
    if (!m_installed)
        return;
    // (Qt's application proxy was its reading of the system configuration.)
    if (m_previousSystemProxy)
        QNetworkProxyFactory::setUseSystemConfiguration(true);
    else
        QNetworkProxy::setApplicationProxy(m_previousProxy);
    QSslConfiguration::setDefaultConfiguration(m_previousTls);
    m_installed = false;
}

static QString handlerKey(const QString& host, const QByteArray& method, const QString& path)
{
    return host.toLower() + ' ' + QString::fromLatin1(method.toUpper()) + ' ' + path;
}

void FakeHostedService::setHostHandler(const QString& host, const QByteArray& method, const QString& path,
                                       FakeHandler handler)
{
    m_handlers.insert(handlerKey(host, method, path), std::move(handler));
}

QList<FakeRequest> FakeHostedService::requestsTo(const QString& path) const
{
    QList<FakeRequest> out;
    std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(out), [&](auto& r) { return r.path == path; });
    return out;
}

bool FakeHostedService::waitForRequests(int count, int timeoutMs)
{
    for (QDeadlineTimer deadline(timeoutMs); m_requests.size() < count; QThread::msleep(1)) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

FakeResponse FakeHostedService::dispatch(const FakeRequest& request)
{
    for (const QString& host : {request.host, QString()}) {
        if (auto it = m_handlers.find(handlerKey(host, request.method, request.path)); it != m_handlers.end())
            return (*it)(request);
    }
    return builtIn(request);
}

// ------------------------------------------------------ accounts, sessions

void FakeHostedService::addAccount(const QString& email, const QString& password, qint64 creditsBalance,
                                   const QString& displayName, const QString& pictureUrl)
{
    m_accounts.insert(email.toLower(), Account{password, creditsBalance, displayName, pictureUrl});
}

QString FakeHostedService::createSession(const QString& email)
{
    const QString token = QString("tvk_session_%1_%2").arg(m_nextId++).arg(port());
    m_sessions.insert(token, email.toLower());
    return token;
}

bool FakeHostedService::isSessionActive(const QString& token) const { return m_sessions.contains(token); }

void FakeHostedService::setCreditsBalance(const QString& email, qint64 creditsBalance)
{
    if (auto it = m_accounts.find(email.toLower()); it != m_accounts.end())
        it->credits = creditsBalance;
}

QJsonObject FakeHostedService::sessionJSON(const QString& email, const QString& token) const
{
    const Account a = m_accounts.value(email);
    const auto orNull = [](const QString& s) { return s.isEmpty() ? QJsonValue() : QJsonValue(s); };
    return {{"sessionToken", token}, {"email", email}, {"creditsBalance", a.credits},
            {"displayName", orNull(a.displayName)}, {"pictureUrl", orNull(a.pictureUrl)}};
}

FakeResponse FakeHostedService::builtIn(const FakeRequest& r)
{
    using R = FakeResponse;
    if (r.host == "oauth2.googleapis.com")
        return r.method == "POST" && r.path == "/token" ? googleToken(r) : R::json(404, {{"error", "not_found"}});

    const QString& path = r.path;
    const QJsonObject body = r.json();
    if (r.method == "POST" && (path == "/auth/signin" || path == "/auth/signup")) {
        const QString email = body["email"].toString().trimmed().toLower(), password = body["password"].toString();
        if (!body["email"].isString() || !body["password"].isString() || email.isEmpty() || password.isEmpty())
            return R::error(400, "invalid_request", "Email and password are required.");
        if (path == "/auth/signup") {
            if (m_accounts.contains(email))
                return R::error(409, "account_exists", "An account with this email already exists.");
            if (password.size() < 8)
                return R::error(400, "weak_password", "Password must be at least 8 characters.");
            addAccount(email, password, kSignupCredits);
        } else if (!m_accounts.contains(email) || m_accounts.value(email).password != password) {
            return R::error(401, "invalid_credentials", "Incorrect email or password.");
        }
        return R::json(200, sessionJSON(email, createSession(email)));
    }
    if (r.method == "POST" && path == "/auth/google/native") {
        const QString email = m_googleIDTokens.take(body["idToken"].toString());
        if (email.isEmpty())
            return R::error(401, "invalid_google_token", "Google sign-in could not be verified.");
        if (!m_accounts.contains(email))
            addAccount(email, {}, kSignupCredits, m_google.displayName);
        return R::json(200, sessionJSON(email, createSession(email)));
    }
    const R unauthorized = R::error(401, "unauthorized", "Session expired. Sign in again.");
    const QString email = m_sessions.value(r.bearerToken());
    if (r.method == "GET" && path == "/auth/me") {
        if (email.isEmpty())
            return unauthorized;
        QJsonObject o = sessionJSON(email, {});
        o.remove("sessionToken");
        return R::json(200, o);
    }
    if (r.method == "POST" && path == "/api/account/signout") {
        if (r.bearerToken().isEmpty())
            return unauthorized;
        m_sessions.remove(r.bearerToken());
        return R::json(200, {{"ok", true}});
    }
    if (r.method != "POST" || (path != "/stt" && path != "/tts" && path != "/chat"))
        return R::error(404, "not_found", "Not found.");
    if (email.isEmpty())
        return unauthorized;
    const auto account = m_accounts.find(email);
    if (account == m_accounts.end() || account->credits <= 0)
        return R::error(402, "insufficient_credits", "You're out of credits.");
    qint64& credits = account->credits;
    if (path == "/stt") {
        QByteArray audio;
        if (!r.multipartPart("file", &audio) || audio.isEmpty())
            return R::error(400, "invalid_request", "Upload a WAV file as \"file\".");
        credits -= 1;
        return R::json(200, {{"text", m_transcript}});
    }
    if (path == "/tts") {
        if (body["text"].toString().trimmed().isEmpty())
            return R::error(400, "invalid_request", "Text is required.");
        credits -= 1;
        return R::raw(200, "audio/mpeg",
                      m_speechAudio.isEmpty() ? QByteArray("ID3\x04\0\0\0\0\0\0", 10) + QByteArray(64, '\xff') : m_speechAudio);
    }
    if (!body["model"].isString() || !body["transcript"].isString() || !body["history"].isArray()
        || !body["imageAttachments"].isArray())
        return R::error(400, "invalid_request", "Malformed chat request.");
    credits -= 1;
    if (body["workload"].toString() == "autopilot") {
        FakeAutopilotRequest seen{body["model"].toString(), body["transcript"].toString(), body["systemPrompt"].toString(),
                                  body["history"].toArray(), {}, {}};
        for (const QJsonValue& image : body["imageAttachments"].toArray()) {
            seen.imageLabels << image["imageLabel"].toString();
            seen.images << QByteArray::fromBase64(image["imageData"].toString().toLatin1());
        }
        m_autopilotRequests << seen;
        if (!m_autopilotReplies.isEmpty())
            return m_autopilotReplies.takeFirst();
        if (m_autopilotDoneWhenEmpty) {
            const QJsonObject done{{"message", kDecisionsUsedUp},
                                   {"action", QJsonObject{{"type", "done"}, {"success", false}, {"text", kDecisionsUsedUp}}}};
            return R::eventStream(R::chatReplyEvents(
                QString::fromUtf8(QJsonDocument(done).toJson(QJsonDocument::Compact)), 2, credits));
        }
    }
    return R::eventStream(R::chatReplyEvents(m_chatReply, m_chatPieces, credits));
}

void FakeHostedService::queueAutopilotReplies(const QStringList& decisions)
{
    for (const QString& decision : decisions)
        m_autopilotReplies << FakeResponse::eventStream(FakeResponse::chatReplyEvents(decision, 2));
}

std::optional<QStringList> FakeHostedService::readDecisionScript(const QByteArray& json, QString* error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset);
        return std::nullopt;
    }
    if (!document.isArray()) {
        *error = QStringLiteral("not a JSON list of decisions");
        return std::nullopt;
    }
    QStringList decisions;
    const QJsonArray entries = document.array();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QJsonValue entry = entries[i];
        if (entry.isObject())
            decisions << QString::fromUtf8(QJsonDocument(entry.toObject()).toJson(QJsonDocument::Compact));
        else if (entry.isString())
            decisions << entry.toString();
        else {
            *error = QStringLiteral("decision %1 is neither an object nor a text").arg(i + 1);
            return std::nullopt;
        }
    }
    return decisions;
}

void FakeHostedService::queueAutopilotResponse(const FakeResponse& response) { m_autopilotReplies << response; }

} // namespace tovrik::test
