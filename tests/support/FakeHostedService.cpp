#include "support/FakeHostedService.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslSocket>
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

QString base64url(const QByteArray& b)
{
    return QString::fromLatin1(b.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

constexpr qsizetype kMaxRequestBytes = 64 << 20;

} // namespace

// ---------------------------------------------------------------- requests

QByteArray FakeRequest::header(const QByteArray& name) const
{
    for (const auto& [k, v] : headers) {
        if (k.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    }
    return {};
}

QString FakeRequest::bearerToken() const
{
    const QByteArray value = header("Authorization").trimmed();
    if (!value.startsWith("Bearer "))
        return {};
    return QString::fromUtf8(value.mid(7).trimmed());
}

QJsonObject FakeRequest::json() const { return QJsonDocument::fromJson(body).object(); }

bool FakeRequest::multipartPart(const QByteArray& name, QByteArray* data, QString* fileName, QByteArray* contentType) const
{
    const QByteArray type = header("Content-Type");
    const qsizetype b = type.indexOf("boundary=");
    if (!type.startsWith("multipart/form-data") || b < 0)
        return false;
    const QByteArray boundary = "--" + type.mid(b + 9).trimmed();
    qsizetype pos = body.indexOf(boundary);
    while (pos >= 0) {
        qsizetype start = pos + boundary.size();
        if (body.mid(start, 2) == "--")
            return false;
        start += 2; // CRLF
        const qsizetype headEnd = body.indexOf("\r\n\r\n", start);
        if (headEnd < 0)
            return false;
        const QByteArray head = body.mid(start, headEnd - start);
        const qsizetype next = body.indexOf("\r\n" + boundary, headEnd + 4);
        if (next < 0)
            return false;
        if (head.contains("name=\"" + name + "\"")) {
            if (data)
                *data = body.mid(headEnd + 4, next - headEnd - 4);
            const qsizetype fn = head.indexOf("filename=\"");
            if (fileName && fn >= 0)
                *fileName = QString::fromUtf8(head.mid(fn + 10, head.indexOf('"', fn + 10) - fn - 10));
            const qsizetype ct = head.indexOf("Content-Type: ");
            if (contentType && ct >= 0) {
                const qsizetype end = head.indexOf("\r\n", ct);
                *contentType = head.mid(ct + 14, end < 0 ? -1 : end - ct - 14);
            }
            return true;
        }
        pos = next + 2;
    }
    return false;
}

// --------------------------------------------------------------- responses

FakeResponse FakeResponse::json(int status, const QJsonObject& object)
{
    return raw(status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact));
}

FakeResponse FakeResponse::error(int status, const QString& code, const QString& message)
{
    QJsonObject o;
    if (!code.isEmpty())
        o.insert(QStringLiteral("error"), code);
    if (!message.isEmpty())
        o.insert(QStringLiteral("message"), message);
    return json(status, o);
}

FakeResponse FakeResponse::raw(int status, const QByteArray& contentType, const QByteArray& body)
{
    FakeResponse r;
    r.status = status;
    if (!contentType.isEmpty())
        r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray(contentType)));
    r.body = body;
    return r;
}

FakeResponse FakeResponse::redirect(int status, const QString& location)
{
    FakeResponse r;
    r.status = status;
    r.headers.append(qMakePair(QByteArray("Location"), QByteArray(location.toUtf8())));
    return r;
}

FakeResponse FakeResponse::eventStream(const QList<QByteArray>& chunks)
{
    FakeResponse r;
    r.status = 200;
    r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/event-stream; charset=utf-8")));
    r.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    r.chunks = chunks;
    return r;
}

QByteArray FakeResponse::sseEvent(const QByteArray& type, const QByteArray& data)
{
    QByteArray out = "event: " + type + "\n";
    for (const QByteArray& line : data.split('\n'))
        out += "data: " + line + "\n";
    return out + "\n";
}

