// The manifest's strict decoding and completeness rule, the trusted update
// URLs, the response checks, the version rule and the update log's lines.

#include "updater/UpdateManifest.h"

#include "common/Constants.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::update;

namespace {

QJsonObject goodManifest()
{
    return QJsonObject{{"platform", "macos"},
                       {"version", "1.10.16"},
                       {"appVersion", "1.10.16"},
                       {"bundleBuild", "121"},
                       {"bundleIdentifier", "ai.tovrik.mac"},
                       {"teamIdentifier", "T7V4R1K9QZ"},
                       {"fileName", "f"},
                       {"storedFileName", "s"},
                       {"downloadUrl", ""},
                       {"assetUrl", "https://tovrik.ai/p.tar.gz"},
                       {"sizeBytes", 10},
                       {"sha256", QString(64, 'a')},
                       {"publishedAt", "2026-09-11"},
                       {"mandatory", false}};
}

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
    const MacUpdateManifest empty;
    EXPECT_TRUE(empty.platform.isEmpty() && empty.sizeBytes == 0 && !empty.mandatory);
}

TEST(UpdateManifest, AnyMissingNullOrWronglyTypedKeyFailsTheWholeDecode)
{
    for (const QString& key : goodManifest().keys()) {
        QJsonObject missing = goodManifest();
        missing.remove(key);
        EXPECT_THROW(MacUpdateManifest::decode(bytes(missing)), DecodingError) << key.toStdString();
        QJsonObject null = goodManifest();
        null.insert(key, QJsonValue::Null);
        EXPECT_THROW(MacUpdateManifest::decode(bytes(null)), DecodingError) << key.toStdString();
        QJsonObject wrong = goodManifest();
        wrong.insert(key, key == "sizeBytes" ? QJsonValue("10") : key == "mandatory" ? QJsonValue("false") : QJsonValue(7));
        EXPECT_THROW(MacUpdateManifest::decode(bytes(wrong)), DecodingError) << key.toStdString();
    }
    QJsonObject fraction = goodManifest();
    fraction.insert("sizeBytes", 10.5);
    EXPECT_THROW(MacUpdateManifest::decode(bytes(fraction)), DecodingError);
    EXPECT_THROW(MacUpdateManifest::decode("[1]"), DecodingError);
    EXPECT_THROW(MacUpdateManifest::decode("{"), DecodingError);
}

TEST(UpdateManifest, UsableOnlyWhenCompleteAfterNormalizing)
{
    struct Case {
        const char* key;
        QJsonValue value;
        bool usable;
    };
    const Case cases[] = {
        {"sizeBytes", 0, false},          {"teamIdentifier", "", false},
        {"sha256", QString(63, 'a'), false}, {"sha256", QString(64, 'A'), true},
        {"bundleBuild", " 42 ", true},    {"bundleBuild", "4 2", false},
        {"bundleBuild", "42a", false},    {"bundleBuild", "", false},
        {"assetUrl", "", false},          {"platform", "\n", false},
        {"version", "", false},           {"appVersion", "", false},
        {"bundleIdentifier", " ", false},
    };
    for (const Case& c : cases) {
        QJsonObject o = goodManifest();
        o.insert(c.key, c.value);
        MacUpdateManifest m = MacUpdateManifest::fromJSON(o);
        m.normalize();
        EXPECT_EQ(m.isUsable(), c.usable) << c.key << " " << c.value.toVariant().toString().toStdString();
    }
    QJsonObject other = goodManifest();
    other.insert("assetUrl", "");
    other.insert("downloadUrl", "https://tovrik.ai/x");
    MacUpdateManifest m = MacUpdateManifest::fromJSON(other);
    m.normalize();
    EXPECT_TRUE(m.isUsable());
    EXPECT_EQ(MacUpdateManifest::fromJSON(goodManifest()).bundleBuild, "121");
}

