#pragma once

// What the typing tests share: real programs started on a file of their own,
// typed into through the service and read back from the file they write.


#include "autopilot/DesktopInputService.h"
#include "autopilot/UserInputActivityMonitor.h"

#include "interaction/AsyncOutcome.h"
#include "platform/sim/SimPlatform.h"
#include "platform/x11/X11Keymap.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>


namespace tovrik::typingtest {

using test::launch;
using test::spinUntil;

inline QString runTool(const QStringList& command)
{
    QProcess p;
    p.start(command.first(), command.mid(1));
    if (!p.waitForFinished(20000))
        p.kill();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The centre of the first visible window whose name matches `name`, in root
// coordinates; null when none shows within the wait.
inline QPointF windowCentre(const QString& name)
{
    const QString id = runTool({"xdotool", "search", "--sync", "--onlyvisible", "--name", name}).section('\n', 0, 0);
    if (id.isEmpty())
        return {};
    QHash<QString, int> g;
    for (const QString& line : runTool({"xdotool", "getwindowgeometry", "--shell", id}).split('\n'))
        if (const int eq = line.indexOf('='); eq > 0)
            g.insert(line.left(eq), line.mid(eq + 1).toInt());
    return QPointF(g["X"] + g["WIDTH"] / 2, g["Y"] + g["HEIGHT"] / 2);
}

// A Tk text widget that writes what it holds on Control+S.
constexpr char kTkScript[] = R"(set path [lindex $argv 0]
wm title . typing-target
text .t -width 100 -height 40
pack .t -fill both -expand 1
focus .t
if {[lindex $argv 1] eq "tick"} {
    proc tick {} { after 10 tick }
    tick
}
bind .t <Control-s> {
    set f [open $path w]
    fconfigure $f -encoding utf-8
    puts -nonewline $f [.t get 1.0 {end - 1 chars}]
    close $f
    exit
}
)";

// A Swing text area that writes what it holds on Control+S.
constexpr char kSwingEditor[] = R"(import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import javax.swing.*;

public class TypingTarget {
    public static void main(String[] args) {
        SwingUtilities.invokeLater(() -> {
            JFrame frame = new JFrame("typing-target");
            JTextArea area = new JTextArea(40, 100);
            area.getInputMap().put(KeyStroke.getKeyStroke("control S"), "save");
            area.getActionMap().put("save", new AbstractAction() {
                public void actionPerformed(java.awt.event.ActionEvent e) {
                    try {
                        Files.write(Paths.get(args[0]), area.getText().getBytes(StandardCharsets.UTF_8));
                    } catch (Exception x) {
                        System.exit(1);
                    }
                    System.exit(0);
                }
            });
            frame.add(new JScrollPane(area));
            frame.pack();
            frame.setVisible(true);
        });
    }
}
)";

// Stops a process for 250 ms out of every 500 while it lives.
class Stalls {
public:
    explicit Stalls(pid_t pid)
        : m_thread([this, pid]() {
              std::unique_lock lock(m_mutex);
              while (!m_done) {
                  ::kill(pid, SIGSTOP);
                  m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_done; });
                  ::kill(pid, SIGCONT);
                  m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_done; });
              }
          })
    {
    }
    ~Stalls()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

struct Program {
    const char* name;
    // "%f" stands for the file the text ends up in, "%s" for the Tk script,
    // "%j" for the Swing editor's source
    QStringList command;
    const char* finish;  // the key that makes it write the file
    bool endsItself = false;
    // The input method module it is started with: "xim", "ibus" or "fcitx"
    // (over D-Bus); none without.
    const char* inputMethod = nullptr;
    const char* env = nullptr; // "NAME=value" added to its environment
};

