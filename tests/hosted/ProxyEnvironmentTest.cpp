// The proxy of a hosted request as the environment names it, read as curl
// reads it whatever else is set, for the hosted client and the updater's
// network manager alike.

#include "HostedTestSupport.h"

#include "hosted/HostedBackendClient.h"
#include "hosted/ProxyEnvironment.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>

using namespace tovrik;
using namespace tovrik::test;

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
