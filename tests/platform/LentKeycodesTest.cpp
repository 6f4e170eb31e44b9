// The on-disk list of lent keycodes: what a line holds, which files a new
// start may read (a dead process's, on the same display only, whatever
// screen of it), and that nothing lent leaves no file behind.

#include "platform/x11/HeldInputRecord.h"
#include "platform/x11/LeftClipFiles.h"
#include "platform/x11/LentKeycodes.h"
#include "platform/x11/ProcessRecords.h"
#include "platform/x11/X11Keymap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tovrik::platform::x11 {
namespace {

// A process id that no longer runs (0 when none could be made).
qint64 deadProcessId()
{
    QProcess gone;
    gone.start(QStringLiteral("true"), {});
    if (!gone.waitForStarted(10000))
        return 0;
    const qint64 pid = gone.processId();
    return gone.waitForFinished(10000) ? pid : 0;
}

TEST(LentKeycodes, LinesThatDoNotReadAreSkipped)
{
    const auto entries = LentKeycodeRecord::parse("255 16807244\n"  // 界
                                                  "7 16807244\n"    // below the lowest keycode
                                                  "256 16807244\n"  // above the highest
                                                  "200 0\n"         // no symbol
                                                  "200\n"
                                                  "200 65 0\n"     // no shifted symbol
                                                  "200 65 66 67\n"
                                                  "202 16778161 16778129\n" // α, and Α with Shift
                                                  "x 65\n"
                                                  "  201 223  \n"); // ß, blanks around
    EXPECT_EQ(entries, (std::vector<LentKeycode>{{255, 0x100754c}, {202, 0x10003b1, 0x1000391}, {201, 223}}));
}

TEST(LentKeycodes, ANewStartReadsOnlyWhatDeadProcessesLeftOnItsDisplay)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const qint64 dead = deadProcessId();
    ASSERT_GT(dead, 0);

    const LentKeycodeRecord crashed(QStringLiteral(":5"), folder.path(), dead);
    const LentKeycodeRecord running(QStringLiteral(":5"), folder.path(), QCoreApplication::applicationPid());
    const LentKeycodeRecord otherDisplay(QStringLiteral(":6"), folder.path(), dead);
    ASSERT_TRUE(crashed.save({{250, 0x100754c}, {251, 223, 0x10003b1}}));
    ASSERT_TRUE(running.save({{252, 0x1004e16}}));
    ASSERT_TRUE(otherDisplay.save({{253, 0x1004e16}}));

    const LentKeycodeRecord starting(QStringLiteral(":5.0"), folder.path());
    const auto left = starting.leftovers();
    EXPECT_EQ(left.keycodes, (std::vector<LentKeycode>{{250, 0x100754c}, {251, 223, 0x10003b1}}));
    EXPECT_EQ(left.files, QStringList{crashed.path()});
    LentKeycodeRecord::forget(left.files);
    EXPECT_FALSE(QFile::exists(crashed.path()));
    EXPECT_TRUE(starting.leftovers().keycodes.empty());

    // Nothing lent any more: no file.
    ASSERT_TRUE(running.save({}));
    EXPECT_FALSE(QFile::exists(running.path()));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{QFileInfo(otherDisplay.path()).fileName()});
}

TEST(LentKeycodes, ARecordIsReadOnlyOnTheServerItWasMadeFor)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const qint64 dead = deadProcessId();
    ASSERT_GT(dead, 0);
    const QByteArray made(32, 'a'), other(32, 'b');
    LentKeycodeRecord crashed(QStringLiteral(":5"), folder.path(), dead);
    crashed.setServer(made);
    ASSERT_TRUE(crashed.save({{250, 0x100754c}}));
    struct Case {
        QByteArray server;
        bool read, kept;
    };
    // Unknown: left for a start that can tell; another server's: removed.
    for (const Case& c : {Case{{}, false, true}, Case{made, true, true}, Case{other, false, false}}) {
        LentKeycodeRecord starting(QStringLiteral(":5"), folder.path());
        starting.setServer(c.server);
        EXPECT_EQ(starting.leftovers().files.size(), c.read ? 1 : 0) << c.server.constData();
        EXPECT_EQ(QFile::exists(crashed.path()), c.kept) << c.server.constData();
    }
}