class AutopilotTypingX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        QString error;
        ASSERT_TRUE(platform::x11::X11Platform::install(&error)) << error.toStdString();
        ASSERT_TRUE(platform::x11::KeyboardMapping().load(x)) << "no X server";
        ASSERT_TRUE(mapBefore.load(x));
        svc = std::make_unique<DesktopInputService>();
    }
    void TearDown() override
    {
        svc.reset();
        // What is lent is given back once typing has been quiet a second.
        platform::x11::KeyboardMapping after;
        EXPECT_TRUE(spinUntil([&] { return after.load(x) && after.spareKeycodes() == mapBefore.spareKeycodes(); }, 10000))
            << "a lent keycode was kept";
        platform::x11::XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(x, xcb_query_keymap(x), nullptr));
        ASSERT_TRUE(keys);
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ(keys->keys[i], 0) << "keycodes from " << i * 8 << " stayed down";
        platform::sim::SimPlatform::install();
    }
    std::exception_ptr run(QCoro::Task<void> task)
    {
        auto outcome = launch(std::move(task));
        EXPECT_TRUE(spinUntil([&] { return outcome->done; }, 100000));
        return outcome->error;
    }
    // Starts the program on a new file, types `text` into it, makes it write
    // the file and returns what it wrote. The program is stalled now and then
    // while the text goes, or stopped for `busy` as the text starts.
    QString typeInto(const Program& program, const QString& text, std::chrono::milliseconds busy = {})
    {
        const QString file = dir.filePath(QStringLiteral("typing-target.txt"));
        QFile(file).open(QIODevice::WriteOnly);
        const QString script = dir.filePath(QStringLiteral("typing-target.tcl"));
        QFile tcl(script);
        if (tcl.open(QIODevice::WriteOnly))
            tcl.write(kTkScript);
        tcl.close();
        QFile java(dir.filePath(QStringLiteral("TypingTarget.java")));
        if (java.open(QIODevice::WriteOnly))
            java.write(kSwingEditor);
        java.close();
        QStringList command = program.command;
        for (QString& arg : command)
            arg.replace(QStringLiteral("%f"), file).replace(QStringLiteral("%s"), script).replace(QStringLiteral("%j"), java.fileName());
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("LANG", "C.UTF-8");
        env.insert("QT_QPA_PLATFORM", "xcb");
        const QString im = QString::fromLatin1(program.inputMethod);
        env.insert("GTK_IM_MODULE", program.inputMethod ? im : "gtk-im-context-simple");
        env.insert("QT_IM_MODULE", program.inputMethod ? im : "compose");
        env.insert("XMODIFIERS", !program.inputMethod ? "@im=none" : im == "xim" ? "@im=ibus" : "@im=" + im);
        if (program.env)
            env.insert(QString::fromLatin1(program.env).section('=', 0, 0), QString::fromLatin1(program.env).section('=', 1));
        if (!programDisplay.isEmpty())
            env.insert("DISPLAY", programDisplay);
        p.setProcessEnvironment(env);
        p.start(command.first(), command.mid(1));
        EXPECT_TRUE(p.waitForStarted(10000)) << program.name << " did not start";
        const QPointF centre = windowCentre(QStringLiteral("typing-target"));
        EXPECT_FALSE(centre.isNull()) << program.name << " showed no window";
        if (centre.isNull()) {
            p.kill();
            p.waitForFinished();
            return {};
        }
        // No window manager: the keys go to the window under the pointer.
        EXPECT_FALSE(run(svc->click(centre)));
        QTest::qWait(300); // the program takes the focus
        const pid_t pid = pid_t(p.processId());
        if (busy.count()) {
            ::kill(pid, SIGSTOP);
            QTimer::singleShot(busy, [pid] { ::kill(pid, SIGCONT); });
            lastFailure = run(svc->typeText(text));
            QTest::qWait(int(busy.count()));
        } else {
            // As on a busy machine, the program gets no CPU for a while now
            // and then, longer than any pause between keyboard map changes
            // that would do without it.
            const Stalls stalls(pid);
            lastFailure = run(svc->typeText(text));
        }
        if (afterText)
            afterText();
        if (!program.inputMethod && !mayFail) {
            EXPECT_FALSE(lastFailure) << describeException(lastFailure).toStdString();
        }
        EXPECT_FALSE(run(svc->pressKey(QString::fromLatin1(program.finish))));
        // The terminal ends with its input; an editor saves the file (one
        // that was typed nothing has nothing to save).
        EXPECT_TRUE(((program.inputMethod || mayFail) && lastFailure) || spinUntil([&] { return p.state() == QProcess::NotRunning || (!program.endsItself && QFileInfo(file).size() > 0); },
                              30000))
            << program.name << " wrote nothing";
        QTest::qWait(200);
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
        }
        QFile written(file);
        written.open(QIODevice::ReadOnly);
        return QString::fromUtf8(written.readAll());
    }
    // Where the two texts first differ, for the failure message.
    static std::string firstDifference(const QString& want, const QString& got)
    {
        qsizetype i = 0;
        while (i < want.size() && i < got.size() && want[i] == got[i])
            ++i;
        return QStringLiteral("first difference at %1 of %2: wanted \"%3\", got \"%4\"")
            .arg(i)
            .arg(want.size())
            .arg(want.mid(i, 40), got.mid(i, 40))
            .toStdString();
    }

    platform::x11::XcbConnection x{nullptr};
    std::exception_ptr lastFailure;
    bool mayFail = false;    // typeInto: the typing may fail
    std::function<void()> afterText; // typeInto: what happens before the program is made to write
    QString programDisplay;  // typeInto: the program's DISPLAY, when not ours
    platform::x11::KeyboardMapping mapBefore;
    std::unique_ptr<DesktopInputService> svc;
    QTemporaryDir dir;
};

// The program's name in the test's name and messages.
inline void PrintTo(const Program& program, std::ostream* os)
{
    *os << program.name;
}

inline QString textSink()
{
    return qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/tests/autopilot/tovrik-test-text-sink");
}

inline QString laggingSink()
{
    return qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/tests/autopilot/tovrik-test-lagging-sink");
}

} // namespace tovrik::typingtest
