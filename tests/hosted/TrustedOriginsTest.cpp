#include "hosted/TrustedOrigins.h"

#include "common/Constants.h"

#include <gtest/gtest.h>

using namespace tovrik;

namespace {

// The three trusted hosts come from the build settings; the tests spell them
// from there so they hold for any configured domain.
QString host() { return QUrl(constants::defaultHostedWorkerBaseURL()).host(); }

std::optional<QString> norm(const QString& s) { return normalizedTrustedHostedWorkerBaseURL(s); }

} // namespace

TEST(TrustedOrigins, AcceptedSpellingsNormaliseToTheOrigin)
{
    // Blanks trimmed, any case, port 443, the path dropped; the legacy host too.
    const QString h = host(), https = QStringLiteral("https://");
    const QString legacy = QUrl(constants::legacyHostedWorkerBaseURL()).host();
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral(" https://") + h.toUpper() + QStringLiteral("/ \n"), https + h},
        {QStringLiteral("\t\r\nhttps://") + h + QStringLiteral("\r\n"), https + h},
        {QStringLiteral("HTTPS://WWW.") + h.toUpper() + QStringLiteral(":443"), QStringLiteral("https://www.") + h},
        {QStringLiteral("hTtPs://") + h, https + h},
        {https + h + QStringLiteral("/api/v1/"), https + h},
        {https + h + QStringLiteral("//"), https + h},
        {constants::legacyHostedWorkerBaseURL(), https + legacy},
    };
    for (const auto& [text, origin] : cases)
        EXPECT_EQ(norm(text), origin) << text.toStdString();
}

TEST(TrustedOrigins, RefusesEverythingElse)
{
    const QString h = host();
    const QStringList refused = {
        QStringLiteral("https://") + h + QStringLiteral(":8443"),
        QStringLiteral("https://") + h + QStringLiteral(":80"),
        QStringLiteral("http://") + h,
        QStringLiteral("ftp://") + h,
        QStringLiteral("https://user@") + h,
        QStringLiteral("https://user:pw@") + h,
        QStringLiteral("https://@") + h,
        QStringLiteral("https://") + h + QStringLiteral("?a=1"),
        QStringLiteral("https://") + h + QStringLiteral("?"),
        QStringLiteral("https://") + h + QStringLiteral("/?"),
        QStringLiteral("https://") + h + QStringLiteral("#f"),
        QStringLiteral("https://") + h + QStringLiteral("#"),
        QStringLiteral("https://") + h + QStringLiteral("."),
        QStringLiteral("https://evil.") + h,
        QStringLiteral("https://") + h + QStringLiteral(".evil.example"),
        QStringLiteral("https://untrusted.example"),
        QStringLiteral("https://127.0.0.1"),
        h,
        QStringLiteral("//") + h,
        QStringLiteral(""),
        QStringLiteral("   \n"),
        QStringLiteral("https://"),
        QStringLiteral("https://") + h + QStringLiteral(" x"),
    };
    for (const QString& text : refused)
        EXPECT_FALSE(norm(text).has_value()) << text.toStdString();
    EXPECT_FALSE(normalizedTrustedHostedWorkerBaseURL(std::nullopt).has_value());
}

TEST(TrustedOrigins, RequestURLsAndSameOrigin)
{
    const QString h = host();
    const QUrl base(QStringLiteral("https://") + h + QStringLiteral("/chat"));
    EXPECT_TRUE(isTrustedHostedWorkerURL(base));
    EXPECT_TRUE(isTrustedHostedWorkerURL(QUrl(QStringLiteral("https://") + h + QStringLiteral(":443/x?y=1"))));
    EXPECT_FALSE(isTrustedHostedWorkerURL(QUrl(QStringLiteral("http://") + h + QStringLiteral("/chat"))));
    EXPECT_FALSE(isTrustedHostedWorkerURL(QUrl(QStringLiteral("https://u@") + h + QStringLiteral("/chat"))));
    EXPECT_FALSE(isTrustedHostedWorkerURL(QUrl(QStringLiteral("https://") + h + QStringLiteral(":444/chat"))));

    EXPECT_TRUE(isSameTrustedHostedHTTPSOrigin(base, QUrl(QStringLiteral("https://") + h.toUpper() + QStringLiteral("/v2/chat"))));
    EXPECT_TRUE(isSameTrustedHostedHTTPSOrigin(base, QUrl(QStringLiteral("https://") + h + QStringLiteral(":443/v2"))));
    // Another trusted host is another origin.
    EXPECT_FALSE(isSameTrustedHostedHTTPSOrigin(base, QUrl(QStringLiteral("https://www.") + h + QStringLiteral("/chat"))));
    EXPECT_FALSE(isSameTrustedHostedHTTPSOrigin(base, QUrl(QStringLiteral("http://") + h + QStringLiteral("/chat"))));
    EXPECT_FALSE(isSameTrustedHostedHTTPSOrigin(base, QUrl(QStringLiteral("https://untrusted.example/chat"))));
}
