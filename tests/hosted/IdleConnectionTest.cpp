// Idle pooled connections against real servers (TransportTestFixture.h):
// closes by the server's idle limit (nginx, 1 s) whether the main thread was
// busy or idle, a reload's early close, close_notify, TLS 1.3 session tickets
// and key updates, and stray bytes outside TLS while a connection waits.

#include "TransportTestFixture.h"

#include "support/NginxServer.h"
#include "support/TestCertificates.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

using namespace tovrik;
using namespace tovrik::test;

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

TEST_F(TransportTest, OneNginxReloadClosingIdleConnectionsTeachesNoShortReuseLimit)
{
    // A reload closes the idle connection at whatever age it has; the
    // POSTs after it, 2 s apart, go on reusing a connection as before.
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(75, true)) << nginx.lastError().toStdString();
    throughTunnelTo(nginx.port());
    const auto signOut = [&](HostedBackendClient& c) {
        auto out = runToEnd(c.revokeSession(origin, QStringLiteral("t")));
        EXPECT_TRUE(out->done && !out->error) << describe(out->error).toStdString();
    };
    const auto pause = [](int ms) { spinUntil([] { return false; }, ms); };
    // After connections were reused at 2 s: a close at 1 s is no limit.
    signOut(client);
    pause(2000);
    signOut(client);
    pause(1000);
    ASSERT_TRUE(nginx.reload());
    pause(1000);
    const int before = tunnel.tunnels();
    for (int i = 0; i < 4; ++i) {
        signOut(client);
        pause(2000);
    }
    EXPECT_LE(tunnel.tunnels() - before, 1) << "connections for 4 POSTs after the reload";

    // Before any reuse: the close at 0.8 s is learned, then proved wrong by
    // the connections that outlive it, the one opened ahead among them.
    HostedBackendClient other;
    const int start = tunnel.tunnels();
    signOut(other);
    pause(800);
    ASSERT_TRUE(nginx.reload());
    pause(200);
    other.prepareConnection(origin);
    for (int i = 0; i < 4; ++i) {
        pause(2000);
        signOut(other);
    }
    EXPECT_LE(tunnel.tunnels() - start, 3) << "connections for 5 POSTs with a reload after the first";
}

TEST_F(TransportTest, StrayBytesOnAnIdleConnectionLoseNoPOSTWhateverTheTLSVersionOrEventLoop)
{
    // After every answer the server writes 1-5 bytes outside TLS while the
    // connection sits idle; TLS alone would keep them to itself.
    for (const QSsl::SslProtocol protocol : {QSsl::TlsV1_2, QSsl::TlsV1_3}) {
        SCOPED_TRACE(protocol == QSsl::TlsV1_2 ? "TLS 1.2" : "TLS 1.3");
        raw.stop();
        tunnel.stop();
        std::atomic<int> strayCount{1};
        raw.protocol = protocol;
        ASSERT_TRUE(startRaw([&](const RawRequest&) {
            RawReply reply;
            reply.bytes = rawAnswer("application/json", R"({"ok":true})");
            reply.strayBytes = QByteArray("\r\n\r\n\r").left(strayCount.load());
            reply.strayDelayMs = 100;
            return reply;
        }));
        HostedBackendClient fresh;
        const int opened = raw.connections();
        // A connection opened ahead still carries a POST when TLS 1.3 session
        // tickets reached it while it waited, the event loop running.
        fresh.prepareConnection(origin);
        spinUntil([] { return false; }, 500);
        auto ahead = runToEnd(fresh.revokeSession(origin, QStringLiteral("t")));
        EXPECT_FALSE(ahead->error) << describe(ahead->error).toStdString();
        EXPECT_EQ(raw.connections() - opened, 1);
        const qsizetype before = raw.requests().size();
        int sent = 0;
        QStringList failures;
        for (int size = 1; size <= 5; ++size)
            for (const bool busy : {false, true}) {
                strayCount = size;
                auto out = runToEnd(fresh.revokeSession(origin, QStringLiteral("t")));
                ++sent;
                if (out->error)
                    failures << QStringLiteral("%1 bytes, %2: %3").arg(size).arg(busy ? "busy" : "idle", describe(out->error));
                if (busy)
                    QThread::msleep(400);
                else
                    spinUntil([] { return false; }, 400);
            }
        EXPECT_TRUE(failures.isEmpty()) << failures.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(raw.requests().size() - before, sent) << "every POST sent once";
    }
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
    const QString key = HTTPConnectionPool::keyFor(url, HTTPExchange::proxyFor(url));
    int tested = 0;
    for (int attempt = 0; attempt < 12 && tested < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        HTTPConnectionPool pool;
        pool.prepare(url);
        ASSERT_TRUE(spinUntil([&] { return pool.idleCount() == 1; }, 10000));
        QThread::msleep(900);
        auto* socket = pool.findChild<QSslSocket*>();
        ASSERT_TRUE(socket);
        if (HTTPConnectionPool::probeIdle(socket) != HTTPConnectionPool::Probe::bytesWaiting)
            continue; // the tickets came while the event loop still ran
        ++tested;
        const int opened = raw.connections();
        HTTPExchange exchange(&pool, HTTPRequest{"POST", url, {}, "{}", {}, {}});
        exchange.start();
        ASSERT_TRUE(spinUntil([&] { return exchange.isFinished(); }, 10000));
        EXPECT_EQ(exchange.status(), 200) << exchange.errorString().toStdString();
        EXPECT_EQ(raw.connections(), opened) << "the waiting connection carried the request";
        EXPECT_EQ(pool.reuseLimit(key), HTTPConnectionPool::maximumIdleSeconds); // nothing learned
    }
    EXPECT_EQ(tested, 2);
}

