// Records of lent keycodes that the real `tovrik` binary finds at start on
// the test command's X server, planted by hand: it gives back only what it
// lends, as lending maps it, from records of the user's own whose process is
// gone (a reused process id does not keep one alive), and never reads a
// record another user could have written.

#include "ProcessWindows.h"
#include "hosted/ExtraCertificateAuthorities.h"
#include "platform/x11/LentKeycodes.h"
#include "platform/x11/ProcessRecords.h"
#include "platform/x11/X11Keymap.h"
#include "support/FakeHostedService.h"
#include "support/SimFixture.h"
#include "support/X11TestClients.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik::app {
namespace {

using platform::x11::LentKeycodeRecord;
using test::spinUntil;

constexpr uint32_t kU4E00 = 0x1004e00, kU4E01 = 0x1004e01;

std::vector<uint32_t> keyboardMap(platform::x11::XcbConnection& c, int* perKeycode = nullptr)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, uint8_t(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    if (!reply)
        return {};
    if (perKeycode)
        *perKeycode = reply->keysyms_per_keycode;
    const auto* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    return std::vector<uint32_t>(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
}

// The process id of a program that has ended.
qint64 deadProcessId()
{
    QProcess gone;
    gone.start(QStringLiteral("true"), {});
    gone.waitForStarted(10000);
    const qint64 pid = gone.processId();
    gone.waitForFinished(10000);
    return pid;
}

// A user other than this one, made with useradd when missing; 0 when that
// cannot be done (not root).
uid_t otherUser()
{
    if (::getuid() != 0)
        return 0;
    const char* name = "tovrik-planter";
    if (!::getpwnam(name))
        QProcess::execute(QStringLiteral("useradd"), {"--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                                                      QString::fromLatin1(name)});
    const passwd* user = ::getpwnam(name);
    return user ? user->pw_uid : 0;
}

class LeftoverRecordsX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.ok());
        ASSERT_TRUE(scratch.isValid());
        binary = qEnvironmentVariable("TOVRIK_BINARY_DIR") + QStringLiteral("/src/app/tovrik");
        ASSERT_TRUE(QFileInfo::exists(binary)) << binary.toStdString();
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        ASSERT_NE(bus, nullptr) << "no D-Bus session bus";
        ASSERT_TRUE(spinUntil([bus] { return !bus->isServiceRegistered(QStringLiteral("ai.tovrik.mac")).value(); }, 10000));
        mapBefore = keyboardMap(x, &perKeycode);
        ASSERT_FALSE(mapBefore.empty());
        for (const char* sub : {"home", "data", "runtime", "tmp"})
            ASSERT_TRUE(QDir().mkpath(scratch.filePath(QString::fromLatin1(sub))));
        ::chmod(QFile::encodeName(scratch.filePath("runtime")).constData(), 0700);
        ::chmod(QFile::encodeName(scratch.filePath("tmp")).constData(), 01777);
        displayKey = LentKeycodeRecord::displayKey(qEnvironmentVariable("DISPLAY"));
    }
    void TearDown() override
    {
        if (app && app->state() != QProcess::NotRunning) {
            app->kill();
            app->waitForFinished(5000);
        }
        // Whatever a failed case changed in the keyboard map goes back.
        const xcb_setup_t* setup = xcb_get_setup(x);
        const auto now = keyboardMap(x);
        for (int kc = setup->min_keycode; kc <= setup->max_keycode && now.size() == mapBefore.size(); ++kc) {
            const size_t first = size_t(kc - setup->min_keycode) * size_t(perKeycode);
            if (!std::equal(now.begin() + first, now.begin() + first + perKeycode, mapBefore.begin() + first))
                xcb_change_keyboard_mapping(x, 1, uint8_t(kc), uint8_t(perKeycode), mapBefore.data() + first);
        }
        x.sync();
    }

    // A keycode without symbols, lent `keysym` the way lending does.
    uint8_t lendSpare(uint32_t keysym)
    {
        const xcb_setup_t* setup = xcb_get_setup(x);
        const auto map = keyboardMap(x);
        for (int kc = setup->max_keycode; kc >= setup->min_keycode; --kc) {
            const auto first = map.begin() + (kc - setup->min_keycode) * perKeycode;
            if (std::any_of(first, first + perKeycode, [](uint32_t s) { return s != 0; }))
                continue;
            const auto syms = platform::x11::lentKeysyms(keysym, 0, perKeycode);
            xcb_change_keyboard_mapping(x, 1, uint8_t(kc), uint8_t(perKeycode), syms.data());
            x.sync();
            return uint8_t(kc);
        }
        return 0;
    }
    // A record as a process `pid` of stamp `stamp` would have left it.
    static QByteArray record(const platform::x11::ProcessStamp& stamp, const QByteArray& lines)
    {
        return platform::x11::stampLine(stamp) + '\n' + lines;
    }
    QString plant(const QString& folder, qint64 pid, const QByteArray& text, uid_t owner = ::getuid())
    {
        EXPECT_TRUE(QDir().mkpath(folder));
        const QString path = folder + "/lent-keycodes-" + displayKey + '-' + QString::number(pid);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();
        ::chmod(QFile::encodeName(path).constData(), 0600);
        if (owner != ::getuid()) {
            EXPECT_EQ(::chown(QFile::encodeName(path).constData(), owner, owner), 0);
        }
        return path;
    }
    // Starts scripts/try.sh with the data folder `data` (in the scratch
    // folder) and returns its Tovrik's process once its panel shows (0 when
    // it never does).
    qint64 trySession(QProcess& script, const QString& data)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TOVRIK_BUILD_DIR"), qEnvironmentVariable("TOVRIK_BINARY_DIR"));
        env.insert(QStringLiteral("TMPDIR"), scratch.filePath("tmp"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        script.setProcessEnvironment(env);
        script.setProcessChannelMode(QProcess::ForwardedChannels);
        script.start(QStringLiteral("bash"), {qEnvironmentVariable("TOVRIK_SOURCE_DIR") + "/scripts/try.sh", "--data-dir",
                                              scratch.filePath(data)});
        qint64 pid = 0;
        spinUntil([&] {
            QProcess search;
            search.start("xdotool", {"search", "--onlyvisible", "--name", "^Tovrik$", "getwindowpid", "%1"});
            search.waitForFinished(10000);
            pid = search.readAllStandardOutput().trimmed().toLongLong();
            return pid > 0;
        }, 90000);
        return pid;
    }
    // Starts the binary with `runtime` as XDG_RUNTIME_DIR (unset when
    // empty) and waits for its panel.
    bool start(const QString& runtime)
    {
        app = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), scratch.filePath("home"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), scratch.filePath("data"));
        env.insert(QStringLiteral("TMPDIR"), scratch.filePath("tmp"));
        if (runtime.isEmpty())
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        else
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("https_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(fake.port()));
        env.insert(QString::fromLatin1(hosted::extraCertificateAuthoritiesVariable), fake.caCertificatePath());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        app->setProcessEnvironment(env);
        app->start(binary, {});
        return spinUntil(
            [&] {
                for (const auto& w : viewableWindowsOf(x, app->processId()))
                    if (w.name == QStringLiteral("Tovrik"))
                        return true;
                return false;
            },
            20000);
    }
    // Quits the binary; its standard error.
    QString quit()
    {
        ::kill(pid_t(app->processId()), SIGTERM);
        EXPECT_TRUE(app->waitForFinished(30000));
        EXPECT_EQ(app->exitCode(), 0);
        return QString::fromUtf8(app->readAllStandardError());
    }

    platform::x11::XcbConnection x{nullptr};
    QTemporaryDir scratch;
    QString binary;
    QString displayKey;
    test::FakeHostedService fake;
    std::vector<uint32_t> mapBefore;
    int perKeycode = 0;
    std::unique_ptr<QProcess> app;
};

TEST_F(LeftoverRecordsX11Test, OnlyKeycodesMappedAsLendingMapsThemAreGivenBackAndBadRecordsAreRemovedUnapplied)
{
    const uint8_t lent = lendSpare(kU4E00);
    ASSERT_NE(lent, 0);
    const QString runtime = scratch.filePath("runtime");
    const auto stamp = platform::x11::currentProcessStamp();
    // Return and the letter a are real keys: lendable symbols, but the
    // server maps them otherwise than lending does.
    const QString mixed = plant(runtime + "/Tovrik", deadProcessId(),
                                record(stamp, "36 65293\n38 97\n" + QByteArray::number(lent) + " " + QByteArray::number(kU4E00) + "\n"));
    // Escape and Shift_L: Tovrik never lends them.
    const QString foreign = plant(runtime + "/Tovrik", deadProcessId(), record(stamp, "9 65307\n50 65505\n"));
    // Without the line naming its process.
    const QString unsigned_ = plant(runtime + "/Tovrik", deadProcessId(), "36 65293\n");

    ASSERT_TRUE(start(runtime));
    EXPECT_EQ(keyboardMap(x), mapBefore) << "a real key lost its symbols, or the lent keycode was kept";
    const QString log = quit();
    for (const QString& path : {mixed, foreign, unsigned_})
        EXPECT_FALSE(QFileInfo::exists(path)) << path.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("removed ") + foreign), 1) << log.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("removed ") + unsigned_), 1) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("removed ") + mixed)) << log.toStdString();
}