QList<QByteArray> FakeResponse::chatReplyEvents(const QString& text, int pieces, qint64 creditsBalance)
{
    QList<QByteArray> events;
    pieces = std::max(1, pieces);
    const qsizetype step = std::max<qsizetype>(1, (text.size() + pieces - 1) / pieces);
    for (qsizetype i = 0; i < text.size(); i += step) {
        const QJsonObject o{{QStringLiteral("text"), text.mid(i, step)}};
        events << sseEvent("delta", QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    QJsonObject done;
    if (creditsBalance >= 0)
        done.insert(QStringLiteral("creditsBalance"), creditsBalance);
    events << sseEvent("done", QJsonDocument(done).toJson(QJsonDocument::Compact));
    return events;
}

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
        if (m_buffer.size() > kMaxRequestBytes) {
            m_socket->abort();
            return;
        }
        if (!m_tunnel) {
            handleConnect();
            return;
        }
        processRequests();
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
        const TestCertificateSet& certs = m_service->m_options.untrustedCertificate ? untrustedTestCertificates()
                                                                                    : trustedTestCertificates();
        m_socket->setLocalCertificate(certs.server);
        m_socket->setPrivateKey(certs.serverKey);
        m_socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        m_socket->setProtocol(QSsl::TlsV1_2OrLater);
        m_tunnel = true;
        m_socket->startServerEncryption();
    }

    void processRequests()
    {
        while (!m_busy) {
            const qsizetype end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = m_buffer.left(end);
            const QList<QByteArray> lines = head.split('\n');
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
            qsizetype length = 0;
            for (int i = 1; i < lines.size(); ++i) {
                const QByteArray l = lines[i].trimmed();
                const qsizetype colon = l.indexOf(':');
                if (colon <= 0)
                    continue;
                const QByteArray name = l.left(colon).trimmed();
                const QByteArray value = l.mid(colon + 1).trimmed();
                request.headers.append(qMakePair(QByteArray(name), QByteArray(value)));
                if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                    length = value.toLongLong();
            }
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
                if (m_pending.verbatim) {
                    m_socket->write(c);
                    m_socket->flush();
                } else if (!c.isEmpty()) {
                    m_socket->write(QByteArray::number(c.size(), 16) + "\r\n" + c + "\r\n");
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
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        new Connection(m_service, socket);
    }

private:
    FakeHostedService* m_service;
};

// ----------------------------------------------------------------- service

FakeHostedService::FakeHostedService(QObject* parent) : QObject(parent) {}

FakeHostedService::~FakeHostedService()
{
    uninstall();
    stop();
}

bool FakeHostedService::start(Options options)
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

bool FakeHostedService::isRunning() const { return m_server && m_server->isListening(); }

quint16 FakeHostedService::port() const { return m_server ? m_server->serverPort() : 0; }

QString FakeHostedService::caCertificatePath() const { return trustedTestCertificates().caPath; }

void FakeHostedService::install()
{
    if (!m_installed) {
        m_previousProxy = QNetworkProxy::applicationProxy();
        m_previousTls = QSslConfiguration::defaultConfiguration();
    }
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port()));
    QSslConfiguration tls = m_previousTls;
    tls.addCaCertificate(trustedTestCertificates().ca);
    QSslConfiguration::setDefaultConfiguration(tls);
    m_installed = true;
}

void FakeHostedService::uninstall()
{
    if (!m_installed)
        return;
    QNetworkProxy::setApplicationProxy(m_previousProxy);
    QSslConfiguration::setDefaultConfiguration(m_previousTls);
    m_installed = false;
}

static QString handlerKey(const QString& host, const QByteArray& method, const QString& path)
{
    return host.toLower() + QLatin1Char(' ') + QString::fromLatin1(method.toUpper()) + QLatin1Char(' ') + path;
}

void FakeHostedService::setHandler(const QByteArray& method, const QString& path, FakeHandler handler)
{
    m_handlers.insert(handlerKey({}, method, path), std::move(handler));
}

void FakeHostedService::setHostHandler(const QString& host, const QByteArray& method, const QString& path,
                                       FakeHandler handler)
{
    m_handlers.insert(handlerKey(host, method, path), std::move(handler));
}

void FakeHostedService::clearHandlers() { m_handlers.clear(); }

QList<FakeRequest> FakeHostedService::requestsTo(const QString& path) const
{
    QList<FakeRequest> out;
    for (const auto& r : m_requests) {
        if (r.path == path)
            out << r;
    }
    return out;
}

void FakeHostedService::clearRecords()
{
    m_requests.clear();
    m_connectTargets.clear();
    m_authorizationRequests.clear();
}

