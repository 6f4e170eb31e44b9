// The hosted client's transport against real servers on threads of their
// own (so they keep closing idle connections while the test's main thread is
// busy), reached through a CONNECT tunnel with the test CA: a real nginx
// with a 1 s keep-alive limit, and a raw TLS server that sends exact bytes
// (resets, folded headers, gzip, ALPN, a connection closed under a request).

#include "HostedTestSupport.h"

#include "hosted/ContentDecoder.h"
#include "hosted/HostedBackendClient.h"
#include "hosted/ProxyEnvironment.h"
#include "support/NginxServer.h"
#include "support/ProcessMemory.h"
#include "support/TlsTestServers.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <zlib.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

const QByteArray kAudio = QByteArray("\xFF\xF3\x44\xC4", 4) + QByteArray(60, 'm'); // 64 bytes of "MPEG"

// Real time throughout: the pool's idle ages are what the servers see.
class TransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        origin = constants::defaultHostedWorkerBaseURL();
    }
    void TearDown() override
    {
        tunnel.uninstall();
        drainEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void throughTunnelTo(quint16 port)
    {
        ASSERT_TRUE(tunnel.start(port));
        tunnel.install();
    }
    bool startRaw(RawTlsServer::Script script, QList<QByteArray> alpn = {QByteArrayLiteral("http/1.1")})
    {
        if (!raw.start(std::move(script), std::move(alpn)))
            return false;
        throughTunnelTo(raw.port());
        return true;
    }
    template <typename T>
    static std::optional<HTTPError> httpError(const std::shared_ptr<TaskOutcome<T>>& out)
    {
        return out->template errorAs<HTTPError>();
    }

    TunnelProxy tunnel;
    RawTlsServer raw;
    HostedBackendClient client;
    QString origin;
};

QByteArray gzip(const QByteArray& data)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(data.size()))) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

} // namespace

TEST_F(TransportTest, NoRequestIsLostToAConnectionNginxClosedIdleWhetherTheMainThreadWasBusyOrIdle)
{
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(1)) << nginx.lastError().toStdString();
    throughTunnelTo(nginx.port());
    QStringList failures;
    const auto signOut = [&](const char* pattern, int i) {
        auto out = runToEnd(client.revokeSession(origin, QStringLiteral("tvk_token")));
        if (!out->done || out->error)
            failures << QStringLiteral("%1 #%2: %3").arg(QLatin1String(pattern)).arg(i).arg(describe(out->error));
    };
    // Back to back, one connection carries them all.
    for (int i = 0; i < 3; ++i)
        signOut("back to back", i);
    EXPECT_EQ(tunnel.tunnels(), 1);
    // The main thread busy past the server's limit: the pool never sees the
    // close happen, the probe does.
    for (int i = 0; i < 6; ++i) {
        QThread::msleep(1100 + 80 * i);
        signOut("busy", i);
    }
    // The event loop idle, gaps around the server's limit.
    for (int i = 0; i < 8; ++i) {
        spinUntil([] { return false; }, 900 + 30 * i);
        signOut("idle", i);
    }
    EXPECT_TRUE(failures.isEmpty()) << failures.join(QLatin1Char('\n')).toStdString();
}

