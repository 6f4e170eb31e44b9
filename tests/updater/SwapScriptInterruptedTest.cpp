// The swap script stopped outright at each named point of the install and
// of the rollback (its process group paused there, then killed with -9, the
// new build with it, as at a power loss), then run again: one verified
// build is installed and nothing of the killed run is left. Also the rows
// where a hostile user or release meets the script: an exchange tool that
// says it swapped but did not, a name swapped between root's check and its
// open, a lock that is not a file, a sparse member, a linked install folder,
// and a key that the user's side carries into root's step.

#include "InterruptedRunFixture.h"

#include <cstdio>
#include <sys/stat.h>

using namespace tovrik;
using namespace tovrik::test;

TEST_F(InterruptedRunTest, AKilledInstallIsUndoneAndFinishedByTheNextRun)
{
    const struct {
        const char* point;
        bool privileged;
        int next; // the next run's exit
    } cases[] = {
        {"staged", false, 0},     {"exchanged", false, 0}, {"backed-up", false, 0}, {"health-wait", false, 0},
        // Verified: the killed run's backup only goes; the next run finds the build installed.
        {"verified", false, 76},  {"exchanged", true, 0},  {"backed-up", true, 0},  {"health-wait", true, 0},
        // As root the journal says verified before root removes the backup and its record.
        {"verified", true, 76},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.point) + (c.privileged ? " (as root)" : ""));
        if (c.privileged && !otherUser()) {
            std::fprintf(stderr, "%s: skipped, needs root and a second user (useradd) for the privileged step\n", c.point);
            continue;
        }
        reset();
        if (c.privileged)
            moveTargetInto(root.path() + "/opt");
        // The script of a run killed before it kept a journal.
        const QString stale = updates + "/apply-tovrik-update-" + uuid() + ".zsh";
        writeFile(stale, "#!/bin/zsh\n");
        ASSERT_EQ(run("/usr/bin/touch", {"-d", "1 hour ago", stale}), 0);
        QProcess script;
        ASSERT_TRUE(startPausedAt(script, c.point, c.privileged)) << readFile(logPath).toStdString();
        killEverything(script);
        EXPECT_NE(workingFolders(), QStringList{});
        EXPECT_EQ(nextRun(c.privileged), c.next) << output.toStdString();
        EXPECT_EQ(installedBuild(target), "121");
        if (c.next == 0) {
            EXPECT_EQ(tail(1), "Update installed and launch health verified: " + target);
        }
        expectNothingLeft();
    }
}

// Where the repair needs root and the prompt is dismissed, nothing of the
// killed run is touched (the previous build stays beside the target), the
// run ends with 78, and the next run repairs and installs. A session that
// ends while that prompt is open keeps the journal all the same.
TEST_F(InterruptedRunTest, ARepairThatIsRefusedKeepsEverythingForTheNextRun)
{
    if (!otherUser())
        GTEST_SKIP() << "needs root and a second user (useradd) to run the privileged step";
    moveTargetInto(root.path() + "/opt");
    QProcess script;
    ASSERT_TRUE(startPausedAt(script, "backed-up", true)) << readFile(logPath).toStdString();
    killEverything(script);
    const QStringList beside = QDir(root.path() + "/opt").entryList({".Tovrik.backup.*"}, QDir::Dirs | QDir::Hidden);
    ASSERT_EQ(beside.size(), 1);
    writeFile(root.path() + "/cancel", "");
    EXPECT_EQ(nextRun(true), 78) << output.toStdString();
    EXPECT_EQ(tail(2), "Requesting administrator permission to repair an interrupted update. | "
                       "An interrupted update could not be undone; its files beside " + target + " were kept.");
    EXPECT_EQ(installedBuild(root.path() + "/opt/" + beside[0]), "120");
    EXPECT_EQ(QDir(updates).entryList({"*.journal"}, QDir::Files).size(), 1);
    QFile::remove(root.path() + "/cancel");
    const QString hold = root.path() + QString("/hold-%1").arg(readFile(root.path() + "/runner-calls").trimmed().toInt() + 1);
    writeFile(hold, "");
    args[healthMarker] = updates + "/tovrik-health-" + uuid() + ".ready";
    EXPECT_EQ(runSignalledAtPrompt(SIGTERM), 143) << readFile(logPath).toStdString();
    EXPECT_EQ(QDir(updates).entryList({"*.journal"}, QDir::Files).size(), 1);
    QFile::remove(hold);
    EXPECT_EQ(nextRun(true), 0) << output.toStdString();
    EXPECT_EQ(installedBuild(target), "121");
    expectNothingLeft();
}

