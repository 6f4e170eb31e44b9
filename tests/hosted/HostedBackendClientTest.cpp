// The hosted client against the fake service over real TLS (CONNECT proxy,
// test CA): every endpoint, its body shapes, the bearer header, the
// redirect policy, the error cases and bad input.

#include "HostedTestSupport.h"

#include "hosted/HostedBackendClient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QFile>
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

TEST_F(HostedClientTest, SignInSendsCredentialsAccountSummaryAndRevocationCarryTheBearerToken)
{
    auto out = runToEnd(client.signIn(origin, QStringLiteral("ada@example.com"), QStringLiteral("correct horse")));
    ASSERT_TRUE(out->value) << describe(out->error).toStdString();
    EXPECT_EQ(*out->value, (HostedAuthSessionPayload{out->value->sessionToken, "ada@example.com", 1200, "Ada", {}}));
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
    // The account summary and the revocation carry the bearer token.
    auto summary = runToEnd(client.fetchAccountSummary(origin, QStringLiteral("  ") + token + QStringLiteral("\n")));
    EXPECT_EQ(summary->value, (HostedAccountSummaryPayload{"ada@example.com", 1200, "Ada", {}}))
        << describe(summary->error).toStdString();
    auto revoked = runToEnd(client.revokeSession(origin, token));
    ASSERT_FALSE(revoked->error) << describe(revoked->error).toStdString();
    EXPECT_FALSE(fake.isSessionActive(token));
    const auto me = fake.requestsTo(QStringLiteral("/auth/me"));
    const auto signout = fake.requestsTo(QStringLiteral("/api/account/signout"));
    ASSERT_EQ(me.size(), 1);
    ASSERT_EQ(signout.size(), 1);
    EXPECT_EQ(std::make_tuple(me.first().method, me.first().header("Authorization"), me.first().body),
              std::make_tuple(QByteArray("GET"), "Bearer " + token.toUtf8(), QByteArray()));
    EXPECT_EQ(std::make_tuple(signout.first().method, signout.first().bearerToken()), std::make_tuple(QByteArray("POST"), token));
    auto after = runToEnd(client.fetchAccountSummary(origin, token));
    EXPECT_EQ(after->errorAs<HTTPError>()->statusCode(), 401);
    EXPECT_EQ(describe(after->error), QStringLiteral("Session expired. Sign in again."));
    // One connection carried the four requests in a row; one idle for
    // longer than a few seconds is not used again.
    EXPECT_EQ(fake.connectTargets().size(), 1);
    advance(HTTPConnectionPool::maximumIdleSeconds + 1, 1);
    ASSERT_FALSE(runToEnd(client.signIn(origin, QStringLiteral("ada@example.com"), QStringLiteral("correct horse")))->error);
    EXPECT_EQ(fake.connectTargets().size(), 2);
}

