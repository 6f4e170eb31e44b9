#pragma once

// Runs one test case of the current test executable in a child process on an
// X server of its own (Xvfb, 1280x800, no compositor), for the cases that
// need a desktop without the test command's compositor.

#include "support/SimFixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace tovrik::test {

struct ChildTestRun {
    bool serverStarted = false;
    bool finishedNormally = false;
    int exitCode = -1;
    QByteArray output;
    // The child ran and its one test passed.
    bool passed() const { return serverStarted && finishedNormally && exitCode == 0 && output.contains("[  PASSED  ] 1 test"); }
};

// Starts a private Xvfb of `size` (RandR, XTest and XInput) in `server` and
// waits for its socket; returns its display number, or -1.
inline int startPrivateXvfb(QProcess& server, const QString& size, const QStringList& extraServerArguments = {})
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty())
        return -1;
    int n = 150;
    while (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)) || QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n)))
        ++n;
    server.start(xvfb, QString(":%1 -screen 0 %2 +extension RANDR +extension XTEST +extension XInputExtension -nolisten tcp")
                               .arg(n).arg(size).split(' ') + extraServerArguments);
    const bool up = server.waitForStarted()
        && spinUntil([&] { return QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)); }, 10000);
    return up ? n : -1;
}

// Starts a private Xvfb, runs this executable with `--gtest_filter=<filter>`
// and `<childEnvironmentVariable>=1` on it, stops the server, and reports.
// `extraServerArguments` go to Xvfb after its usual ones (for instance
// "-extension XTEST" for a server without synthetic input).
inline ChildTestRun runTestOnPrivateXServer(const QString& gtestFilter, const char* childEnvironmentVariable,
                                            const QStringList& extraServerArguments = {})
{
    ChildTestRun run;
    QProcess server;
    const int n = startPrivateXvfb(server, QStringLiteral("1280x800x24"), extraServerArguments);
    run.serverStarted = n >= 0;
    if (run.serverStarted) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(n));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QString::fromLatin1(childEnvironmentVariable), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + gtestFilter});
        child.waitForFinished(90000);
        run.output = child.readAll();
        run.finishedNormally = child.exitStatus() == QProcess::NormalExit && child.state() == QProcess::NotRunning;
        run.exitCode = child.exitCode();
    }
    server.terminate();
    if (!server.waitForFinished(5000))
        server.kill();
    return run;
}

} // namespace tovrik::test
