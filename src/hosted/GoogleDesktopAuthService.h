#pragma once

// Google sign-in for a desktop app (OAuth 2.0 for installed apps):
//  1. a LoopbackCallbackServer listens on 127.0.0.1 for this attempt only;
//  2. a PKCE pair (S256) and a single-use random state are drawn;
//  3. the default browser opens Google's authorization endpoint through the
//     platform layer;
//  4. the code from the redirect (state checked) is exchanged at Google's
//     token endpoint (code, verifier, redirect URI, client id and secret);
//  5. POST /auth/google/native turns Google's tokens into a hosted session.
// Errors: GoogleSignInError (domain "TovrikGoogleSignIn"), HTTPError from the
// hosted service, CancellationError when the task is cancelled.
// isGoogleSignInCancellation() tells a cancelled, denied or timed-out attempt
// apart from the other failures.

#include "common/Error.h"
#include "common/Task.h"
#include "hosted/HostedBackendClient.h"
#include "hosted/HostedPayloads.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <exception>

namespace tovrik {

class GoogleSignInError : public TovrikError {
public:
    enum Code {
        listenerFailed = 1,
        browserOpenFailed = 2,
        accessDenied = 3,   // the user refused or closed the consent (error=access_denied)
        stateMismatch = 4,  // the redirect's state is not the one we sent
        invalidCallback = 5, // no code, or another error from Google
        timedOut = 6,
        tokenExchangeFailed = 7,
        invalidEndpoint = 8,
    };
    GoogleSignInError(Code code, const QString& message);
    Code signInCode() const { return Code(code()); }
};

// True for CancellationError and for GoogleSignInError accessDenied/timedOut.
bool isGoogleSignInCancellation(std::exception_ptr error);

// PKCE (RFC 7636) and the state value.
namespace pkce {
// 43 characters: base64url (no padding) of 32 random bytes.
QString makeCodeVerifier();
// base64url (no padding) of SHA-256 of the verifier's ASCII bytes.
QString codeChallenge(const QString& verifier);
// A single-use random state: base64url of 32 random bytes.
QString makeState();
} // namespace pkce

class GoogleDesktopAuthService : public QObject {
    Q_OBJECT
public:
    struct Configuration {
        QUrl authorizationEndpoint;
        QUrl tokenEndpoint;
        QString clientID;
        QString clientSecret;
        QString scope = QStringLiteral("openid email profile");
        double attemptTimeout = 300; // seconds for the browser round trip
        double requestTimeout = 30;  // seconds for the token exchange
    };
    // The build settings' endpoints and client.
    static Configuration defaultConfiguration();

    explicit GoogleDesktopAuthService(QObject* parent = nullptr);
    GoogleDesktopAuthService(Configuration configuration, QObject* parent = nullptr);
    ~GoogleDesktopAuthService() override;

    const Configuration& configuration() const { return m_config; }
    void setConfiguration(Configuration configuration) { m_config = std::move(configuration); }
    // The hosted client used for POST /auth/google/native (the service's own
    // unless set; it must outlive the attempt).
    void setBackendClient(HostedBackendClient* client);

    // Runs one whole sign-in against the hosted origin `baseURL`.
    QCoro::Task<HostedAuthSessionPayload> signIn(QString baseURL, CancellationToken token = {});

    // The authorization URL for the given values (exposed for tests).
    QUrl authorizationURL(const QString& redirectURI, const QString& codeChallenge, const QString& state) const;

private:
    struct GoogleTokens {
        QString idToken;
        QString accessToken;
    };
    QCoro::Task<GoogleTokens> exchangeCode(QString code, QString verifier, QString redirectURI,
                                           CancellationToken token);

    Configuration m_config;
    HTTPConnectionPool* m_connections;
    HostedBackendClient* m_ownClient;
    QPointer<HostedBackendClient> m_client;
};

} // namespace tovrik