TEST_F(TransportTest, AGETWhoseReusedConnectionClosedUnderItGoesOnceMoreAPOSTNever)
{
    // The second request on the first connection is taken and dropped
    // without an answer; everything else is answered.
    ASSERT_TRUE(startRaw([](const RawRequest& r) {
        RawReply reply;
        if (r.connection == 1 && r.onConnection == 2)
            reply.end = RawReply::End::closeBare;
        else if (r.target == "/auth/me")
            reply.bytes = rawAnswer("application/json", R"({"email":"ada@example.com","creditsBalance":5})");
        else
            reply.bytes = rawAnswer("application/json", R"({"ok":true})");
        return reply;
    }));
    auto first = runToEnd(client.fetchAccountSummary(origin, QStringLiteral("t")));
    ASSERT_FALSE(first->error) << describe(first->error).toStdString();
    auto again = runToEnd(client.fetchAccountSummary(origin, QStringLiteral("t")));
    EXPECT_FALSE(again->error) << describe(again->error).toStdString();
    EXPECT_EQ(raw.requests().size(), 3); // the dropped one went once more, on a fresh connection
    EXPECT_EQ(raw.connections(), 2);

    // Now the same for a POST, on a connection of its own.
    raw.stop();
    tunnel.stop();
    RawTlsServer posts;
    ASSERT_TRUE(posts.start([](const RawRequest& r) {
        RawReply reply;
        reply.bytes = rawAnswer("application/json", R"({"ok":true})");
        if (r.connection == 1 && r.onConnection == 2) {
            reply.bytes.clear();
            reply.end = RawReply::End::closeBare;
        }
        return reply;
    }));
    HostedBackendClient other;
    TunnelProxy tunnel2;
    ASSERT_TRUE(tunnel2.start(posts.port()));
    tunnel2.install();
    auto signout = runToEnd(other.revokeSession(origin, QStringLiteral("t")));
    ASSERT_FALSE(signout->error) << describe(signout->error).toStdString();
    auto dropped = runToEnd(other.revokeSession(origin, QStringLiteral("t")));
    const auto e = httpError(dropped);
    ASSERT_TRUE(e) << describe(dropped->error).toStdString();
    EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
    EXPECT_EQ(posts.requests().size(), 2); // never a second copy
    EXPECT_EQ(posts.connections(), 1);
    tunnel2.uninstall();
}

TEST_F(TransportTest, ACloseDelimitedBodyIsWholeOnlyWhenTheServerEndedTLSProperly)
{
    struct Case {
        const char* name;
        RawReply::End end;
        bool complete;
    };
    const Case cases[] = {
        {"reset", RawReply::End::reset, false},
        {"close without close_notify", RawReply::End::closeBare, false},
        {"close_notify", RawReply::End::close, true},
    };
    std::atomic<int> which{0};
    ASSERT_TRUE(startRaw([&](const RawRequest&) {
        RawReply reply;
        reply.bytes = "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nConnection: close\r\n\r\n" + kAudio;
        reply.end = cases[which.load()].end;
        return reply;
    }));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(cases[i].name);
        which = i;
        auto out = runToEnd(client.synthesizeSpeech(origin, QStringLiteral("t"), QStringLiteral("Hi."),
                                                    QStringLiteral("v"), QStringLiteral("m")));
        ASSERT_TRUE(out->done);
        if (cases[i].complete) {
            EXPECT_EQ(out->value, kAudio) << describe(out->error).toStdString();
            continue;
        }
        const auto e = httpError(out);
        ASSERT_TRUE(e) << "handed on as audio: " << (out->value ? out->value->size() : -1) << " bytes";
        EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
    }
}

TEST_F(TransportTest, FoldedHeadersAreUnfoldedAndGzipIsDecodedAnyOtherCodingIsInvalid)
{
    const QByteArray audio = kAudio.repeated(3000);
    const QByteArray packed = gzip(audio);
    std::atomic<int> which{0};
    ASSERT_TRUE(startRaw([&](const RawRequest& r) {
        RawReply reply;
        if (r.target == "/empty") {
            reply.bytes = "HTTP/1.1 204 No Content\r\nContent-Encoding: br\r\n\r\n";
            return reply;
        }
        if (r.target == "/auth/me") {
            reply.bytes = rawAnswer("application/json;", R"({"email":"a@b.c","creditsBalance":1})",
                                    "X-Note: a\r\n\tb\r\n");
            reply.bytes.replace("application/json;\r\n", "application/json;\r\n charset=utf-8\r\n");
            return reply;
        }
        switch (which.load()) {
        case 0:
            reply.bytes = rawAnswer("audio/mpeg", packed, "Content-Encoding: gzip\r\n");
            break;
        case 1:
            reply.bytes = rawAnswer("audio/mpeg", packed, "Content-Encoding: br\r\n");
            break;
        default:
            reply.bytes = rawAnswer("audio/mpeg", packed.left(packed.size() - 9), "Content-Encoding: gzip\r\n");
            break;
        }
        return reply;
    }));
    auto me = runToEnd(client.fetchAccountSummary(origin, QStringLiteral("t")));
    EXPECT_TRUE(me->value) << describe(me->error).toStdString();

    auto decoded = runToEnd(client.synthesizeSpeech(origin, QStringLiteral("t"), QStringLiteral("Hi."),
                                                    QStringLiteral("v"), QStringLiteral("m")));
    EXPECT_EQ(decoded->value, audio) << describe(decoded->error).toStdString();
    EXPECT_EQ(raw.requests().last().header("Accept-Encoding"), "gzip");
    // An answer without a body has nothing to decode, whatever its coding.
    HTTPConnectionPool pool;
    HTTPExchange empty(&pool, HTTPRequest{"GET", QUrl(origin + QStringLiteral("/empty")), {}, {}, {}, {}});
    empty.start();
    ASSERT_TRUE(spinUntil([&] { return empty.isFinished(); }));
    EXPECT_EQ(empty.failure(), HTTPExchange::Failure::none) << empty.errorString().toStdString();
    EXPECT_EQ(empty.status(), 204);
    for (int i : {1, 2}) {
        which = i;
        auto out = runToEnd(client.synthesizeSpeech(origin, QStringLiteral("t"), QStringLiteral("Hi."),
                                                    QStringLiteral("v"), QStringLiteral("m")));
        const auto e = httpError(out);
        ASSERT_TRUE(e) << i;
        EXPECT_EQ(e->kind(), HTTPError::Kind::invalidResponse) << i;
        EXPECT_EQ(e->localizedDescription(), QStringLiteral("invalid api response"));
    }
}

