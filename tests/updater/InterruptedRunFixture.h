#pragma once

// The swap script stopped outright at a named point (its process group
// paused there, then killed with -9, the new build with it), the next run
// as the app starts it, and journals as the script writes them.

#include "SwapScriptFixture.h"

#include <QCryptographicHash>

#include <csignal>
#include <functional>

namespace tovrik::test {

// The state letter of a process ('T' when stopped), '?' when it is gone.
inline char processState(qint64 pid)
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
    // A privileged run in a process group of its own that gets `signal`
    // while the runner holds a call open (a "hold-N" flag); its exit code,
    // -1 when the signal killed it, -2 when it never got there.
    int runSignalledAtPrompt(int signal)
    {
        QProcess script;
        prepare(script, QStringList{"/usr/bin/setsid"} + command(args, account(true)));
        script.start();
        if (!spinUntil([&] { return QFileInfo::exists(root.path() + "/held"); }, 90000))
            return -2;
        ::kill(-pid_t(script.processId()), signal);
        if (!script.waitForFinished(30000))
            return -2;
        return script.exitStatus() == QProcess::NormalExit ? script.exitCode() : -1;
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

} // namespace tovrik::test
