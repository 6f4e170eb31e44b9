// The swap script against a hostile local user and every way a run ends:
// the root step's ownership and what it reads, the install name never empty,
// signals during the health wait, other users' processes, leftovers of an
// interrupted run, two runs at once, and the exits 77 and 78.

#include "SwapScriptFixture.h"

#include <QDirIterator>

#include <csignal>

using namespace tovrik;
using namespace tovrik::test;

namespace {

// A new build that writes its marker once `go` exists and stays alive.
QByteArray gatedBuild(const QString& go)
{
    return standInBuild("healthy").replace("if [[ -n $marker ]]; then sleep 0.3;",
                                           "if [[ -n $marker ]]; then while [[ ! -e " + MacUpdateService::shellQuote(go).toUtf8()
                                               + " ]]; do sleep 0.1; done;");
}
// A new build that writes its marker and dies.
QByteArray markerThenExit() { return standInBuild("healthy").replace("for i in {1..150}; do sleep 0.2; done\n", ""); }

bool logHas(const QString& path, const QString& line) { return logLines(path).contains(line); }
bool newBuildRuns(const QString& target)
{
    return run("/usr/bin/pgrep", {"-f", "--", QRegularExpression::escape(target + "/Contents/MacOS/Tovrik --tovrik-update-health-marker")}) == 0;
}

const QString kWaiting = "Update installed; waiting for a launch-ready health marker before removing the backup.";

} // namespace

