// The swap script stopped outright at each named point of the install and
// of the rollback (its process group paused there, then killed with -9, the
// new build with it, as at a power loss), then run again: one verified
// build is installed and nothing of the killed run is left. Also the rows
// where a hostile user or release meets the script: an exchange tool that
// says it swapped but did not, a name swapped between root's check and its
// open, a lock that is not a file, a sparse member, a linked install folder,
// and a key that the user's side carries into root's step.

#include "SwapScriptFixture.h"

#include "common/Clock.h"

#include <QCryptographicHash>

#include <csignal>
#include <functional>
#include <cstdio>
#include <sys/stat.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

// The state letter of a process ('T' when stopped), '?' when it is gone.
char processState(qint64 pid)
{
    const QByteArray stat = readFile(QString("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

class InterruptedRunTest : public SwapScriptTest {
public:
    // The account a privileged case runs the script as: a second user (made
    // with useradd); none for the others.
    std::optional<uid_t> account(bool privileged)
    {
        const auto user = otherUser();
        return privileged && user ? std::optional<uid_t>(user->pw_uid) : std::nullopt;
    }
    int runAs(bool privileged) { return runCommand(command(args, account(privileged))); }
    // Starts the script in a process group of its own that stops at `point`.
    bool startPausedAt(QProcess& script, const QString& point, bool privileged = false)
    {
        prepare(script, QStringList{"/usr/bin/setsid"} + command(args, account(privileged)));
        QProcessEnvironment env = script.processEnvironment();
        env.insert("TOVRIK_UPDATE_PAUSE_AT", point);
        script.setProcessEnvironment(env);
        script.start();
        return script.waitForStarted() && spinUntil([&] { return processState(script.processId()) == 'T'; }, 90000);
    }
    // kill -9 of everything the run started, the new build too.
    void killEverything(QProcess& script)
    {
        ::kill(-pid_t(script.processId()), SIGKILL);
        script.waitForFinished(30000);
        TearDown();
    }
    // The next run, as the app starts it: the same update, a fresh marker.
    int nextRun(bool privileged = false)
    {
        args[healthMarker] = updates + "/tovrik-health-" + uuid() + ".ready";
        args[healthToken] = token();
        return runAs(privileged);
    }
    // Makes the exchange tool of the bundle at `app` count its calls in
    // "exchange-calls" and, from call `lieFrom` on (0: never), say it swapped
    // without doing so; signs the bundle again.
    void countingExchange(const QString& app, int lieFrom)
    {
        const QString real = root.path() + "/real-exchange";
        if (!QFileInfo::exists(real)) {
            ASSERT_TRUE(QFile::copy(qEnvironmentVariable("TOVRIK_BINARY_DIR") + "/tools/tovrik-exchange", real));
        }
        const QString tool = app + "/Contents/MacOS/tovrik-exchange";
        QFile::remove(tool);
        writeFile(tool, "#!/bin/sh\nR=" + MacUpdateService::shellQuote(root.path()).toUtf8()
                            + "\nn=$(($(cat \"$R/exchange-calls\" 2>/dev/null || echo 0) + 1)); echo $n > \"$R/exchange-calls\"\n"
                            + (lieFrom > 0 ? "[ $n -ge " + QByteArray::number(lieFrom) + " ] && exit 0\n" : QByteArray())
                            + "exec \"$R/real-exchange\" \"$@\"\n",
                  true);
        ASSERT_EQ(run("/bin/sh", {sourceDir() + "/packaging/sign-bundle.sh", app, testSigningKey(),
                                  constants::macOSDeveloperTeamIdentifier()}), 0);
    }
    // Nothing of any run beside the target, in TMPDIR or in the updates folder.
    void expectNothingLeft()
    {
        expectCleanedUp();
        EXPECT_EQ(QDir(updates).entryList({"apply-tovrik-update-*", "*.journal", "tovrik-health-*"}, QDir::Files | QDir::Hidden),
                  QStringList{});
    }
    // The journal of this target in `folder` (named after its resolved path).
    QString journalIn(const QString& folder) const
    {
        const QString resolved = QFileInfo(QFileInfo(target).absolutePath()).canonicalFilePath() + "/Tovrik.app";
        return folder + "/tovrik-update-"
            + QString::fromLatin1(QCryptographicHash::hash(resolved.toUtf8(), QCryptographicHash::Sha256).toHex().left(16))
            + ".journal";
    }
    // A journal as the script writes it: its script, target and arguments, then `more`.
    void writeJournal(const QString& path, const QStringList& more)
    {
        QStringList fields{"script", updates + "/apply-tovrik-update-" + uuid() + ".zsh", "target",
                           QFileInfo(QFileInfo(target).absolutePath()).canonicalFilePath() + "/Tovrik.app"};
        for (int i = 0; i < args.size(); ++i)
            fields << QString("argument%1").arg(i + 1) << args[i];
        QByteArray bytes;
        for (const QString& field : fields + more)
            bytes += field.toUtf8() + '\0';
        writeFile(path, bytes);
    }
    // The journal with `from` (a name and its value) changed to `to`.
    void editJournal(const QByteArray& from, const QByteArray& to)
    {
        const QString path = journalIn(updates);
        QByteArray bytes = readFile(path);
        ASSERT_TRUE(bytes.contains(from));
        writeFile(path, bytes.replace(from, to));
    }
};

} // namespace

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
        // As root the backup and root's record go before the journal says verified.
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
// run ends with 78, and the next run repairs and installs.
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

// A system install whose journal the user's side edited or planted: root
// goes by its own record beside the target; the journal is dropped without
// a prompt for it, and no verified or previous build is lost.
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
        bool repairs; // the previous build is put back as root, then the update installed again
    } cases[] = {
        {"the previous build changed", "backed-up",
         [](InterruptedRunTest& t) { t.editJournal(QByteArray("old\0" "120\0", 8), QByteArray("old\0" "121\0", 8)); }, 0, "121", true},
        {"verified removed, the archive deleted", "verified",
         [](InterruptedRunTest& t) {
             t.editJournal(QByteArray("verified\0" "1\0", 11), QByteArray());
             QFile::remove(t.image);
         }, 66, "121", false},
        {"planted", nullptr,
         [](InterruptedRunTest& t) {
             t.writeJournal(t.journalIn(t.updates), {"old", "119", "new", "120", "installing", "1"});
         }, 0, "121", false},
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
        EXPECT_EQ(lines.contains("Requesting administrator permission to repair an interrupted update."), c.repairs);
        EXPECT_EQ(lines.filter("Restored the previous application left by an interrupted update: ").size(), c.repairs ? 1 : 0);
        expectNothingLeft();
    }
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

// The next start of the app comes first: it finds the killed run's journal
// for its own bundle, hands the same update to the script again and quits;
// the script puts the previous build back, then installs and verifies the
// update, or (a build that crashes) leaves the previous build running. A
// new build still running from the killed run's health check leaves it to
// that start.
TEST_F(InterruptedRunTest, TheNextStartOfTheAppTakesUpAKilledRun)
{
    const struct {
        const char* point;
        bool crashes, healthLaunch;
        QString ending;
        QString build;
    } cases[] = {
        {"backed-up", false, false, "Update installed and launch health verified: ", "121"},
        {"rollback-exchange", true, false, "Previous application restored after failed update launch.", "120"},
        {"health-wait", false, true, "Update installed and launch health verified: ", "121"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.point);
        reset();
        const QString folder = update::updatesDirectoryURL(), log = update::updateLogURL();
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        args[logPathArg] = log;
        args[healthMarker] = folder + "/tovrik-health-" + uuid() + ".ready";
        if (c.crashes)
            rebuildImage(newSpec, standInBuild("exit"));
        QProcess script;
        ASSERT_TRUE(startPausedAt(script, c.point)) << readFile(log).toStdString();
        killEverything(script);

        MacUpdateService service("Tovrik", "https://api.tovrik.ai", {}, "linux", "ai.tovrik.mac",
                                 constants::macOSDeveloperTeamIdentifier());
        service.setBundle({target, {{"CFBundleVersion", "121"}}}); // the unverified build, installed
        service.setTeamPublicKey(testPublicKey());
        service.setPrivilegedRunner(runner);
        service.setProcessIdentifier(args[processID].toLongLong());
        bool quit = false;
        service.setQuitHandler([&quit] { quit = true; });
        // A launch by the swap script for its health check takes nothing up,
        // nor any start a run whose previous build could not be put back.
        EXPECT_FALSE(service.resumeInterruptedUpdate({"/x/Tovrik", "--tovrik-update-health-marker", args[healthMarker]}));
        const QStringList journals = QDir(folder).entryList({"*.journal"}, QDir::Files);
        ASSERT_EQ(journals.size(), 1);
        const QString journal = folder + "/" + journals[0];
        const QByteArray recorded = readFile(journal);
        writeFile(journal, recorded + QByteArray("repair-failed\0" "1\0", 16));
        EXPECT_FALSE(service.resumeInterruptedUpdate({"/x/Tovrik"}));
        writeFile(journal, recorded);
        qputenv("TMPDIR", tmp.toLocal8Bit());
        if (c.healthLaunch) {
            // The build the killed run started never quits on its own (here
            // over two minutes); it notes once that the next start takes it up.
            VirtualClock clock;
            Clock::install(&clock);
            service.watchHealthCheck({"/x/Tovrik", "--tovrik-update-health-marker", args[healthMarker]});
            for (int second = 0; second < 150; ++second)
                clock.advance(1);
            EXPECT_FALSE(quit);
            Clock::install(nullptr);
            EXPECT_EQ(logLines(log).filter("it is taken up at the next start.").size(), 1);
        }
        EXPECT_TRUE(service.resumeInterruptedUpdate({"/x/Tovrik"}));
        qunsetenv("TMPDIR");
        EXPECT_TRUE(spinUntil([&] { return quit; }, 5000));
        const QString ending = c.crashes ? c.ending : c.ending + target;
        ASSERT_TRUE(spinUntil([&] {
            return logLines(log).contains(ending)
                && QDir(folder).entryList({"apply-tovrik-update-*", "*.journal"}, QDir::Files).isEmpty();
        }, 120000)) << readFile(log).toStdString();
        EXPECT_EQ(installedBuild(target), c.build);
        if (c.crashes) {
            EXPECT_TRUE(spinUntil([&] { return relaunched(); }, 10000));
        }
        EXPECT_EQ(logLines(log).filter("Restored the previous application left by an interrupted update: ").size(), 1);
        expectCleanedUp();
        // Nothing is left to take up.
        EXPECT_FALSE(service.resumeInterruptedUpdate({"/x/Tovrik"}));
    }
}

// At a start, a journal is taken up only when the install folder still
// matches it and the script would accept its arguments, and then for the
// install this build matched; any other is dropped with a line of its own.
TEST_F(InterruptedRunTest, TheNextStartTakesUpOnlyAJournalThatMatchesAndTheScriptAccepts)
{
    const QString noMatch = "no longer matches the installed application; its journal was dropped.";
    const struct {
        const char* name;
        QString installed;    // the running build
        bool backup;          // a copy of the previous build beside the target
        int argument;         // 1-based, changed to `value` (0: none)
        QString value;
        QString line;         // the ending of the line that drops it; none when taken up
        const char* record = nullptr; // a system install (a folder this process cannot write) with root's record
    } cases[] = {
        {"a newer build installed by hand", "122", true, 0, "", noMatch},
        {"the backup deleted", "121", false, 0, "", noMatch},
        {"a checksum the script refuses", "121", true, 12, QString(64, 'A'), "arguments are not valid; its journal was dropped."},
        {"a size the script refuses", "121", true, 11, "0", "arguments are not valid; its journal was dropped."},
        {"another install path", "121", true, 3, "/elsewhere/Tovrik.app", ""},
        {"a system install without root's record", "121", true, 0, "",
         "journal does not match the install's own record; it was dropped.", ""},
        {"a system install with root's record", "121", true, 0, "", "", "120\n121\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        const QString folder = update::updatesDirectoryURL();
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        makeBundle(target, BundleFacts().with(&BundleFacts::build, c.installed), "#!/bin/sh\n");
        if (c.backup)
            makeBundle(root.path() + "/Apps/.Tovrik.backup.4242.app", BundleFacts(), "#!/bin/sh\n");
        if (c.argument)
            args[c.argument - 1] = c.value;
        const QString journal = journalIn(folder);
        writeJournal(journal, {"old", "120", "new", "121", "installing", "1"});
        // Root's folder: made immutable, so that not even this process (root) may write it.
        struct Unfreeze {
            QString folder;
            ~Unfreeze() { if (!folder.isEmpty()) run("/usr/bin/chattr", {"-i", folder}); }
        } unfreeze;
        if (c.record) {
            if (*c.record)
                writeFile(root.path() + "/Apps/.Tovrik.root.record", c.record);
            if (run("/usr/bin/chattr", {"+i", root.path() + "/Apps"}) != 0) {
                std::fprintf(stderr, "%s: skipped, the file system cannot make a folder immutable\n", c.name);
                continue;
            }
            unfreeze.folder = root.path() + "/Apps";
        }
        bool quit = false;
        QStringList launched;
        MacUpdateService service("Tovrik", "https://api.tovrik.ai", {}, "linux", "ai.tovrik.mac",
                                 constants::macOSDeveloperTeamIdentifier());
        service.setBundle({target, {{"CFBundleVersion", c.installed}}});
        service.setTeamPublicKey(testPublicKey());
        service.setQuitHandler([&quit] { quit = true; });
        service.setLauncher([&launched](const QString&, const QStringList& arguments) {
            launched = arguments;
            return true;
        });
        const bool takenUp = service.resumeInterruptedUpdate({"/x/Tovrik"});
        EXPECT_EQ(takenUp, c.line.isEmpty());
        if (takenUp) {
            // The script gets this build's own target, never the journal's.
            ASSERT_EQ(launched.size(), 2);
            EXPECT_TRUE(launched[1].contains(" " + MacUpdateService::shellQuote(target) + " ")) << launched[1].toStdString();
            EXPECT_FALSE(launched[1].contains("/elsewhere/"));
            EXPECT_TRUE(spinUntil([&] { return quit; }, 5000));
        } else {
            EXPECT_TRUE(launched.isEmpty());
            EXPECT_FALSE(QFileInfo::exists(journal));
            EXPECT_EQ(logLines().filter(c.line).size(), 1);
            EXPECT_FALSE(service.resumeInterruptedUpdate({"/x/Tovrik"}));
        }
        EXPECT_EQ(installedBuild(target), c.installed);
    }
}
