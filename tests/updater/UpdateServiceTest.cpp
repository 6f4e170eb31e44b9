// The update check and the verified download against the fake hosted
// service over real TLS: endpoints in order, strict manifests, redirects,
// the version rule, and the download's bound, size, digest and progress.
// Then the parts on their own: the manifest's strict decoding and
// completeness rule, the trusted update URLs, the response checks, the
// version rule and the update log's lines.

#include "UpdateTestSupport.h"

#include "hosted/HostedTestSupport.h"

#include <QJsonDocument>
#include <QTemporaryDir>

using namespace tovrik;
using namespace tovrik::test;
using namespace tovrik::update;

namespace {

class UpdateServiceTest : public HostedServiceTest {
protected:
    void SetUp() override
    {
        HostedServiceTest::SetUp();
        package = QByteArray(300000, 'p') + "end";
        QJsonObject o = manifestJSON(origin + "/downloads/pkg", package.size(),
                                     QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex().toUpper());
        o["platform"] = "Linux"; // the channel is matched without case
        o["version"] = " 2.0 beta/1 ";
        manifest = MacUpdateManifest::fromJSON(o);
        serveManifest(manifest);
        fake.setHandler("GET", "/downloads/pkg", [this](const FakeRequest&) {
            return FakeResponse::raw(200, "application/octet-stream", package);
        });
    }
    void serveManifest(const MacUpdateManifest& m, const QString& path = "/downloads/linux-latest.json")
    {
        const QByteArray body = QJsonDocument(m.toJSON()).toJson();
        fake.setHandler("GET", path, [body](const FakeRequest&) { return FakeResponse::raw(200, "application/json", body); });
    }
    // The check's error text, or whether it found an update.
    QString checkOutcome(const QString& appVersion = "1.10.15", const QString& build = "120")
    {
        auto out = runToEnd(service.check("cur", appVersion, build));
        return out->error ? describe(out->error) : out->value->isUpdateAvailable ? "available" : "current";
    }
    std::shared_ptr<TaskOutcome<MacUpdatePackage>> download(const MacUpdateManifest& m)
    {
        progress.clear();
        return runToEnd(service.download(m, [this](double p) { progress << p; }), 20000);
    }
    QStringList updateFiles() const { return QDir(update::updatesDirectoryURL()).entryList(QDir::Files); }
    // A service with this base and these manifest paths.
    static MacUpdateService serviceFor(const QString& base, const QStringList& paths = constants::linuxUpdateManifestPaths)
    {
        return {"Tovrik", base, paths, constants::linuxUpdatePlatform, "ai.tovrik.mac", constants::macOSDeveloperTeamIdentifier()};
    }

    MacUpdateService service = serviceFor(constants::defaultHostedWorkerBaseURL() + "/ \n");
    QByteArray package;
    MacUpdateManifest manifest;
    QList<double> progress;
};

QJsonObject goodManifest() { return test::manifestJSON("https://tovrik.ai/p.tar.gz", 10, QString(64, 'a')); }

QByteArray bytes(const QJsonObject& o) { return QJsonDocument(o).toJson(); }

QString web() { return QStringLiteral("https://") + QUrl(constants::defaultHostedWorkerBaseURL()).host(); }

} // namespace

TEST_F(UpdateServiceTest, CheckTriesTheEndpointsInOrderAndFindsTheNewerBuild)
{
    fake.setHandler("GET", "/api/downloads/linux/latest", [](const FakeRequest&) { return FakeResponse::error(404, "", "gone"); });
    auto out = runToEnd(service.check(" 20260911-macos-v1.10.32 ", "1.10.15", "120"));
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_TRUE(out->value->isUpdateAvailable);
    EXPECT_EQ(std::tuple(out->value->currentVersion, out->value->latestVersion, out->value->manifest.version),
              std::tuple("20260911-macos-v1.10.32", "2.0 beta/1", "2.0 beta/1"));
    const QList<FakeRequest> r = fake.requests();
    ASSERT_EQ(r.size(), 2);
    EXPECT_EQ(std::tuple(r[0].path, r[1].path), std::tuple("/api/downloads/linux/latest", "/downloads/linux-latest.json"));
    EXPECT_EQ(std::tuple(r[1].header("User-Agent"), r[1].header("Accept"), r[1].header("Cache-Control")),
              std::tuple("Tovrik.Mac.UpdateCheck/1.0", "application/json", "no-cache"));
}