TEST_F(SwapScriptTest, ARootInstallStaysRootsAndReadsNothingTheUserCanChange)
{
    const QString evilKey = root.path() + "/evil.pem", evilPub = root.path() + "/evil.pub.pem";
    const struct {
        const char* name;
        QByteArray attack; // run as the user while the prompt is open
        int code;
        QString build;
    } cases[] = {
        {"no attack", {}, 0, "121"},
        {"key and bundle swapped in the user's folder", "for d in \"$TMPDIR\"/tovrik-update-app.*; do\n"
                                                        "  cp \"$R/evil.pub.pem\" \"$d/team-update-key.pem\"\n"
                                                        "  rm -rf \"$d/Tovrik.app\"; cp -a \"$R/evil/Tovrik.app\" \"$d/Tovrik.app\"\ndone\n",
         0, "121"},
        {"archive swapped", "cp \"$R/evil.dmg\" \"$R/opt-image.dmg\"\n", 1, "120"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        ASSERT_EQ(run("/usr/bin/openssl", {"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", evilKey}), 0);
        ASSERT_EQ(run("/usr/bin/openssl", {"ec", "-in", evilKey, "-pubout", "-out", evilPub}), 0);
        makeBundle(root.path() + "/evil/Tovrik.app", newSpec.with(&BundleFacts::key, evilKey),
                   standInBuild("healthy", "121", root.path() + "/evil-ran"));
        makeArchive(root.path() + "/evil/Tovrik.app", root.path() + "/evil.dmg");
        moveTargetInto(root.path() + "/opt");
        ASSERT_TRUE(QFile::rename(image, root.path() + "/opt-image.dmg"));
        args[dmgPath] = root.path() + "/opt-image.dmg";
        if (!c.attack.isEmpty())
            writeFile(root.path() + "/attack", "R=" + MacUpdateService::shellQuote(root.path()).toUtf8() + "\n" + c.attack);
        EXPECT_EQ(runScript(args, true), c.code) << output.toStdString();
        EXPECT_EQ(installedBuild(target), c.build);
        EXPECT_FALSE(readFile(target + "/Contents/MacOS/Tovrik").contains("evil-ran"));
        // Every entry of the installed bundle is root's, and only root may write it.
        QDirIterator it(target, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat st{};
            ASSERT_EQ(::lstat(path.toLocal8Bit(), &st), 0);
            EXPECT_EQ(st.st_uid, 0u) << path.toStdString();
            EXPECT_EQ(st.st_mode & 022, 0u) << path.toStdString();
        }
        expectCleanedUp();
    }
}

// The root step runs traced: before each of its commands (and those of the
// rollback) the install name must hold a bundle.
TEST_F(SwapScriptTest, TheInstallNameNeverStandsEmpty)
{
    for (const bool healthy : {true, false}) {
        SCOPED_TRACE(healthy ? "installed" : "rolled back");
        reset();
        if (!healthy)
            rebuildImage(newSpec, standInBuild("exit"));
        moveTargetInto(root.path() + "/opt");
        writeFile(root.path() + "/observe", target.toUtf8());
        EXPECT_EQ(runScript(args, true), healthy ? 0 : 79) << output.toStdString();
        EXPECT_EQ(readFile(root.path() + "/gaps"), QByteArray());
        EXPECT_GE(readFile(root.path() + "/runner-calls").trimmed().toInt(), healthy ? 1 : 2);
        EXPECT_EQ(installedBuild(target), healthy ? "121" : "120");
        expectCleanedUp();
    }
}

// The root step killed outright: once its staging bundle exists, and between
// the swap and the rename of the previous bundle to the backup name.
TEST_F(SwapScriptTest, ARootStepKilledMidwayLeavesThePreviousBuildAndNoStaging)
{
    for (const char* at : {"verify_bundle *.update.*", "/usr/bin/mv -T -- *.update.* *.backup.*"}) {
        SCOPED_TRACE(at);
        reset();
        moveTargetInto(root.path() + "/opt");
        writeFile(root.path() + "/kill-at", at);
        EXPECT_EQ(runScript(args, true), 137) << output.toStdString();
        EXPECT_FALSE(QFileInfo::exists(root.path() + "/kill-at"));
        EXPECT_EQ(installedBuild(target), "120");
        EXPECT_TRUE(spinUntil([&] { return relaunched(); }, 10000));
        expectCleanedUp();
    }
}

TEST_F(SwapScriptTest, ASignalDuringTheHealthWaitRollsBackAndCleansUp)
{
    const struct {
        int signal;
        const char* name;
        int code;
    } cases[] = {{SIGTERM, "TERM", 143}, {SIGINT, "INT", 130}, {SIGHUP, "HUP", 129}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        rebuildImage(newSpec, gatedBuild(root.path() + "/never"));
        QProcess script;
        prepare(script, command(args));
        script.start();
        ASSERT_TRUE(spinUntil([&] { return logHas(logPath, kWaiting) && newBuildRuns(target); }, 60000));
        ::kill(pid_t(script.processId()), c.signal);
        ASSERT_TRUE(script.waitForFinished(60000));
        EXPECT_EQ(script.exitCode(), c.code) << script.readAll().toStdString();
        EXPECT_EQ(tail(2), QString("Update script was stopped by SIG%1. | Updated app was not verified; restoring the previous application.")
                               .arg(c.name));
        EXPECT_EQ(installedBuild(target), "120");
        EXPECT_NE(run("/usr/bin/pgrep", {"-f", "--", QRegularExpression::escape(target + "/Contents/MacOS/Tovrik")}), 0);
        EXPECT_FALSE(relaunched()); // the session is ending
        expectCleanedUp();
    }
}

TEST_F(SwapScriptTest, AnotherUsersProcessNeverCountsAsTheNewBuild)
{
    const auto user = otherUser();
    if (!user)
        GTEST_SKIP() << "needs root to run a process as a second user";
    QProcess impostor;
    impostor.start("/usr/bin/setpriv", {QString("--reuid=%1").arg(user->pw_uid), QString("--regid=%1").arg(user->pw_gid),
                                        "--clear-groups", "/bin/sh", "-c", "sleep 60 & wait", target + "/Contents/MacOS/Tovrik"});
    ASSERT_TRUE(impostor.waitForStarted());
    ASSERT_TRUE(spinUntil([&] {
        return run("/usr/bin/pgrep", {"-u", QString::number(user->pw_uid), "-f", "--",
                                      QRegularExpression::escape(target + "/Contents/MacOS/Tovrik")}) == 0;
    }));
    rebuildImage(newSpec, markerThenExit());
    EXPECT_EQ(runScript(args), 79) << output.toStdString();
    EXPECT_TRUE(logHas(logPath, "Updated app exited immediately after declaring launch readiness."));
    EXPECT_EQ(installedBuild(target), "120");
    impostor.kill();
    impostor.waitForFinished();
}

// Refused before anything is unpacked, so nothing of it can stay behind.
TEST_F(SwapScriptTest, AnImageWithAFolderOfMode000LeavesNothingBehind)
{
    const auto user = otherUser();
    if (!user)
        GTEST_SKIP() << "needs root to run the script as a second user";
    rebuildImage(newSpec, {}, "Tovrik.app", [](const QString& app) {
        writeFile(app + "/Contents/Resources/locked/file", "x");
        ::chmod((app + "/Contents/Resources/locked").toLocal8Bit(), 0);
    });
    ASSERT_EQ(run("/usr/bin/chown", {"-R", QString("%1:%2").arg(user->pw_uid).arg(user->pw_gid), root.path()}), 0);
    // Nor anywhere else this user may have put it: in the shared folders,
    // only folders of this user in the script's own shapes that were not
    // there before count (what other processes make or remove there meanwhile
    // is no concern).
    const auto shaped = [&] {
        static const QRegularExpression shape(QRegularExpression::anchoredPattern("tovrik-update-(mount|app)\\.[A-Za-z0-9]{6}"));
        QStringList names;
        for (const QString& folder : {QStringLiteral("/tmp"), QStringLiteral("/var/tmp")}) {
            for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
                if (shape.match(info.fileName()).hasMatch() && info.ownerId() == user->pw_uid)
                    names << info.filePath();
            }
        }
        return names;
    };
    const QStringList before = shaped();
    EXPECT_EQ(runCommand(command(args, user->pw_uid, false)), 3) << output.toStdString();
    EXPECT_EQ(tail(2), "Validating the update archive. | Update script failed at line N with exit code 3.");
    EXPECT_EQ(installedBuild(target), "120");
    expectCleanedUp();
    QStringList left = shaped();
    for (const QString& name : before)
        left.removeAll(name);
    EXPECT_EQ(left, QStringList{});
}