TEST_F(TransportTest, AServerWithoutALPNSpeaksHTTP11AServerThatChoseAnotherProtocolFailsInTheHandshake)
{
    for (const QList<QByteArray>& alpn : {QList<QByteArray>{"h2"}, QList<QByteArray>{}}) {
        SCOPED_TRACE(alpn.isEmpty() ? "no ALPN" : "h2 only");
        raw.stop();
        tunnel.stop();
        ASSERT_TRUE(startRaw([](const RawRequest&) {
            RawReply reply;
            reply.bytes = rawAnswer("application/json", R"({"email":"a@b.c","creditsBalance":1})");
            return reply;
        }, alpn));
        HostedBackendClient fresh;
        // Once on a connection opened ahead of the request, once on one of its own.
        fresh.prepareConnection(origin);
        auto out = runToEnd(fresh.fetchAccountSummary(origin, QStringLiteral("t")), 10000);
        ASSERT_TRUE(out->done);
        if (alpn.isEmpty()) {
            EXPECT_TRUE(out->value) << describe(out->error).toStdString();
            auto again = runToEnd(HostedBackendClient().fetchAccountSummary(origin, QStringLiteral("t")), 10000);
            EXPECT_TRUE(again->value) << describe(again->error).toStdString();
            EXPECT_EQ(raw.requests().size(), 2);
            continue;
        }
        const auto e = httpError(out);
        ASSERT_TRUE(e) << "answered over a protocol the server did not agree to";
        EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
        EXPECT_TRUE(raw.requests().isEmpty());
    }
}

TEST_F(TransportTest, AProxysAnswerToCONNECTIsDecidedByItsStatusWhateverBodyOrLineEndsItHas)
{
    const QByteArray page = "<html><body><h1>Access denied</h1></body></html>";
    const QByteArray pageFields = "Content-Type: text/html\r\nContent-Length: " + QByteArray::number(page.size())
        + "\r\n\r\n" + page;
    struct Case {
        const char* name;
        QByteArray answer;
        QString error; // empty: the tunnel opens
    };
    const Case cases[] = {
        {"407 with a page", "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n" + pageFields,
         QStringLiteral("The proxy requires authentication")},
        {"502 with a page", "HTTP/1.1 502 Bad Gateway\r\n" + pageFields,
         QStringLiteral("The proxy refused the connection (HTTP/1.1 502 Bad Gateway)")},
        {"403 with LF only", "HTTP/1.0 403 Forbidden\n" + QByteArray(pageFields).replace("\r\n", "\n"),
         QStringLiteral("The proxy refused the connection (HTTP/1.0 403 Forbidden)")},
        {"200 with LF only", "HTTP/1.1 200 Connection established\nVia: 1.1 p\n\n", {}},
    };
    ASSERT_TRUE(raw.start([](const RawRequest&) {
        RawReply reply;
        reply.bytes = rawAnswer("application/json", R"({"email":"a@b.c","creditsBalance":1})");
        return reply;
    }));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TunnelProxy proxy;
        proxy.connectAnswer = c.answer;
        ASSERT_TRUE(proxy.start(raw.port()));
        proxy.install();
        HostedBackendClient fresh;
        auto out = runToEnd(fresh.fetchAccountSummary(origin, QStringLiteral("t")), 10000);
        proxy.uninstall();
        ASSERT_TRUE(out->done) << "no decision within 10 s";
        if (c.error.isEmpty()) {
            EXPECT_TRUE(out->value) << describe(out->error).toStdString();
            continue;
        }
        const auto e = httpError(out);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->kind(), HTTPError::Kind::transport);
        EXPECT_EQ(e->localizedDescription(), c.error);
    }
    EXPECT_EQ(raw.requests().size(), 1);
}

