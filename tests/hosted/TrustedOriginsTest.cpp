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

TEST(TrustedOrigins, AcceptedSpellingsNormaliseToTheOriginEverythingElseIsRefusedAndRequestURLsAndSameOrigin)
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
    QStringList refused = {QStringLiteral("http://") + h, QStringLiteral("ftp://") + h, https + QStringLiteral("user@") + h,
                           https + QStringLiteral("user:pw@") + h, https + QStringLiteral("@") + h,
                           https + QStringLiteral("evil.") + h, QStringLiteral("https://untrusted.example"),
                           QStringLiteral("https://127.0.0.1"), h, QStringLiteral("//") + h, QString(),
                           QStringLiteral("   \n"), https};
    // Another port, a query, a fragment, a trailing dot, a longer host, text after it.
    for (const char* tail : {":8443", ":80", "?a=1", "?", "/?", "#f", "#", ".", ".evil.example", " x"})
        refused << https + h + QLatin1String(tail);
    for (const QString& text : refused)
        EXPECT_FALSE(norm(text).has_value()) << text.toStdString();
    EXPECT_FALSE(normalizedTrustedHostedWorkerBaseURL(std::nullopt).has_value());
    // Request URLs, and same origins.
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
