#include "support/PrivateXServer.h"

#include "support/SimFixture.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace tovrik::test {

int startPrivateXvfb(QProcess& server, const QString& size, const QStringList& extraServerArguments)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return -1;
    int n = 150;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))
           || QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
        ++n;
    server.start(xvfb, QStringLiteral(":%1 -screen 0 %2 +extension RANDR +extension XTEST +extension XInputExtension "
                                      "-nolisten tcp")
                               .arg(n)
                               .arg(size)
                               .split(QLatin1Char(' '))
                           + extraServerArguments);
    if (!server.waitForStarted()
        || !spinUntil([&] { return QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)); }, 10000))
        return -1;
    return n;
}

ChildTestRun runTestOnPrivateXServer(const QString& gtestFilter, const char* childEnvironmentVariable,
                                     const QStringList& extraServerArguments)
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
