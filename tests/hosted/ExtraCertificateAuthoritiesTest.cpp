// The extra certificate authorities for a local stand-in of the hosted
// service: once the stand-in's CA file is trusted, real TLS to it works; the
// host name is still checked; a file without a certificate adds nothing.

#include "common/Constants.h"
#include "hosted/ExtraCertificateAuthorities.h"
#include "support/FakeHostedService.h"
#include "support/SimFixture.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <memory>

using namespace tovrik;

namespace {

// The error of a GET to https://host/auth/me through the stand-in (NoError
// when TLS held and an HTTP answer came).
QNetworkReply::NetworkError fetch(const QString& host)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(QStringLiteral("https://%1/auth/me").arg(host)))));
    tovrik::test::spinUntil([&] { return reply->isFinished(); }, 15000);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status > 0 ? QNetworkReply::NoError : reply->error();
}

} // namespace

TEST(ExtraCertificateAuthorities, TheStandInsCaIsTrustedAndHostNamesStillChecked)
{
    tovrik::test::FakeHostedService fake;
    ASSERT_TRUE(fake.start({})) << fake.lastError().toStdString();
    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), fake.port()));
    const QString host = QUrl(constants::defaultHostedWorkerBaseURL()).host();

    EXPECT_EQ(fetch(host), QNetworkReply::SslHandshakeFailedError);
    QTemporaryFile notPem;
    ASSERT_TRUE(notPem.open());
    notPem.write("not a certificate\n");
    notPem.flush();
    EXPECT_TRUE(hosted::trustExtraCertificateAuthorities(notPem.fileName()).contains(QStringLiteral("not used")));
    EXPECT_EQ(hosted::trustExtraCertificateAuthorities(QString()), QString());
    EXPECT_EQ(fetch(host), QNetworkReply::SslHandshakeFailedError);

    const QString line = hosted::trustExtraCertificateAuthorities(fake.caCertificatePath());
    EXPECT_TRUE(line.startsWith(QStringLiteral("trusting 1 extra certificate authority from "))) << line.toStdString();
    EXPECT_EQ(fetch(host), QNetworkReply::NoError);
    // The system's authorities are still trusted beside it.
    const QList<QSslCertificate> trusted = QSslConfiguration::defaultConfiguration().caCertificates();
    for (const QSslCertificate& root : QSslConfiguration::systemCaCertificates())
        ASSERT_TRUE(trusted.contains(root)) << root.subjectDisplayName().toStdString();
    // The stand-in's certificate does not name this host: refused as before.
    EXPECT_EQ(fetch(QStringLiteral("elsewhere.example")), QNetworkReply::SslHandshakeFailedError);

    QSslConfiguration::setDefaultConfiguration(before);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}