TEST_F(HostedClientTest, TranscriptionUploadsTheWavAsMultipartAndSpeechReturnsMpegAudio)
{
    fake.setTranscript(QStringLiteral("  what is on my screen \n"));
    const QByteArray wav = QByteArray("RIFF\x24\x00\x00\x00WAVEfmt ", 16) + QByteArray(200, '\x01');
    auto out = runToEnd(client.transcribe(origin, token, wav));
    EXPECT_EQ(out->value, QStringLiteral("what is on my screen")) << describe(out->error).toStdString();
    const auto r = fake.requestsTo(QStringLiteral("/stt"));
    ASSERT_EQ(r.size(), 1);
    EXPECT_EQ(r.first().bearerToken(), token);
    EXPECT_TRUE(r.first().header("Content-Type").startsWith("multipart/form-data; boundary=TovrikBoundary-"));
    QByteArray data, type;
    QString fileName;
    ASSERT_TRUE(r.first().multipartPart("file", &data, &fileName, &type));
    EXPECT_EQ(std::tie(data, fileName, type), std::make_tuple(wav, QStringLiteral("recording.wav"), QByteArray("audio/wav")));
    // The client's connection (through the proxy) sends without Nagle's delay.
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
    // From a file: its name goes along; a file that cannot be read sends nothing.
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("take-1.wav")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("RIFFxxxxWAVE") == 12);
    f.close();
    ASSERT_FALSE(runToEnd(client.transcribeFile(origin, token, f.fileName()))->error);
    ASSERT_TRUE(fake.requestsTo(QStringLiteral("/stt")).last().multipartPart("file", nullptr, &fileName));
    EXPECT_EQ(fileName, QStringLiteral("take-1.wav"));
    auto missing = runToEnd(client.transcribeFile(origin, token, dir.filePath(QStringLiteral("none.wav"))));
    EXPECT_EQ(describe(missing->error), QStringLiteral("The recording could not be read."));
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/stt")).size(), 2);
    // Speech comes back as MPEG audio.
    const QByteArray mpeg = QByteArray("ID3", 3) + QByteArray(1000, '\x55');
    fake.setSpeechAudio(mpeg);
    auto speech = runToEnd(client.synthesizeSpeech(origin, token, "Hello there", "voice-1", "eleven_flash_v2_5"));
    EXPECT_EQ(speech->value, mpeg) << describe(speech->error).toStdString();
    const auto tts = fake.requestsTo(QStringLiteral("/tts"));
    ASSERT_EQ(tts.size(), 1);
    EXPECT_EQ(tts.first().json(),
              (QJsonObject{{"text", "Hello there"}, {"voiceId", "voice-1"}, {"modelId", "eleven_flash_v2_5"}}));
    EXPECT_EQ(tts.first().bearerToken(), token);
}

TEST_F(HostedClientTest, FailuresReadAsTheirCase)
{
    FakeResponse chunked = FakeResponse::raw(200, "application/json", {});
    for (int i = 0; i < 20; ++i)
        chunked.chunks << QByteArray(128 * 1024, ' ');
    const QByteArray huge = "{\"email\":\"" + QByteArray(HostedBackendClient::maximumJSONBodyBytes + 10, 'a') + "\"}";
    const auto json = [](const QByteArray& body) { return FakeResponse::raw(200, "application/json", body); };
    using K = HTTPError::Kind;
    struct Case {
        FakeResponse response;
        K kind;
        int status;
        const char* text;
    };
    const Case cases[] = {
        {json("{not json"), K::invalidResponse, 0, "invalid api response"},
        {json("[1,2,3]"), K::invalidResponse, 0, "invalid api response"},
        {json(R"({"email":"ada@example.com"})"), K::invalidResponse, 0, "invalid api response"},
        {json(R"({"email":"ada@example.com","creditsBalance":"lots"})"), K::invalidResponse, 0, "invalid api response"},
        {json(R"({"email":null,"creditsBalance":3})"), K::invalidResponse, 0, "invalid api response"},
        {json(""), K::invalidResponse, 0, "invalid api response"},
        {json(huge), K::invalidResponse, 0, "invalid api response"},
        {chunked, K::invalidResponse, 0, "invalid api response"}, // too large without a Content-Length
        {FakeResponse::raw(500, "text/html", "<h1>Internal error</h1>"), K::failedStatus, 500, "request failed"},
        {FakeResponse::error(503, "maintenance", "  Back in five minutes.  "), K::failedStatus, 503, "Back in five minutes."},
    };
    for (const Case& c : cases) {
        const FakeResponse response = c.response;
        fake.setHandler("GET", QStringLiteral("/auth/me"), [response](const FakeRequest&) { return response; });
        auto out = runToEnd(client.fetchAccountSummary(origin, token));
        const auto e = out->errorAs<HTTPError>();
        ASSERT_TRUE(e) << c.text;
        EXPECT_EQ(std::make_tuple(e->kind(), e->statusCode(), e->localizedDescription()),
                  std::make_tuple(c.kind, c.status, QString::fromUtf8(c.text))) << response.body.left(40).constData();
    }

    // The built-in service's own failures.
    auto wrong = runToEnd(client.signIn(origin, QStringLiteral("ada@example.com"), QStringLiteral("nope")));
    EXPECT_EQ(wrong->errorAs<HTTPError>()->statusCode(), 401);
    EXPECT_EQ(describe(wrong->error), QStringLiteral("Incorrect email or password."));
    auto created = runToEnd(client.signUp(origin, QStringLiteral("new@example.com"), QStringLiteral("longenough")));
    EXPECT_EQ(created->value->email, QStringLiteral("new@example.com"));
    auto again = runToEnd(client.signUp(origin, QStringLiteral("new@example.com"), QStringLiteral("longenough")));
    EXPECT_EQ(describe(again->error), QStringLiteral("An account with this email already exists."));
    fake.setCreditsBalance(QStringLiteral("ada@example.com"), 0);
    auto broke = runToEnd(client.synthesizeSpeech(origin, token, QStringLiteral("x"), QStringLiteral("v"), QStringLiteral("m")));
    EXPECT_TRUE(isHostedOutOfCreditsError(broke->error));
    EXPECT_EQ(describe(broke->error), QStringLiteral("You're out of credits."));
    fake.setHandler("POST", QStringLiteral("/tts"), [](const FakeRequest&) {
        return FakeResponse::raw(200, "application/json", R"({"audio":"..."})");
    });
    auto notAudio = runToEnd(client.synthesizeSpeech(origin, token, QStringLiteral("x"), QStringLiteral("v"), QStringLiteral("m")));
    EXPECT_EQ(describe(notAudio->error), QStringLiteral("invalid api response"));
}