// A build that crashes: the rollback is killed as its exchange starts and
// right after it; the next run ends with the previous build back.
TEST_F(InterruptedRunTest, AKilledRollbackIsFinishedByTheNextRun)
{
    for (const char* point : {"rollback-exchange", "rolled-back"}) {
        SCOPED_TRACE(point);
        reset();
        rebuildImage(newSpec, standInBuild("exit"));
        QProcess script;
        ASSERT_TRUE(startPausedAt(script, point)) << readFile(logPath).toStdString();
        killEverything(script);
        EXPECT_EQ(nextRun(), 79) << output.toStdString();
        EXPECT_EQ(installedBuild(target), "120");
        EXPECT_TRUE(spinUntil([&] { return relaunched(); }, 10000));
        expectNothingLeft();
    }
}

// After a killed install the user deletes the hidden backup, or installs a
// newer build by hand: the journal no longer matches the install folder, so
// it is dropped (with the killed run's marker) and the run goes on, never
// putting the previous build over what is there.
TEST_F(InterruptedRunTest, AJournalThatNoLongerMatchesTheInstallFolderIsDropped)
{
    const struct {
        const char* name;
        std::function<void(InterruptedRunTest&)> change;
        QString build;
    } cases[] = {
        {"the backup deleted", [](InterruptedRunTest& t) {
             const QDir parent(t.root.path() + "/Apps");
             for (const QString& name : parent.entryList({".Tovrik.backup.*"}, QDir::Dirs | QDir::Hidden))
                 QDir(parent.filePath(name)).removeRecursively();
         }, "121"},
        {"a newer build installed by hand", [](InterruptedRunTest& t) {
             makeBundle(t.target, BundleFacts().with(&BundleFacts::build, "122"), standInBuild("healthy", "122"));
         }, "122"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        QProcess script;
        ASSERT_TRUE(startPausedAt(script, "backed-up")) << readFile(logPath).toStdString();
        killEverything(script);
        writeFile(args[healthMarker], "written after its script was killed\n");
        c.change(*this);
        EXPECT_EQ(nextRun(), 76) << output.toStdString();
        EXPECT_EQ(installedBuild(target), c.build);
        const QStringList lines = logLines(logPath);
        EXPECT_TRUE(lines.contains("An interrupted update no longer matches the installed application; its journal was dropped."));
        EXPECT_EQ(lines.filter("Restored the previous application").size(), 0);
        expectNothingLeft();
    }
}

// A system install whose journal the user's side edited or planted: the
// journal is dropped without a prompt, and keeps root from repairing
// anything (the build a changed journal left stays, with what lies beside
// it for the next install); no verified or previous build is lost.
TEST_F(InterruptedRunTest, RootRepairsByItsOwnRecordNotByAnEditedOrPlantedJournal)
{
    if (!otherUser())
        GTEST_SKIP() << "needs root and a second user (useradd) to run the privileged step";
    const struct {
        const char* name;
        const char* point; // where the earlier run is killed (none: planted)
        std::function<void(InterruptedRunTest&)> change;
        int next;
        QString build;
    } cases[] = {
        {"the previous build changed", "backed-up",
         [](InterruptedRunTest& t) { t.editJournal(QByteArray("old\0" "120\0", 8), QByteArray("old\0" "121\0", 8)); }, 76, "121"},
        {"verified removed, the archive deleted", "verified",
         [](InterruptedRunTest& t) {
             t.editJournal(QByteArray("verified\0" "1\0", 11), QByteArray());
             QFile::remove(t.image);
         }, 66, "121"},
        {"planted", nullptr,
         [](InterruptedRunTest& t) {
             t.writeJournal(t.journalIn(t.updates), {"old", "119", "new", "120", "installing", "1"});
         }, 0, "121"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        moveTargetInto(root.path() + "/opt");
        if (c.point) {
            QProcess script;
            ASSERT_TRUE(startPausedAt(script, c.point, true)) << readFile(logPath).toStdString();
            killEverything(script);
        }
        c.change(*this);
        EXPECT_EQ(nextRun(true), c.next) << output.toStdString();
        EXPECT_EQ(installedBuild(target), c.build);
        const QStringList lines = logLines(logPath);
        EXPECT_TRUE(lines.contains("An interrupted update's journal does not match the install's own record; it was dropped."));
        EXPECT_FALSE(lines.contains("Requesting administrator permission to repair an interrupted update."));
        EXPECT_EQ(lines.filter("Restored the previous application left by an interrupted update: ").size(), 0);
        if (c.next == 76) {
            EXPECT_EQ(QDir(updates).entryList({"*.journal"}, QDir::Files), QStringList{});
        } else {
            expectNothingLeft();
        }
    }
}

// A verified system install whose cleanup prompt (the backup and root's
// record) is dismissed, or whose session ends while it is open: the next
// update never puts the previous build back over the verified one, whether
// its own install is dismissed or its build fails its health check; what
// the verified run left goes with that next install, as does a record
// naming nothing there, without a prompt of its own.
TEST_F(InterruptedRunTest, AVerifiedSystemInstallIsNeverPutBack)
{
    if (!otherUser())
        GTEST_SKIP() << "needs root and a second user (useradd) to run the privileged step";
    const QString repair = "Requesting administrator permission to repair an interrupted update.";
    const struct {
        const char* name;
        int signal; // sent to the run while the prompt is open (0: the prompt is dismissed)
        bool healthFails; // the next update's build fails its health check (else its install is dismissed)
    } cases[] = {{"dismissed", 0, false}, {"dismissed", 0, true}, {"session ended", SIGTERM, false},
                 {"session ended", SIGTERM, true}, {"killed", SIGKILL, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.healthFails ? ", then a failing build" : ", then a dismissed install"));
        reset();
        moveTargetInto(root.path() + "/opt");
        const QString flag = root.path() + (c.signal ? "/hold-2" : "/fail-2");
        writeFile(flag, "");
        EXPECT_EQ(c.signal ? runSignalledAtPrompt(c.signal) : runAs(true), c.signal == SIGKILL ? -1 : c.signal ? 143 : 0)
            << readFile(logPath).toStdString();
        EXPECT_EQ(installedBuild(target), "121");
        ASSERT_TRUE(QFileInfo::exists(root.path() + "/opt/.Tovrik.root.record"));
        QFile::remove(flag);
        TearDown();
        rebuildImage(newSpec.with(&BundleFacts::build, "122"), c.healthFails ? standInBuild("exit") : QByteArray());
        args[currentBuild] = "121";
        args[expectedBuild] = "122";
        if (!c.healthFails)
            writeFile(root.path() + "/cancel-install", "");
        EXPECT_EQ(nextRun(true), c.healthFails ? 79 : 126) << output.toStdString();
        // A dismissed install has nothing of its own to undo: no second prompt.
        EXPECT_EQ(tail(1), c.healthFails ? "Previous application restored after failed update launch."
                                         : "Update script failed at line N with exit code 126.");
        EXPECT_EQ(installedBuild(target), "121");
        EXPECT_FALSE(logLines(logPath).contains(repair));
        if (c.healthFails)
            expectNothingLeft();
    }
    reset();
    moveTargetInto(root.path() + "/opt");
    writeFile(root.path() + "/opt/.Tovrik.root.record", "118\n119\n");
    EXPECT_EQ(runAs(true), 0) << output.toStdString();
    EXPECT_EQ(installedBuild(target), "121");
    EXPECT_FALSE(logLines(logPath).contains(repair));
    EXPECT_EQ(readFile(root.path() + "/runner-calls").trimmed(), "2"); // the install and its backup's removal
    expectNothingLeft();
}

// A journal's paths count only in the shape the script made them: a working
// folder named with a trailing "/" (a link to another folder) is not
// emptied; the real working folder, the script and the health marker of
// the killed run go.
TEST_F(InterruptedRunTest, AJournalsPathsCountOnlyInTheShapeTheyWereMade)
{
    const QString victim = root.path() + "/victim", link = tmp + "/tovrik-update-mount.abcdef";
    writeFile(victim + "/keep", "kept\n");
    ASSERT_TRUE(QFile::link(victim, link));
    const QString work = tmp + "/tovrik-update-app.ghijkl", marker = updates + "/tovrik-health-" + uuid() + ".ready";
    QDir().mkpath(work);
    writeFile(marker, "left by a killed run\n");
    writeJournal(journalIn(updates), {"mount", link + "/", "work", work, "argument13", marker});
    EXPECT_EQ(runScript(args), 0) << output.toStdString();
    EXPECT_EQ(readFile(victim + "/keep"), "kept\n");
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(work));
    EXPECT_FALSE(QFileInfo::exists(marker));
    QFile::remove(link);
    expectNothingLeft();
}

