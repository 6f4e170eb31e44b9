// The swap script under real zsh with the real tools it calls (tar, cp,
// xmllint, sha256sum, stat, openssl, pgrep, setsid): its exit code and log
// lines for every refusal, the swap with its health handshake, the rollback,
// quoting of hostile paths and the privileged branch run as another user.

#include "UpdateTestSupport.h"

#include "support/SimFixture.h"

#include <QRegularExpression>
#include <QLockFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class SwapScriptTest : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        updates = update::updatesDirectoryURL();
        QDir().mkpath(updates);
        logPath = update::updateLogURL();
        run("/usr/bin/rm", {"-rf", "--", root.path() + "/Apps", root.path() + "/new", root.path() + "/cancel"});
        target = root.path() + "/Apps/Tovrik.app";
        image = updates + "/Tovrik-update-1.10.15.dmg";
        makeBundle(target, oldSpec, standInBuild("healthy", "120", root.path() + "/old-relaunched"));
        makeBundle(root.path() + "/new/Tovrik.app", newSpec, standInBuild("healthy", "121"));
        makeArchive(root.path() + "/new/Tovrik.app", image);
        QProcess gone; // a process id that no longer exists
        gone.start("/bin/true");
        gone.waitForStarted();
        const qint64 gonePid = gone.processId();
        gone.waitForFinished();
        args = {QString::number(gonePid), image, target, "Tovrik", logPath, "ai.tovrik.mac",
                constants::macOSDeveloperTeamIdentifier(), "120", "1.10.15", "121",
                QString::number(QFileInfo(image).size()), sha256Of(image),
                updates + "/tovrik-health-" + uuid() + ".ready", token()};
        runner = root.path() + "/runner";
        // The privileged runner: a cancel flag ends it with pkexec's status
        // for a dismissed prompt; otherwise it runs the command (keeping the
        // test's file capability, zsh would drop it without -p).
        writeFile(runner, ("#!/bin/sh\n[ -e " + MacUpdateService::shellQuote(root.path() + "/cancel")
                           + " ] && exit 126\n[ \"$1\" = /bin/zsh ] && { shift; exec /bin/zsh -p \"$@\"; }\nexec \"$@\"\n")
                              .toUtf8(),
                  true);
        ::chmod(root.path().toLocal8Bit(), 0755);
    }
    void TearDown() override
    {
        run("/usr/bin/pkill", {"-KILL", "-f", "--", QRegularExpression::escape(root.path())});
        lock.unlock();
    }
    static QStringList workingFolders()
    {
        return QDir("/tmp").entryList({"tovrik-update-mount.*", "tovrik-update-app.*"}, QDir::Dirs | QDir::Hidden);
    }

    enum Arg { processID, dmgPath, targetApp, appName, logPathArg, bundleID, teamID, currentBuild, appVersion,
               expectedBuild, expectedSize, expectedSHA, healthMarker, healthToken };
    void rebuildImage(const BundleSpec& spec, const QByteArray& exe = {}, const QString& entry = "Tovrik.app")
    {
        makeBundle(root.path() + "/new/Tovrik.app", spec, exe.isEmpty() ? standInBuild("healthy", spec.build) : exe);
        QFile::remove(image);
        makeArchive(root.path() + "/new/Tovrik.app", image, entry);
        args[expectedSize] = QString::number(QFileInfo(image).size());
        args[expectedSHA] = sha256Of(image);
    }
    // Runs the script (as another user through setpriv when asked).
    int runScript(const QStringList& arguments, bool asNobody = false, bool exclusive = true)
    {
        // The script's working folders have fixed names in /tmp: runs of the
        // script take turns, so that what one leaves behind is seen.
        if (exclusive && !lock.isLocked()) {
            EXPECT_TRUE(lock.tryLock(100000));
            tmpBefore = workingFolders();
        }
        scriptPath = updates + "/apply-tovrik-update-" + uuid() + ".zsh";
        writeFile(scriptPath, MacUpdateService::swapScriptText(runner, developmentPublicKey()).toUtf8(), true);
        QStringList command{"/bin/zsh", scriptPath};
        command += arguments;
        // As nobody with the file capability: writes succeed, but the
        // script's write test ([[ -w ]], real ids) fails as for a user.
        if (asNobody)
            command = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=+dac_override",
                                  "--ambient-caps=+dac_override", "/bin/zsh", "-p", "-c", "source \"$1\" \"${@:2}\"", "zsh",
                                  scriptPath} + arguments;
        QByteArray out;
        const int code = run(asNobody ? "/usr/bin/setpriv" : command.takeFirst(), command, &out, 120000);
        output = QString::fromUtf8(out);
        return code;
    }
    QStringList logLines() const
    {
        QStringList lines = QString::fromUtf8(readFile(logPath)).split('\n', Qt::SkipEmptyParts);
        for (QString& line : lines) {
            EXPECT_TRUE(QRegularExpression("^\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\] ").match(line).hasMatch())
                << line.toStdString();
            line = line.mid(23);
        }
        return lines;
    }
    QString lastLine() const { return logLines().value(logLines().size() - 1); }
    QString installedBuild(const QString& app) const
    {
        return update::readPropertyListStrings(app + "/Contents/Info.plist").value_or(QHash<QString, QString>{})
            .value("CFBundleVersion");
    }
    // Both working folders and the script are gone after every ending.
    void expectCleanedUp() const
    {
        EXPECT_FALSE(QFileInfo::exists(scriptPath));
        EXPECT_EQ(workingFolders(), tmpBefore);
        EXPECT_TRUE(QDir(target + "/..").entryList({".Tovrik.*"}, QDir::Dirs | QDir::Hidden).isEmpty());
    }

    QLockFile lock{QDir::tempPath() + "/tovrik-swap-script-tests.lock"};
    QStringList tmpBefore;
    QTemporaryDir root;
    BundleSpec oldSpec, newSpec = [] {
        BundleSpec s;
        s.build = "121";
        return s;
    }();
    QString updates, logPath, target, image, runner, scriptPath, output;
    QStringList args;
};