TEST_F(TransportTest, SessionTicketsOnAnIdleConnectionWhileTheMainThreadIsBusyAreNoClose)
{
    // A TLS 1.3 server sends its session tickets right after the handshake:
    // to a connection opened ahead of a request they come while it waits in
    // the pool, here while the main thread is blocked.
    ASSERT_TRUE(startRaw([](const RawRequest&) {
        RawReply reply;
        reply.bytes = rawAnswer("application/json", R"({"ok":true})");
        return reply;
    }));
    const QUrl url(origin + QStringLiteral("/auth/logout"));
    HTTPConnectionPool pool;
    const QString key = HTTPConnectionPool::keyFor(url, HTTPExchange::proxyFor(url));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        pool.prepare(url);
        ASSERT_TRUE(spinUntil([&] { return pool.idleCount() == 1; }, 10000));
        QThread::msleep(900);
        HTTPExchange exchange(&pool, HTTPRequest{"POST", url, {}, "{}", {}, {}});
        exchange.start();
        ASSERT_TRUE(spinUntil([&] { return exchange.isFinished(); }, 10000));
        EXPECT_EQ(exchange.status(), 200) << exchange.errorString().toStdString();
    }
    EXPECT_EQ(raw.connections(), 1);
    EXPECT_EQ(pool.reuseLimit(key), HTTPConnectionPool::maximumIdleSeconds); // nothing learned
}

TEST_F(TransportTest, A50MBRecordingStreamsFromItsFileWithin8MBOfMemory)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine: resident figures are its own";
#endif
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(75)) << nginx.lastError().toStdString();
    throughTunnelTo(nginx.port());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("recording.wav"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < 50; ++i) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            ASSERT_EQ(f.write(block), block.size());
        }
    }
    // Warm up (connection, TLS, code paths), then measure the upload alone.
    auto warm = runToEnd(client.revokeSession(origin, QStringLiteral("t")));
    ASSERT_FALSE(warm->error) << describe(warm->error).toStdString();
    ASSERT_TRUE(test::resetPeakMemory());
    const double idle = statusMiB("VmRSS");
    auto out = runToEnd(client.transcribeFile(origin, QStringLiteral("t"), path), 120000);
    ASSERT_EQ(out->value, QStringLiteral("hello from nginx")) << describe(out->error).toStdString();
    EXPECT_LE(statusMiB("VmHWM") - idle, 8.0);
}

