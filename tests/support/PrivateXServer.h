#pragma once

// Runs one test case of the current test executable in a child process on an
// X server of its own (Xvfb, 1280x800, no compositor), for the cases that
// need a desktop without the test command's compositor.

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

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
int startPrivateXvfb(QProcess& server, const QString& size, const QStringList& extraServerArguments = {});

// Starts a private Xvfb, runs this executable with `--gtest_filter=<filter>`
// and `<childEnvironmentVariable>=1` on it, stops the server, and reports.
// `extraServerArguments` go to Xvfb after its usual ones (for instance
// "-extension XTEST" for a server without synthetic input).
ChildTestRun runTestOnPrivateXServer(const QString& gtestFilter, const char* childEnvironmentVariable,
                                     const QStringList& extraServerArguments = {});

} // namespace tovrik::test