// The new release's exchange tool swaps once and then only says it did:
// the rollback neither trusts it nor loses the previous build.
TEST_F(InterruptedRunTest, AnExchangeToolThatSaysItSwappedCannotLoseThePreviousBuild)
{
    rebuildImage(newSpec, standInBuild("exit"), "Tovrik.app", [&](const QString& app) { countingExchange(app, 2); });
    EXPECT_EQ(runScript(args), 79) << output.toStdString();
    EXPECT_EQ(tail(1), "Previous application restored after failed update launch.");
    EXPECT_EQ(installedBuild(target), "120");
    expectNothingLeft();
}

// After the archive's digest, the user's side puts a FIFO at its name, or a
// link to another signed archive of the same build: the run unpacks what it
// checked (never waiting on the FIFO) and installs that.
TEST_F(InterruptedRunTest, WhatIsPutAtTheArchivesNameAfterItsDigestChangesNothing)
{
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a link to another archive");
        reset();
        const QString other = root.path() + "/other.dmg";
        makeBundle(root.path() + "/other/Tovrik.app", newSpec, standInBuild("healthy", "121", root.path() + "/other-ran"));
        makeArchive(root.path() + "/other/Tovrik.app", other);
        QProcess script;
        ASSERT_TRUE(startPausedAt(script, "digest")) << readFile(logPath).toStdString();
        ASSERT_TRUE(QFile::remove(image));
        if (fifo) {
            ASSERT_EQ(::mkfifo(image.toLocal8Bit(), 0600), 0);
        } else {
            ASSERT_TRUE(QFile::link(other, image));
        }
        ::kill(-pid_t(script.processId()), SIGCONT);
        ASSERT_TRUE(script.waitForFinished(60000)) << readFile(logPath).toStdString();
        EXPECT_EQ(script.exitCode(), 0) << script.readAll().toStdString();
        EXPECT_EQ(tail(1), "Update installed and launch health verified: " + target);
        EXPECT_FALSE(readFile(target + "/Contents/MacOS/Tovrik").contains("other-ran"));
        expectNothingLeft();
    }
}

