// The on-disk list of lent keycodes: what a line holds, which files a new
// start may read (a dead process's, on the same display only, whatever
// screen of it), and that nothing lent leaves no file behind.

#include "platform/x11/LentKeycodes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace tovrik::platform::x11 {
namespace {

TEST(LentKeycodes, LinesThatDoNotReadAreSkipped)
{
    const auto entries = LentKeycodeRecord::parse("255 16807244\n"  // 界
                                                  "7 16807244\n"    // below the lowest keycode
                                                  "256 16807244\n"  // above the highest
                                                  "200 0\n"         // no symbol
                                                  "200\n"
                                                  "200 65 0\n"     // no shifted symbol
                                                  "200 65 66 67\n"
                                                  "202 945 913\n"  // α, and Α with Shift
                                                  "x 65\n"
                                                  "  201 223  \n"); // ß, blanks around
    EXPECT_EQ(entries, (std::vector<LentKeycode>{{255, 0x100754c}, {202, 945, 913}, {201, 223}}));
}

TEST(LentKeycodes, ANewStartReadsOnlyWhatDeadProcessesLeftOnItsDisplay)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // A process id that no longer runs.
    QProcess gone;
    gone.start(QStringLiteral("true"), {});
    ASSERT_TRUE(gone.waitForStarted(10000));
    const qint64 dead = gone.processId();
    ASSERT_TRUE(gone.waitForFinished(10000));
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

} // namespace
} // namespace tovrik::platform::x11