struct Refusal {
    const char* name;
    std::function<void(SwapScriptTest&, QStringList&)> change;
    int code;
    const char* line;
};

} // namespace

TEST_F(SwapScriptTest, ThirteenArgumentsEndWith64AndLogNothing)
{
    EXPECT_EQ(runScript(args.mid(0, 13)), 64);
    EXPECT_FALSE(QFileInfo::exists(logPath));
    expectCleanedUp();
}

TEST_F(SwapScriptTest, EachRefusalHasItsCodeAndLineAndLeavesTheTargetAlone)
{
    const QString rejectedMarker = "Unsafe or stale update health marker was rejected.";
    const std::vector<Refusal> refusals = {
        {"target /Applications", [](auto&, QStringList& a) { a[targetApp] = "/Applications"; }, 69,
         "Unsafe target application path was rejected."},
        {"target X.app", [](auto& t, QStringList& a) { a[targetApp] = t.root.path() + "/X.app"; }, 69,
         "Unsafe target application path was rejected."},
        {"build 12a", [](auto&, QStringList& a) { a[currentBuild] = "12a"; }, 70, "Current or expected bundle version is invalid."},
        {"size 012", [](auto&, QStringList& a) { a[expectedSize] = "012"; }, 70, "Current or expected bundle version is invalid."},
        {"empty version", [](auto&, QStringList& a) { a[appVersion] = ""; }, 70, "Current or expected bundle version is invalid."},
        {"uppercase digest", [](auto&, QStringList& a) { a[expectedSHA] = a[expectedSHA].toUpper(); }, 71,
         "Expected update checksum is invalid."},
        {"marker elsewhere", [](auto& t, QStringList& a) { a[healthMarker] = t.root.path() + "/tovrik-health-" + uuid() + ".ready"; },
         72, "Unsafe or stale update health marker was rejected."},
        {"marker not a UUID", [](auto& t, QStringList& a) { a[healthMarker] = t.updates + "/tovrik-health-fixed.ready"; }, 72,
         "Unsafe or stale update health marker was rejected."},
        {"stale marker", [](auto&, QStringList& a) { writeFile(a[healthMarker], "old"); }, 72,
         "Unsafe or stale update health marker was rejected."},
        {"dangling link marker", [](auto&, QStringList& a) { QFile::link("/nonexistent/x", a[healthMarker]); }, 72,
         "Unsafe or stale update health marker was rejected."},
        {"uppercase token", [](auto&, QStringList& a) { a[healthToken] = a[healthToken].toUpper(); }, 72,
         "Unsafe or stale update health marker was rejected."},
        {"image missing", [](auto&, QStringList& a) { QFile::remove(a[dmgPath]); }, 66, "Update DMG is missing."},
        {"one byte changed", [](auto&, QStringList& a) {
             QByteArray data = readFile(a[dmgPath]);
             data[data.size() / 2] = char(data[data.size() / 2] ^ 1);
             writeFile(a[dmgPath], data);
         }, 67, "Update DMG changed after download verification."},
        {"one byte short", [](auto&, QStringList& a) { writeFile(a[dmgPath], readFile(a[dmgPath]).chopped(1)); }, 67,
         "Update DMG changed after download verification."},
        {"no bundle in the image", [](auto& t, QStringList&) { t.rebuildImage(t.newSpec, {}, "Other.app"); }, 68,
         "Updated app bundle was not found in the DMG."},
        {"identifier", [](auto& t, QStringList&) { auto s = t.newSpec; s.identifier = "ai.other"; t.rebuildImage(s); }, 71,
         "Updated app bundle identifier did not match."},
        {"team", [](auto& t, QStringList&) { auto s = t.newSpec; s.team = "OTHERTEAM1"; t.rebuildImage(s); }, 72,
         "Updated app TeamIdentifier did not match."},
        {"short version", [](auto& t, QStringList&) { auto s = t.newSpec; s.version = "1.10.16"; t.rebuildImage(s); }, 73,
         "Updated app version did not match the manifest."},
        {"build not the manifest's", [](auto& t, QStringList&) { auto s = t.newSpec; s.build = "122"; t.rebuildImage(s); }, 74,
         "Updated app bundle build is not newer than the installed build."},
        {"build not newer", [](auto&, QStringList& a) { a[currentBuild] = "121"; }, 74,
         "Updated app bundle build is not newer than the installed build."},
        {"executable with a slash", [](auto& t, QStringList&) { auto s = t.newSpec; s.executable = "a/b"; t.rebuildImage(s); }, 75,
         "Updated app executable identity is invalid."},
        {"target is a link", [](auto& t, QStringList& a) {
             QFile::rename(t.target, t.root.path() + "/Apps/Real.app");
             QFile::link(t.root.path() + "/Apps/Real.app", a[targetApp]);
         }, 76, "Existing target application is not a regular app bundle."},
        {"target already at the build", [](auto& t, QStringList&) { auto s = t.oldSpec; s.build = "121"; makeBundle(t.target, s, "#!/bin/sh\n"); }, 76,
         "Existing target application is already at the expected build or newer; refusing a downgrade or reinstall loop."},
        {"target of another team", [](auto& t, QStringList&) { auto s = t.oldSpec; s.team = "OTHERTEAM1"; makeBundle(t.target, s, "#!/bin/sh\n"); }, 76,
         "Existing target application identity is invalid; refusing to overwrite it."},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        TearDown();
        QFile::remove(logPath);
        SetUp();
        r.change(*this, args);
        const QStringList a = args;
        const QByteArray before = readFile(target + "/Contents/Info.plist");
        EXPECT_EQ(runScript(a), r.code) << output.toStdString();
        EXPECT_EQ(lastLine(), r.line) << logLines().join(" | ").toStdString();
        if (QFileInfo(a[targetApp]).isDir()) {
            EXPECT_EQ(readFile(a[targetApp] + "/Contents/Info.plist"), before);
        }
        expectCleanedUp();
    }
}