TEST_F(UpdateServiceTest, VersionRule)
{
    const QString huge = "123456789012345678901"; // 21 digits: past the unsigned 64-bit range
    const QString unordered = "Installed or manifest application version cannot be ordered safely.";
    const struct {
        QString installedVersion, installedBuild, publishedVersion, publishedBuild, outcome;
    } cases[] = {
        {"1.10.15", "120", "1.10.15", "121", "available"}, {"1.10.15", "120", "1.9.99", "200", "current"},
        {"1.10.15", "120", "1.11.0", "120", "current"},    {"1.10.15", "120", "1.11.0", "119", "current"},
        {"1.10.15", "0", "1.10.15", "1", "available"},     {"1.10.15", "120", "1.10.15", huge, unordered},
        {"1.10.15", huge, "1.10.15", huge + "0", unordered}, {"1.10.15", huge, "1.10.15", "999", unordered},
        {"1.10.15", "120", "1.10.15", QString(100000, '9'), unordered},
        {"1.10.15", "120", "1.10.15", "18446744073709551615", "available"},
        {"1.10.15", "120", "1.10.15", "18446744073709551616", unordered},
        {"1.10.15", "120", "1.10.15", "000018446744073709551615", "available"},
        {"1.10", "120", "1.10.15", "121", unordered},      {"1.10.15", "", "1.10.15", "121", unordered},
        {"1.10.15", "12a", "1.10.15", "121", unordered},   {"1.10.15", "120", "1.11", "121", unordered},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.installedVersion + " " + c.installedBuild + " -> " + c.publishedVersion + " " + c.publishedBuild).toStdString());
        MacUpdateManifest m = manifest;
        m.appVersion = c.publishedVersion;
        m.bundleBuild = c.publishedBuild;
        serveManifest(m, "/api/downloads/linux/latest");
        EXPECT_EQ(checkOutcome(c.installedVersion, c.installedBuild), c.outcome);
    }
}

TEST_F(UpdateServiceTest, ManifestFailuresAndRedirects)
{
    const QString first = origin + "/api/downloads/linux/latest";
    const QString reachable = "No update manifest endpoint was reachable. Last error: ";
    // The manifest served with `key` changed (removed when undefined).
    const auto served = [this](const QString& key, const QJsonValue& value) {
        QJsonObject o = manifest.toJSON();
        value.isUndefined() ? void(o.remove(key)) : void(o.insert(key, value));
        return FakeResponse::raw(200, "application/json", QJsonDocument(o).toJson());
    };
    const struct {
        const char* name;
        FakeResponse response;
        QString lastError;
    } cases[] = {
        {"channel", served("platform", "windows"), "Update manifest is for a different release channel."},
        {"macOS channel", served("platform", "macos"), "Update manifest is for a different release channel."},
        {"identity", served("teamIdentifier", "OTHERTEAM1"), "Update manifest identity does not match this application."},
        {"incomplete", served("sizeBytes", 0), "Update manifest is incomplete."},
        {"lacking a key", served("publishedAt", QJsonValue::Undefined), "The update manifest has no value for \"publishedAt\"."},
        {"untrusted redirect", FakeResponse::redirect(302, "https://untrusted.example/m.json"),
         "Update manifest failed at " + first + " (302)."},
        {"server error", FakeResponse::error(500, "", "boom"), "Update manifest failed at " + first + " (500)."},
    };
    // The first endpoint's own error, when it is the last one tried.
    MacUpdateService single = serviceFor(origin, {"/api/downloads/linux/latest"});
    fake.setHandler("GET", "/downloads/linux-latest.json", [](const FakeRequest&) { return FakeResponse::error(503, "", ""); });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake.setHandler("GET", "/api/downloads/linux/latest", [r = c.response](const FakeRequest&) { return r; });
        EXPECT_EQ(checkOutcome(), reachable + "Update manifest failed at " + origin + "/downloads/linux-latest.json (503).");
        EXPECT_EQ(describe(runToEnd(single.check("x", "1.10.15", "120"))->error), reachable + c.lastError);
    }
    EXPECT_EQ(fake.requestsTo("/m.json").size(), 0);
    // A redirect to a trusted URL is followed.
    serveManifest(manifest, "/moved.json");
    fake.setHandler("GET", "/api/downloads/linux/latest",
                    [this](const FakeRequest&) { return FakeResponse::redirect(301, "https://www." + QUrl(origin).host() + "/moved.json"); });
    EXPECT_EQ(checkOutcome(), "available");
    // Bases that are not the trusted hosts over HTTPS give no endpoint at all.
    for (const QString& base : {"http://" + QUrl(origin).host(), QString("https://example.com")}) {
        MacUpdateService other = serviceFor(base);
        EXPECT_EQ(describe(runToEnd(other.check("x", "1.10.15", "120"))->error), "No update manifest endpoint was available.")
            << base.toStdString();
    }
}