TEST_F(HostedClientTest, SameOriginRedirectsAreFollowedABoundedNumberOfTimesAnUntrustedOriginOrAnOffOriginRedirectRefused)
{
    // 301 turns the POST into a GET; 307 keeps method and body; the bearer
    // token goes along.
    fake.setHandler("POST", QStringLiteral("/auth/signin"),
                    [](const FakeRequest&) { return FakeResponse::redirect(307, QStringLiteral("/auth/v2/signin")); });
    fake.setHandler("POST", QStringLiteral("/auth/v2/signin"), [](const FakeRequest& r) {
        return FakeResponse::json(200, QJsonObject{{"sessionToken", "moved"}, {"email", r.json().value("email").toString()},
                                                   {"creditsBalance", 1}});
    });
    auto post = runToEnd(client.signIn(origin, QStringLiteral("ada@example.com"), QStringLiteral("pw")));
    ASSERT_TRUE(post->value) << describe(post->error).toStdString();
    EXPECT_EQ(post->value->email, QStringLiteral("ada@example.com"));
    fake.setHandler("GET", "/auth/me", [](const FakeRequest&) { return FakeResponse::redirect(301, "/v2/auth/me"); });
    fake.setHandler("GET", QStringLiteral("/v2/auth/me"), [](const FakeRequest& r) {
        return FakeResponse::json(200, QJsonObject{{"email", "moved@example.com"}, {"creditsBalance", 7},
                                                   {"displayName", r.bearerToken()}});
    });
    auto get = runToEnd(client.fetchAccountSummary(origin, token));
    ASSERT_TRUE(get->value) << describe(get->error).toStdString();
    EXPECT_EQ(get->value->displayName, token);

    fake.clearRecords();
    fake.setHandler("GET", "/auth/me", [](const FakeRequest&) { return FakeResponse::redirect(302, "/auth/me"); });
    auto loop = runToEnd(client.fetchAccountSummary(origin, token));
    EXPECT_EQ(loop->errorAs<HTTPError>()->statusCode(), 302);
    EXPECT_EQ(fake.requests().size(), HostedBackendClient::maximumRedirects + 1);
    // An untrusted origin is refused before any traffic; an off-origin
    // redirect is refused and the token stays home.
    fake.clearRecords();
    fake.clearHandlers();
    const QString host = QUrl(origin).host();
    for (const QString& bad : {QStringLiteral("https://untrusted.example"), "http://" + host, origin + ":8443", QString()})
        EXPECT_EQ(describe(runToEnd(client.fetchAccountSummary(bad, token))->error),
                  QStringLiteral("The hosted backend URL is invalid.")) << bad.toStdString();
    EXPECT_TRUE(fake.connectTargets().isEmpty());
    EXPECT_TRUE(fake.requests().isEmpty());

    for (const QString& target : {QStringLiteral("https://untrusted.example/auth/me"), "https://www." + host + "/auth/me",
                                  "http://" + host + "/auth/me", origin + ":8443/auth/me"}) {
        fake.clearRecords();
        fake.setHandler("GET", QStringLiteral("/auth/me"),
                        [target](const FakeRequest&) { return FakeResponse::redirect(302, target); });
        auto out = runToEnd(client.fetchAccountSummary(origin, token));
        const auto e = out->errorAs<HTTPError>();
        ASSERT_TRUE(e) << target.toStdString();
        EXPECT_EQ(std::make_tuple(e->kind(), e->statusCode(), e->localizedDescription()),
                  std::make_tuple(HTTPError::Kind::failedStatus, 302, QStringLiteral("request failed")));
        // Only the one request to the origin; nothing was tunnelled elsewhere.
        EXPECT_EQ(fake.requests().size(), 1) << target.toStdString();
        for (const QString& connect : fake.connectTargets())
            EXPECT_EQ(connect, host + QStringLiteral(":443")) << target.toStdString();
    }
}