bool FakeHostedService::waitForRequests(int count, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (m_requests.size() < count) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

FakeResponse FakeHostedService::dispatch(const FakeRequest& request)
{
    if (auto it = m_handlers.find(handlerKey(request.host, request.method, request.path)); it != m_handlers.end())
        return (*it)(request);
    if (auto it = m_handlers.find(handlerKey({}, request.method, request.path)); it != m_handlers.end())
        return (*it)(request);
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
    const QString token = QStringLiteral("tvk_session_%1_%2").arg(m_nextId++).arg(port());
    m_sessions.insert(token, email.toLower());
    return token;
}

bool FakeHostedService::isSessionActive(const QString& token) const { return m_sessions.contains(token); }

void FakeHostedService::setCreditsBalance(const QString& email, qint64 creditsBalance)
{
    auto it = m_accounts.find(email.toLower());
    if (it != m_accounts.end())
        it->credits = creditsBalance;
}

qint64 FakeHostedService::creditsBalance(const QString& email) const { return m_accounts.value(email.toLower()).credits; }

QString FakeHostedService::accountForToken(const QString& token) const { return m_sessions.value(token); }

QJsonObject FakeHostedService::sessionJSON(const QString& email, const QString& token) const
{
    const Account a = m_accounts.value(email);
    QJsonObject o{{QStringLiteral("sessionToken"), token},
                  {QStringLiteral("email"), email},
                  {QStringLiteral("creditsBalance"), a.credits}};
    o.insert(QStringLiteral("displayName"), a.displayName.isEmpty() ? QJsonValue() : QJsonValue(a.displayName));
    o.insert(QStringLiteral("pictureUrl"), a.pictureUrl.isEmpty() ? QJsonValue() : QJsonValue(a.pictureUrl));
    return o;
}

FakeResponse FakeHostedService::builtIn(const FakeRequest& r)
{
    const auto unauthorized = []() {
        return FakeResponse::error(401, QStringLiteral("unauthorized"), QStringLiteral("Session expired. Sign in again."));
    };
    const auto outOfCredits = []() {
        return FakeResponse::error(402, QStringLiteral("insufficient_credits"), QStringLiteral("You're out of credits."));
    };
    const bool google = r.host == QLatin1String("oauth2.googleapis.com");

    if (google && r.method == "POST" && r.path == QLatin1String("/token")) {
        const QUrlQuery form(QString::fromUtf8(r.body));
        const auto value = [&form](const char* k) {
            return form.queryItemValue(QLatin1String(k), QUrl::FullyDecoded);
        };
        const auto bad = [](const QString& error, const QString& description) {
            return FakeResponse::json(400, QJsonObject{{QStringLiteral("error"), error},
                                                       {QStringLiteral("error_description"), description}});
        };
        if (value("grant_type") != QLatin1String("authorization_code"))
            return bad(QStringLiteral("unsupported_grant_type"), QStringLiteral("Invalid grant_type."));
        if (!m_google.expectedClientID.isEmpty() && value("client_id") != m_google.expectedClientID)
            return bad(QStringLiteral("invalid_client"), QStringLiteral("The OAuth client was not found."));
        if (!m_google.expectedClientSecret.isEmpty() && value("client_secret") != m_google.expectedClientSecret)
            return bad(QStringLiteral("invalid_client"), QStringLiteral("Unauthorized"));
        auto it = m_googleCodes.find(value("code"));
        if (it == m_googleCodes.end() || it->used)
            return bad(QStringLiteral("invalid_grant"), QStringLiteral("Malformed auth code."));
        it->used = true;
        if (value("redirect_uri") != it->redirectURI || value("client_id") != it->clientID)
            return bad(QStringLiteral("redirect_uri_mismatch"), QStringLiteral("Bad Request"));
        const QString challenge =
            base64url(QCryptographicHash::hash(value("code_verifier").toLatin1(), QCryptographicHash::Sha256));
        if (challenge != it->challenge)
            return bad(QStringLiteral("invalid_grant"), QStringLiteral("Invalid code verifier."));
        const QString idToken = QStringLiteral("fake-google-id-token-%1").arg(m_nextId++);
        m_googleIDTokens.insert(idToken, m_google.email.toLower());
        return FakeResponse::json(200, QJsonObject{{QStringLiteral("access_token"), QStringLiteral("ya29.fake-%1").arg(m_nextId++)},
                                                   {QStringLiteral("expires_in"), 3599},
                                                   {QStringLiteral("token_type"), QStringLiteral("Bearer")},
                                                   {QStringLiteral("scope"), QStringLiteral("openid email profile")},
                                                   {QStringLiteral("id_token"), idToken}});
    }
    if (google)
        return FakeResponse::json(404, QJsonObject{{QStringLiteral("error"), QStringLiteral("not_found")}});

    const QString path = r.path;
    if (r.method == "POST" && (path == QLatin1String("/auth/signin") || path == QLatin1String("/auth/signup"))) {
        const QJsonObject body = r.json();
        if (!body.value(QLatin1String("email")).isString() || !body.value(QLatin1String("password")).isString()
            || body.value(QLatin1String("email")).toString().trimmed().isEmpty()
            || body.value(QLatin1String("password")).toString().isEmpty())
            return FakeResponse::error(400, QStringLiteral("invalid_request"), QStringLiteral("Email and password are required."));
        const QString email = body.value(QLatin1String("email")).toString().trimmed().toLower();
        const QString password = body.value(QLatin1String("password")).toString();
        if (path == QLatin1String("/auth/signup")) {
            if (m_accounts.contains(email))
                return FakeResponse::error(409, QStringLiteral("account_exists"),
                                           QStringLiteral("An account with this email already exists."));
            if (password.size() < 8)
                return FakeResponse::error(400, QStringLiteral("weak_password"),
                                           QStringLiteral("Password must be at least 8 characters."));
            addAccount(email, password, m_signupCredits);
        } else if (!m_accounts.contains(email) || m_accounts.value(email).password != password) {
            return FakeResponse::error(401, QStringLiteral("invalid_credentials"), QStringLiteral("Incorrect email or password."));
        }
        return FakeResponse::json(200, sessionJSON(email, createSession(email)));
    }
    if (r.method == "POST" && path == QLatin1String("/auth/google/native")) {
        const QString idToken = r.json().value(QLatin1String("idToken")).toString();
        const QString email = m_googleIDTokens.value(idToken);
        if (email.isEmpty())
            return FakeResponse::error(401, QStringLiteral("invalid_google_token"),
                                       QStringLiteral("Google sign-in could not be verified."));
        m_googleIDTokens.remove(idToken);
        if (!m_accounts.contains(email))
            addAccount(email, {}, m_signupCredits, m_google.displayName);
        return FakeResponse::json(200, sessionJSON(email, createSession(email)));
    }
    if (r.method == "GET" && path == QLatin1String("/auth/me")) {
        const QString email = accountForToken(r.bearerToken());
        if (email.isEmpty())
            return unauthorized();
        QJsonObject o = sessionJSON(email, {});
        o.remove(QStringLiteral("sessionToken"));
        return FakeResponse::json(200, o);
    }
    if (r.method == "POST" && path == QLatin1String("/api/account/signout")) {
        if (r.bearerToken().isEmpty())
            return unauthorized();
        m_sessions.remove(r.bearerToken());
        return FakeResponse::json(200, QJsonObject{{QStringLiteral("ok"), true}});
    }
    if (r.method == "POST"
        && (path == QLatin1String("/stt") || path == QLatin1String("/tts") || path == QLatin1String("/chat"))) {
        const QString email = accountForToken(r.bearerToken());
        if (email.isEmpty())
            return unauthorized();
        if (m_accounts.value(email).credits <= 0)
            return outOfCredits();
        if (path == QLatin1String("/stt")) {
            QByteArray audio;
            QByteArray type;
            if (!r.multipartPart("file", &audio, nullptr, &type) || audio.isEmpty())
                return FakeResponse::error(400, QStringLiteral("invalid_request"), QStringLiteral("Upload a WAV file as \"file\"."));
            m_accounts[email].credits -= 1;
            return FakeResponse::json(200, QJsonObject{{QStringLiteral("text"), m_transcript}});
        }
        const QJsonObject body = r.json();
        if (path == QLatin1String("/tts")) {
            if (body.value(QLatin1String("text")).toString().trimmed().isEmpty())
                return FakeResponse::error(400, QStringLiteral("invalid_request"), QStringLiteral("Text is required."));
            m_accounts[email].credits -= 1;
            QByteArray audio = m_speechAudio;
            if (audio.isEmpty())
                audio = QByteArray("ID3\x04\x00\x00\x00\x00\x00\x00", 10) + QByteArray(64, '\xff');
            return FakeResponse::raw(200, "audio/mpeg", audio);
        }
        if (!body.value(QLatin1String("model")).isString() || !body.value(QLatin1String("transcript")).isString()
            || !body.value(QLatin1String("history")).isArray() || !body.value(QLatin1String("imageAttachments")).isArray())
            return FakeResponse::error(400, QStringLiteral("invalid_request"), QStringLiteral("Malformed chat request."));
        m_accounts[email].credits -= 1;
        if (body.value(QLatin1String("workload")).toString() == QLatin1String("autopilot")) {
            FakeAutopilotRequest seen;
            seen.model = body.value(QLatin1String("model")).toString();
            seen.transcript = body.value(QLatin1String("transcript")).toString();
            seen.systemPrompt = body.value(QLatin1String("systemPrompt")).toString();
            seen.history = body.value(QLatin1String("history")).toArray();
            for (const QJsonValue& image : body.value(QLatin1String("imageAttachments")).toArray()) {
                seen.imageLabels << image[QLatin1String("imageLabel")].toString();
                seen.images << QByteArray::fromBase64(image[QLatin1String("imageData")].toString().toLatin1());
            }
            m_autopilotRequests << seen;
            if (!m_autopilotReplies.isEmpty())
                return m_autopilotReplies.takeFirst();
        }
        return FakeResponse::eventStream(FakeResponse::chatReplyEvents(m_chatReply, m_chatPieces, m_accounts[email].credits));
    }
    return FakeResponse::error(404, QStringLiteral("not_found"), QStringLiteral("Not found."));
}

void FakeHostedService::queueAutopilotReplies(const QStringList& decisions)
{
    for (const QString& decision : decisions)
        m_autopilotReplies << FakeResponse::eventStream(FakeResponse::chatReplyEvents(decision, 2));
}

void FakeHostedService::queueAutopilotResponse(const FakeResponse& response) { m_autopilotReplies << response; }

// ---------------------------------------------------------- Google browser

std::shared_ptr<FakeBrowserVisit> FakeHostedService::visitLoopback(const QUrl& url, const QByteArray& rawRequest)
{
    auto visit = std::make_shared<FakeBrowserVisit>();
    auto* socket = new QTcpSocket();
    socket->setProxy(QNetworkProxy::NoProxy);
    auto buffer = std::make_shared<QByteArray>();
    const QByteArray request = rawRequest.isEmpty()
        ? "GET " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) + " HTTP/1.1\r\nHost: " + url.host().toUtf8()
            + ':' + QByteArray::number(url.port()) + "\r\nUser-Agent: FakeBrowser\r\nAccept: text/html\r\n\r\n"
        : rawRequest;
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, request]() { socket->write(request); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer]() { *buffer += socket->readAll(); });
    const auto finish = [socket, buffer, visit]() {
        if (visit->finished)
            return;
        *buffer += socket->readAll();
        visit->finished = true;
        const QList<QByteArray> status = buffer->left(buffer->indexOf("\r\n")).split(' ');
        if (status.size() >= 2 && status[0].startsWith("HTTP/"))
            visit->status = status[1].toInt();
        const qsizetype body = buffer->indexOf("\r\n\r\n");
        visit->body = body < 0 ? QByteArray() : buffer->mid(body + 4);
        socket->deleteLater();
    };
    QObject::connect(socket, &QTcpSocket::disconnected, socket, finish);
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, finish);
    socket->connectToHost(QHostAddress(url.host()), quint16(url.port()));
    return visit;
}