TEST_F(SwapScriptTest, ASignatureThatDoesNotVerifyEndsThroughTheErrorTrap)
{
    QByteArray out;
    const QString otherKey = root.path() + "/other.pem";
    ASSERT_EQ(run("/usr/bin/openssl", {"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", otherKey}, &out), 0);
    BundleSpec foreign = newSpec;
    foreign.key = otherKey;
    rebuildImage(foreign);
    EXPECT_EQ(runScript(args), 1);
    EXPECT_TRUE(QRegularExpression("^Update script failed at line \\d+ with exit code 1\\.$").match(lastLine()).hasMatch())
        << lastLine().toStdString();
    EXPECT_EQ(installedBuild(target), "120");

    // Signed with the team's key, then one file changed.
    rebuildImage(newSpec);
    const QString stage = root.path() + "/new/Tovrik.app/Contents/Info.plist";
    writeFile(stage, readFile(stage) + " ");
    QFile::remove(image);
    makeArchive(root.path() + "/new/Tovrik.app", image);
    args[expectedSize] = QString::number(QFileInfo(image).size());
    args[expectedSHA] = sha256Of(image);
    QFile::remove(logPath);
    EXPECT_EQ(runScript(args), 1);
    EXPECT_TRUE(logLines().contains("Validating updated app identity and Gatekeeper status."));
    EXPECT_TRUE(lastLine().startsWith("Update script failed at line"));
    expectCleanedUp();
}

