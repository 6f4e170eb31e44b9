#include "hosted/GoogleDesktopAuthService.h"

#include "hosted/HostedBackendClient.h"
#include "hosted/ReplyWatch.h"

#include "common/Clock.h"
#include "common/Constants.h"
#include "common/TextLines.h"
#include "hosted/LoopbackCallbackServer.h"
#include "platform/Platform.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUrlQuery>
#include <qcoro/qcorosignal.h>

namespace tovrik {

namespace {
const QString kDomain = QStringLiteral("TovrikGoogleSignIn");

QString base64url(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray randomBytes(int count)
{
    QByteArray out(count, Qt::Uninitialized);
    for (int i = 0; i < count; i += 4) {
        const quint32 word = QRandomGenerator::system()->generate();
        for (int j = 0; j < 4 && i + j < count; ++j)
            out[i + j] = char((word >> (8 * j)) & 0xff);
    }
    return out;
}

} // namespace

GoogleSignInError::GoogleSignInError(Code code, const QString& message) : TovrikError(kDomain, int(code), message) {}

bool isGoogleSignInCancellation(std::exception_ptr error)
{
    if (!error)
        return false;
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return true;
    } catch (const GoogleSignInError& e) {
        return e.signInCode() == GoogleSignInError::accessDenied || e.signInCode() == GoogleSignInError::timedOut;
    } catch (...) {
        return false;
    }
}

namespace pkce {
QString makeCodeVerifier() { return base64url(randomBytes(32)); }

QString codeChallenge(const QString& verifier)
{
    return base64url(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256));
}

QString makeState() { return base64url(randomBytes(32)); }
} // namespace pkce

GoogleDesktopAuthService::Configuration GoogleDesktopAuthService::defaultConfiguration()
{
    Configuration c;
    c.authorizationEndpoint = QUrl(constants::googleAuthorizationEndpoint());
    c.tokenEndpoint = QUrl(constants::googleTokenEndpoint());
    c.clientID = constants::googleClientID();
    c.clientSecret = constants::googleClientSecret();
    return c;
}

GoogleDesktopAuthService::GoogleDesktopAuthService(QObject* parent) : GoogleDesktopAuthService(defaultConfiguration(), parent) {}

GoogleDesktopAuthService::GoogleDesktopAuthService(Configuration configuration, QObject* parent)
    : QObject(parent), m_config(std::move(configuration)), m_connections(new HTTPConnectionPool(this)),
      m_ownClient(new HostedBackendClient(this)), m_client(m_ownClient)
{
}

GoogleDesktopAuthService::~GoogleDesktopAuthService() = default;

void GoogleDesktopAuthService::setBackendClient(HostedBackendClient* client) { m_client = client ? client : m_ownClient; }

QUrl GoogleDesktopAuthService::authorizationURL(const QString& redirectURI, const QString& codeChallenge,
                                                const QString& state) const
{
    QUrl url = m_config.authorizationEndpoint;
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("client_id"), m_config.clientID);
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectURI);
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("scope"), m_config.scope);
    query.addQueryItem(QStringLiteral("code_challenge"), codeChallenge);
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    query.addQueryItem(QStringLiteral("state"), state);
    query.addQueryItem(QStringLiteral("prompt"), QStringLiteral("select_account"));
    // Spaces as %20 and reserved characters escaped, as form values.
    QString encoded;
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (!encoded.isEmpty())
            encoded += QLatin1Char('&');
        encoded += QString::fromLatin1(QUrl::toPercentEncoding(key)) + QLatin1Char('=')
            + QString::fromLatin1(QUrl::toPercentEncoding(value));
    }
    url.setQuery(encoded, QUrl::StrictMode);
    return url;
}

