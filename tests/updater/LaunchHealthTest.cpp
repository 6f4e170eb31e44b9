// The launch-health handshake: each refusal with its log line and no
// marker, links at the folder and at the marker, and a published marker
// with its three lines and modes.

#include "UpdateTestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <sys/stat.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class LaunchHealthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        updates = update::updatesDirectoryURL();
        QDir().mkpath(updates);
        marker = updates + "/tovrik-health-" + uuid() + ".ready";
        tok = token();
        bundle.values = {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", " 121\n"}};
    }
    QStringList argsFor(const QString& path, const QString& t) const
    {
        return {"/x/Tovrik", "--tovrik-update-health-marker", path, "--tovrik-update-health-token", t};
    }
    QString logText() const { return QString::fromUtf8(readFile(update::updateLogURL())); }
    QStringList folderEntries() const
    {
        return QDir(updates).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    QString updates, marker, tok;
    update::BundleInfo bundle;
};

} // namespace

TEST_F(LaunchHealthTest, WritesTheMarkerOnceAndSafely)
{
    ::chmod(updates.toLocal8Bit(), 0755);
    MacUpdateService::signalUpdateLaunchHealth(argsFor(updates + "/./sub/../" + QFileInfo(marker).fileName(), tok), bundle);
    EXPECT_EQ(readFile(marker), (tok + "\nai.tovrik.mac\n121\n").toUtf8());
    EXPECT_EQ(folderEntries(), QStringList{QFileInfo(marker).fileName()});
    struct stat st{};
    ASSERT_EQ(::stat(marker.toLocal8Bit(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(updates.toLocal8Bit(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A second pass finds the marker there and refuses to replace it.
    MacUpdateService::signalUpdateLaunchHealth(argsFor(marker, tok), bundle);
    EXPECT_TRUE(logText().contains("Update launch health marker: MacUpdateError: Update launch health marker path is not a fresh trusted file."));
    EXPECT_EQ(readFile(marker), (tok + "\nai.tovrik.mac\n121\n").toUtf8());
}

TEST_F(LaunchHealthTest, EachRefusalIsLoggedAndWritesNothing)
{
    const QString incomplete = "Update launch health arguments are incomplete or duplicated.";
    const QString outside = "Update launch health marker path is outside the trusted updates directory.";
    const QString notFresh = "Update launch health marker path is not a fresh trusted file.";
    const QString identity = "Running application identity is invalid for the update health marker.";
    QTemporaryDir elsewhere;
    struct Case {
        const char* name;
        QStringList args;
        QString message;
        QHash<QString, QString> values = {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", "121"}};
    };
    const QList<Case> cases = {
        {"token only", {"x", "--tovrik-update-health-token", tok}, incomplete},
        {"marker twice", argsFor(marker, tok) + QStringList{"--tovrik-update-health-marker", marker}, incomplete},
        {"token twice", argsFor(marker, tok) + QStringList{"--tovrik-update-health-token", tok}, incomplete},
        {"marker last", {"x", "--tovrik-update-health-token", tok, "--tovrik-update-health-marker"}, incomplete},
        {"upper-case token", argsFor(marker, tok.toUpper()), "Update launch health token is invalid."},
        {"63 digits", argsFor(marker, tok.left(63)), "Update launch health token is invalid."},
        {"subfolder", argsFor(updates + "/sub/" + QFileInfo(marker).fileName(), tok), outside},
        {"other folder", argsFor(elsewhere.path() + "/" + QFileInfo(marker).fileName(), tok), outside},
        {"wrong suffix", argsFor(updates + "/tovrik-health-" + uuid() + ".txt", tok), outside},
        {"not a UUID", argsFor(updates + "/tovrik-health-fixed.ready", tok), notFresh},
        {"no identifier", argsFor(marker, tok), identity, {{"CFBundleVersion", "121"}}},
        {"build 12a", argsFor(marker, tok), identity, {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", "12a"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(update::updateLogURL());
        update::BundleInfo b;
        b.values = c.values;
        MacUpdateService::signalUpdateLaunchHealth(c.args, b);
        EXPECT_EQ(logText().section("] ", 1).trimmed(), "Update launch health marker: MacUpdateError: " + c.message);
        EXPECT_EQ(folderEntries(), QStringList{"tovrik-update.log"});
    }
    // A dangling link where the marker goes.
    QFile::remove(update::updateLogURL());
    ASSERT_TRUE(QFile::link("/nonexistent/target", marker));
    MacUpdateService::signalUpdateLaunchHealth(argsFor(marker, tok), bundle);
    EXPECT_TRUE(logText().contains(notFresh));
    EXPECT_FALSE(QFileInfo::exists("/nonexistent/target"));
}

TEST_F(LaunchHealthTest, NoOptionsDoNothingAndALinkedFolderIsRefused)
{
    MacUpdateService::signalUpdateLaunchHealth({"/x/Tovrik", "--other"}, bundle);
    EXPECT_FALSE(QFileInfo::exists(update::updateLogURL()));
    EXPECT_TRUE(folderEntries().isEmpty());

    QTemporaryDir real;
    QDir(updates).removeRecursively();
    ASSERT_TRUE(QFile::link(real.path(), updates));
    MacUpdateService::signalUpdateLaunchHealth(argsFor(marker, tok), bundle);
    EXPECT_TRUE(logText().contains("The update health directory is not a trusted physical directory."));
    EXPECT_EQ(QDir(real.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"tovrik-update.log"});
}