TEST(LentKeycodes, AKeycodeCountsAsLentOnlyWhileMappedAsLendingMapsIt)
{
    constexpr uint32_t han = 0x1004e00, a = 'a', A = 'A';
    struct Case {
        std::vector<uint32_t> levels;
        bool lent;
    };
    for (const Case& c : std::vector<Case>{
             {{han, han, 0, 0}, true},       // as written
             {{han, han, han, han}, true},   // as the server shows it back
             {{han, han, 0, han, 0, 0, 0}, true},
             {{han}, true},                  // one level a keycode
             {{han, 0, han, 0}, false},      // Shift types nothing
             {{han, han, a, 0}, false},      // something else on a level
             {{a, A, a, A}, false},          // a letter key
             {{0, 0, 0, 0}, false},
         })
        EXPECT_EQ(showsLentKeysym(c.levels, han), c.lent) << ::testing::PrintToString(c.levels);
    EXPECT_FALSE(showsLentKeysym({a, a, a, a}, han));
    // A keycode lent a symbol a level.
    constexpr uint32_t alpha = 0x10003b1, Alpha = 0x1000391;
    EXPECT_TRUE(showsLentKeysym({alpha, Alpha, alpha, Alpha}, alpha, Alpha));
    EXPECT_TRUE(showsLentKeysym({alpha, Alpha, 0, 0}, alpha, Alpha));
    EXPECT_FALSE(showsLentKeysym({alpha, alpha, alpha, alpha}, alpha, Alpha));
    EXPECT_FALSE(showsLentKeysym({alpha, Alpha, Alpha, alpha}, alpha, Alpha));
    EXPECT_FALSE(showsLentKeysym({alpha, Alpha, alpha, Alpha}, alpha));
    // Keysyms no character types are never lent.
    for (uint32_t keysym : {0xff1bu /* Escape */, 0xffe1u /* Shift_L */, 0xff52u /* Up */, 0u, 0x1fu})
        EXPECT_FALSE(isLendableKeysym(keysym)) << keysym;
    for (uint32_t keysym : {0xff0du /* Return */, 0x20u, 0xdfu, han, 0xffffffu /* VoidSymbol */})
        EXPECT_TRUE(isLendableKeysym(keysym)) << keysym;
}

TEST(LentKeycodes, TheKeycodesALayoutDescribesComeFromTheServersRuleNames)
{
    using namespace std::string_literals;
    const auto us = layoutKeycodes("evdev\0pc105\0us\0\0\0"s);
    ASSERT_TRUE(us.has_value());
    EXPECT_TRUE((*us)[38] && (*us)[10] && (*us)[50]); // a, 1, Shift
    EXPECT_FALSE((*us)[8] || (*us)[93] || (*us)[248]);
    const auto fr = layoutKeycodes("evdev\0pc105\0us,fr\0\0grp:alt_shift_toggle\0"s);
    ASSERT_TRUE(fr.has_value());
    EXPECT_TRUE((*fr)[38] && !(*fr)[248]);
    // No names, or names that do not compile: the layout cannot be told.
    for (const std::string& names : {""s, "evdev\0pc105\0"s, "evdev\0pc105\0no-such-layout\0\0\0"s})
        EXPECT_FALSE(layoutKeycodes(names).has_value()) << names;
}