// Between root's check of the archive's name and its open, the user puts a
// link to a FIFO only root may open there, or a FIFO of its own: root opens
// nothing through the link, refuses the FIFO at once (no wait for a writer)
// and the installed build runs again.
TEST_F(InterruptedRunTest, RootNeverOpensWhatTheUserSwapsInAfterTheCheck)
{
    if (!otherUser())
        GTEST_SKIP() << "needs root and a second user (useradd) to run the privileged step";
    for (const bool linked : {true, false}) {
        SCOPED_TRACE(linked ? "a link to a FIFO" : "a FIFO");
        reset();
        moveTargetInto(root.path() + "/opt");
        const QString hidden = root.path() + "/root-only";
        QDir().mkpath(hidden);
        ::chmod(hidden.toLocal8Bit(), 0700);
        ASSERT_EQ(::mkfifo((hidden + "/fifo").toLocal8Bit(), 0600), 0);
        QProcess script;
        ASSERT_TRUE(startPausedAt(script, "archive-open", true)) << readFile(logPath).toStdString();
        ASSERT_TRUE(QFile::remove(image));
        if (linked) {
            ASSERT_TRUE(QFile::link(hidden + "/fifo", image));
        } else {
            ASSERT_EQ(::mkfifo(image.toLocal8Bit(), 0600), 0);
            ASSERT_EQ(::lchown(image.toLocal8Bit(), otherUser()->pw_uid, gid_t(-1)), 0);
        }
        ::kill(-pid_t(script.processId()), SIGCONT);
        // Refused at once, not after root's 120 s bound on the copy.
        EXPECT_TRUE(script.waitForFinished(10000));
        ASSERT_TRUE(script.state() == QProcess::NotRunning || script.waitForFinished(150000));
        EXPECT_EQ(script.exitCode(), 1) << script.readAll().toStdString();
        EXPECT_EQ(tail(linked ? 1 : 2), QString(linked ? "" : "Update archive is not a regular file: " + image + " | ")
                                            + "Update script failed at line N with exit code 1.");
        EXPECT_EQ(installedBuild(target), "120");
        EXPECT_TRUE(spinUntil([&] { return relaunched(); }, 10000));
        expectNothingLeft();
    }
}

