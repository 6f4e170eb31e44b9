// The manifest's strict decoding and completeness rule, the trusted update
// URLs, the response checks, the version rule and the update log's lines.

#include "UpdateTestSupport.h"

#include <QJsonDocument>

using namespace tovrik;
using namespace tovrik::update;

namespace {

QJsonObject goodManifest() { return test::manifestJSON("https://tovrik.ai/p.tar.gz", 10, QString(64, 'a')); }

QByteArray bytes(const QJsonObject& o) { return QJsonDocument(o).toJson(); }

QString web() { return QStringLiteral("https://") + QUrl(constants::defaultHostedWorkerBaseURL()).host(); }

} // namespace

TEST(UpdateManifest, DecodesAllFourteenKeysAndRoundTrips)
{
    QJsonObject o = goodManifest();
    o.insert("unknownKey", 42);
    o.insert("sizeBytes", qint64(9007199254740993)); // beyond a double's exact range
    const MacUpdateManifest m = MacUpdateManifest::decode(bytes(o));
    EXPECT_EQ(m.sizeBytes, qint64(9007199254740993));
    EXPECT_EQ(m.assetUrl, "https://tovrik.ai/p.tar.gz");
    EXPECT_EQ(MacUpdateManifest::fromJSON(m.toJSON()), m);
}

TEST(UpdateManifest, AnyMissingNullOrWronglyTypedKeyFailsTheWholeDecode)
{
    for (const QString& key : goodManifest().keys()) {
        SCOPED_TRACE(key.toStdString());
        const QJsonValue wrong = key == "sizeBytes" ? QJsonValue("10") : key == "mandatory" ? QJsonValue("false") : QJsonValue(7);
        for (const QJsonValue& value : {QJsonValue(QJsonValue::Undefined), QJsonValue(QJsonValue::Null), wrong}) {
            QJsonObject o = goodManifest();
            value.isUndefined() ? void(o.remove(key)) : void(o.insert(key, value));
            EXPECT_THROW(MacUpdateManifest::decode(bytes(o)), DecodingError) << value.toVariant().toString().toStdString();
        }
    }
    QJsonObject fraction = goodManifest();
    fraction.insert("sizeBytes", 10.5);
    EXPECT_THROW(MacUpdateManifest::decode(bytes(fraction)), DecodingError);
    EXPECT_THROW(MacUpdateManifest::decode("[1]"), DecodingError);
    EXPECT_THROW(MacUpdateManifest::decode("{"), DecodingError);
}

TEST(UpdateManifest, UsableOnlyWhenCompleteAfterNormalizing)
{
    const std::pair<QJsonObject, bool> cases[] = {
        {{{"sizeBytes", 0}}, false},           {{{"teamIdentifier", ""}}, false},   {{{"sha256", QString(63, 'a')}}, false},
        {{{"sha256", QString(64, 'A')}}, true}, {{{"bundleBuild", " 42 "}}, true},   {{{"bundleBuild", "4 2"}}, false},
        {{{"bundleBuild", "42a"}}, false},     {{{"bundleBuild", ""}}, false},      {{{"assetUrl", ""}}, false},
        {{{"platform", "\n"}}, false},         {{{"version", ""}}, false},          {{{"appVersion", ""}}, false},
        {{{"bundleIdentifier", " "}}, false},  {{{"assetUrl", ""}, {"downloadUrl", "https://tovrik.ai/x"}}, true},
    };
    for (const auto& [change, usable] : cases) {
        QJsonObject o = goodManifest();
        for (auto it = change.begin(); it != change.end(); ++it)
            o.insert(it.key(), it.value());
        MacUpdateManifest m = MacUpdateManifest::fromJSON(o);
        m.normalize();
        EXPECT_EQ(m.isUsable(), usable) << QJsonDocument(change).toJson(QJsonDocument::Compact).toStdString();
    }
}