TEST_F(LeftoverRecordsX11Test, ALayoutKeyShowingWhatLendingWritesKeepsItsSymbolsUnderEachLayout)
{
    struct Restore {
        ~Restore() { QProcess::execute(QStringLiteral("setxkbmap"), {QStringLiteral("us")}); }
    } restore;
    const QString runtime = scratch.filePath("runtime");
    for (const char* layout : {"us", "de", "fr"}) {
        SCOPED_TRACE(layout);
        ASSERT_EQ(QProcess::execute(QStringLiteral("setxkbmap"), {QString::fromLatin1(layout)}), 0);
        // Lending has the keycodes it had before the layout was asked: all
        // those without symbols.
        platform::x11::KeyboardMapping map;
        ASSERT_TRUE(map.load(x));
        ASSERT_TRUE(map.layoutKeys().has_value());
        const auto layoutMap = keyboardMap(x);
        std::vector<uint8_t> empty;
        for (int kc = map.maxKeycode(); kc >= map.minKeycode(); --kc) {
            const auto first = layoutMap.begin() + (kc - map.minKeycode()) * perKeycode;
            if (std::all_of(first, first + perKeycode, [](uint32_t s) { return s == 0; }))
                empty.push_back(uint8_t(kc));
        }
        EXPECT_EQ(map.spareKeycodes(), empty);
        // The keys of the a, 1 and q positions, named with what their first
        // two levels show: those that show nothing else (all three under us)
        // are mapped exactly as lending maps a keycode.
        QByteArray lines;
        int asLent = 0;
        for (uint8_t kc : {38, 10, 24}) {
            const std::vector<uint32_t> levels(layoutMap.begin() + (kc - map.minKeycode()) * perKeycode,
                                               layoutMap.begin() + (kc - map.minKeycode() + 1) * perKeycode);
            asLent += platform::x11::showsLentKeysym(levels, levels[0], levels[1]) ? 1 : 0;
            lines += QByteArray::number(kc) + ' ' + QByteArray::number(levels[0]) + ' ' + QByteArray::number(levels[1]) + '\n';
        }
        if (std::string_view(layout) == "us") {
            EXPECT_EQ(asLent, 3);
        }
        const uint8_t lent = lendSpare(kU4E00);
        ASSERT_NE(lent, 0);
        lines += QByteArray::number(lent) + ' ' + QByteArray::number(kU4E00) + '\n';
        const QString path = plant(runtime + "/Tovrik", deadProcessId(), record(platform::x11::currentProcessStamp(), lines));

        ASSERT_TRUE(start(runtime));
        EXPECT_EQ(keyboardMap(x), layoutMap) << "a layout key lost its symbols, or the lent keycode was kept";
        quit();
        EXPECT_FALSE(QFileInfo::exists(path));
    }
}

