#pragma once

// Runs one test case of the current test executable in a child process on an
// X server of its own (Xvfb, 1280x800, no compositor), for the cases that
// need a desktop without the test command's compositor.

#include "support/SimFixture.h"

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
// waits until it accepts connections; returns its display number, or -1.
// The server picks the number itself (-displayfd): a number chosen here by
// looking for free lock files could be taken by another X server starting at
// the same moment.
inline int startPrivateXvfb(QProcess& server, const QString& size, const QStringList& extraServerArguments = {})
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty())
        return -1;
    server.setReadChannel(QProcess::StandardOutput);
    server.start(xvfb, QString("-displayfd 1 -screen 0 %1 +extension RANDR +extension XTEST +extension XInputExtension -nolisten tcp")
                               .arg(size).split(' ') + extraServerArguments);
    if (!server.waitForStarted())
        return -1;
    // The number and a newline, written once the server is ready.
    QByteArray written;
    spinUntil([&] {
        written += server.readAllStandardOutput();
        return written.contains('\n') || server.state() == QProcess::NotRunning;
    }, 30000);
    bool ok = false;
    const int n = written.left(written.indexOf('\n')).trimmed().toInt(&ok);
    return ok && written.contains('\n') ? n : -1;
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