TEST_F(InterruptedRunTest, ALockThatIsNotAFileASparseMemberAndTheUsersKeyAreRefused)
{
    const QString lockLine = "Update lock is not a regular file: ";
    // Where the script keeps its lock for this target.
    const auto lockPath = [](SwapScriptTest& t) {
        const QString runtime = QString("/run/user/%1").arg(::geteuid());
        const QFileInfo info(runtime);
        const QString folder = info.isDir() && !info.isSymLink() && info.ownerId() == ::geteuid() ? runtime : t.updates;
        const QString hash = QString::fromLatin1(QCryptographicHash::hash(t.target.toUtf8(), QCryptographicHash::Sha256).toHex());
        return folder + "/tovrik-update-" + hash.left(16) + ".lock";
    };
    QString made;
    const QString image = "Validating the update archive. | Update script failed at line N with exit code 3.";
    expectRefusals({
        {"a FIFO", [&](auto& t, QStringList&) { made = lockPath(t); QFile::remove(made); ASSERT_EQ(::mkfifo(made.toLocal8Bit(), 0600), 0); }, 76,
         lockLine + lockPath(*this)},
        {"a link to a FIFO", [&](auto& t, QStringList&) {
             made = lockPath(t);
             QFile::remove(made);
             ASSERT_EQ(::mkfifo((t.root.path() + "/fifo").toLocal8Bit(), 0600), 0);
             ASSERT_TRUE(QFile::link(t.root.path() + "/fifo", made));
         }, 76, lockLine + lockPath(*this)},
        {"a sparse member declaring 16 GiB", [&](auto& t, QStringList& a) {
             QFile::remove(made);
             made.clear();
             const QString app = t.root.path() + "/new/Tovrik.app";
             makeBundle(app, t.newSpec, standInBuild("healthy", "121"));
             ASSERT_EQ(run("/usr/bin/truncate", {"-s", "16G", app + "/Contents/sparse"}), 0);
             ASSERT_EQ(run("/usr/bin/tar", {"-S", "-czf", a[dmgPath], "-C", t.root.path() + "/new", "Tovrik.app"}), 0);
             a[expectedSize] = QString::number(QFileInfo(a[dmgPath]).size());
             a[expectedSHA] = sha256Of(a[dmgPath]);
         }, 3, image},
    });
    if (!made.isEmpty())
        QFile::remove(made);
}

// Root's step checks the signature with the key it reads itself from the
// installed bundle, not with one the user's side hands it (here a key that
// the user's side accepts for both bundles, while the installed bundle pins
// the team's).
TEST_F(InterruptedRunTest, RootChecksWithTheInstalledBundlesKey)
{
    if (!otherUser())
        GTEST_SKIP() << "needs root and a second user (useradd) to run the privileged step";
    const QString evil = root.path() + "/evil";
    ASSERT_TRUE(makeKeyPair(evil));
    scriptKey = QString::fromLatin1(readFile(evil + "/pub.pem")).trimmed();
    rebuildImage(newSpec.with(&BundleFacts::key, evil + "/key.pem"));
    moveTargetInto(root.path() + "/opt");
    makeBundle(target, BundleFacts().with(&BundleFacts::key, evil + "/key.pem"),
               standInBuild("healthy", "120", root.path() + "/old-relaunched"));
    EXPECT_EQ(runAs(true), 1) << output.toStdString();
    EXPECT_EQ(tail(2), "Requesting administrator permission for install. | Update script failed at line N with exit code 1.");
    EXPECT_EQ(installedBuild(target), "120");
    expectNothingLeft();
}

// An install folder reached through a link (a versioned install) is
// swapped in one step in the folder the link resolves to.
TEST_F(InterruptedRunTest, AnInstallFolderReachedThroughALinkIsStillSwappedInOneStep)
{
    if (!otherUser())
        GTEST_SKIP() << "needs root and a second user (useradd) to run the privileged step";
    moveTargetInto(root.path() + "/tovrik-1.10");
    const QString real = target;
    countingExchange(real, 0);
    ASSERT_TRUE(QFile::link(root.path() + "/tovrik-1.10", root.path() + "/tovrik"));
    target = args[targetApp] = root.path() + "/tovrik/Tovrik.app";
    EXPECT_EQ(runAs(true), 0) << output.toStdString();
    EXPECT_EQ(tail(1), "Update installed and launch health verified: " + target);
    // The installed bundle's tool swapped them (renames would have left a moment without a bundle).
    EXPECT_EQ(readFile(root.path() + "/exchange-calls").trimmed(), "1");
    EXPECT_EQ(installedBuild(real), "121");
    EXPECT_TRUE(QFileInfo(root.path() + "/tovrik").isSymLink());
    expectNothingLeft();
}