TEST(ProxyEnvironment, IsReadAsCurlReadsIt)
{
    using Env = QHash<QByteArray, QByteArray>;
    const QUrl url(QStringLiteral("https://tovrik.ai/chat"));
    struct Case {
        const char* name;
        Env env;
        bool configured;
        QNetworkProxy::ProxyType type;
        QString host;
        int port;
        bool fails = false;
    };
    const Case cases[] = {
        {"nothing set", {}, false, QNetworkProxy::NoProxy, {}, 0},
        {"https_proxy", {{"https_proxy", "http://p:3128"}}, true, QNetworkProxy::HttpProxy, "p", 3128},
        {"HTTPS_PROXY", {{"HTTPS_PROXY", "p:8080"}}, true, QNetworkProxy::HttpProxy, "p", 8080},
        {"lower case first", {{"https_proxy", "a:1"}, {"HTTPS_PROXY", "b:2"}}, true, QNetworkProxy::HttpProxy, "a", 1},
        {"all_proxy", {{"all_proxy", "socks5h://s"}}, true, QNetworkProxy::Socks5Proxy, "s", 1080},
        {"ALL_PROXY", {{"ALL_PROXY", "http://q"}}, true, QNetworkProxy::HttpProxy, "q", 1080},
        {"https before all", {{"all_proxy", "a:1"}, {"https_proxy", "h:2"}}, true, QNetworkProxy::HttpProxy, "h", 2},
        {"http_proxy is not for https", {{"http_proxy", "h:1"}}, true, QNetworkProxy::NoProxy, {}, 0},
        {"no_proxy leading dot", {{"https_proxy", "p:1"}, {"no_proxy", ".tovrik.ai"}}, true, QNetworkProxy::NoProxy, {}, 0},
        {"NO_PROXY name", {{"https_proxy", "p:1"}, {"NO_PROXY", "example.com, TOVRIK.AI"}}, true, QNetworkProxy::NoProxy, {}, 0},
        {"no_proxy star", {{"all_proxy", "p:1"}, {"no_proxy", "*"}}, true, QNetworkProxy::NoProxy, {}, 0},
        {"no_proxy of another name", {{"https_proxy", "p:1"}, {"no_proxy", "ovrik.ai,www.tovrik.ai"}}, true,
         QNetworkProxy::HttpProxy, "p", 1},
        {"socks4 is refused", {{"https_proxy", "socks4://p:1080"}}, true, QNetworkProxy::NoProxy, {}, 0, true},
    };
    const auto check = [](const Case& c, const QNetworkProxy& proxy, const QString& error) {
        EXPECT_EQ(!error.isEmpty(), c.fails) << error.toStdString();
        EXPECT_EQ(proxy.type(), c.type);
        if (c.type != QNetworkProxy::NoProxy) {
            EXPECT_EQ(proxy.hostName(), c.host);
            EXPECT_EQ(proxy.port(), c.port);
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const EnvironmentProxy got = environmentProxyFor(url, [&](const char* name) { return c.env.value(name); });
        EXPECT_EQ(got.configured, c.configured);
        check(c, got.proxy, got.error);
    }
    // The same rows in the process's environment, with http_proxy (or
    // HTTP_PROXY) beside them as desktops set it: Qt's own reading of it
    // never takes the place of these rules, for the hosted client and the
    // updater alike.
    const char* names[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "http_proxy",  "HTTP_PROXY",  "no_proxy",  "NO_PROXY"};
    Env saved;
    for (const char* name : names)
        if (qEnvironmentVariableIsSet(name))
            saved.insert(name, qgetenv(name));
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    QNetworkAccessManager network;
    HostedBackendClient::configureNetworkAccess(&network);
    for (const char* beside : {"http_proxy", "HTTP_PROXY"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " beside " + beside);
            for (const char* name : names)
                qunsetenv(name);
            qputenv(beside, "http://side:3128");
            for (auto it = c.env.begin(); it != c.env.end(); ++it)
                qputenv(it.key().constData(), it.value());
            QString error;
            const QNetworkProxy proxy = HTTPExchange::resolveProxy(url, &error);
            check(c, proxy, error);
            const QList<QNetworkProxy> updater = network.proxyFactory()->queryProxy(QNetworkProxyQuery(url));
            ASSERT_EQ(updater.size(), 1);
            EXPECT_EQ(updater.first().hostName(),
                      c.fails ? QStringLiteral("unusable-proxy.invalid") : c.type != QNetworkProxy::NoProxy ? c.host : QString());
        }
    }
    for (const char* name : names)
        qunsetenv(name);
    for (auto it = saved.begin(); it != saved.end(); ++it)
        qputenv(it.key().constData(), it.value());
    // Suffixes match at a dot only; addresses by value or range.
    EXPECT_TRUE(noProxyExempts("tovrik.ai", QStringLiteral("www.tovrik.ai")));
    EXPECT_TRUE(noProxyExempts(".tovrik.ai", QStringLiteral("tovrik.ai.")));
    EXPECT_FALSE(noProxyExempts("tovrik.ai", QStringLiteral("nottovrik.ai")));
    EXPECT_TRUE(noProxyExempts("10.0.0.0/8 ::1", QStringLiteral("10.2.3.4")));
    EXPECT_TRUE(noProxyExempts("10.0.0.0/8 ::1", QStringLiteral("[::1]")));
    EXPECT_FALSE(noProxyExempts("10.0.0.0/8", QStringLiteral("11.0.0.1")));
    // Credentials are decoded, and never shown in an error.
    const auto withUser = environmentProxyFor(url, [](const char* n) {
        return QByteArray(n) == "https_proxy" ? QByteArray("http://ada:p%40ss@p:3128") : QByteArray();
    });
    EXPECT_EQ(withUser.proxy.user(), QStringLiteral("ada"));
    EXPECT_EQ(withUser.proxy.password(), QStringLiteral("p@ss"));
    for (const QByteArray written : {"http://user:S3cretPw@:3128", "user:S3cretPw@:3128", "http://user:S3/cre#tPw@:3128"}) {
        const auto invalid = environmentProxyFor(url, [&](const char* n) {
            return QByteArray(n) == "https_proxy" ? written : QByteArray();
        });
        EXPECT_EQ(invalid.error, QStringLiteral("The proxy \"%1\" from the environment is not a valid address")
                                     .arg(written.startsWith("http") ? "http://:3128" : ":3128"));
    }
}

