#pragma once

// The swap script under real zsh with the real tools it calls. Each case has
// a folder of its own: the updates folder with the log, the marker and the
// archive, the installed bundle, and the script's temporary folder (TMPDIR),
// so that what one run leaves behind is seen and other runs never are.
//
// The privileged runner stands in for the polkit prompt: it counts its
// calls, fails on flags (a cancel, a cancelled install, a failing nth call,
// a no-op), holds its nth call open until it is killed (noting "held"),
// runs an attack as the user while "the prompt" is open, and then runs the command
// as root (setpriv), optionally noting every command of it that finds the
// install name empty, or killing it (-9) before the first command that
// matches a pattern.

#include "UpdateTestSupport.h"

#include "support/SimFixture.h"

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik::test {

enum Arg { processID, dmgPath, targetApp, appName, logPathArg, bundleID, teamID, currentBuild, appVersion,
           expectedBuild, expectedSize, expectedSHA, healthMarker, healthToken };

// An unprivileged account other than the one running the tests (made with
// useradd when missing); none when the tests may not create users.
inline std::optional<passwd> otherUser()
{
    static const char* name = "tovrik-swap-test";
    if (::geteuid() != 0)
        return std::nullopt;
    if (!::getpwnam(name))
        run("/usr/sbin/useradd", {"--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name});
    const passwd* pw = ::getpwnam(name);
    return pw ? std::optional<passwd>(*pw) : std::nullopt;
}

class SwapScriptTest;
using Change = std::function<void(SwapScriptTest&, QStringList&)>;
struct Refusal {
    const char* name;
    Change change;
    int code;
    QString lines; // the log's last lines, as tail() gives them; none for ""
    bool relaunch = true; // the installed build is started again
};

class SwapScriptTest : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        run("/usr/bin/find", {root.path(), "-mindepth", "1", "-delete"});
        QDir().mkpath(updates);
        QDir().mkpath(tmp);
        target = root.path() + "/Apps/Tovrik.app";
        image = updates + "/Tovrik-update-1.10.15.dmg";
        makeBundle(target, BundleFacts(), standInBuild("healthy", "120", root.path() + "/old-relaunched"));
        QProcess gone; // a process id that no longer exists
        gone.start("/bin/true");
        gone.waitForStarted();
        args = {QString::number(gone.processId()), image, target, "Tovrik", logPath, "ai.tovrik.mac",
                constants::macOSDeveloperTeamIdentifier(), "120", "1.10.15", "121", "", "",
                updates + "/tovrik-health-" + uuid() + ".ready", token()};
        gone.waitForFinished();
        rebuildImage(newSpec);
        const QString r = MacUpdateService::shellQuote(root.path());
        writeFile(runner,
                  ("#!/bin/sh\nR=" + r + "\n"
                   "n=$(($(cat \"$R/runner-calls\" 2>/dev/null || echo 0) + 1)); echo $n > \"$R/runner-calls\"\n"
                   "[ -e \"$R/cancel\" ] && exit 126\n"
                   "case \"$3\" in *copy_archive*) [ -e \"$R/cancel-install\" ] && exit 126 ;; esac\n"
                   "[ -e \"$R/fail-$n\" ] && exit 1\n"
                   "[ -e \"$R/hold-$n\" ] && { : > \"$R/held\"; exec sleep 60; }\n"
                   "[ -e \"$R/noop\" ] && exit 0\n"
                   "[ -e \"$R/attack\" ] && /bin/sh \"$R/attack\"\n"
                   "[ \"$1\" = /bin/zsh ] || exit 127\n"
                   "if [ -e \"$R/observe\" ] || [ -e \"$R/kill-at\" ]; then\n"
                   "  exec /usr/bin/setpriv --reuid=0 --regid=0 --clear-groups /bin/zsh -c '"
                   "R=$0; TRAPDEBUG() {\n"
                   "  [[ ! -e $R/observe || -d $(<$R/observe)/Contents ]] || print -r -- \"$ZSH_DEBUG_CMD\" >> $R/gaps\n"
                   "  if [[ -e $R/kill-at && $ZSH_DEBUG_CMD == ${~$(<$R/kill-at)} ]]; then rm -f $R/kill-at; kill -9 $$; fi\n"
                   "}; eval \"$1\"' \"$R\" \"$3\"\nfi\n"
                   "exec /usr/bin/setpriv --reuid=0 --regid=0 --clear-groups \"$@\"\n").toUtf8(),
                  true);
        ::chmod(root.path().toLocal8Bit(), 0755);
    }
    void TearDown() override { run("/usr/bin/pkill", {"-KILL", "-f", "--", QRegularExpression::escape(root.path())}); }
    void reset()
    {
        TearDown();
        scriptKey.clear();
        SetUp();
    }
    QStringList workingFolders() const
    {
        return QDir(tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    // Signs a bundle with these facts as the new one, lets `alter` change it, and packs it
    // as the image the arguments describe.
    void rebuildImage(const BundleFacts& facts, const QByteArray& exe = {}, const QString& entry = "Tovrik.app",
                      const std::function<void(const QString&)>& alter = {})
    {
        const QString next = root.path() + "/new/Tovrik.app";
        makeBundle(next, facts, exe.isEmpty() ? standInBuild("healthy", facts.build) : exe);
        if (alter)
            alter(next);
        QFile::remove(image);
        makeArchive(next, image, entry);
        QDir(next).removeRecursively();
        args[expectedSize] = QString::number(QFileInfo(image).size());
        args[expectedSHA] = sha256Of(image);
    }
    void moveTargetInto(const QString& folder)
    {
        QDir().mkpath(folder);
        ASSERT_TRUE(QFile::rename(target, folder + "/Tovrik.app"));
        target = args[targetApp] = folder + "/Tovrik.app";
        ::chmod(folder.toLocal8Bit(), 0755);
    }
    QString writeScript()
    {
        scriptPath = updates + "/apply-tovrik-update-" + uuid() + ".zsh";
        writeFile(scriptPath, MacUpdateService::swapScriptText(runner, scriptKey.isEmpty() ? testPublicKey() : scriptKey).toUtf8(), true);
        return scriptPath;
    }
    // The command that runs the script: as root, or as `uid` (the file
    // capabilities let "nobody" write the tests' folders and the runner
    // become root, while the script's write test fails as for a user).
    QStringList command(const QStringList& arguments, std::optional<uid_t> uid = {}, bool capabilities = true)
    {
        QStringList c = QStringList{"/bin/zsh", writeScript()} + arguments;
        if (uid) {
            // The downloaded archive is the user's own file.
            if (arguments.size() > dmgPath)
                (void)::lchown(arguments[dmgPath].toLocal8Bit(), *uid, gid_t(-1));
            const QString caps = capabilities ? "+dac_override,+setuid,+setgid" : "-all";
            c = QStringList{"/usr/bin/setpriv", QString("--reuid=%1").arg(*uid), QString("--regid=%1").arg(*uid),
                            "--clear-groups", "--inh-caps=" + caps, "--ambient-caps=" + caps, "/bin/zsh", "-p", "-c",
                            "source \"$1\" \"${@:2}\"", "zsh", scriptPath} + arguments;
        }
        return c;
    }
    void prepare(QProcess& p, QStringList c)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setProgram(c.takeFirst());
        p.setArguments(c);
    }
    int runScript(const QStringList& arguments, bool asNobody = false)
    {
        return runCommand(command(arguments, asNobody ? std::optional<uid_t>(65534) : std::nullopt));
    }
    int runCommand(const QStringList& c)
    {
        QProcess p;
        prepare(p, c);
        p.start();
        if (!p.waitForFinished(120000))
            return -1;
        output = QString::fromUtf8(p.readAll());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    // The last `count` lines joined by " | ", with the failing line number as N.
    QString tail(qsizetype count) const
    {
        const QStringList lines = logLines(logPath);
        return lines.mid(std::max<qsizetype>(0, lines.size() - count)).join(" | ").replace(
            QRegularExpression("failed at line \\d+ "), "failed at line N ");
    }
    QString installedBuild(const QString& app) const
    {
        return update::readPropertyListStrings(app + "/Contents/Info.plist").value_or(QHash<QString, QString>{})
            .value("CFBundleVersion");
    }
    bool relaunched() const { return QFileInfo::exists(root.path() + "/old-relaunched"); }
    // Each refusal's exit code and last log lines; the target stays as it was
    // and, after a refusal, is running again.
    void expectRefusals(const std::vector<Refusal>& refusals)
    {
        for (const Refusal& r : refusals) {
            SCOPED_TRACE(r.name);
            reset();
            r.change(*this, args);
            const QByteArray before = readFile(target + "/Contents/Info.plist");
            EXPECT_EQ(runScript(args), r.code) << output.toStdString();
            EXPECT_EQ(tail(r.lines.count(" | ") + 1), r.lines);
            if (QFileInfo(args[targetApp]).isDir()) {
                EXPECT_EQ(readFile(args[targetApp] + "/Contents/Info.plist"), before);
            }
            if (r.relaunch) {
                EXPECT_TRUE(spinUntil([&] { return relaunched(); }, 10000));
            } else {
                EXPECT_FALSE(relaunched());
            }
            expectCleanedUp();
        }
    }
    // The working folders, any staging bundle or backup, and the script are
    // gone after every ending.
    void expectCleanedUp() const
    {
        EXPECT_FALSE(QFileInfo::exists(scriptPath));
        EXPECT_EQ(workingFolders(), QStringList{});
        EXPECT_EQ(QDir(target + "/..").entryList({".Tovrik.*"}, QDir::AllEntries | QDir::Hidden), QStringList{});
    }

    QTemporaryDir root;
    BundleFacts newSpec = BundleFacts().with(&BundleFacts::build, "121");
    QString updates = root.path() + "/Updates", logPath = updates + "/tovrik-update.log", tmp = root.path() + "/tmp";
    QString runner = root.path() + "/runner";
    QString target, image, scriptPath, output;
    QString scriptKey; // the key the app puts into the script (the tests' own when empty)
    QStringList args;
};

inline Change newBundle(QString BundleFacts::*field, const QString& value)
{
    return [=](SwapScriptTest& t, QStringList&) { t.rebuildImage(t.newSpec.with(field, value)); };
}
inline Change oldBundle(QString BundleFacts::*field, const QString& value)
{
    return [=](SwapScriptTest& t, QStringList&) { makeBundle(t.target, BundleFacts().with(field, value), "#!/bin/sh\n"); };
}

} // namespace tovrik::test