TEST(UpdateURLs, TrustedHostsAndTheURLRule)
{
    EXPECT_EQ(trustedUpdateHosts(), constants::trustedHostedWorkerHosts());
    const QString host = QUrl(web()).host();
    const std::pair<QString, bool> cases[] = {
        {"HTTPS://" + host.toUpper() + ":443/x", true}, {"https://www." + host + "/x?y=1", true},
        {"https://" + host + ":8443/x", false},         {"http://" + host + "/x", false},
        {"https://user@" + host + "/x", false},         {"https://:pw@" + host + "/x", false},
        {"https://example.com/x", false},               {"https://" + host + ".evil.com/x", false},
        {"", false},
    };
    for (const auto& [url, trusted] : cases)
        EXPECT_EQ(isTrustedHTTPSURL(QUrl(url)), trusted) << url.toStdString();
}

TEST(UpdateURLs, ResponseChecksInOrderWithTheirTexts)
{
    const QUrl source(web() + "/downloads/macos-latest.json");
    const QString failed = "Update manifest failed at " + source.toString();
    const std::pair<HTTPResponseInfo, QString> cases[] = {
        {{false, 0, source}, failed + "."},
        {{true, 302, QUrl("https://example.com/x")}, failed + " (302)."},
        {{true, 199, source}, failed + " (199)."},
        {{true, 200, QUrl("https://example.com/x")}, "Update manifest was redirected to an untrusted location."},
        {{true, 299, source}, "accepted"},
    };
    for (const auto& [response, message] : cases) {
        QString got = "accepted";
        try {
            validateHTTPResponse(response, source, "Update manifest");
        } catch (const MacUpdateError& e) {
            got = e.message();
        }
        EXPECT_EQ(got, message);
    }
}

TEST(UpdateVersions, TriplesBuildsAndSafeNames)
{
    using Triple = std::optional<std::array<qint64, 3>>;
    const std::pair<const char*, Triple> versions[] = {
        {"1.10.15", Triple{{1, 10, 15}}}, {"V2.0.1-beta", Triple{{2, 0, 1}}}, {"release 3.4.5 (12)", Triple{{3, 4, 5}}},
        {"11.2.3.4", Triple{{11, 2, 3}}}, {"20260911-macos-v1.10.32-classic", Triple{{1, 10, 32}}},
        {"1.99999999999999999999.0", Triple{{1, 0, 0}}}, {"1.2", std::nullopt}, {"1.2.x", std::nullopt}};
    for (const auto& [text, triple] : versions)
        EXPECT_EQ(semanticVersionComponents(text), triple) << text;

    // Builds of any length (the check's table covers the ordering).
    EXPECT_EQ(canonicalBuild("+007"), "7");
    EXPECT_FALSE(canonicalBuild("12a"));
    EXPECT_GT(compareBuilds("123456789012345678901234", "18446744073709551615"), 0);

    for (const auto& [name, safe] : {std::pair<QString, QString>{" 2.0 beta/1 ", "2.0-beta-1"}, {"", "latest"},
                                     {"a\\b?c%d*e|f\"g<h>i:j", "a-b-c-d-e-f-g-h-i-j"}, {QString("a\nb") + QChar(0) + "c", "a-b-c"}})
        EXPECT_EQ(makeSafeFileName(name), safe);
}

TEST(UpdateLog, OneEscapedLinePerFailureAppended)
{
    EXPECT_TRUE(updateLogURL().endsWith("/Tovrik/Updates/tovrik-update.log"));
    EXPECT_EQ(QFileInfo(updateLogURL()).absolutePath(), updatesDirectoryURL());
    QFile::remove(updateLogURL());
    logFailure("checking", std::make_exception_ptr(MacUpdateError("Update manifest is incomplete.")));
    logFailure("installing\n", std::make_exception_ptr(MacUpdateError("bad\nname\x1b[31m")));
    logFailure("downloading", std::make_exception_ptr(std::runtime_error("disk full")));
    EXPECT_EQ(test::logLines(), (QStringList{"checking: MacUpdateError: Update manifest is incomplete.",
                                             "installing\\n: MacUpdateError: bad\\nname\\x1b[31m",
                                             "downloading: runtime_error: disk full"}));
    EXPECT_TRUE(test::readFile(updateLogURL()).endsWith('\n'));
}
