// The fake hosted service's stand-ins for Google: the token endpoint and
// the browser at the authorization endpoint (see FakeHostedService.h).

#include "support/FakeHostedService.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>

namespace tovrik::test {

// ---------------------------------------------------------- Google stand-ins

FakeResponse FakeHostedService::googleToken(const FakeRequest& r)
{
    const QUrlQuery form(QString::fromUtf8(r.body));
    const auto value = [&form](const char* k) { return form.queryItemValue(k, QUrl::FullyDecoded); };
    const auto bad = [](const QString& error, const QString& description) {
        return FakeResponse::json(400, {{"error", error}, {"error_description", description}});
    };
    if (value("grant_type") != "authorization_code")
        return bad("unsupported_grant_type", "Invalid grant_type.");
    if (!m_google.expectedClientID.isEmpty() && value("client_id") != m_google.expectedClientID)
        return bad("invalid_client", "The OAuth client was not found.");
    if (!m_google.expectedClientSecret.isEmpty() && value("client_secret") != m_google.expectedClientSecret)
        return bad("invalid_client", "Unauthorized");
    auto it = m_googleCodes.find(value("code"));
    if (it == m_googleCodes.end() || it->used)
        return bad("invalid_grant", "Malformed auth code.");
    it->used = true;
    if (value("redirect_uri") != it->redirectURI || value("client_id") != it->clientID)
        return bad("redirect_uri_mismatch", "Bad Request");
    const QByteArray challenge = QCryptographicHash::hash(value("code_verifier").toLatin1(), QCryptographicHash::Sha256)
                                     .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    if (QString::fromLatin1(challenge) != it->challenge)
        return bad("invalid_grant", "Invalid code verifier.");
    const QString idToken = QString("fake-google-id-token-%1").arg(m_nextId++);
    m_googleIDTokens.insert(idToken, m_google.email.toLower());
    return FakeResponse::json(200, {{"access_token", QString("ya29.fake-%1").arg(m_nextId++)}, {"expires_in", 3599},
                                    {"token_type", "Bearer"}, {"scope", "openid email profile"}, {"id_token", idToken}});
}

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
    const QUrlQuery q(authorizationURL);
    const auto value = [&q](const char* k) { return q.queryItemValue(k, QUrl::FullyDecoded); };
    const QUrl redirect(value("redirect_uri"));
    if (authorizationURL.scheme() != "https" || value("response_type") != "code" || value("code_challenge_method") != "S256"
        || value("code_challenge").size() != 43 || value("state").isEmpty() || redirect.scheme() != "http"
        || redirect.host() != "127.0.0.1" || redirect.port() <= 0
        || (!m_google.expectedClientID.isEmpty() && value("client_id") != m_google.expectedClientID))
        return nullptr;
    QUrlQuery back;
    if (consent == Consent::approve) {
        const QString code = QString("4/fake-code-%1").arg(m_nextId++);
        m_googleCodes.insert(code, GoogleCode{value("code_challenge"), value("redirect_uri"), value("client_id"), false});
        back.addQueryItem("code", QString::fromLatin1(QUrl::toPercentEncoding(code)));
        back.addQueryItem("scope", "email%20profile%20openid");
    } else {
        back.addQueryItem("error", "access_denied");
    }
    back.addQueryItem("state", QString::fromLatin1(QUrl::toPercentEncoding(stateOverride.value_or(value("state")))));
    QUrl target = redirect;
    target.setQuery(back.toString(QUrl::FullyEncoded), QUrl::StrictMode);
    return visitLoopback(target);
}

} // namespace tovrik::test