TEST_F(TransportTest, ACloseNotifyTheProbeReadsEndsTheConnectionBeforeItsCloseArrives)
{
    // The server ends an idle connection properly (close_notify, then its
    // close) while the main thread is blocked; the close itself reaches the
    // client 3 s later, as behind a slow middlebox.
    tunnel.closeDelayMs = 3000;
    ASSERT_TRUE(startRaw([](const RawRequest&) {
        RawReply reply;
        reply.bytes = rawAnswer("application/json", R"({"ok":true})");
        reply.idleCloseSeconds = 0.6;
        return reply;
    }));
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        auto out = runToEnd(client.revokeSession(origin, QStringLiteral("t")), 10000);
        EXPECT_FALSE(out->error) << describe(out->error).toStdString();
        QThread::msleep(1000);
    }
    EXPECT_EQ(raw.connections(), 2);
}

TEST_F(TransportTest, OpenSSLsServerWithoutALPNIsReachedAndItsKeyUpdatesToAnIdleConnectionAreNoClose)
{
    // A real TLS 1.3 server that does no ALPN; typing "k" makes it send a
    // key update ("K": one asked back), here while the main thread is
    // blocked and the connection
    // waits in the pool.
    QTemporaryDir dir;
    const TestCertificateSet& certs = trustedTestCertificates();
    for (const auto& [name, pem] : {std::pair{"cert.pem", certs.server.toPem()}, {"key.pem", certs.serverKey.toPem()}}) {
        QFile f(dir.filePath(QLatin1String(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(pem) == pem.size());
    }
    QProcess server;
    QByteArray output;
    qsizetype answered = 0;
    const QByteArray answer = rawAnswer("application/json", R"({"ok":true})");
    QObject::connect(&server, &QProcess::readyReadStandardOutput, [&]() {
        output += server.readAllStandardOutput();
        for (; answered < output.count("POST /"); ++answered)
            server.write(answer);
    });
    server.start(QStringLiteral("openssl"), {"s_server", "-accept", "0", "-tls1_3", "-cert", dir.filePath("cert.pem"),
                                             "-key", dir.filePath("key.pem")});
    ASSERT_TRUE(spinUntil([&] { return output.contains("ACCEPT") && output.indexOf('\n', output.indexOf("ACCEPT")) > 0; }))
        << output.constData();
    const QByteArray accept = output.mid(output.indexOf("ACCEPT"));
    const quint16 port = quint16(accept.left(accept.indexOf('\n')).split(':').last().trimmed().toUInt());
    ASSERT_GT(port, 0);
    throughTunnelTo(port);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        auto out = runToEnd(client.revokeSession(origin, QStringLiteral("t")), 10000);
        ASSERT_TRUE(out->done);
        EXPECT_FALSE(out->error) << describe(out->error).toStdString();
        if (i == 3)
            break;
        server.write(i == 1 ? "K\n" : "k\n"); // without and with a key update asked back
        server.waitForBytesWritten(1000);
        QThread::msleep(700);
    }
    EXPECT_EQ(answered, 4);
    EXPECT_EQ(output.count("SSL_do_handshake -> 1"), 3) << "key updates sent";
    EXPECT_EQ(output.count("CIPHER is"), 1) << "one connection carried every request";
    server.kill();
    server.waitForFinished();
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