TEST_F(SwapScriptTest, AnImageHoldingALinkIsRefusedBeforeItIsUnpacked)
{
    const QString next = root.path() + "/new/Tovrik.app";
    ASSERT_TRUE(QFile::link("/etc/passwd", next + "/Contents/passwd"));
    QFile::remove(image);
    makeArchive(next, image);
    args[expectedSize] = QString::number(QFileInfo(image).size());
    args[expectedSHA] = sha256Of(image);
    EXPECT_EQ(runScript(args), 3);
    EXPECT_TRUE(QRegularExpression("^Update script failed at line \\d+ with exit code 3\\.$").match(lastLine()).hasMatch())
        << lastLine().toStdString();
    EXPECT_FALSE(logLines().contains("Mounting update DMG."));
    expectCleanedUp();
}

TEST_F(SwapScriptTest, SwapsLaunchesAndKeepsTheNewBuildOnceItIsHealthy)
{
    EXPECT_EQ(runScript(args), 0) << output.toStdString();
    const QStringList expected{"Source process exited; preparing update.",
                               "Starting update from " + image + " to " + target,
                               "Validating notarized update DMG.",
                               "Mounting update DMG.",
                               "Copying updated app bundle.",
                               "Validating updated app identity and Gatekeeper status.",
                               "Installing update without elevation.",
                               "Update installed; waiting for a launch-ready health marker before removing the backup.",
                               "Update installed and launch health verified: " + target};
    EXPECT_EQ(logLines(), expected);
    EXPECT_EQ(installedBuild(target), "121");
    EXPECT_FALSE(QFileInfo::exists(args[healthMarker]));
    EXPECT_FALSE(QFileInfo::exists(root.path() + "/old-relaunched"));
    expectCleanedUp();
}

TEST_F(SwapScriptTest, ABuildThatExitsAtOnceIsRolledBackAndTheOldOneRelaunched)
{
    rebuildImage(newSpec, standInBuild("exit"));
    EXPECT_EQ(runScript(args), 79) << output.toStdString();
    const QStringList lines = logLines();
    EXPECT_TRUE(lines.contains("Updated app did not remain running long enough to become launch-ready."));
    EXPECT_EQ(lines.mid(lines.size() - 2),
              (QStringList{"Updated app did not become launch-ready; restoring the previous application.",
                           "Previous application restored after failed update launch."}));
    EXPECT_EQ(installedBuild(target), "120");
    EXPECT_TRUE(spinUntil([&] { return QFileInfo::exists(root.path() + "/old-relaunched"); }, 5000));
    expectCleanedUp();
}

