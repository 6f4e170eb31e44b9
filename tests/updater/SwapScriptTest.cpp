// The swap script under real zsh with the real tools it calls (tar, cp,
// xmllint, sha256sum, stat, openssl, pgrep, setsid): its exit code and log
// lines for every refusal (after which the installed build runs again), the
// swap with its health handshake, the rollback, quoting of hostile paths and
// the privileged branch run as another user.
// Then the new build's side of the launch-health handshake: each refusal with
// its log line and no marker, links at the folder and at the marker, and a
// published marker with its three lines and modes.

#include "SwapScriptFixture.h"

#include <sys/stat.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class LaunchHealthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir().mkpath(updates);
        bundle.values = {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", " 121\n"}};
    }
    QStringList argsFor(const QString& path, const QString& t) const
    {
        return {"/x/Tovrik", "--tovrik-update-health-marker", path, "--tovrik-update-health-token", t};
    }
    // Signals with `args`; the log then holds at most the one line `refusal`.
    void signal(const QStringList& args, const QString& refusal = {})
    {
        QFile::remove(update::updateLogURL());
        MacUpdateService::signalUpdateLaunchHealth(args, bundle);
        EXPECT_EQ(logLines(), refusal.isEmpty() ? QStringList{}
                                                : QStringList{"Update launch health marker: MacUpdateError: " + refusal});
    }
    QStringList folderEntries() const
    {
        return QDir(updates).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    mode_t modeOf(const QString& path) const
    {
        struct stat st{};
        EXPECT_EQ(::stat(path.toLocal8Bit(), &st), 0) << path.toStdString();
        return st.st_mode & 0777;
    }

    QString updates = update::updatesDirectoryURL(), marker = updates + "/tovrik-health-" + uuid() + ".ready", tok = token();
    const QString notFresh = "Update launch health marker path is not a fresh trusted file.";
    update::BundleInfo bundle;
};

} // namespace

TEST_F(SwapScriptTest, EachArgumentRefusalHasItsCodeAndLine)
{
    const QString version = "Current or expected bundle version is invalid.";
    const QString marker = "Unsafe or stale update health marker was rejected.";
    const QString unsafe = "Unsafe target application path was rejected.";
    expectRefusals({
        {"13 arguments", [](auto&, QStringList& a) { a.removeLast(); }, 64, "", false},
        {"target /Applications", [](auto&, QStringList& a) { a[targetApp] = "/Applications"; }, 69, unsafe, false},
        {"target X.app", [](auto& t, QStringList& a) { a[targetApp] = t.root.path() + "/X.app"; }, 69, unsafe, false},
        {"build 12a", [](auto&, QStringList& a) { a[currentBuild] = "12a"; }, 70, version},
        {"build with a trailing newline", [](auto&, QStringList& a) { a[currentBuild] = "120\n"; }, 70, version},
        {"size 012", [](auto&, QStringList& a) { a[expectedSize] = "012"; }, 70, version},
        {"empty version", [](auto&, QStringList& a) { a[appVersion] = ""; }, 70, version},
        {"uppercase digest", [](auto&, QStringList& a) { a[expectedSHA] = a[expectedSHA].toUpper(); }, 71,
         "Expected update checksum is invalid."},
        {"marker elsewhere", [](auto& t, QStringList& a) { a[healthMarker] = t.root.path() + "/tovrik-health-" + uuid() + ".ready"; },
         72, marker},
        {"marker not a UUID", [](auto& t, QStringList& a) { a[healthMarker] = t.updates + "/tovrik-health-fixed.ready"; }, 72, marker},
        {"stale marker", [](auto&, QStringList& a) { writeFile(a[healthMarker], "old"); }, 72, marker},
        {"dangling link marker", [](auto&, QStringList& a) { QFile::link("/nonexistent/x", a[healthMarker]); }, 72, marker},
        {"uppercase token", [](auto&, QStringList& a) { a[healthToken] = a[healthToken].toUpper(); }, 72, marker},
    });
}