TEST_F(UpdateServiceTest, DownloadVerifiesAndReportsExactlyThreeSteps)
{
    auto out = download(manifest);
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    EXPECT_EQ(progress, (QList<double>{0.0, 0.72, 1.0}));
    EXPECT_EQ(out->value->fileURL, update::updatesDirectoryURL() + "/Tovrik-update-2.0-beta-1.tar.gz");
    EXPECT_EQ(readFile(out->value->fileURL), package);
    EXPECT_EQ(updateFiles(), QStringList{"Tovrik-update-2.0-beta-1.tar.gz"});
    const FakeRequest r = fake.requestsTo("/downloads/pkg").value(0);
    EXPECT_EQ(std::tuple(r.header("User-Agent"), r.header("Accept"), r.header("Cache-Control")),
              std::tuple("Tovrik.Mac.UpdateDownload/1.0", "", "no-cache"));
    EXPECT_EQ(MacUpdateService::computeSHA256(out->value->fileURL), manifest.sha256.toLower());
}

TEST_F(UpdateServiceTest, DownloadFailuresLeaveNoTemporaryFileAndKeepTheOlderPackage)
{
    const QString finalPath = update::updatesDirectoryURL() + "/Tovrik-update-2.0-beta-1.tar.gz";
    writeFile(finalPath, "older");
    struct Case {
        const char* name;
        QByteArray body;
        int status;
        QString message;
        QList<double> progress;
    };
    const QString size = "Downloaded update size did not match the manifest.";
    const Case cases[] = {
        {"one byte short", package.chopped(1), 200, size, {0.0, 0.72}},
        {"longer", package + QByteArray(4 << 20, 'x'), 200, size, {0.0}},
        {"changed", QByteArray(package).replace(0, 1, "q"), 200, "Downloaded update failed checksum verification.", {0.0, 0.72}},
        {"missing", "gone", 404, "Update download failed at " + origin + "/downloads/pkg (404).", {0.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.setHandler("GET", "/downloads/pkg",
                        [c](const FakeRequest&) { return FakeResponse::raw(c.status, "application/octet-stream", c.body); });
        auto out = download(manifest);
        EXPECT_EQ(describe(out->error), c.message);
        EXPECT_EQ(progress, c.progress);
        EXPECT_EQ(updateFiles(), QStringList{"Tovrik-update-2.0-beta-1.tar.gz"});
        EXPECT_EQ(readFile(finalPath), "older");
    }
    MacUpdateManifest untrusted = manifest;
    untrusted.assetUrl = "https://untrusted.example/pkg";
    untrusted.downloadUrl = origin + "/downloads/pkg";
    EXPECT_EQ(describe(download(untrusted)->error), "Update package URL is invalid.");
    MacUpdateManifest other = manifest;
    other.bundleIdentifier = "ai.other";
    EXPECT_EQ(describe(download(other)->error), "Update manifest identity is invalid for this application.");
    EXPECT_TRUE(progress.isEmpty());
    // A declared size past any plausible bundle is refused before a byte is asked for.
    const qsizetype asked = fake.requests().size();
    MacUpdateManifest huge = manifest;
    huge.sizeBytes = 1000000000000;
    EXPECT_EQ(describe(download(huge)->error), "Update package is larger than 256 MiB.");
    EXPECT_EQ(fake.requests().size(), asked);
    EXPECT_TRUE(progress.isEmpty());
}

// The hand-off installs only where this build has an installed bundle that
// pins a well-formed public key; otherwise it says why and writes nothing.
TEST_F(UpdateServiceTest, TheHandOffNeedsAnInstalledBundleWithAPinnedKey)
{
    auto out = download(manifest);
    ASSERT_FALSE(out->error) << describe(out->error).toStdString();
    QTemporaryDir folder;
    const QString bundle = folder.path() + "/Apps/Tovrik.app", keyFile = bundle + "/Contents/Resources/update-signing-key.pem";
    const QString keyless = "This build cannot install updates (no pinned update key).";
    QStringList launched;
    service.setLauncher([&launched](const QString&, const QStringList& arguments) {
        launched = arguments;
        return true;
    });
    service.setQuitHandler([] {});
    const struct {
        const char* name;
        QString bundlePath;
        QByteArray keyFileText; // none written when empty
        QString outcome;
    } cases[] = {
        {"outside a bundle", {}, {}, "This build cannot install updates (not an installed bundle)."},
        {"no key file", bundle, {}, keyless},
        {"not a public key", bundle, "not a key\n", keyless},
        {"a key with a quote", bundle, "-----BEGIN PUBLIC KEY-----\nAA'AA\n-----END PUBLIC KEY-----\n", keyless},
        {"the pinned key", bundle, testPublicKey().toLatin1() + "\n", "started"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(bundle).removeRecursively();
        if (!c.keyFileText.isEmpty())
            writeFile(keyFile, c.keyFileText);
        service.setBundle({c.bundlePath, {{"CFBundleVersion", "120"}}});
        launched.clear();
        QString outcome = "started";
        try {
            service.startSelfUpdaterAndShutdown(*out->value);
        } catch (...) {
            outcome = describe(std::current_exception());
        }
        EXPECT_EQ(outcome, c.outcome);
        const QStringList scripts = QDir(update::updatesDirectoryURL()).entryList({"apply-tovrik-update-*.zsh"});
        EXPECT_EQ(scripts.size(), outcome == "started" ? 1 : 0);
        EXPECT_EQ(launched.isEmpty(), outcome != "started");
        if (!scripts.isEmpty()) {
            const QString script = QString::fromUtf8(readFile(update::updatesDirectoryURL() + "/" + scripts[0]));
            EXPECT_TRUE(script.contains("TEAM_PUBLIC_KEY='" + testPublicKey() + "'"));
        }
    }
}

TEST(UpdateManifest, DecodesAllFourteenKeysAndRoundTrips)
{
    QJsonObject o = goodManifest();
    o.insert("unknownKey", 42);
    o.insert("sizeBytes", qint64(9007199254740993)); // beyond a double's exact range
    const MacUpdateManifest m = MacUpdateManifest::decode(bytes(o));
    EXPECT_EQ(std::tuple(m.sizeBytes, m.assetUrl), std::tuple(qint64(9007199254740993), "https://tovrik.ai/p.tar.gz"));
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
    const QUrl source(web() + "/downloads/linux-latest.json");
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
