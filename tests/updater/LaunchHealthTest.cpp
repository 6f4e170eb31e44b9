// The launch-health handshake: each refusal with its log line and no
// marker, links at the folder and at the marker, and a published marker
// with its three lines and modes.

#include "UpdateTestSupport.h"

#include <QTemporaryDir>
#include <sys/stat.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class LaunchHealthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir().mkpath(updates);
        bundle.values = {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", " 121\n"}};
    }
    QStringList argsFor(const QString& path, const QString& t) const
    {
        return {"/x/Tovrik", "--tovrik-update-health-marker", path, "--tovrik-update-health-token", t};
    }
    // Signals with `args`; the log then holds at most the one line `refusal`.
    void signal(const QStringList& args, const QString& refusal = {})
    {
        QFile::remove(update::updateLogURL());
        MacUpdateService::signalUpdateLaunchHealth(args, bundle);
        EXPECT_EQ(logLines(), refusal.isEmpty() ? QStringList{}
                                                : QStringList{"Update launch health marker: MacUpdateError: " + refusal});
    }
    QStringList folderEntries() const
    {
        return QDir(updates).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    mode_t modeOf(const QString& path) const
    {
        struct stat st{};
        EXPECT_EQ(::stat(path.toLocal8Bit(), &st), 0) << path.toStdString();
        return st.st_mode & 0777;
    }

    QString updates = update::updatesDirectoryURL(), marker = updates + "/tovrik-health-" + uuid() + ".ready", tok = token();
    const QString notFresh = "Update launch health marker path is not a fresh trusted file.";
    update::BundleInfo bundle;
};

} // namespace

TEST_F(LaunchHealthTest, WritesTheMarkerOnceAndSafely)
{
    ::chmod(updates.toLocal8Bit(), 0755);
    signal(argsFor(updates + "/./sub/../" + QFileInfo(marker).fileName(), tok));
    EXPECT_EQ(readFile(marker), (tok + "\nai.tovrik.mac\n121\n").toUtf8());
    EXPECT_EQ(folderEntries(), QStringList{QFileInfo(marker).fileName()});
    EXPECT_EQ(modeOf(marker), 0600u);
    EXPECT_EQ(modeOf(updates), 0700u);

    // A second pass finds the marker there and refuses to replace it.
    signal(argsFor(marker, tok), notFresh);
    EXPECT_EQ(readFile(marker), (tok + "\nai.tovrik.mac\n121\n").toUtf8());
}

TEST_F(LaunchHealthTest, EachRefusalIsLoggedAndWritesNothing)
{
    const QString incomplete = "Update launch health arguments are incomplete or duplicated.";
    const QString outside = "Update launch health marker path is outside the trusted updates directory.";
    const QString identity = "Running application identity is invalid for the update health marker.";
    const QString badToken = "Update launch health token is invalid.";
    const QString name = QFileInfo(marker).fileName();
    QTemporaryDir elsewhere;
    struct Case {
        const char* name;
        QStringList args;
        QString message;
        QHash<QString, QString> values = {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", "121"}};
    };
    const Case cases[] = {
        {"token only", {"x", "--tovrik-update-health-token", tok}, incomplete},
        {"marker twice", argsFor(marker, tok) + QStringList{"--tovrik-update-health-marker", marker}, incomplete},
        {"token twice", argsFor(marker, tok) + QStringList{"--tovrik-update-health-token", tok}, incomplete},
        {"marker last", {"x", "--tovrik-update-health-token", tok, "--tovrik-update-health-marker"}, incomplete},
        {"upper-case token", argsFor(marker, tok.toUpper()), badToken},
        {"63 digits", argsFor(marker, tok.left(63)), badToken},
        {"subfolder", argsFor(updates + "/sub/" + name, tok), outside},
        {"other folder", argsFor(elsewhere.path() + "/" + name, tok), outside},
        {"wrong suffix", argsFor(updates + "/tovrik-health-" + uuid() + ".txt", tok), outside},
        {"not a UUID", argsFor(updates + "/tovrik-health-fixed.ready", tok), notFresh},
        {"no identifier", argsFor(marker, tok), identity, {{"CFBundleVersion", "121"}}},
        {"build 12a", argsFor(marker, tok), identity, {{"CFBundleIdentifier", "ai.tovrik.mac"}, {"CFBundleVersion", "12a"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bundle.values = c.values;
        signal(c.args, c.message);
        EXPECT_EQ(folderEntries(), QStringList{"tovrik-update.log"});
    }
    // A dangling link where the marker goes.
    bundle.values = cases[0].values;
    ASSERT_TRUE(QFile::link("/nonexistent/target", marker));
    signal(argsFor(marker, tok), notFresh);
    EXPECT_FALSE(QFileInfo::exists("/nonexistent/target"));
}

TEST_F(LaunchHealthTest, NoOptionsDoNothingAndALinkedFolderIsRefused)
{
    signal({"/x/Tovrik", "--other"});
    EXPECT_TRUE(folderEntries().isEmpty());

    QTemporaryDir real;
    QDir(updates).removeRecursively();
    ASSERT_TRUE(QFile::link(real.path(), updates));
    signal(argsFor(marker, tok), "The update health directory is not a trusted physical directory.");
    EXPECT_EQ(QDir(real.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"tovrik-update.log"});
}