TEST(UpdateURLs, TrustedHostsAndTheURLRule)
{
    EXPECT_EQ(trustedUpdateHosts(), constants::trustedHostedWorkerHosts());
    EXPECT_EQ(trustedUpdateHosts().size(), 3);
    const QString host = QUrl(web()).host();
    struct Case {
        QString url;
        bool trusted;
    };
    const Case cases[] = {
        {"HTTPS://" + host.toUpper() + ":443/x", true},
        {"https://www." + host + "/x?y=1", true},
        {"https://" + host + ":8443/x", false},
        {"http://" + host + "/x", false},
        {"https://user@" + host + "/x", false},
        {"https://:pw@" + host + "/x", false},
        {"https://example.com/x", false},
        {"https://" + host + ".evil.com/x", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isTrustedHTTPSURL(QUrl(c.url)), c.trusted) << c.url.toStdString();
}

TEST(UpdateURLs, ManifestURLsKeepTheirOrderAndDropUntrustedBases)
{
    const QStringList paths = constants::macOSUpdateManifestPaths;
    const QList<QUrl> urls = createManifestURLs(web() + "/ \n", paths);
    ASSERT_EQ(urls.size(), 2);
    EXPECT_EQ(urls[0].toString(), web() + "/api/downloads/macos/latest");
    EXPECT_EQ(urls[1].toString(), web() + "/downloads/macos-latest.json");
    EXPECT_TRUE(createManifestURLs("http://" + QUrl(web()).host(), paths).isEmpty());
    EXPECT_TRUE(createManifestURLs("https://example.com", paths).isEmpty());
}

TEST(UpdateURLs, ResponseChecksInOrderWithTheirTexts)
{
    const QUrl source(web() + "/downloads/macos-latest.json");
    const auto message = [&](HTTPResponseInfo r) -> QString {
        try {
            validateHTTPResponse(r, source, "Update manifest");
        } catch (const MacUpdateError& e) {
            return e.message();
        }
        return "accepted";
    };
    EXPECT_EQ(message({false, 0, source}), "Update manifest failed at " + source.toString() + ".");
    EXPECT_EQ(message({true, 302, QUrl("https://example.com/x")}),
              "Update manifest failed at " + source.toString() + " (302).");
    EXPECT_EQ(message({true, 199, source}), "Update manifest failed at " + source.toString() + " (199).");
    EXPECT_EQ(message({true, 200, QUrl("https://example.com/x")}), "Update manifest was redirected to an untrusted location.");
    EXPECT_EQ(message({true, 299, source}), "accepted");
}

TEST(UpdateVersions, TriplesBuildsAndSafeNames)
{
    using Triple = std::array<qint64, 3>;
    EXPECT_EQ(semanticVersionComponents("1.10.15"), (Triple{1, 10, 15}));
    EXPECT_EQ(semanticVersionComponents("V2.0.1-beta"), (Triple{2, 0, 1}));
    EXPECT_EQ(semanticVersionComponents("release 3.4.5 (12)"), (Triple{3, 4, 5}));
    EXPECT_EQ(semanticVersionComponents("11.2.3.4"), (Triple{11, 2, 3}));
    EXPECT_EQ(semanticVersionComponents("20260911-macos-v1.10.32-classic"), (Triple{1, 10, 32}));
    EXPECT_EQ(semanticVersionComponents("1.99999999999999999999.0"), (Triple{1, 0, 0}));
    EXPECT_FALSE(semanticVersionComponents("1.2"));
    EXPECT_FALSE(semanticVersionComponents("1.2.x"));

    // Builds of any length (the check's table covers the ordering).
    EXPECT_EQ(canonicalBuild("+007"), "7");
    EXPECT_FALSE(canonicalBuild("12a"));
    EXPECT_GT(compareBuilds("123456789012345678901234", "18446744073709551615"), 0);

    EXPECT_EQ(makeSafeFileName(" 2.0 beta/1 "), "2.0-beta-1");
    EXPECT_EQ(makeSafeFileName(""), "latest");
    EXPECT_EQ(makeSafeFileName("a\\b?c%d*e|f\"g<h>i:j"), "a-b-c-d-e-f-g-h-i-j");
    EXPECT_EQ(makeSafeFileName(QString("a\nb") + QChar(0) + "c"), "a-b-c");
}

TEST(UpdateLog, OneEscapedLinePerFailureAppended)
{
    const QString path = updateLogURL();
    EXPECT_TRUE(path.endsWith("/Tovrik/Updates/tovrik-update.log"));
    EXPECT_EQ(QFileInfo(path).absolutePath(), updatesDirectoryURL());
    QFile::remove(path);
    logFailure("checking", std::make_exception_ptr(MacUpdateError("Update manifest is incomplete.")));
    logFailure("installing\n", std::make_exception_ptr(MacUpdateError("bad\nname\x1b[31m")));
    logFailure("downloading", std::make_exception_ptr(std::runtime_error("disk full")));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[3], "");
    const QRegularExpression stamp("^\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\] ");
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(stamp.match(lines[i]).hasMatch()) << lines[i].toStdString();
    EXPECT_TRUE(lines[0].endsWith("] checking: MacUpdateError: Update manifest is incomplete."));
    EXPECT_TRUE(lines[1].endsWith("] installing\\n: MacUpdateError: bad\\nname\\x1b[31m"));
    EXPECT_TRUE(lines[2].endsWith("] downloading: runtime_error: disk full"));
}
