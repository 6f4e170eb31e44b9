// Google desktop sign-in: PKCE, the loopback listener, and a whole sign-in
// against the fake's Google and hosted endpoints over TLS, with the sim
// workspace playing the browser.

#include "HostedTestSupport.h"

#include "hosted/GoogleDesktopAuthService.h"
#include "hosted/LoopbackCallbackServer.h"

#include <QRegularExpression>
#include <QTcpSocket>

using namespace tovrik;
using namespace tovrik::test;

namespace {

QUrl callbackURL(const LoopbackCallbackServer& server, const QString& query)
{
    QUrl url(server.redirectURI());
    url.setQuery(query);
    return url;
}

std::shared_ptr<FakeBrowserVisit> visit(const QUrl& url, const QByteArray& rawRequest = {})
{
    auto v = FakeHostedService::visitLoopback(url, rawRequest);
    spinUntil([&]() { return v->finished; });
    return v;
}

template <typename T>
GoogleSignInError::Code signInCode(const std::shared_ptr<TaskOutcome<T>>& out)
{
    const auto e = out->template errorAs<GoogleSignInError>();
    return e ? e->signInCode() : GoogleSignInError::Code(0);
}

using LoopbackTest = SimTest;

} // namespace

TEST(Pkce, Rfc7636VectorAndFreshBase64UrlVerifierAndState)
{
    EXPECT_EQ(pkce::codeChallenge(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
              QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    const QRegularExpression form(QStringLiteral("^[A-Za-z0-9_-]{43}$"));
    const QString a = pkce::makeCodeVerifier();
    EXPECT_TRUE(form.match(a).hasMatch()) << a.toStdString();
    EXPECT_TRUE(form.match(pkce::makeState()).hasMatch());
    EXPECT_NE(a, pkce::makeCodeVerifier());
    EXPECT_NE(pkce::makeState(), pkce::makeState());
    EXPECT_EQ(QByteArray::fromBase64(a.toLatin1(), QByteArray::Base64UrlEncoding).size(), 32);
}

TEST_F(LoopbackTest, OnLoopbackOnlyAMatchingCallbackGivesTheCodeOtherRequestsDoNotAndTheBrowserWaitsForTheOutcome)
{
    LoopbackCallbackServer server;
    server.start();
    EXPECT_TRUE(server.isListening() && server.port() > 0);
    EXPECT_EQ(server.address(), QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(server.redirectURI(), QStringLiteral("http://127.0.0.1:%1/oauth2redirect/").arg(server.port()));
    // Nothing listens on the other addresses of the port.
    QTcpSocket other;
    other.setProxy(QNetworkProxy::NoProxy);
    other.connectToHost(QHostAddress(QHostAddress::LocalHostIPv6), server.port());
    EXPECT_FALSE(other.waitForConnected(2000));
    auto out = launch(server.waitForCode(QStringLiteral("s-1"), 300));
    // Other requests do not end the attempt.
    const auto raw = [&](const QByteArray& request) { return visit(QUrl(server.redirectURI()), request)->status; };
    EXPECT_EQ(visit(QUrl(QStringLiteral("http://127.0.0.1:%1/favicon.ico").arg(server.port())))->status, 404);
    EXPECT_EQ(visit(QUrl(QStringLiteral("http://127.0.0.1:%1/oauth2redirect").arg(server.port())))->status, 404);
    EXPECT_EQ(raw("BREW /oauth2redirect/ HTCPCP/1.0\r\n\r\n"), 400);
    EXPECT_EQ(raw("POST /oauth2redirect/?state=s-1&code=x HTTP/1.1\r\nHost: a\r\n\r\n"), 404);
    EXPECT_EQ(raw("GET /oauth2redirect/?code=x&state=s-1 HTTP/1.1\r\nX-Pad: "
                  + QByteArray(LoopbackCallbackServer::maximumHeadBytes + 100, 'a') + "\r\n\r\n"),
              400);
    // A connection that never finishes its head is dropped after the
    // per-connection limit.
    QTcpSocket stalled;
    stalled.setProxy(QNetworkProxy::NoProxy);
    stalled.connectToHost(QHostAddress(QHostAddress::LocalHost), server.port());
    ASSERT_TRUE(stalled.waitForConnected(2000));
    stalled.write("GET /oauth2redirect/?code=x&sta");
    stalled.flush();
    spinUntil([] { return false; }, 50);
    EXPECT_EQ(stalled.state(), QAbstractSocket::ConnectedState);
    advance(LoopbackCallbackServer::connectionTimeout + 1, 1);
    EXPECT_TRUE(stalled.state() == QAbstractSocket::UnconnectedState || stalled.waitForDisconnected(3000));
    drainEvents();
    EXPECT_TRUE(!out->done && server.isListening());
    auto page = FakeHostedService::visitLoopback(callbackURL(server, QStringLiteral("state=s-1&code=4%2Fabc%20d&scope=email")));
    ASSERT_TRUE(spinUntil([&]() { return out->done; }));
    EXPECT_EQ(out->value, QStringLiteral("4/abc d")) << describe(out->error).toStdString();
    EXPECT_FALSE(server.isListening()); // single use
    // Nothing is said before the sign-in it started has ended...
    spinUntil([] { return false; }, 100);
    EXPECT_FALSE(page->finished);
    server.answerBrowser(false, QStringLiteral("Google sign-in could not be verified."));
    ASSERT_TRUE(spinUntil([&]() { return page->finished; }));
    EXPECT_EQ(page->status, 200);
    EXPECT_TRUE(page->body.contains("Google sign-in could not be verified."));
    EXPECT_FALSE(page->body.contains("signed in"));
    // ...and a sign-in that takes too long gets an answer in time.
    server.start();
    auto slow = launch(server.waitForCode(QStringLiteral("s-2"), 300));
    auto waiting = FakeHostedService::visitLoopback(callbackURL(server, QStringLiteral("state=s-2&code=c")));
    ASSERT_TRUE(spinUntil([&]() { return slow->done; }));
    advance(LoopbackCallbackServer::connectionTimeout, 1);
    ASSERT_TRUE(spinUntil([&]() { return waiting->finished; }));
    EXPECT_EQ(waiting->body, LoopbackCallbackServer::pendingPage());
}

TEST_F(LoopbackTest, FailedCallbacksTheClockAndCancellationEndTheAttempt)
{
    LoopbackCallbackServer server;
    struct Case {
        const char* query;
        GoogleSignInError::Code code;
        int status;
    };
    const Case cases[] = {
        {"code=abc&state=forged", GoogleSignInError::stateMismatch, 400},
        {"code=abc", GoogleSignInError::stateMismatch, 400},
        {"code=abc&state=s-3x", GoogleSignInError::stateMismatch, 400},
        {"code=abc&state=", GoogleSignInError::stateMismatch, 400},
        {"error=access_denied&state=s-3", GoogleSignInError::accessDenied, 200}, // the only cancellation
        {"error=server_error&state=s-3", GoogleSignInError::invalidCallback, 200},
        {"state=s-3", GoogleSignInError::invalidCallback, 400},
    };
    for (const Case& c : cases) {
        LoopbackCallbackServer s;
        s.start();
        auto out = launch(s.waitForCode(QStringLiteral("s-3"), 300));
        auto page = visit(callbackURL(s, QString::fromLatin1(c.query)));
        ASSERT_TRUE(spinUntil([&]() { return out->done; })) << c.query;
        EXPECT_EQ(signInCode(out), c.code) << c.query;
        EXPECT_EQ(isGoogleSignInCancellation(out->error), c.code == GoogleSignInError::accessDenied) << c.query;
        EXPECT_EQ(page->status, c.status) << c.query;
        EXPECT_TRUE(page->body.contains("You can close this tab.")) << c.query;
        EXPECT_FALSE(s.isListening());
    }
    // A long error from the browser is cut to 120 characters, an emoji at
    // the cut kept whole.
    {
        LoopbackCallbackServer s;
        s.start();
        auto out = launch(s.waitForCode(QStringLiteral("s-4"), 300));
        const QString error = QString(119, 'x') + QStringLiteral("\U0001F600tail");
        visit(callbackURL(s, "error=" + QString::fromLatin1(QUrl::toPercentEncoding(error)) + "&state=s-4"));
        ASSERT_TRUE(spinUntil([&]() { return out->done; }));
        const auto e = out->template errorAs<GoogleSignInError>();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->message(), "Google sign-in failed: " + QString(119, 'x') + QStringLiteral("\U0001F600"));
    }
    server.start();
    const quint16 port = server.port();
    auto out = launch(server.waitForCode(QStringLiteral("s-7"), 300));
    advance(299, 1);
    EXPECT_FALSE(out->done);
    advance(2, 1);
    ASSERT_TRUE(spinUntil([&]() { return out->done; }));
    EXPECT_EQ(signInCode(out), GoogleSignInError::timedOut);
    EXPECT_TRUE(isGoogleSignInCancellation(out->error));
    EXPECT_FALSE(server.isListening());
    EXPECT_EQ(visit(QUrl(QStringLiteral("http://127.0.0.1:%1/oauth2redirect/?code=x&state=s-7").arg(port)))->status, -1);
    server.start();
    CancellationSource source;
    auto cancelled = launch(server.waitForCode(QStringLiteral("s-8"), 300, source.token()));
    source.cancel();
    ASSERT_TRUE(spinUntil([&]() { return cancelled->done; }));
    EXPECT_TRUE(cancelled->cancelled());
    EXPECT_FALSE(server.isListening());
}

TEST(LoopbackParser, RequestHeads)
{
    LoopbackHTTPRequest r;
    EXPECT_EQ(parseLoopbackHTTPRequest("GET /oauth2redirect/?code=a%2Fb&state=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", &r),
              LoopbackParseStatus::complete);
    EXPECT_EQ(r.method, QByteArray("GET"));
    EXPECT_EQ(r.path, QStringLiteral("/oauth2redirect/"));
    EXPECT_EQ(r.query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded), QStringLiteral("a/b"));
    EXPECT_EQ(parseLoopbackHTTPRequest("GET / HTTP/1.1\r\nHost: x\r\n", &r), LoopbackParseStatus::incomplete);
    EXPECT_EQ(parseLoopbackHTTPRequest("GET / HTTP/1.1\n\n", &r), LoopbackParseStatus::complete);
    const QByteArray bad[] = {
        "GET /\r\n\r\n",
        "GET  / HTTP/1.1\r\n\r\n",
        "GET http://x/ HTTP/1.1\r\n\r\n",
        "GET / HTTP/2\r\n\r\n",
        "G(T / HTTP/1.1\r\n\r\n",
        "GET /a b HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nno colon\r\n\r\n",
        "GET / HTTP/1.1\r\n: empty name\r\n\r\n",
        QByteArray("GET /\0 HTTP/1.1\r\n\r\n", 18),
        "GET /\x80 HTTP/1.1\r\n\r\n",
    };
    for (const QByteArray& b : bad)
        EXPECT_EQ(parseLoopbackHTTPRequest(b, &r), LoopbackParseStatus::malformed) << b.constData();
    const QByteArray huge = "GET / HTTP/1.1\r\nX: " + QByteArray(LoopbackCallbackServer::maximumHeadBytes, 'a');
    EXPECT_EQ(parseLoopbackHTTPRequest(huge, &r), LoopbackParseStatus::malformed);
}

namespace {

class GoogleSignInTest : public HostedServiceTest {
protected:
    void SetUp() override
    {
        HostedServiceTest::SetUp();
        FakeGoogleOptions options;
        options.expectedClientID = constants::googleClientID();
        options.expectedClientSecret = constants::googleClientSecret();
        options.email = QStringLiteral("grace@example.com");
        options.displayName = QStringLiteral("Grace");
        fake.setGoogleOptions(options);
        sim->simWorkspace().onOpenURL = [this](const QUrl& url) {
            opened = url;
            if (playBrowser)
                browser = fake.completeGoogleAuthorization(url, consent, stateOverride);
        };
    }
    void TearDown() override
    {
        sim->simWorkspace().onOpenURL = nullptr;
        HostedServiceTest::TearDown();
    }

    GoogleDesktopAuthService service; // the build settings' endpoints
    QUrl opened;
    bool playBrowser = true;
    FakeHostedService::Consent consent = FakeHostedService::Consent::approve;
    std::optional<QString> stateOverride;
    std::shared_ptr<FakeBrowserVisit> browser;
};

} // namespace

TEST_F(GoogleSignInTest, WholeSignInThroughGoogleAndTheHostedService)
{
    auto out = runToEnd(service.signIn(origin));
    ASSERT_TRUE(out->value) << describe(out->error).toStdString();
    EXPECT_EQ(std::tie(out->value->email, out->value->displayName), std::make_tuple("grace@example.com", "Grace"));
    EXPECT_TRUE(fake.isSessionActive(out->value->sessionToken));
    // The browser was sent to the authorization endpoint with PKCE and state.
    ASSERT_TRUE(opened.isValid());
    EXPECT_EQ(opened.toString(QUrl::RemoveQuery), constants::googleAuthorizationEndpoint());
    const QUrlQuery q(opened);
    const auto param = [&q](const char* name) { return q.queryItemValue(QLatin1String(name), QUrl::FullyDecoded); };
    const QString redirect = param("redirect_uri");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^http://127\\.0\\.0\\.1:\\d+/oauth2redirect/$")).match(redirect).hasMatch())
        << redirect.toStdString();
    EXPECT_EQ(param("client_id"), constants::googleClientID());
    EXPECT_EQ(std::make_tuple(param("code_challenge_method"), param("response_type")), std::make_tuple("S256", "code"));
    EXPECT_EQ(param("state").size(), 43);
    ASSERT_TRUE(browser);
    ASSERT_TRUE(spinUntil([&]() { return browser->finished; }));
    EXPECT_EQ(browser->status, 200);
    EXPECT_TRUE(browser->body.contains("You're signed in to Tovrik."));
    // The code went to Google's token endpoint with the verifier...
    QList<FakeRequest> tokenRequests;
    for (const auto& r : fake.requests())
        if (r.host == QUrl(constants::googleTokenEndpoint()).host())
            tokenRequests << r;
    ASSERT_EQ(tokenRequests.size(), 1);
    const QUrlQuery form(QString::fromUtf8(tokenRequests.first().body));
    EXPECT_EQ(form.queryItemValue(QStringLiteral("grant_type")), QStringLiteral("authorization_code"));
    EXPECT_EQ(form.queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded), redirect);
    EXPECT_EQ(pkce::codeChallenge(form.queryItemValue("code_verifier", QUrl::FullyDecoded)), param("code_challenge"));
    EXPECT_EQ(tokenRequests.first().header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    // ...and Google's token became a hosted session.
    const auto native = fake.requestsTo(QStringLiteral("/auth/google/native"));
    ASSERT_EQ(native.size(), 1);
    EXPECT_EQ(native.first().host, QUrl(origin).host());
    EXPECT_TRUE(native.first().json().value("idToken").toString().startsWith(QStringLiteral("fake-google-id-token-")));
}

TEST_F(GoogleSignInTest, EndsBeforeAnyTokenExchangeWhenTheBrowserSaysNoCannotOpenIsCancelledOrNeverAnswers)
{
    // A forged state, denied consent, no browser: nothing reaches Google's
    // token endpoint or the hosted service.
    const std::pair<std::function<void()>, GoogleSignInError::Code> cases[] = {
        {[this] { stateOverride = QStringLiteral("attacker-state"); }, GoogleSignInError::stateMismatch},
        {[this] { consent = FakeHostedService::Consent::deny; }, GoogleSignInError::accessDenied},
        {[this] { sim->simWorkspace().failing = true; }, GoogleSignInError::browserOpenFailed},
    };
    for (const auto& [setUp, code] : cases) {
        stateOverride.reset();
        setUp();
        auto out = runToEnd(service.signIn(origin));
        EXPECT_EQ(signInCode(out), code);
        EXPECT_EQ(isGoogleSignInCancellation(out->error), code == GoogleSignInError::accessDenied);
        EXPECT_EQ(out->errorAs<GoogleSignInError>()->domain(), QStringLiteral("TovrikGoogleSignIn"));
        EXPECT_TRUE(fake.requests().isEmpty());
    }
    // Cancelled, or never answered, while the browser is open.
    sim->simWorkspace().failing = false;
    playBrowser = false;
    opened = QUrl();
    CancellationSource source;
    auto out = launch(service.signIn(origin, source.token()));
    ASSERT_TRUE(opened.isValid());
    const QUrl redirect(QUrlQuery(opened).queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
    source.cancel();
    ASSERT_TRUE(spinUntil([&]() { return out->done; }));
    EXPECT_TRUE(out->cancelled() && isGoogleSignInCancellation(out->error));
    EXPECT_EQ(visit(redirect)->status, -1); // the listener is gone

    auto unanswered = launch(service.signIn(origin));
    advance(service.configuration().attemptTimeout + 1, 1);
    ASSERT_TRUE(spinUntil([&]() { return unanswered->done; }));
    EXPECT_EQ(signInCode(unanswered), GoogleSignInError::timedOut);
    EXPECT_TRUE(isGoogleSignInCancellation(unanswered->error));
}

TEST_F(GoogleSignInTest, RejectionsAfterTheBrowserAreOrdinaryFailuresTheTabHearsOfAndInjectedEndpointsAreUsed)
{
    // Google refuses the code exchange: the service is never asked.
    FakeGoogleOptions options;
    options.expectedClientSecret = QStringLiteral("another-secret");
    fake.setGoogleOptions(options);
    auto exchange = runToEnd(service.signIn(origin));
    EXPECT_EQ(signInCode(exchange), GoogleSignInError::tokenExchangeFailed);
    EXPECT_FALSE(isGoogleSignInCancellation(exchange->error));
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/auth/google/native")).isEmpty());
    ASSERT_TRUE(browser && spinUntil([&]() { return browser->finished; }));
    EXPECT_TRUE(browser->body.contains(describe(exchange->error).toHtmlEscaped().toUtf8()));
    // The hosted service refuses the account: its message is kept.
    fake.setGoogleOptions(FakeGoogleOptions());
    fake.setHandler("POST", QStringLiteral("/auth/google/native"), [](const FakeRequest&) {
        return FakeResponse::error(403, QStringLiteral("account_disabled"), QStringLiteral("This account is disabled."));
    });
    auto out = runToEnd(service.signIn(origin));
    EXPECT_EQ(describe(out->error), QStringLiteral("This account is disabled."));
    EXPECT_FALSE(isGoogleSignInCancellation(out->error));
    // The browser tab says so too, never that the user is signed in.
    ASSERT_TRUE(browser && spinUntil([&]() { return browser->finished; }));
    EXPECT_TRUE(browser->body.contains("This account is disabled."));
    EXPECT_FALSE(browser->body.contains("signed in to"));
    // Injected endpoints are used.
    fake.clearHandlers();
    fake.clearRecords();
    GoogleDesktopAuthService::Configuration config = GoogleDesktopAuthService::defaultConfiguration();
    config.tokenEndpoint = QUrl(QStringLiteral("https://untrusted.example/oauth/token"));
    config.authorizationEndpoint = QUrl(QStringLiteral("https://untrusted.example/oauth/authorize"));
    fake.setHostHandler(QStringLiteral("untrusted.example"), "POST", QStringLiteral("/oauth/token"), [](const FakeRequest&) {
        return FakeResponse::json(200, QJsonObject{{"id_token", "unknown-token"}, {"access_token", "a"}});
    });
    GoogleDesktopAuthService custom(config);
    auto unknown = runToEnd(custom.signIn(origin));
    EXPECT_TRUE(opened.toString().startsWith(QStringLiteral("https://untrusted.example/oauth/authorize?")));
    ASSERT_EQ(fake.requestsTo(QStringLiteral("/oauth/token")).size(), 1);
    // The fake's hosted service does not know that id token.
    EXPECT_EQ(describe(unknown->error), QStringLiteral("Google sign-in could not be verified."));

    config.tokenEndpoint = QUrl(QStringLiteral("http://127.0.0.1:9/token"));
    GoogleDesktopAuthService plain(config);
    EXPECT_EQ(signInCode(runToEnd(plain.signIn(origin))), GoogleSignInError::invalidEndpoint);
}