TEST_F(SwapScriptTest, LeftoversOfAnInterruptedRunAreRepaired)
{
    // A partial staging bundle of a run killed during the copy goes.
    writeFile(root.path() + "/Apps/.Tovrik.update.99999.app/Contents/partial", "x");
    EXPECT_EQ(runScript(args), 0) << output.toStdString();
    EXPECT_EQ(installedBuild(target), "121");
    expectCleanedUp();

    // A backup with no installed bundle is put back before the update.
    reset();
    const QString backup = root.path() + "/Apps/.Tovrik.backup.99999.app";
    ASSERT_TRUE(QFile::rename(target, backup));
    EXPECT_EQ(runScript(args), 0) << output.toStdString();
    EXPECT_TRUE(logHas(logPath, "Restored the previous application left by an interrupted update: " + backup));
    EXPECT_EQ(installedBuild(target), "121");
    expectCleanedUp();
}

TEST_F(SwapScriptTest, ASecondRunForTheSameTargetIsRefusedWhileOneRuns)
{
    rebuildImage(newSpec, gatedBuild(root.path() + "/go"));
    QProcess first;
    prepare(first, command(args));
    first.start();
    ASSERT_TRUE(spinUntil([&] { return logHas(logPath, kWaiting); }, 60000));

    QStringList second = args;
    second[healthMarker] = updates + "/tovrik-health-" + uuid() + ".ready";
    second[healthToken] = token();
    EXPECT_EQ(runScript(second), 76) << output.toStdString();
    EXPECT_EQ(tail(1), "Another update of this application is already in progress.");
    EXPECT_FALSE(QFileInfo::exists(scriptPath));

    writeFile(root.path() + "/go", "");
    ASSERT_TRUE(first.waitForFinished(60000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAll().toStdString();
    EXPECT_EQ(tail(1), "Update installed and launch health verified: " + target);
    EXPECT_EQ(installedBuild(target), "121");
    EXPECT_FALSE(relaunched());
    expectCleanedUp();
}

TEST_F(SwapScriptTest, NoTargetAfterTheInstallEndsWith77AndAFailedRollbackWith78)
{
    moveTargetInto(root.path() + "/opt");
    QDir(target).removeRecursively();
    writeFile(root.path() + "/noop", "");
    EXPECT_EQ(runScript(args, true), 77) << output.toStdString();
    EXPECT_EQ(tail(1), "Update install returned without a target app.");
    expectCleanedUp();

    // The runner fails its second call, the rollback: the backup stays and is named.
    reset();
    rebuildImage(newSpec, standInBuild("exit"));
    moveTargetInto(root.path() + "/opt");
    writeFile(root.path() + "/fail-2", "");
    EXPECT_EQ(runScript(args, true), 78) << output.toStdString();
    const QStringList backups = QDir(root.path() + "/opt").entryList({".Tovrik.backup.*.app"}, QDir::Dirs | QDir::Hidden);
    ASSERT_EQ(backups.size(), 1);
    const QString backup = root.path() + "/opt/" + backups[0];
    EXPECT_EQ(tail(1), "Automatic rollback failed; the preserved backup is " + backup);
    EXPECT_EQ(installedBuild(backup), "120");
    EXPECT_EQ(workingFolders(), QStringList{});
}

TEST_F(SwapScriptTest, ABundleWithoutTheExchangeToolIsSwappedByRenames)
{
    rebuildImage(newSpec, {}, "Tovrik.app", [](const QString& app) {
        QFile::remove(app + "/Contents/MacOS/tovrik-exchange");
        ASSERT_EQ(run("/bin/sh", {sourceDir() + "/packaging/sign-bundle.sh", app, testSigningKey(),
                                  constants::macOSDeveloperTeamIdentifier()}), 0);
    });
    EXPECT_EQ(runScript(args), 0) << output.toStdString();
    EXPECT_EQ(installedBuild(target), "121");
    EXPECT_FALSE(QFileInfo::exists(target + "/Contents/MacOS/tovrik-exchange"));
    expectCleanedUp();
}