TEST(HeldInputRecord, WhatADeadProcessHeldIsReadBackAndAnUnreadableRecordIsRemoved)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const qint64 dead = deadProcessId();
    ASSERT_GT(dead, 0);

    QStringList files;
    {
        HeldInputRecord crashed(QStringLiteral(":5"), folder.path(), dead);
        crashed.setKey(37, true);
        crashed.setKey(50, true);
        crashed.setButton(1, true);
        const qint64 size = QFileInfo(crashed.path()).size();
        crashed.setKey(50, false);
        crashed.setKey(66, true);
        // Rewritten in place, one length.
        EXPECT_EQ(QFileInfo(crashed.path()).size(), size);
        // Left as a killed process would leave it.
        ASSERT_TRUE(QFile::copy(crashed.path(), crashed.path() + ".kept"));
        files << crashed.path();
    }
    EXPECT_FALSE(QFile::exists(files[0])) << "a clean end leaves no record";
    ASSERT_TRUE(QFile::rename(files[0] + ".kept", files[0]));
    const QString garbled = folder.filePath(QStringLiteral("held-input-:5-%1").arg(dead + 1));
    QFile bad(garbled);
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write(stampLine(currentProcessStamp()) + "\nkeys 12\n");
    bad.close();
    // Half written by a process killed in the middle.
    const QString half = folder.filePath(QStringLiteral("held-input-:5-%1.tmp-Ab12Cd").arg(dead));
    ASSERT_TRUE(QFile(half).open(QIODevice::WriteOnly));

    const HeldInputRecord starting(QStringLiteral(":5.0"), folder.path());
    const auto left = starting.leftovers();
    EXPECT_EQ(left.files, QStringList{files[0]});
    for (unsigned kc : {37u, 66u})
        EXPECT_TRUE(HeldInputRecord::isSet(left.keys, kc)) << kc;
    EXPECT_FALSE(HeldInputRecord::isSet(left.keys, 50));
    EXPECT_TRUE(HeldInputRecord::isSet(left.buttons, 1));
    EXPECT_FALSE(QFile::exists(garbled));
    EXPECT_FALSE(QFile::exists(half));
}

} // namespace
} // namespace tovrik::platform::x11

namespace tovrik::platform::x11 {
namespace {

// The clip a killed run left goes at the next start; a live run's (held
// open by a process), links, other names and other users' files stay, and
// nothing goes from a folder that is not the user's own.
TEST(LeftClipFiles, OnlyTheClipsOfDeadRunsGo)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    auto make = [&](const QString& name) {
        QFile file(folder.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("ID3");
        return file.fileName();
    };
    const QString left = make(QStringLiteral("tovrik-speech-a1B2c3.mp3"));
    const QString leftWav = make(QStringLiteral("tovrik-speech-Zz9Yy8.wav"));
    const QStringList others = {make(QStringLiteral("tovrik-speech-a1B2c.mp3")), make(QStringLiteral("tovrik-speech-a1B2c3.ogg")),
                                make(QStringLiteral("tovrik-speech-a1B2c3.mp3.part")), make(QStringLiteral("tovrik-speech-a-B2c3.mp3"))};
    const QString live = make(QStringLiteral("tovrik-speech-L1v3aa.mp3"));
    const QString link = folder.filePath(QStringLiteral("tovrik-speech-L1nk00.mp3"));
    ASSERT_TRUE(QFile::link(live, link));
    QString foreign;
    if (::getuid() == 0) {
        foreign = make(QStringLiteral("tovrik-speech-N0b0dy.mp3"));
        ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
    }
    QProcess holder; // a live run playing its clip
    holder.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exec 3<\"$0\"; echo; exec sleep 30"), live});
    ASSERT_TRUE(holder.waitForReadyRead(10000));

    QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    EXPECT_EQ(removeLeftClipFiles(folder.path()), 0) << "a folder others may enter";
    QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(removeLeftClipFiles(folder.path()), 2);
    EXPECT_FALSE(QFile::exists(left) || QFile::exists(leftWav));
    for (const QString& kept : others + QStringList{live, link} + (foreign.isEmpty() ? QStringList() : QStringList{foreign}))
        EXPECT_TRUE(QFileInfo(kept).exists() || QFileInfo(kept).isSymLink()) << kept.toStdString();
    holder.kill();
    holder.waitForFinished();
    EXPECT_EQ(removeLeftClipFiles(folder.path()), 1) << "the live run's, once it has ended";
}

} // namespace
} // namespace tovrik::platform::x11
