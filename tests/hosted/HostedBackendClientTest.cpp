// The hosted client against the fake service over real TLS (CONNECT proxy,
// test CA): every endpoint, its body shapes, the bearer header, the
// redirect policy, the error cases and bad input.

#include "HostedTestSupport.h"

#include "hosted/HostedBackendClient.h"
#include "hosted/MultipartBuilder.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QJsonArray>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class HostedClientTest : public HostedServiceTest {
protected:
    void SetUp() override
    {
        HostedServiceTest::SetUp();
        fake.addAccount(QStringLiteral("ada@example.com"), QStringLiteral("correct horse"), 1200, QStringLiteral("Ada"));
        token = fake.createSession(QStringLiteral("ada@example.com"));
    }
    HostedBackendClient client;
    QString token;
};

} // namespace

TEST_F(HostedClientTest, SignInSendsCredentialsAndReadsTheSession)
{
    auto out = runToEnd(client.signIn(origin, QStringLiteral("ada@example.com"), QStringLiteral("correct horse")));
    ASSERT_TRUE(out->finished);
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(out->value->email, QStringLiteral("ada@example.com"));
    EXPECT_EQ(out->value->creditsBalance, 1200);
    EXPECT_EQ(out->value->displayName, QStringLiteral("Ada"));
    EXPECT_TRUE(fake.isSessionActive(out->value->sessionToken));

    const auto requests = fake.requestsTo(QStringLiteral("/auth/signin"));
    ASSERT_EQ(requests.size(), 1);
    const FakeRequest& r = requests.first();
    EXPECT_EQ(r.host, QUrl(origin).host());
    EXPECT_EQ(r.method, QByteArray("POST"));
    EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
    EXPECT_TRUE(r.header("Authorization").isEmpty());
    EXPECT_EQ(r.json(), (QJsonObject{{"email", "ada@example.com"}, {"password", "correct horse"}}));
    EXPECT_TRUE(r.header("Cookie").isEmpty());
}

TEST_F(HostedClientTest, WrongPasswordGivesTheServiceMessage)
{
    auto out = runToEnd(client.signIn(origin, QStringLiteral("ada@example.com"), QStringLiteral("nope")));
    const auto e = errorAs<HTTPError>(out);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), HTTPError::Kind::failedStatus);
    EXPECT_EQ(e->statusCode(), 401);
    EXPECT_EQ(e->localizedDescription(), QStringLiteral("Incorrect email or password."));
}

TEST_F(HostedClientTest, SignUpCreatesAnAccount)
{
    auto out = runToEnd(client.signUp(origin, QStringLiteral("new@example.com"), QStringLiteral("longenough")));
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(out->value->email, QStringLiteral("new@example.com"));
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/auth/signup")).size(), 1);
    auto again = runToEnd(client.signUp(origin, QStringLiteral("new@example.com"), QStringLiteral("longenough")));
    EXPECT_EQ(describe(again->error), QStringLiteral("An account with this email already exists."));
}

TEST_F(HostedClientTest, AccountSummaryCarriesTheBearerToken)
{
    auto out = runToEnd(client.fetchAccountSummary(origin, QStringLiteral("  ") + token + QStringLiteral("\n")));
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(out->value->email, QStringLiteral("ada@example.com"));
    EXPECT_EQ(out->value->creditsBalance, 1200);
    const auto r = fake.requestsTo(QStringLiteral("/auth/me"));
    ASSERT_EQ(r.size(), 1);
    EXPECT_EQ(r.first().method, QByteArray("GET"));
    EXPECT_EQ(r.first().header("Authorization"), "Bearer " + token.toUtf8());
    EXPECT_TRUE(r.first().body.isEmpty());
}

TEST_F(HostedClientTest, RevokeSessionEndsItOnTheService)
{
    auto out = runToEnd(client.revokeSession(origin, token));
    ASSERT_TRUE(out->finished);
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_FALSE(fake.isSessionActive(token));
    const auto r = fake.requestsTo(QStringLiteral("/api/account/signout"));
    ASSERT_EQ(r.size(), 1);
    EXPECT_EQ(r.first().method, QByteArray("POST"));
    EXPECT_EQ(r.first().bearerToken(), token);
    auto me = runToEnd(client.fetchAccountSummary(origin, token));
    const auto e = errorAs<HTTPError>(me);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->statusCode(), 401);
    EXPECT_EQ(e->localizedDescription(), QStringLiteral("Session expired. Sign in again."));
}

