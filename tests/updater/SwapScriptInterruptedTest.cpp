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

#include <csignal>
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
protected:
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
        EXPECT_EQ(QDir(updates).entryList({"apply-tovrik-update-*", "*.journal"}, QDir::Files | QDir::Hidden), QStringList{});
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
// link to a FIFO only root may open there: root opens nothing through it
// and the installed build runs again.
TEST_F(InterruptedRunTest, RootNeverOpensWhatTheUserSwapsInAfterTheCheck)
{
    if (!otherUser())
        GTEST_SKIP() << "needs root and a second user (useradd) to run the privileged step";
    moveTargetInto(root.path() + "/opt");
    const QString hidden = root.path() + "/root-only";
    QDir().mkpath(hidden);
    ::chmod(hidden.toLocal8Bit(), 0700);
    ASSERT_EQ(::mkfifo((hidden + "/fifo").toLocal8Bit(), 0600), 0);
    QProcess script;
    ASSERT_TRUE(startPausedAt(script, "archive-open", true)) << readFile(logPath).toStdString();
    ASSERT_TRUE(QFile::remove(image));
    ASSERT_TRUE(QFile::link(hidden + "/fifo", image));
    ::kill(-pid_t(script.processId()), SIGCONT);
    ASSERT_TRUE(script.waitForFinished(150000));
    EXPECT_EQ(script.exitCode(), 1) << script.readAll().toStdString();
    EXPECT_EQ(tail(1), "Update script failed at line N with exit code 1.");
    EXPECT_EQ(installedBuild(target), "120");
    EXPECT_TRUE(spinUntil([&] { return relaunched(); }, 10000));
    expectNothingLeft();
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
// new build still running from the killed run's health check does the same
// once it sees the script gone.
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
            VirtualClock clock;
            Clock::install(&clock);
            service.watchHealthCheck({"/x/Tovrik", "--tovrik-update-health-marker", args[healthMarker]});
            clock.advance(MacUpdateService::healthCheckFirst - 1);
            EXPECT_FALSE(quit);
            clock.advance(2);
            Clock::install(nullptr);
        } else {
            EXPECT_TRUE(service.resumeInterruptedUpdate({"/x/Tovrik"}));
        }
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