// scripts/try.sh: what a Tovrik killed mid-run left held and lent (Shift and
// F9 down, a keycode lent, with the records that running Tovrik keeps) is let
// go of and given back by the next try session's start, with a data folder
// of its own.
TEST_F(LeftoverRecordsX11Test, AfterSIGKILLInATrySessionTheNextOneLetsGoAndGivesBack)
{
    platform::x11::KeyboardMapping map;
    ASSERT_TRUE(map.load(x));
    const uint8_t shift = map.keycodesFor(XK_Shift_L).front(), f9 = map.keycodesFor(XK_F9).front();
    const auto down = [&](uint8_t kc) {
        XcbReply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(x, xcb_query_keymap(x), nullptr));
        return keys && (keys->keys[kc / 8] & (1u << (kc % 8)));
    };
    test::XClient user;
    struct Release {
        test::XClient& user;
        uint8_t a, b;
        ~Release() { user.keycode(a, false), user.keycode(b, false); }
    } release{user, shift, f9};
    QProcess first;
    const qint64 killed = trySession(first, "try");
    ASSERT_GT(killed, 0) << "the try session's Tovrik never showed its panel";
    // Held and lent as that Tovrik holds and lends, with its records where
    // it keeps them.
    QFile environ(QStringLiteral("/proc/%1/environ").arg(killed));
    ASSERT_TRUE(environ.open(QIODevice::ReadOnly));
    const QByteArray variables = '\0' + environ.readAll();
    const qsizetype at = variables.indexOf(QByteArray("\0XDG_RUNTIME_DIR=", 17));
    const QString runtime = at < 0 ? QString() : QFile::decodeName(variables.mid(at + 17).split('\0').first());
    ASSERT_FALSE(runtime.isEmpty());
    const auto stamp = platform::x11::processStamp(killed);
    ASSERT_TRUE(stamp.has_value());
    const uint8_t lent = lendSpare(kU4E00);
    ASSERT_NE(lent, 0);
    plant(runtime + "/Tovrik", killed, record(*stamp, QByteArray::number(lent) + " " + QByteArray::number(kU4E00) + "\n"));
    std::array<uint8_t, 32> keys{};
    keys[shift / 8] |= uint8_t(1u << (shift % 8));
    keys[f9 / 8] |= uint8_t(1u << (f9 % 8));
    const QByteArray held = record(*stamp, "keys " + QByteArray(reinterpret_cast<const char*>(keys.data()), 32).toHex()
                                               + "\nbuttons " + QByteArray(32, '\0').toHex() + "\n");
    QFile heldFile(runtime + "/Tovrik/held-input-" + displayKey + "-" + QString::number(killed));
    ASSERT_TRUE(heldFile.open(QIODevice::WriteOnly) && heldFile.write(held) == held.size());
    heldFile.close();
    ASSERT_TRUE(user.keycode(shift, true) && user.keycode(f9, true));

    ::kill(pid_t(killed), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(30000));
    ASSERT_TRUE(down(shift) && down(f9));
    ASSERT_NE(keyboardMap(x), mapBefore);

    QProcess second;
    // A fresh data folder, as the README's recipe starts each session with.
    const qint64 next = trySession(second, "try-again");
    ASSERT_GT(next, 0) << "the second try session's Tovrik never showed its panel";
    EXPECT_FALSE(down(shift) || down(f9)) << "the next try session left Shift or F9 down";
    EXPECT_EQ(keyboardMap(x), mapBefore) << "the next try session left the keycode lent";
    ::kill(pid_t(second.processId()), SIGTERM);
    EXPECT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(QDir(scratch.filePath("tmp")).entryList({"tovrik-try-*"}, QDir::Dirs).size() == 1
                && QDir(QFileInfo(runtime).path()).isEmpty())
        << "nothing left to keep, yet a runtime folder stayed";
}