TEST_F(HostedClientTest, TranscriptionUploadsTheWavAsMultipart)
{
    fake.setTranscript(QStringLiteral("  what is on my screen \n"));
    const QByteArray wav = QByteArray("RIFF\x24\x00\x00\x00WAVEfmt ", 16) + QByteArray(200, '\x01');
    auto out = runToEnd(client.transcribe(origin, token, wav));
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(*out->value, QStringLiteral("what is on my screen"));
    const auto r = fake.requestsTo(QStringLiteral("/stt"));
    ASSERT_EQ(r.size(), 1);
    EXPECT_EQ(r.first().bearerToken(), token);
    EXPECT_TRUE(r.first().header("Content-Type").startsWith("multipart/form-data; boundary=TovrikBoundary-"));
    QByteArray data;
    QString fileName;
    QByteArray type;
    ASSERT_TRUE(r.first().multipartPart("file", &data, &fileName, &type));
    EXPECT_EQ(data, wav);
    EXPECT_EQ(fileName, QStringLiteral("recording.wav"));
    EXPECT_EQ(type, QByteArray("audio/wav"));
    // The client's connection to the service (through its proxy) sends
    // without Nagle's delay.
    int clientSockets = 0;
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET
            || ntohs(peer.sin_port) != fake.port())
            continue;
        int noDelay = 0;
        length = sizeof noDelay;
        ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
        EXPECT_EQ(noDelay, 1) << fd;
        ++clientSockets;
    }
    EXPECT_GE(clientSockets, 1);
}

TEST_F(HostedClientTest, TranscribeFileReadsTheRecordingOrFails)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take-1.wav"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("RIFFxxxxWAVE");
    f.close();
    auto ok = runToEnd(client.transcribeFile(origin, token, path));
    ASSERT_FALSE(ok->error) << describe(ok->error).toStdString();
    QString fileName;
    ASSERT_TRUE(fake.requestsTo(QStringLiteral("/stt")).first().multipartPart("file", nullptr, &fileName));
    EXPECT_EQ(fileName, QStringLiteral("take-1.wav"));
    auto missing = runToEnd(client.transcribeFile(origin, token, dir.filePath(QStringLiteral("none.wav"))));
    EXPECT_EQ(describe(missing->error), QStringLiteral("The recording could not be read."));
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/stt")).size(), 1);
}

TEST_F(HostedClientTest, SpeechReturnsMpegAudio)
{
    const QByteArray mpeg = QByteArray("ID3", 3) + QByteArray(1000, '\x55');
    fake.setSpeechAudio(mpeg);
    auto out = runToEnd(client.synthesizeSpeech(origin, token, QStringLiteral("Hello there"), QStringLiteral("voice-1"),
                                                QStringLiteral("eleven_flash_v2_5")));
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(*out->value, mpeg);
    const auto r = fake.requestsTo(QStringLiteral("/tts"));
    ASSERT_EQ(r.size(), 1);
    EXPECT_EQ(r.first().json(),
              (QJsonObject{{"text", "Hello there"}, {"voiceId", "voice-1"}, {"modelId", "eleven_flash_v2_5"}}));
    EXPECT_EQ(r.first().bearerToken(), token);
}

TEST_F(HostedClientTest, SpeechOfTheWrongTypeIsInvalid)
{
    fake.setHandler("POST", QStringLiteral("/tts"), [](const FakeRequest&) {
        return FakeResponse::raw(200, "application/json", R"({"audio":"..."})");
    });
    auto out = runToEnd(client.synthesizeSpeech(origin, token, QStringLiteral("x"), QStringLiteral("v"), QStringLiteral("m")));
    EXPECT_EQ(describe(out->error), QStringLiteral("invalid api response"));
}

TEST_F(HostedClientTest, OutOfCreditsIsRecognisable)
{
    fake.setCreditsBalance(QStringLiteral("ada@example.com"), 0);
    auto out = runToEnd(client.synthesizeSpeech(origin, token, QStringLiteral("x"), QStringLiteral("v"), QStringLiteral("m")));
    const auto e = errorAs<HTTPError>(out);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isOutOfCredits());
    EXPECT_TRUE(isHostedOutOfCreditsError(out->error));
    EXPECT_EQ(e->localizedDescription(), QStringLiteral("You're out of credits."));
}