TEST_F(SwapScriptTest, AMarkerWithAnotherBuildIsRolledBack)
{
    rebuildImage(newSpec, standInBuild("healthy", "999"));
    EXPECT_EQ(runScript(args), 79);
    EXPECT_TRUE(logLines().contains("Updated app wrote an invalid launch health marker."));
    EXPECT_EQ(installedBuild(target), "120");
    EXPECT_FALSE(QFileInfo::exists(args[healthMarker]));
}

TEST_F(SwapScriptTest, NoPreviousTargetIsRemovedOnRollbackWithoutRelaunch)
{
    rebuildImage(newSpec, standInBuild("exit"));
    QDir(target).removeRecursively();
    EXPECT_EQ(runScript(args), 79);
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_EQ(lastLine(), "Previous application restored after failed update launch.");
}

TEST_F(SwapScriptTest, HostilePathsSurviveEveryQuotingLayer)
{
    const QString hostile = root.path() + "/it's \"odd\" $HOME `x` \\n";
    QDir().mkpath(hostile);
    QFile::rename(target, hostile + "/Tovrik.app");
    target = hostile + "/Tovrik.app";
    args[targetApp] = target;
    const QString image2 = updates + "/it's $x.dmg";
    QFile::rename(image, image2);
    args[dmgPath] = image2;
    EXPECT_EQ(runScript(args), 0) << output.toStdString();
    EXPECT_EQ(lastLine(), "Update installed and launch health verified: " + target);
    EXPECT_EQ(installedBuild(target), "121");
    expectCleanedUp();
}

TEST_F(SwapScriptTest, ANewlineInAPathIsEscapedInTheLog)
{
    args[dmgPath] = updates + "/x\ny.dmg";
    EXPECT_EQ(runScript(args), 66);
    for (const QString& line : logLines())
        EXPECT_FALSE(line.isEmpty());
    EXPECT_TRUE(logLines().contains("Starting update from " + updates + "/x\\ny.dmg to " + target));
}

TEST_F(SwapScriptTest, WithoutWriteAccessTheInstallGoesThroughThePrivilegedRunner)
{
    // The script runs as nobody; the bundle's folder stays root's, and its
    // name tests every quoting layer of the privileged command.
    const QString hostile = root.path() + "/Apps/it's \"odd\" $HOME `x`";
    QDir().mkpath(hostile);
    ASSERT_TRUE(QFile::rename(target, hostile + "/Tovrik.app"));
    target = args[targetApp] = hostile + "/Tovrik.app";
    ::chmod(hostile.toLocal8Bit(), 0755);
    EXPECT_EQ(runScript(args, true), 0) << output.toStdString();
    EXPECT_TRUE(logLines().contains("Requesting administrator permission for install."));
    EXPECT_EQ(installedBuild(target), "121");

    // A cancel at the prompt ends with the runner's status; nothing moved.
    TearDown();
    SetUp();
    writeFile(root.path() + "/cancel", "");
    ::chmod(QFileInfo(target).absolutePath().toLocal8Bit(), 0755);
    QFile::remove(logPath);
    EXPECT_EQ(runScript(args, true), 126);
    EXPECT_TRUE(QRegularExpression("^Update script failed at line \\d+ with exit code 126\\.$").match(lastLine()).hasMatch())
        << lastLine().toStdString();
    EXPECT_EQ(installedBuild(target), "120");
    expectCleanedUp();
}

TEST_F(SwapScriptTest, ALiveOldProcessEndsWith68AfterTheWait)
{
    QProcess old;
    old.start("/usr/bin/sleep", {"90"});
    ASSERT_TRUE(old.waitForStarted());
    args[processID] = QString::number(old.processId());
    EXPECT_EQ(runScript(args, false, false), 68);
    EXPECT_EQ(logLines(), QStringList{"Source process did not exit before the updater timeout."});
    old.kill();
    old.waitForFinished();
}