// scripts/try.sh killed alone (SIGKILL to the script): its Tovrik and its
// stand-in end with it, and the next session on the same data folder is the
// only one, its runtime folder its own.
TEST_F(LeftoverRecordsX11Test, ATrySessionWhoseScriptWasKilledEndsWithIt)
{
    const auto alive = [](qint64 pid) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray line = stat.readAll();
        return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
    };
    const QString standIn = qEnvironmentVariable("TOVRIK_BINARY_DIR") + "/tools/fake-hosted-service/tovrik-fake-hosted-service";
    const auto standIns = [&]() {
        QList<qint64> found;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
            if (entry.toLongLong() > 0 && QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget() == standIn)
                found << entry.toLongLong();
        return found;
    };
    const QList<qint64> standInsBefore = standIns();
    QProcess first;
    const qint64 tovrik = trySession(first, "try");
    ASSERT_GT(tovrik, 0) << "the try session's Tovrik never showed its panel";
    QList<qint64> started = standIns();
    for (qint64 pid : standInsBefore)
        started.removeAll(pid);
    ASSERT_EQ(started.size(), 1);

    ::kill(pid_t(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_TRUE(spinUntil([&] { return !alive(tovrik) && !alive(started.front()); }, 30000))
        << "still running after the script was killed: Tovrik " << alive(tovrik) << ", the stand-in "
        << alive(started.front());
    for (qint64 pid : {tovrik, started.front()}) // (a failed case leaves nothing behind)
        if (alive(pid))
            ::kill(pid_t(pid), SIGKILL);

    QProcess second;
    const qint64 next = trySession(second, "try");
    ASSERT_GT(next, 0) << "the second try session's Tovrik never showed its panel";
    EXPECT_FALSE(alive(tovrik));
    ::kill(pid_t(second.processId()), SIGTERM);
    EXPECT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(QDir(scratch.filePath(QStringLiteral("tmp/tovrik-try-%1").arg(::getuid()))).isEmpty())
        << "a runtime folder stayed";
}

TEST_F(LeftoverRecordsX11Test, ARecordOfAReusedProcessIdIsGivenBack)
{
    const uint8_t lent = lendSpare(kU4E01);
    ASSERT_NE(lent, 0);
    // A process runs under the id the record names, but not the one that
    // wrote it: it started at another time.
    QProcess other;
    other.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(other.waitForStarted());
    auto stamp = platform::x11::processStamp(other.processId());
    ASSERT_TRUE(stamp.has_value());
    stamp->startTime += 1000;
    const QString runtime = scratch.filePath("runtime");
    const QString path =
        plant(runtime + "/Tovrik", other.processId(), record(*stamp, QByteArray::number(lent) + " " + QByteArray::number(kU4E01) + "\n"));

    ASSERT_TRUE(start(runtime));
    EXPECT_EQ(keyboardMap(x), mapBefore) << "the lent keycode was kept for a process that did not write the record";
    EXPECT_FALSE(QFileInfo::exists(path));
    quit();
    other.kill();
    other.waitForFinished(5000);
}

TEST_F(LeftoverRecordsX11Test, RecordsAnotherUserCouldHaveWrittenAreNeverRead)
{
    const uid_t planter = otherUser();
    if (planter == 0)
        GTEST_SKIP() << "needs root to make a second user with useradd";
    const auto stamp = platform::x11::currentProcessStamp();
    const QByteArray returnKey = record(stamp, "36 65293\n");
    const auto chownFolder = [&](const QString& folder) {
        EXPECT_TRUE(QDir().mkpath(folder));
        ::chmod(QFile::encodeName(folder).constData(), 0755);
        EXPECT_EQ(::chown(QFile::encodeName(folder).constData(), planter, planter), 0);
    };
    // Without a runtime folder: the shared temporary folder, where the
    // other user made the folders the user's would have been.
    chownFolder(scratch.filePath("tmp/runtime-root"));
    ::chmod(QFile::encodeName(scratch.filePath("tmp/runtime-root")).constData(), 0700);
    chownFolder(scratch.filePath("tmp/Tovrik"));
    const QString inTemporary = plant(scratch.filePath("tmp/Tovrik"), deadProcessId(), returnKey, planter);
    // A runtime folder of the user's, but its Tovrik folder is the other
    // user's.
    QTemporaryDir otherRuntime;
    chownFolder(otherRuntime.filePath("Tovrik"));
    const QString inRuntime = plant(otherRuntime.filePath("Tovrik"), deadProcessId(), returnKey, planter);
    // The other user's file in the user's own folder.
    const QString inOwnFolder = plant(scratch.filePath("runtime/Tovrik"), deadProcessId(), returnKey, planter);

    struct Case {
        const char* name;
        QString runtime;
        QString planted;
        bool removed;
    };
    for (const Case& c : {Case{"no runtime folder", QString(), inTemporary, false},
                          Case{"the other user's Tovrik folder", otherRuntime.path(), inRuntime, false},
                          Case{"the other user's file", scratch.filePath("runtime"), inOwnFolder, true}}) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(start(c.runtime));
        EXPECT_EQ(keyboardMap(x), mapBefore) << "Return lost its symbols";
        const QString log = quit();
        EXPECT_EQ(QFileInfo::exists(c.planted), !c.removed);
        EXPECT_EQ(log.count(QStringLiteral("removed ") + c.planted), c.removed ? 1 : 0) << log.toStdString();
    }
    // The records went to a folder of the user's own under the home folder.
    EXPECT_TRUE(platform::x11::isPrivateFolder(scratch.filePath("home/.local/state/Tovrik/records")));
}

} // namespace
} // namespace tovrik::app