std::shared_ptr<FakeBrowserVisit> FakeHostedService::completeGoogleAuthorization(const QUrl& authorizationURL,
                                                                                Consent consent,
                                                                                const std::optional<QString>& stateOverride)
{
    m_authorizationRequests << authorizationURL;
    const QUrlQuery q(authorizationURL);
    const auto value = [&q](const char* k) { return q.queryItemValue(QLatin1String(k), QUrl::FullyDecoded); };
    const QUrl redirect(value("redirect_uri"));
    if (authorizationURL.scheme() != QLatin1String("https") || value("response_type") != QLatin1String("code")
        || value("code_challenge_method") != QLatin1String("S256") || value("code_challenge").size() != 43
        || value("state").isEmpty() || redirect.scheme() != QLatin1String("http")
        || redirect.host() != QLatin1String("127.0.0.1") || redirect.port() <= 0
        || (!m_google.expectedClientID.isEmpty() && value("client_id") != m_google.expectedClientID))
        return nullptr;
    QUrlQuery back;
    if (consent == Consent::approve) {
        const QString code = QStringLiteral("4/fake-code-%1").arg(m_nextId++);
        m_googleCodes.insert(code, GoogleCode{value("code_challenge"), value("redirect_uri"), value("client_id"), false});
        back.addQueryItem(QStringLiteral("code"), QString::fromLatin1(QUrl::toPercentEncoding(code)));
        back.addQueryItem(QStringLiteral("scope"), QStringLiteral("email%20profile%20openid"));
    } else {
        back.addQueryItem(QStringLiteral("error"), QStringLiteral("access_denied"));
    }
    back.addQueryItem(QStringLiteral("state"),
                      QString::fromLatin1(QUrl::toPercentEncoding(stateOverride.value_or(value("state")))));
    QUrl target = redirect;
    target.setQuery(back.toString(QUrl::FullyEncoded), QUrl::StrictMode);
    return visitLoopback(target);
}

} // namespace tovrik::test