TEST_F(HostedClientTest, HeadersMayTakeTheRequestsWholeLimitButAtMost64KiB)
{
    // Headers 20 s after the request are an answer: only the request's own
    // limit bounds them.
    FakeResponse late = FakeResponse::json(200, QJsonObject{{"email", "ada@example.com"}, {"creditsBalance", 5}});
    late.holdSeconds = 20;
    fake.setHandler("GET", QStringLiteral("/auth/me"), [late](const FakeRequest&) { return late; });
    auto summary = launch(client.fetchAccountSummary(origin, token));
    ASSERT_TRUE(fake.waitForRequests(1));
    advance(20.5, 0.5);
    ASSERT_TRUE(spinUntil([&]() { return summary->done; }));
    ASSERT_TRUE(summary->value) << describe(summary->error).toStdString();
    EXPECT_EQ(summary->value->creditsBalance, 5);

    // Status line and headers over 64 KiB (an endless line, endless fields,
    // /tts too) are an invalid response, at once: the clock stands still.
    const QByteArray line = "HTTP/1.1 200 OK\r\nX-Flood: " + QByteArray(4096, 'a');
    const QByteArray fields = QByteArray("X-Flood: b\r\n").repeated(300);
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n";
    for (const auto& [name, response, media] :
         {std::tuple{"endless line", headerFlood(line, QByteArray(4096, 'a')), false},
          std::tuple{"endless fields", headerFlood("HTTP/1.1 200 OK\r\n" + fields, fields), false},
          std::tuple{"endless line, speech", headerFlood(line, QByteArray(4096, 'a')), true}}) {
        SCOPED_TRACE(name);
        const FakeResponse flood = response;
        const QString path = media ? QStringLiteral("/tts") : QStringLiteral("/auth/me");
        fake.setHandler(media ? "POST" : "GET", path, [flood](const FakeRequest&) { return flood; });
        auto out = media ? runToEnd(client.synthesizeSpeech(origin, token, "hi", "v", "m"))->error
                         : runToEnd(client.fetchAccountSummary(origin, token))->error;
        EXPECT_EQ(describe(out), QStringLiteral("invalid api response"));
    }
    // Just under the bound is still an answer.
    const QByteArray body = R"({"email":"ada@example.com","creditsBalance":9})";
    QByteArray full = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nX-Pad: ";
    full += QByteArray(64 * 1024 - full.size() - 4, 'p') + "\r\n\r\n" + body;
    FakeResponse exact;
    exact.verbatim = true;
    exact.chunks << full;
    fake.setHandler("GET", QStringLiteral("/auth/me"), [exact](const FakeRequest&) { return exact; });
    auto fits = runToEnd(client.fetchAccountSummary(origin, token));
    ASSERT_TRUE(fits->value) << describe(fits->error).toStdString();
    EXPECT_EQ(fits->value->creditsBalance, 9);

    // No answer, or headers in time but a body that never ends: the
    // request's limit (30 s; 90 s for /stt and /tts).
    FakeResponse slowBody = FakeResponse::raw(200, "application/json", {});
    slowBody.chunks << "{";
    slowBody.holdOpen = true;
    for (const auto& [name, response, media, limit] :
         {std::tuple{"no answer", hangingResponse(), false, HostedBackendClient::requestTimeout},
          std::tuple{"no answer, speech", hangingResponse(), true, HostedBackendClient::mediaRequestTimeout},
          std::tuple{"endless body", slowBody, false, HostedBackendClient::requestTimeout}}) {
        SCOPED_TRACE(name);
        fake.clearRecords();
        const FakeResponse r = response;
        const QString path = media ? QStringLiteral("/tts") : QStringLiteral("/auth/me");
        fake.setHandler(media ? "POST" : "GET", path, [r](const FakeRequest&) { return r; });
        if (media)
            expectTimesOutAfter(launch(client.synthesizeSpeech(origin, token, "hi", "v", "m")), limit);
        else
            expectTimesOutAfter(launch(client.fetchAccountSummary(origin, token)), limit);
    }
}

