// The whole update with the real binary on the test's X server: an
// installed bundle of build 120 is running; the model checks (over real TLS
// to the fake service), finds 121, is told yes, downloads, hands off to the
// swap script and stops build 120; the script swaps the bundle and starts
// 121, which writes its health marker 1.0 s after launch. A 121 that exits
// at once is rolled back and 120 comes back.

#include "../UpdateTestSupport.h"

#include "model/TovrikAppModel.h"
#include "support/FakeHostedService.h"
#include "support/SimFixture.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLockFile>
#include <QTemporaryDir>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class UpdateEndToEndTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        Clock::install(nullptr); // real time: the script and the binaries run in it
        // The running build holds the session bus name that a second Tovrik
        // defers to, so the end-to-end runs take turns; the swap script's own
        // folders are private to each run.
        ASSERT_TRUE(lock.tryLock(100000));
        ASSERT_TRUE(root.isValid());
        const QString build = qEnvironmentVariable("TOVRIK_BINARY_DIR",
                                                    QDir(QCoreApplication::applicationDirPath() + "/../../..").absolutePath());
        // The install target puts build 120's bundle under the prefix.
        QByteArray out;
        ASSERT_EQ(run("cmake", {"--install", build, "--prefix", root.path()}, &out, 120000), 0) << out.toStdString();
        target = root.path() + "/lib/tovrik/Tovrik.app";
        ASSERT_EQ(update::bundleForExecutable(target + "/Contents/MacOS/Tovrik").value("CFBundleVersion"), "120");
        // This run's release key: pinned in the installed bundle, which it signs.
        writeFile(target + "/Contents/Resources/update-signing-key.pem", testPublicKey().toLatin1() + "\n");
        ASSERT_EQ(run("/bin/sh", {sourceDir() + "/packaging/sign-bundle.sh", target, testSigningKey(),
                                  constants::macOSDeveloperTeamIdentifier()}, &out), 0) << out.toStdString();
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_TRUE(bus);
        ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered("ai.tovrik.mac").value(); }, 10000));
        ASSERT_TRUE(fake.start());
        fake.install();
    }
    void TearDown() override
    {
        // The script ends (and cleans up) before what it started is stopped.
        spinUntil([] { return QDir(update::updatesDirectoryURL()).entryList({"apply-tovrik-update-*"}).isEmpty(); }, 10000);
        run("/usr/bin/pkill", {"-KILL", "-f", "--", QRegularExpression::escape(root.path())});
        if (running.state() != QProcess::NotRunning) {
            running.kill();
            running.waitForFinished();
        }
        SimTest::TearDown();
    }
    // Publishes build 121 (same marketing version) with `script` as its
    // program: the real binary when empty.
    void publish(const QByteArray& script)
    {
        const QString next = root.path() + "/next/Tovrik.app";
        makeBundle(next, BundleFacts().with(&BundleFacts::build, "121"), script, script.isEmpty() ? target + "/Contents/MacOS/Tovrik" : QString());
        const QString archive = root.path() + "/Tovrik-1.10.15-121.tar.gz";
        makeArchive(next, archive);
        const QJsonObject manifest = manifestJSON(constants::defaultHostedWorkerBaseURL() + "/downloads/next",
                                                  QFileInfo(archive).size(), sha256Of(archive));
        fake.setHandler("GET", "/api/downloads/linux/latest", [manifest](const FakeRequest&) { return FakeResponse::json(200, manifest); });
        const QByteArray body = readFile(archive);
        fake.setHandler("GET", "/downloads/next", [body](const FakeRequest&) { return FakeResponse::raw(200, "", body); });
    }
    // Starts installed build 120, lets the model update it, and waits for
    // the script's last line.
    QString updateAndWait()
    {
        running.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        running.setProcessEnvironment(env);
        running.start(target + "/Contents/MacOS/Tovrik", {});
        EXPECT_TRUE(running.waitForStarted());
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        EXPECT_TRUE(spinUntil([bus] { return bus->isServiceRegistered("ai.tovrik.mac").value(); }, 20000));

        TovrikAppModel model;
        MacUpdateService& service = model.macUpdateService();
        service.setBundle(update::bundleForExecutable(target + "/Contents/MacOS/Tovrik"));
        service.setProcessIdentifier(running.processId());
        bool quitAsked = false;
        service.setQuitHandler([this, &quitAsked] {
            quitAsked = true;
            running.terminate(); // what quitting does to build 120
        });
        model.setUpdateConfirmation([](const QString&, const QString&) { return true; });
        model.checkForUpdates();
        EXPECT_TRUE(spinUntil([&] { return quitAsked; }, 20000)) << model.updateStatusMessage().toStdString();
        EXPECT_EQ(model.updateStatusMessage(), "Installing update...");
        EXPECT_FALSE(model.isUpdateCheckBusy());
        // A loaded machine may take a while to deliver the end; the script
        // waits for the process id either way.
        if (!running.waitForFinished(10000)) {
            running.kill();
            running.waitForFinished(5000);
        }
        const QRegularExpression end("\\] (Update installed and launch health verified|Previous application restored|"
                                     "Automatic rollback failed|Update script failed)[^\\n]*\\n$");
        spinUntil([&] { return end.match(QString::fromUtf8(readFile(update::updateLogURL()))).hasMatch(); }, 90000);
        const QStringList lines = logLines();
        return lines.value(lines.size() - 1);
    }
    // Build `build` is installed alone (no backup, no staging bundle) and runs.
    void expectInstalledAndRunning(const QString& build) const
    {
        EXPECT_EQ(update::bundleForExecutable(target + "/Contents/MacOS/Tovrik").value("CFBundleVersion"), build);
        EXPECT_EQ(QDir(target + "/..").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Tovrik.app"});
        EXPECT_TRUE(spinUntil([this] {
            return run("/usr/bin/pgrep", {"-f", "--", QRegularExpression::escape(target + "/Contents/MacOS/Tovrik")}) == 0;
        }, 10000));
    }

    QLockFile lock{QDir::tempPath() + "/tovrik-update-end-to-end.lock"};
    QTemporaryDir root;
    QString target;
    FakeHostedService fake;
    QProcess running;
};

} // namespace