QCoro::Task<HostedAuthSessionPayload> GoogleDesktopAuthService::signIn(QString baseURL, CancellationToken token)
{
    token.throwIfCancelled();
    if (!m_config.tokenEndpoint.isValid() || m_config.tokenEndpoint.scheme() != QLatin1String("https")
        || !m_config.authorizationEndpoint.isValid() || m_config.authorizationEndpoint.scheme() != QLatin1String("https"))
        throw GoogleSignInError(GoogleSignInError::invalidEndpoint,
                                QStringLiteral("Google sign-in is not configured for this build."));
    QPointer<GoogleDesktopAuthService> self(this);
    auto server = std::make_unique<LoopbackCallbackServer>();
    server->start(QStringLiteral("/oauth2redirect/"));
    const QString verifier = pkce::makeCodeVerifier();
    const QString state = pkce::makeState();
    const QString redirectURI = server->redirectURI();
    const QUrl url = authorizationURL(redirectURI, pkce::codeChallenge(verifier), state);
    if (!platform::Platform::get().workspace().openURL(url))
        throw GoogleSignInError(GoogleSignInError::browserOpenFailed,
                                QStringLiteral("Could not open the browser for Google sign-in."));
    auto waitTask = server->waitForCode(state, m_config.attemptTimeout, token);
    const QString code = co_await std::move(waitTask);
    // The browser that brought the code is told how the sign-in ended (the
    // listener answers it in time itself when this takes too long).
    std::exception_ptr failure;
    HostedAuthSessionPayload session;
    try {
        if (!self)
            throw CancellationError();
        auto exchangeTask = exchangeCode(code, verifier, redirectURI, token);
        const GoogleTokens tokens = co_await std::move(exchangeTask);
        if (!self || !m_client)
            throw CancellationError();
        token.throwIfCancelled();
        auto hostedTask = m_client->signInWithGoogle(baseURL, tokens.idToken, tokens.accessToken, token);
        session = co_await std::move(hostedTask);
    } catch (...) {
        failure = std::current_exception();
    }
    server->answerBrowser(!failure, failure ? describeException(failure) : QString());
    if (failure)
        std::rethrow_exception(failure);
    co_return session;
}

QCoro::Task<GoogleDesktopAuthService::GoogleTokens> GoogleDesktopAuthService::exchangeCode(QString code, QString verifier,
                                                                                         QString redirectURI,
                                                                                         CancellationToken token)
{
    QUrlQuery form;
    const auto add = [&form](const QString& k, const QString& v) {
        form.addQueryItem(QString::fromLatin1(QUrl::toPercentEncoding(k)), QString::fromLatin1(QUrl::toPercentEncoding(v)));
    };
    add(QStringLiteral("code"), code);
    add(QStringLiteral("code_verifier"), verifier);
    add(QStringLiteral("redirect_uri"), redirectURI);
    add(QStringLiteral("client_id"), m_config.clientID);
    add(QStringLiteral("client_secret"), m_config.clientSecret);
    add(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    HTTPRequest request{"POST", m_config.tokenEndpoint,
                        {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}},
                        form.toString(QUrl::FullyEncoded).toLatin1(), {}, {}};
    auto wait = std::make_unique<ReplyWatch>(new HTTPExchange(m_connections, std::move(request)), m_config.requestTimeout,
                                             qint64(1) << 20, token);
    if (!wait->done)
    {
        auto signal = qCoro(wait.get(), &ReplyWatch::finished);
        co_await std::move(signal);
    }
    if (wait->stopped == ReplyWatch::Stop::cancelled)
        throw CancellationError();
    if (wait->stopped == ReplyWatch::Stop::timedOut)
        throw GoogleSignInError(GoogleSignInError::timedOut, QStringLiteral("Google sign-in timed out."));
    if (wait->stopped == ReplyWatch::Stop::tooLarge)
        throw GoogleSignInError(GoogleSignInError::tokenExchangeFailed, QStringLiteral("Google returned an invalid token response."));
    HTTPExchange* reply = wait->exchange();
    if (reply->failure() == HTTPExchange::Failure::invalidResponse)
        throw GoogleSignInError(GoogleSignInError::tokenExchangeFailed, QStringLiteral("Google returned an invalid token response."));
    if (reply->failure() == HTTPExchange::Failure::transport)
        throw GoogleSignInError(GoogleSignInError::tokenExchangeFailed,
                                QStringLiteral("Could not reach Google: %1").arg(reply->errorString()));
    const int status = reply->status();
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll(), &pe);
    const QJsonObject o = doc.object();
    if (status < 200 || status >= 300) {
        const QString detail = o.value(QLatin1String("error_description")).toString(o.value(QLatin1String("error")).toString());
        throw GoogleSignInError(GoogleSignInError::tokenExchangeFailed,
                                detail.trimmed().isEmpty()
                                    ? QStringLiteral("Google rejected the sign-in (%1).").arg(status)
                                    : QStringLiteral("Google rejected the sign-in: %1").arg(prefixCharacters(detail.trimmed(), 200)));
    }
    if (pe.error != QJsonParseError::NoError || !doc.isObject() || !o.value(QLatin1String("id_token")).isString()
        || o.value(QLatin1String("id_token")).toString().isEmpty())
        throw GoogleSignInError(GoogleSignInError::tokenExchangeFailed, QStringLiteral("Google returned an invalid token response."));
    GoogleTokens tokens;
    tokens.idToken = o.value(QLatin1String("id_token")).toString();
    tokens.accessToken = o.value(QLatin1String("access_token")).toString();
    co_return tokens;
}

} // namespace tovrik