TEST_F(SwapScriptTest, EachImageOrBundleRefusalHasItsCodeAndLinesAndLeavesTheTargetAlone)
{
    const QString changed = "Update archive changed after download verification.";
    const QString notNewer = "Updated app bundle build is not newer than the installed build.";
    const QString signature = "Validating updated app identity and the signature over the bundle. | Update script failed at line N with exit code 1.";
    expectRefusals({
        {"image missing", [](auto&, QStringList& a) { QFile::remove(a[dmgPath]); }, 66, "Update archive is missing."},
        {"newline in the image path", [](auto& t, QStringList& a) { a[dmgPath] = t.updates + "/x\ny.dmg"; }, 66,
         "Starting update from " + updates + "/x\\ny.dmg to " + target + " | Update archive is missing."},
        {"one byte changed", [](auto&, QStringList& a) { QByteArray d = readFile(a[dmgPath]); d[d.size() / 2] ^= 1; writeFile(a[dmgPath], d); },
         67, changed},
        {"one byte short", [](auto&, QStringList& a) { writeFile(a[dmgPath], readFile(a[dmgPath]).chopped(1)); }, 67, changed},
        {"a link in the image", [](auto& t, QStringList&) {
             t.rebuildImage(t.newSpec, {}, "Tovrik.app", [](const QString& app) { QFile::link("/etc/passwd", app + "/Contents/passwd"); });
         }, 3, "Validating the update archive. | Update script failed at line N with exit code 3."},
        {"no bundle in the image", [](auto& t, QStringList&) { t.rebuildImage(t.newSpec, {}, "Other.app"); }, 68,
         "Updated app bundle was not found in the archive."},
        {"signed with another key", [](auto& t, QStringList&) {
             const QString key = t.root.path() + "/other.pem";
             ASSERT_EQ(run("/usr/bin/openssl", {"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key}), 0);
             t.rebuildImage(t.newSpec.with(&BundleFacts::key, key));
         }, 1, signature},
        {"a file changed after signing", [](auto& t, QStringList&) {
             t.rebuildImage(t.newSpec, {}, "Tovrik.app", [](const QString& app) {
                 writeFile(app + "/Contents/Info.plist", readFile(app + "/Contents/Info.plist") + " ");
             });
         }, 1, signature},
        {"a file added beside the signature", [](auto& t, QStringList&) {
             t.rebuildImage(t.newSpec, {}, "Tovrik.app", [](const QString& app) { writeFile(app + "/Contents/_CodeSignature/x", "x"); });
         }, 1, signature},
        {"an empty folder added", [](auto& t, QStringList&) {
             t.rebuildImage(t.newSpec, {}, "Tovrik.app", [](const QString& app) { QDir().mkpath(app + "/Contents/Plugins"); });
         }, 1, signature},
        {"a mode changed", [](auto& t, QStringList&) {
             t.rebuildImage(t.newSpec, {}, "Tovrik.app", [](const QString& app) { ::chmod((app + "/Contents/Info.plist").toLocal8Bit(), 0666); });
         }, 1, signature},
        {"an entry outside the bundle", [](auto& t, QStringList& a) {
             makeBundle(t.root.path() + "/new/Tovrik.app", t.newSpec, standInBuild("healthy", "121"));
             writeFile(t.root.path() + "/new/outside", "x");
             ASSERT_EQ(run("/usr/bin/tar", {"-czf", a[dmgPath], "-C", t.root.path() + "/new", "Tovrik.app", "outside"}), 0);
             a[expectedSize] = QString::number(QFileInfo(a[dmgPath]).size());
             a[expectedSHA] = sha256Of(a[dmgPath]);
         }, 3, "Validating the update archive. | Update script failed at line N with exit code 3."},
        {"an image that expands far past its size", [](auto& t, QStringList&) {
             t.rebuildImage(t.newSpec, {}, "Tovrik.app", [](const QString& app) {
                 QFile zeros(app + "/Contents/zeros");
                 ASSERT_TRUE(zeros.open(QIODevice::WriteOnly) && zeros.resize(40 << 20));
             });
         }, 3, "Validating the update archive. | Update script failed at line N with exit code 3."},
        {"identifier", newBundle(&BundleFacts::identifier, "ai.other"), 71, "Updated app bundle identifier did not match."},
        {"team", newBundle(&BundleFacts::team, "OTHERTEAM1"), 72, "Updated app TeamIdentifier did not match."},
        {"short version", newBundle(&BundleFacts::version, "1.10.16"), 73, "Updated app version did not match the manifest."},
        {"build not the manifest's", newBundle(&BundleFacts::build, "122"), 74, notNewer},
        {"build not newer", [](auto&, QStringList& a) { a[currentBuild] = "121"; }, 74, notNewer},
        {"executable with a slash", newBundle(&BundleFacts::executable, "a/b"), 75, "Updated app executable identity is invalid."},
        {"target is a link", [](auto& t, QStringList& a) {
             QFile::rename(t.target, t.root.path() + "/Apps/Real.app");
             QFile::link(t.root.path() + "/Apps/Real.app", a[targetApp]);
         }, 76, "Existing target application is not a regular app bundle.", false},
        {"target already at the build", oldBundle(&BundleFacts::build, "121"), 76,
         "Existing target application is already at the expected build or newer; refusing a downgrade or reinstall loop.", false},
        {"target of another team", oldBundle(&BundleFacts::team, "OTHERTEAM1"), 76,
         "Existing target application identity is invalid; refusing to overwrite it.", false},
    });
}

TEST_F(SwapScriptTest, OnlyAHealthyBuildStaysAndHostilePathsSurviveEveryQuotingLayer)
{
    // As nobody (through setpriv) the bundle's folder stays root's and the
    // install goes through the privileged runner; a cancel there ends with
    // the runner's status and moves nothing.
    const QString folder = root.path() + "/it's \"odd\" $HOME `x` \\n", app = folder + "/Tovrik.app";
    const QString image2 = updates + "/it's $x.dmg";
    const QStringList checked{"Source process exited; preparing update.", "Starting update from " + image2 + " to " + app,
                              "Validating the update archive.", "Unpacking the update archive.", "Copying updated app bundle.",
                              "Validating updated app identity and the signature over the bundle."};
    const QString direct = "Installing update without elevation.", elevated = "Requesting administrator permission for install.";
    const QString waiting = "Update installed; waiting for a launch-ready health marker before removing the backup.";
    const QString healthy = "Update installed and launch health verified: " + app;
    const QString early = "Updated app did not remain running long enough to become launch-ready.";
    const QStringList rollback{"Updated app did not become launch-ready; restoring the previous application.",
                               "Previous application restored after failed update launch."};
    const struct {
        const char* name;
        QByteArray exe;
        bool hadTarget, asNobody, cancel;
        int code;
        QStringList ending;
        QString build;
    } cases[] = {
        {"healthy", {}, true, false, false, 0, {direct, waiting, healthy}, "121"},
        {"exits at once", standInBuild("exit"), true, false, false, 79, QStringList{direct, waiting, early} + rollback, "120"},
        {"marker of another build", standInBuild("healthy", "999"), true, false, false, 79,
         QStringList{direct, waiting, "Updated app wrote an invalid launch health marker."} + rollback, "120"},
        {"no previous target", standInBuild("exit"), false, false, false, 79, QStringList{direct, waiting, early} + rollback, ""},
        {"privileged", {}, true, true, false, 0, {elevated, waiting, healthy}, "121"},
        {"privileged, cancelled", {}, true, true, true, 126, {elevated, "Update script failed at line N with exit code 126."}, "120"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        if (!c.exe.isEmpty())
            rebuildImage(newSpec, c.exe);
        moveTargetInto(folder);
        if (!c.hadTarget)
            QDir(target).removeRecursively();
        if (c.cancel)
            writeFile(root.path() + "/cancel", "");
        QFile::remove(image2);
        ASSERT_TRUE(QFile::rename(image, image2));
        args[dmgPath] = image2;
        EXPECT_EQ(runScript(args, c.asNobody), c.code) << output.toStdString();
        EXPECT_EQ(tail(99), (checked + c.ending).join(" | "));
        EXPECT_EQ(installedBuild(target), c.build);
        EXPECT_FALSE(QFileInfo::exists(args[healthMarker]));
        const auto relaunched = [&] { return QFileInfo::exists(root.path() + "/old-relaunched"); };
        // After a rollback, and after a refusal such as a cancelled prompt,
        // the installed build runs again.
        if ((c.code == 79 && c.hadTarget) || c.cancel) {
            EXPECT_TRUE(spinUntil(relaunched, 5000));
        } else {
            EXPECT_FALSE(relaunched());
        }
        expectCleanedUp();
    }
}

TEST_F(SwapScriptTest, ALiveOldProcessEndsWith68AfterTheWait)
{
    QProcess old;
    old.start("/usr/bin/sleep", {"90"});
    ASSERT_TRUE(old.waitForStarted());
    args[processID] = QString::number(old.processId());
    EXPECT_EQ(runScript(args), 68);
    EXPECT_EQ(logLines(logPath), QStringList{"Source process did not exit before the updater timeout."});
    old.kill();
    old.waitForFinished();
}

TEST_F(LaunchHealthTest, WritesTheMarkerOnceAndSafely)
{
    ::chmod(updates.toLocal8Bit(), 0755);
    signal(argsFor(updates + "/./sub/../" + QFileInfo(marker).fileName(), tok));
    EXPECT_EQ(readFile(marker), (tok + "\nai.tovrik.mac\n121\n").toUtf8());
    EXPECT_EQ(folderEntries(), QStringList{QFileInfo(marker).fileName()});
    EXPECT_EQ(std::tuple(modeOf(marker), modeOf(updates)), std::tuple(0600u, 0700u));
    // A second pass finds the marker there and refuses to replace it.
    signal(argsFor(marker, tok), notFresh);
    EXPECT_EQ(readFile(marker), (tok + "\nai.tovrik.mac\n121\n").toUtf8());
}

TEST_F(LaunchHealthTest, EachRefusalIsLoggedAndWritesNothing)
{
    const QString incomplete = "Update launch health arguments are incomplete or duplicated.";
    const QString outside = "Update launch health marker path is outside the trusted updates directory.";
    const QString identity = "Running application identity is invalid for the update health marker.";
    const QString badToken = "Update launch health token is invalid.";
    const QString name = QFileInfo(marker).fileName();
    QTemporaryDir elsewhere;
    struct Case {
        const char* name;
        QStringList args;
        QString message;
        QHash<QString, QString> values = {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", "121"}};
    };
    const Case cases[] = {
        {"token only", {"x", "--tovrik-update-health-token", tok}, incomplete},
        {"marker twice", argsFor(marker, tok) + QStringList{"--tovrik-update-health-marker", marker}, incomplete},
        {"token twice", argsFor(marker, tok) + QStringList{"--tovrik-update-health-token", tok}, incomplete},
        {"marker last", {"x", "--tovrik-update-health-token", tok, "--tovrik-update-health-marker"}, incomplete},
        {"upper-case token", argsFor(marker, tok.toUpper()), badToken},
        {"63 digits", argsFor(marker, tok.left(63)), badToken},
        {"subfolder", argsFor(updates + "/sub/" + name, tok), outside},
        {"other folder", argsFor(elsewhere.path() + "/" + name, tok), outside},
        {"wrong suffix", argsFor(updates + "/tovrik-health-" + uuid() + ".txt", tok), outside},
        {"not a UUID", argsFor(updates + "/tovrik-health-fixed.ready", tok), notFresh},
        {"no identifier", argsFor(marker, tok), identity, {{"CFBundleVersion", "121"}}},
        {"build 12a", argsFor(marker, tok), identity, {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", "12a"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bundle.values = c.values;
        signal(c.args, c.message);
        EXPECT_EQ(folderEntries(), QStringList{"tovrik-update.log"});
    }
    // A dangling link where the marker goes.
    bundle.values = cases[0].values;
    ASSERT_TRUE(QFile::link("/nonexistent/target", marker));
    signal(argsFor(marker, tok), notFresh);
    EXPECT_FALSE(QFileInfo::exists("/nonexistent/target"));
}

TEST_F(LaunchHealthTest, NoOptionsDoNothingAndALinkedFolderIsRefused)
{
    signal({"/x/Tovrik", "--other"});
    EXPECT_TRUE(folderEntries().isEmpty());

    QTemporaryDir real;
    QDir(updates).removeRecursively();
    ASSERT_TRUE(QFile::link(real.path(), updates));
    signal(argsFor(marker, tok), "The update health directory is not a trusted physical directory.");
    EXPECT_EQ(QDir(real.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"tovrik-update.log"});
}