TEST_F(HostedClientTest, ADroppedConnectionIsOneFailureAndTheRequestIsNeverSentAgain)
{
    // A dropped connection before the answer, and one cut inside the body.
    FakeResponse cut = FakeResponse::raw(200, "application/json", {});
    cut.chunks << R"({"email":)";
    cut.truncate = true;
    for (const FakeResponse& response : {FakeResponse::dropped(), cut}) {
        fake.clearRecords();
        fake.setHandler("POST", QStringLiteral("/stt"), [response](const FakeRequest&) { return response; });
        fake.setHandler("POST", QStringLiteral("/api/account/signout"), [response](const FakeRequest&) { return response; });
        const auto stt = runToEnd(client.transcribe(origin, token, QByteArray("RIFF....WAVE", 12)));
        const auto revoke = runToEnd(client.revokeSession(origin, token));
        for (const auto& e : {stt->errorAs<HTTPError>(), revoke->errorAs<HTTPError>()}) {
            ASSERT_TRUE(e);
            EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
        }
        spinUntil([] { return false; }, 200); // a copy would arrive by now
        EXPECT_EQ(fake.requestsTo(QStringLiteral("/stt")).size(), 1);
        EXPECT_EQ(fake.requestsTo(QStringLiteral("/api/account/signout")).size(), 1);
    }
}

TEST_F(HostedClientTest, CancelAbortsTheRequestAsCancellationAForeignCertificateOrARefusedConnectionAsTransportFailures)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) { return hangingResponse(); });
    CancellationSource source;
    auto out = launch(client.fetchAccountSummary(origin, token, source.token()));
    ASSERT_TRUE(fake.waitForRequests(1));
    source.cancel();
    ASSERT_TRUE(spinUntil([&]() { return out->done; }));
    EXPECT_TRUE(out->cancelled());
    EXPECT_FALSE(out->errorAs<HTTPError>());
    // An already cancelled token sends nothing.
    EXPECT_TRUE(runToEnd(client.fetchAccountSummary(origin, token, source.token()))->cancelled());
    EXPECT_EQ(fake.requests().size(), 1);
    FakeHostedService rogue;
    ASSERT_TRUE(rogue.start({.untrustedCertificate = true})) << rogue.lastError().toStdString();
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), rogue.port()));
    auto foreign = runToEnd(client.fetchAccountSummary(origin, token));
    fake.install();
    EXPECT_TRUE(rogue.requests().isEmpty()); // no request got through the handshake
    EXPECT_EQ(rogue.connectTargets().size(), 1);
    fake.stop();
    auto refused = runToEnd(client.fetchAccountSummary(origin, token));
    for (const auto& out : {foreign, refused}) {
        const auto e = out->errorAs<HTTPError>();
        ASSERT_TRUE(e) << describe(out->error).toStdString();
        EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
    }
}

