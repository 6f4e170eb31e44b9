// Private folders: made 0700 when they are the user's, refused when they
// belong to another user (who could read and replace what goes in them).

#include "common/PrivateFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace tovrik {
namespace {

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PrivateFiles, AFolderIsMadePrivateOnlyWhenItIsTheUsersOwn)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    QString error;
    const QString made = scratch.filePath("a/b/c");
    ASSERT_TRUE(makePrivateDirectory(made, &error)) << error.toStdString();
    EXPECT_EQ(modeOf(made), 0700u);
    ::chmod(QFile::encodeName(made).constData(), 0755);
    ASSERT_TRUE(makePrivateDirectory(made, &error)) << error.toStdString();
    EXPECT_EQ(modeOf(made), 0700u);

    if (::getuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user here";
    const QString theirs = scratch.filePath("theirs");
    ASSERT_TRUE(makePrivateDirectory(theirs, &error));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    ::chmod(QFile::encodeName(theirs).constData(), 0777);
    EXPECT_FALSE(makePrivateDirectory(theirs, &error));
    EXPECT_EQ(error, QStringLiteral("its folder belongs to another user"));
    EXPECT_EQ(modeOf(theirs), 0777u) << "another user's folder was changed";
}

} // namespace
} // namespace tovrik
