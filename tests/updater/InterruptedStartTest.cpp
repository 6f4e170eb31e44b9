// The next start of the app after a swap run that was stopped outright:
// what it takes up and hands to the script again, what it drops (with what
// the dropped journal names of its run), and the rest a run killed during
// its own ending leaves.

#include "InterruptedRunFixture.h"

#include "common/Clock.h"

#include <cstdio>

using namespace tovrik;
using namespace tovrik::test;

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
// matches it and the script would accept its arguments (the whole value, as
// the script matches it), and then for the install this build matched; any
// other is dropped with a line of its own, with the working folders it
// names (and nothing else of TMPDIR).
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
        {"a build with a trailing newline", "121", true, 8, "120\n", "arguments are not valid; its journal was dropped."},
        {"a checksum with a trailing newline", "121", true, 12, QString(64, 'a') + "\n",
         "arguments are not valid; its journal was dropped."},
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
        // The run's working folders (one holding a folder of mode 000), and one it did not make.
        const QString mount = tmp + "/tovrik-update-mount.Ab12Cd", work = tmp + "/tovrik-update-app.Ef34Gh";
        writeFile(work + "/locked/file", "x");
        ::chmod((work + "/locked").toLocal8Bit(), 0);
        QDir().mkpath(mount);
        QDir().mkpath(tmp + "/tovrik-update-app.Other1");
        writeJournal(journal, {"mount", mount, "work", work, "old", "120", "new", "121", "installing", "1"});
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
        const QStringList kept = takenUp ? QStringList{"tovrik-update-app.Ef34Gh", "tovrik-update-app.Other1", "tovrik-update-mount.Ab12Cd"}
                                         : QStringList{"tovrik-update-app.Other1"};
        EXPECT_EQ(workingFolders(), kept);
    }
}

// A run killed during its own ending, held by the tracer just after it
// removed its health marker or its journal: what is left is named by what
// is left, and the next start removes it.
TEST_F(InterruptedRunTest, ARunKilledDuringItsOwnEndingLeavesNothingAfterTheNextStart)
{
    for (const bool journalGone : {false, true}) {
        SCOPED_TRACE(journalGone ? "after its journal" : "after its health marker");
        reset();
        const QString folder = update::updatesDirectoryURL(), log = update::updateLogURL();
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        args[logPathArg] = log;
        args[healthMarker] = folder + "/tovrik-health-" + uuid() + ".ready";
        const QString held = journalGone ? journalIn(folder) : args[healthMarker];
        QProcess script;
        prepare(script, QStringList{"/usr/bin/setsid", "/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "--seccomp-bpf", "-e",
                                    "trace=unlink,unlinkat", "-P", held, "-e", "inject=unlink,unlinkat:delay_exit=20000000"}
                            + command(args));
        script.start();
        ASSERT_TRUE(spinUntil([&] {
            return logLines(log).contains("Update installed and launch health verified: " + target) && !QFileInfo::exists(held);
        }, 90000)) << readFile(log).toStdString();
        ::kill(-pid_t(script.processId()), SIGKILL);
        script.waitForFinished(30000);
        TearDown();
        MacUpdateService service("Tovrik", "https://api.tovrik.ai", {}, "linux", "ai.tovrik.mac",
                                 constants::macOSDeveloperTeamIdentifier());
        service.setBundle({target, {{"CFBundleVersion", "121"}}});
        service.setTeamPublicKey(testPublicKey());
        EXPECT_FALSE(service.resumeInterruptedUpdate({"/x/Tovrik"}));
        EXPECT_EQ(installedBuild(target), "121");
        EXPECT_EQ(workingFolders(), QStringList{});
        EXPECT_EQ(QDir(folder).entryList({"*.journal", "apply-tovrik-update-*", "tovrik-health-*"}, QDir::Files), QStringList{});
    }
}