namespace {
// A caller awaiting the client directly with temporary arguments.
QCoro::Task<QString> callerAwaitingDirectly(HostedBackendClient* client, QString origin, QString token,
                                            CancellationSource* source)
{
    try {
        co_return (co_await client->fetchAccountSummary(origin.trimmed(), token + QString(), source->token())).email;
    } catch (const HTTPError& e) {
        co_return QStringLiteral("failed: ") + e.localizedDescription();
    }
}
} // namespace

TEST_F(HostedClientTest, AFailingRequestUnwindsThroughAnAwaitingCaller)
{
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        return FakeResponse::error(401, QStringLiteral("unauthorized"), QStringLiteral("Session expired. Sign in again."));
    });
    CancellationSource source;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(runToEnd(callerAwaitingDirectly(&client, origin, QStringLiteral("tok"), &source))->value,
                  QStringLiteral("failed: Session expired. Sign in again."));
}

TEST_F(HostedClientTest, AConnectionOpenedAheadCarriesTheNextRequestAndIsOpenedOnlyWhenNoneIsFresh)
{
    // An untrusted origin opens nothing; the trusted one opens exactly one,
    // however often it is asked while that one is fresh.
    client.prepareConnection(QStringLiteral("https://tovrik.evil.example"));
    client.prepareConnection(origin);
    client.prepareConnection(origin);
    ASSERT_TRUE(spinUntil([&] { return fake.connectTargets().size() == 1; }));
    EXPECT_EQ(fake.connectTargets().first(), QUrl(origin).host() + QStringLiteral(":443"));
    spinUntil([] { return false; }, 100); // the handshake completes
    client.prepareConnection(origin);
    ASSERT_FALSE(runToEnd(client.fetchAccountSummary(origin, token))->error);
    EXPECT_EQ(fake.connectTargets().size(), 1);

    // A connection past half its reuse time is replaced ahead of the request.
    advance(HTTPConnectionPool::maximumIdleSeconds / 2 + 0.5, 0.5);
    client.prepareConnection(origin);
    ASSERT_TRUE(spinUntil([&] { return fake.connectTargets().size() == 2; }));
    ASSERT_FALSE(runToEnd(client.fetchAccountSummary(origin, token))->error);
    EXPECT_EQ(fake.connectTargets().size(), 2);

    // A request started while the connection is still being opened takes it.
    advance(HTTPConnectionPool::maximumIdleSeconds + 1, 1);
    client.prepareConnection(origin);
    auto summary = runToEnd(client.fetchAccountSummary(origin, token));
    ASSERT_FALSE(summary->error) << describe(summary->error).toStdString();
    EXPECT_EQ(fake.connectTargets().size(), 3);
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/auth/me")).size(), 3);
}

TEST_F(HostedClientTest, ARequestOnAConnectionOpenedAheadThatFailsItsHandshakeFailsOnce)
{
    // The peer's certificate is not trusted: the connection opened ahead
    // fails its handshake; a request that took it fails as the transport,
    // without a second connection.
    fake.uninstall();
    fake.stop();
    FakeHostedServiceOptions rogue;
    rogue.untrustedCertificate = true;
    ASSERT_TRUE(fake.start(rogue)) << fake.lastError().toStdString();
    fake.install();
    fake.addAccount(QStringLiteral("ada@example.com"), QStringLiteral("correct horse"), 1200, QStringLiteral("Ada"));
    client.prepareConnection(origin);
    auto summary = runToEnd(client.fetchAccountSummary(origin, token));
    const auto e = summary->errorAs<HTTPError>();
    ASSERT_TRUE(e) << describe(summary->error).toStdString();
    EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
    EXPECT_EQ(fake.connectTargets().size(), 1);
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/auth/me")).isEmpty());
}