TEST_F(HostedServiceTest, TheClientTakesItsProxyFromAllProxyWhenTheApplicationChoseNone)
{
    // The fake stays the trusted TLS peer, reached only through all_proxy.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    qputenv("all_proxy", QByteArray("http://127.0.0.1:") + QByteArray::number(fake.port()));
    HostedBackendClient client;
    fake.addAccount(QStringLiteral("ada@example.com"), QStringLiteral("pw123456"), 7);
    auto out = runToEnd(client.fetchAccountSummary(origin, fake.createSession(QStringLiteral("ada@example.com"))));
    EXPECT_TRUE(out->value) << describe(out->error).toStdString();
    EXPECT_EQ(fake.connectTargets().size(), 1);
    // The updater's network manager too.
    QNetworkAccessManager network;
    HostedBackendClient::configureNetworkAccess(&network);
    std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(origin + QStringLiteral("/auth/me")))));
    ASSERT_TRUE(spinUntil([&] { return reply->isFinished(); }));
    qunsetenv("all_proxy");
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
    EXPECT_EQ(fake.connectTargets().size(), 2);
}

TEST(ContentDecoder, DecodesGzipInBoundedStepsAndRefusesCodingsNotAskedFor)
{
    // 16 MiB of zeros packed into a few KiB never come out as more than one
    // step at a time; two gzip members are one body.
    const QByteArray zeros(16 << 20, '\0');
    ContentDecoder decoder("gzip");
    ASSERT_TRUE(decoder.isValid());
    decoder.push(gzip(zeros) + gzip("tail"));
    QByteArray out;
    qsizetype total = 0;
    while (decoder.hasPending()) {
        out.clear();
        ASSERT_TRUE(decoder.pull(&out, 256 * 1024));
        ASSERT_LE(out.size(), 256 * 1024);
        total += out.size();
    }
    EXPECT_EQ(total, zeros.size() + 4);
    EXPECT_EQ(out.right(4), "tail");
    EXPECT_TRUE(decoder.finish());

    for (const QByteArray coding : {"br", "deflate", "gzip, gzip", "compress"})
        EXPECT_FALSE(ContentDecoder(coding).isValid()) << coding.constData();
    EXPECT_TRUE(ContentDecoder("Identity").isIdentity());
    ContentDecoder cut("x-gzip");
    cut.push(gzip("abc").chopped(3));
    QByteArray some;
    EXPECT_TRUE(cut.pull(&some, 1024));
    EXPECT_FALSE(cut.finish());
    ContentDecoder junk("gzip");
    junk.push("not gzip at all");
    EXPECT_FALSE(junk.pull(&some, 1024));
}

TEST_F(TransportTest, AConnectionIsNotReusedWithinHalfASecondOfTheServersAnnouncedIdleLimit)
{
    ASSERT_TRUE(startRaw([](const RawRequest&) {
        RawReply reply;
        reply.bytes = rawAnswer("application/json", R"({"ok":true})", "Keep-Alive: timeout=2, max=100\r\n");
        reply.idleCloseSeconds = 2;
        return reply;
    }));
    const auto signOut = [&]() {
        auto out = runToEnd(client.revokeSession(origin, QStringLiteral("t")));
        EXPECT_TRUE(out->done && !out->error) << describe(out->error).toStdString();
    };
    signOut();
    QThread::msleep(500);
    signOut(); // well within the limit: the same connection
    EXPECT_EQ(raw.connections(), 1);
    QThread::msleep(1650); // still open on the server, but too close to its limit
    signOut();
    EXPECT_EQ(raw.connections(), 2);
    EXPECT_EQ(raw.requests().size(), 3);
}
