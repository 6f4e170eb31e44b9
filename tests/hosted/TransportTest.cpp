// The hosted client's transport against real servers (TransportTestFixture.h):
// a real nginx, and a raw TLS server that sends exact bytes (resets, folded
// headers, gzip, ALPN, a connection closed under a request).

#include "TransportTestFixture.h"

#include "hosted/ContentDecoder.h"
#include "support/NginxServer.h"
#include "support/ProcessMemory.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <zlib.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

const QByteArray kAudio = QByteArray("\xFF\xF3\x44\xC4", 4) + QByteArray(60, 'm'); // 64 bytes of "MPEG"

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