TEST_F(UpdateEndToEndTest, BuildNFindsNPlusOneAndTheSwappedBuildProvesItsHealth)
{
    publish({});
    EXPECT_EQ(updateAndWait(), "Update installed and launch health verified: " + target);
    expectInstalledAndRunning("121");
    // The script removes itself and the marker right after its last line.
    EXPECT_TRUE(spinUntil([] {
        return QDir(update::updatesDirectoryURL()).entryList({"tovrik-health-*", "apply-tovrik-update-*"}).isEmpty();
    }, 5000));
}

TEST_F(UpdateEndToEndTest, ABuildThatExitsAtOnceIsRolledBackAndBuildNRestarts)
{
    publish("#!/bin/sh\nexit 3\n");
    EXPECT_EQ(updateAndWait(), "Previous application restored after failed update launch.");
    expectInstalledAndRunning("120");
}

// A swap stopped outright right after the backup rename left build 121
// installed, unverified, with 120 beside it and the run's journal. Starting
// the installed binary takes the update up: it hands the same update to the
// script and quits; the script puts 120 back, installs 121 again and sees it
// prove its health.
TEST_F(UpdateEndToEndTest, StartingTheAppAfterAKilledSwapFinishesTheUpdate)
{
    publish({});
    const QString archive = root.path() + "/Tovrik-1.10.15-121.tar.gz";
    const QString backup = root.path() + "/lib/tovrik/.Tovrik.backup.99999.app";
    ASSERT_TRUE(QFile::rename(target, backup));
    makeBundle(target, BundleFacts().with(&BundleFacts::build, "121"), {}, backup + "/Contents/MacOS/Tovrik");
    const QString folder = update::updatesDirectoryURL();
    QDir().mkpath(folder);
    const QStringList arguments{"99999", archive, target, "Tovrik", update::updateLogURL(), "ai.tovrik.mac",
                                constants::macOSDeveloperTeamIdentifier(), "120", "1.10.15", "121",
                                QString::number(QFileInfo(archive).size()), sha256Of(archive),
                                folder + "/tovrik-health-" + uuid() + ".ready", token()};
    QStringList journal{"script", folder + "/apply-tovrik-update-" + uuid() + ".zsh", "target", target};
    for (int i = 0; i < arguments.size(); ++i)
        journal << QString("argument%1").arg(i + 1) << arguments[i];
    journal << "old" << "120" << "new" << "121" << "installing" << "1";
    const QString key = QString::fromLatin1(QCryptographicHash::hash(target.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
    writeFile(folder + "/tovrik-update-" + key + ".journal", journal.join(QChar(0)).toUtf8() + QByteArray(1, '\0'));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    running.setProcessEnvironment(env);
    running.start(target + "/Contents/MacOS/Tovrik", {});
    ASSERT_TRUE(running.waitForStarted());
    // It quits by itself once the script runs.
    EXPECT_TRUE(running.waitForFinished(30000));
    const QString verified = "Update installed and launch health verified: " + target;
    EXPECT_TRUE(spinUntil([&] { return logLines().contains(verified); }, 120000)) << readFile(update::updateLogURL()).toStdString();
    EXPECT_TRUE(logLines().contains("Restored the previous application left by an interrupted update: " + backup));
    expectInstalledAndRunning("121");
    EXPECT_TRUE(spinUntil([folder] { return QDir(folder).entryList({"apply-tovrik-update-*", "*.journal"}).isEmpty(); }, 10000));
}
