// The scripts' own checks. scripts/try.sh --help prints its help and the
// stand-in's options, and nothing else: no build, no stand-in started, no
// error.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(TryScript, HelpPrintsOnlyHelp)
{
    for (const char* option : {"--help", "-h"}) {
        QProcess script;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TOVRIK_BUILD_DIR"), qEnvironmentVariable("TOVRIK_BINARY_DIR"));
        env.remove(QStringLiteral("DISPLAY")); // help needs no display either
        script.setProcessEnvironment(env);
        script.start(QStringLiteral("bash"),
                     {qEnvironmentVariable("TOVRIK_SOURCE_DIR") + QStringLiteral("/scripts/try.sh"), QString::fromLatin1(option)});
        ASSERT_TRUE(script.waitForFinished(30000));
        const QString out = QString::fromUtf8(script.readAllStandardOutput());
        const QString errors = QString::fromUtf8(script.readAllStandardError());
        EXPECT_EQ(script.exitCode(), 0) << option;
        EXPECT_TRUE(errors.isEmpty()) << errors.toStdString();
        EXPECT_TRUE(out.startsWith(QStringLiteral("Tries Tovrik against the local stand-in"))) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("--data-dir PATH keeps the stand-in's CA"))) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("--decisions <file>"))) << out.toStdString();
    }
}

// scripts/setup-deps.sh while another apt client holds the package
// manager's lock (an fcntl lock, as apt takes it, on a lock file of the
// test's own): it says what it waits for, installs once the lock is let go,
// and gives up with a message after its bound. apt-get and dpkg-query are
// stand-ins that log and find every package missing.
TEST(SetupScript, WaitsForThePackageManagersLockThenInstallsOrGivesUp)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("bin")));
    const QString log = dir.filePath(QStringLiteral("apt.log"));
    const auto tool = [&](const char* name, const QByteArray& body) {
        QFile f(dir.filePath(QStringLiteral("bin/") + QLatin1String(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\n" + body + "\n") > 0);
        f.setPermissions(f.permissions() | QFile::ExeOwner);
    };
    tool("dpkg-query", "exit 1");
    tool("apt-get", "echo \"apt-get $*\" >>'" + log.toUtf8() + "'");
    tool("sudo", "exec \"$@\"");
    const QString lockPath = dir.filePath(QStringLiteral("lock-frontend"));
    const int lock = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(lock, 0);
    const auto hold = [&](bool held) {
        struct flock range{};
        range.l_type = short(held ? F_WRLCK : F_UNLCK);
        range.l_whence = SEEK_SET;
        return ::fcntl(lock, F_SETLK, &range) == 0;
    };
    const auto run = [&](QProcess& script, int bound) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), dir.filePath(QStringLiteral("bin")) + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
        env.insert(QStringLiteral("TOVRIK_APT_LOCKS"), lockPath);
        env.insert(QStringLiteral("TOVRIK_APT_LOCK_WAIT"), QString::number(bound));
        script.setProcessEnvironment(env);
        script.setReadChannel(QProcess::StandardError);
        script.start(QStringLiteral("bash"), {qEnvironmentVariable("TOVRIK_SOURCE_DIR") + QStringLiteral("/scripts/setup-deps.sh")});
    };
    const QString waiting = QStringLiteral("tovrik setup: waiting for the package manager (%1 is held by process %2 (")
                                .arg(lockPath).arg(QCoreApplication::applicationPid());

    ASSERT_TRUE(hold(true));
    QProcess script;
    run(script, 60);
    QByteArray errors;
    for (int i = 0; i < 100 && !errors.contains("waiting"); ++i)
        if (script.waitForReadyRead(100))
            errors += script.readAllStandardError();
    EXPECT_TRUE(QString::fromUtf8(errors).contains(waiting)) << errors.toStdString();
    QThread::msleep(1500);
    EXPECT_FALSE(QFile::exists(log)) << "apt-get ran while the lock was held";
    ASSERT_TRUE(hold(false));
    ASSERT_TRUE(script.waitForFinished(20000));
    EXPECT_EQ(script.exitCode(), 0);
    QFile calls(log);
    ASSERT_TRUE(calls.open(QIODevice::ReadOnly));
    const QByteArray called = calls.readAll();
    EXPECT_TRUE(called.startsWith("apt-get -o DPkg::Lock::Timeout=60 update -q\n"
                                  "apt-get -o DPkg::Lock::Timeout=60 install -y -q --no-install-recommends build-essential "))
        << called.constData();
    calls.remove();

    ASSERT_TRUE(hold(true));
    QProcess givingUp;
    run(givingUp, 2);
    ASSERT_TRUE(givingUp.waitForFinished(20000));
    EXPECT_EQ(givingUp.exitCode(), 1);
    const QString text = QString::fromUtf8(givingUp.readAllStandardError());
    EXPECT_TRUE(text.contains(QStringLiteral("tovrik setup: the package manager is still busy after 2 s (%1 held by process %2 (")
                                  .arg(lockPath).arg(QCoreApplication::applicationPid())))
        << text.toStdString();
    EXPECT_FALSE(QFile::exists(log)) << "apt-get ran while the lock was held";
    ::close(lock);
}

} // namespace