TEST_F(HostedClientTest, ErrorBodiesWithAndWithoutJSON)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        return FakeResponse::raw(500, "text/html", "<h1>Internal error</h1>");
    });
    auto html = runToEnd(client.fetchAccountSummary(origin, token));
    EXPECT_EQ(describe(html->error), QStringLiteral("request failed"));
    EXPECT_EQ(errorAs<HTTPError>(html)->statusCode(), 500);

    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        return FakeResponse::error(503, QStringLiteral("maintenance"), QStringLiteral("  Back in five minutes.  "));
    });
    auto json = runToEnd(client.fetchAccountSummary(origin, token));
    EXPECT_EQ(describe(json->error), QStringLiteral("Back in five minutes."));
}

TEST_F(HostedClientTest, MalformedOrIncompleteBodiesAreInvalidResponses)
{
    const QList<QByteArray> bodies = {
        "{not json",
        "[1,2,3]",
        R"({"email":"ada@example.com"})",
        R"({"email":"ada@example.com","creditsBalance":"lots"})",
        R"({"email":null,"creditsBalance":3})",
        "",
    };
    for (const QByteArray& body : bodies) {
        fake.setHandler("GET", QStringLiteral("/auth/me"),
                        [body](const FakeRequest&) { return FakeResponse::raw(200, "application/json", body); });
        auto out = runToEnd(client.fetchAccountSummary(origin, token));
        const auto e = errorAs<HTTPError>(out);
        ASSERT_TRUE(e) << body.constData();
        EXPECT_EQ(e->kind(), HTTPError::Kind::invalidResponse) << body.constData();
    }
}

TEST_F(HostedClientTest, HugeBodiesAreCapped)
{
    const QByteArray huge = "{\"email\":\"" + QByteArray(HostedBackendClient::maximumJSONBodyBytes + 10, 'a') + "\"}";
    fake.setHandler("GET", QStringLiteral("/auth/me"),
                    [huge](const FakeRequest&) { return FakeResponse::raw(200, "application/json", huge); });
    auto out = runToEnd(client.fetchAccountSummary(origin, token));
    const auto e = errorAs<HTTPError>(out);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), HTTPError::Kind::invalidResponse);

    // The same without a Content-Length: a chunked stream of JSON.
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        FakeResponse r = FakeResponse::raw(200, "application/json", {});
        for (int i = 0; i < 20; ++i)
            r.chunks << QByteArray(128 * 1024, ' ');
        return r;
    });
    auto chunked = runToEnd(client.fetchAccountSummary(origin, token));
    EXPECT_EQ(errorAs<HTTPError>(chunked)->kind(), HTTPError::Kind::invalidResponse);
}

TEST_F(HostedClientTest, UntrustedOriginIsRefusedBeforeAnyTraffic)
{
    for (const QString& bad : {QStringLiteral("https://untrusted.example"), QStringLiteral("http://") + QUrl(origin).host(),
                               origin + QStringLiteral(":8443"), QString()}) {
        auto out = runToEnd(client.fetchAccountSummary(bad, token));
        ASSERT_TRUE(out->error);
        EXPECT_EQ(describe(out->error), QStringLiteral("The hosted backend URL is invalid.")) << bad.toStdString();
    }
    EXPECT_TRUE(fake.connectTargets().isEmpty());
    EXPECT_TRUE(fake.requests().isEmpty());
}

TEST_F(HostedClientTest, CertificateFromAnotherCAFails)
{
    FakeHostedService rogue;
    ASSERT_TRUE(rogue.start({.untrustedCertificate = true})) << rogue.lastError().toStdString();
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), rogue.port()));
    auto out = runToEnd(client.fetchAccountSummary(origin, token));
    fake.install();
    const auto e = errorAs<HTTPError>(out);
    ASSERT_TRUE(e) << describe(out->error).toStdString();
    EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
    EXPECT_TRUE(rogue.requests().isEmpty()); // no request got through the handshake
    EXPECT_EQ(rogue.connectTargets().size(), 1);
}

TEST_F(HostedClientTest, OffOriginRedirectIsRefusedAndTheTokenStaysHome)
{
    const QStringList targets = {QStringLiteral("https://untrusted.example/auth/me"),
                                 QStringLiteral("https://www.") + QUrl(origin).host() + QStringLiteral("/auth/me"),
                                 QStringLiteral("http://") + QUrl(origin).host() + QStringLiteral("/auth/me"),
                                 origin + QStringLiteral(":8443/auth/me")};
    for (const QString& target : targets) {
        fake.clearRecords();
        fake.setHandler("GET", QStringLiteral("/auth/me"),
                        [target](const FakeRequest&) { return FakeResponse::redirect(302, target); });
        auto out = runToEnd(client.fetchAccountSummary(origin, token));
        const auto e = errorAs<HTTPError>(out);
        ASSERT_TRUE(e) << target.toStdString();
        EXPECT_EQ(e->kind(), HTTPError::Kind::failedStatus);
        EXPECT_EQ(e->statusCode(), 302);
        EXPECT_EQ(e->localizedDescription(), QStringLiteral("request failed"));
        // Only the one request to the origin; nothing was tunnelled elsewhere.
        EXPECT_EQ(fake.requests().size(), 1) << target.toStdString();
        for (const QString& connect : fake.connectTargets())
            EXPECT_EQ(connect, QUrl(origin).host() + QStringLiteral(":443")) << target.toStdString();
    }
}

TEST_F(HostedClientTest, SameOriginRedirectIsFollowedWithTheToken)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"),
                    [](const FakeRequest&) { return FakeResponse::redirect(301, QStringLiteral("/v2/auth/me")); });
    fake.setHandler("GET", QStringLiteral("/v2/auth/me"), [](const FakeRequest& r) {
        return FakeResponse::json(200, QJsonObject{{"email", "moved@example.com"}, {"creditsBalance", 7},
                                                   {"displayName", r.bearerToken()}});
    });
    auto out = runToEnd(client.fetchAccountSummary(origin, token));
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(out->value->email, QStringLiteral("moved@example.com"));
    EXPECT_EQ(out->value->displayName, token); // the bearer reached the new path
}

TEST_F(HostedClientTest, PostRedirectKeepsTheBodyOnlyFor307And308)
{
    fake.setHandler("POST", QStringLiteral("/auth/signin"), [](const FakeRequest&) {
        return FakeResponse::redirect(307, QStringLiteral("/auth/v2/signin"));
    });
    fake.setHandler("POST", QStringLiteral("/auth/v2/signin"), [](const FakeRequest& r) {
        return FakeResponse::json(200, QJsonObject{{"sessionToken", "moved"},
                                                   {"email", r.json().value("email").toString()},
                                                   {"creditsBalance", 1}});
    });
    auto out = runToEnd(client.signIn(origin, QStringLiteral("ada@example.com"), QStringLiteral("pw")));
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(out->value->email, QStringLiteral("ada@example.com"));
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/auth/v2/signin")).first().method, QByteArray("POST"));
}

TEST_F(HostedClientTest, RedirectLoopsAreBounded)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"),
                    [](const FakeRequest&) { return FakeResponse::redirect(302, QStringLiteral("/auth/me")); });
    auto out = runToEnd(client.fetchAccountSummary(origin, token));
    const auto e = errorAs<HTTPError>(out);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->statusCode(), 302);
    EXPECT_EQ(fake.requests().size(), HostedBackendClient::maximumRedirects + 1);
}

TEST_F(HostedClientTest, UnansweredRequestTimesOutOnTheClock)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        FakeResponse r;
        r.hang = true;
        return r;
    });
    auto out = launch(client.fetchAccountSummary(origin, token));
    ASSERT_TRUE(fake.waitForRequests(1));
    advance(HostedBackendClient::requestTimeout - 1, 0.5);
    EXPECT_FALSE(out->finished);
    advance(1.5, 0.5);
    ASSERT_TRUE(spinUntil([&]() { return out->finished; }));
    const auto e = errorAs<HTTPError>(out);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), HTTPError::Kind::timedOut);
    EXPECT_EQ(e->localizedDescription(), QStringLiteral("request timed out"));
}

TEST_F(HostedClientTest, CancelAbortsTheRequestAsCancellation)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        FakeResponse r;
        r.hang = true;
        return r;
    });
    CancellationSource source;
    auto out = launch(client.fetchAccountSummary(origin, token, source.token()));
    ASSERT_TRUE(fake.waitForRequests(1));
    source.cancel();
    drainEvents();
    ASSERT_TRUE(spinUntil([&]() { return out->finished; }));
    EXPECT_TRUE(isCancellation(out->error));
    EXPECT_FALSE(errorAs<HTTPError>(out));

    // An already cancelled token sends nothing.
    auto early = runToEnd(client.fetchAccountSummary(origin, token, source.token()));
    EXPECT_TRUE(isCancellation(early->error));
    EXPECT_EQ(fake.requests().size(), 1);
}

TEST_F(HostedClientTest, ConnectionRefusedIsATransportFailure)
{
    fake.stop();
    auto out = runToEnd(client.fetchAccountSummary(origin, token));
    const auto e = errorAs<HTTPError>(out);
    ASSERT_TRUE(e) << describe(out->error).toStdString();
    EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
}
