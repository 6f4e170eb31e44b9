// The bundle functions that the swap script carries, under real zsh with the
// real tools: what an update image may hold before anything of it is
// written (expanded size, entry count, entries outside the bundle), what
// unpacking writes, and a signature that covers every folder, file and mode
// of a bundle.

#include "UpdateTestSupport.h"

#include <QTemporaryDir>

#include <sys/stat.h>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class UpdateImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        ASSERT_FALSE(testSigningKey().isEmpty());
    }
    static QString functionsFile() { return sourceDir() + "/src/updater/bundle-functions.zsh"; }
    // Runs `body` in strict zsh with the functions loaded; `output` gets
    // both streams.
    int zsh(const QString& body, const QStringList& args, QString* output = nullptr)
    {
        QByteArray out;
        const int code = run("/bin/zsh", QStringList{"-fc", "set -euo pipefail; source \"$1\"; shift; KEY_FILE=$1; shift; " + body,
                                                     "zsh", functionsFile(), root.path() + "/pub.pem"} + args,
                             &out, 120000);
        if (output)
            *output = QString::fromUtf8(out).trimmed();
        return code;
    }
    // A signed bundle of a small program at root/<name>.
    QString signedBundle(const QString& name = "stage/Tovrik.app")
    {
        const QString path = root.path() + "/" + name;
        makeBundle(path, BundleFacts(), "#!/bin/sh\nexit 0\n");
        return path;
    }
    // The gzip'd tar of root/stage with `paths`, names changed by `transform` (a sed expression).
    QString archive(const QStringList& paths, const QString& transform = {})
    {
        const QString file = root.path() + "/image.tar.gz";
        QFile::remove(file);
        QStringList args{"-P", "-czf", file, "-C", root.path() + "/stage"};
        if (!transform.isEmpty())
            args << "--transform" << transform;
        QByteArray out;
        EXPECT_EQ(run("/usr/bin/tar", args + paths, &out), 0) << out.toStdString();
        return file;
    }
    QTemporaryDir root;
};

} // namespace

TEST_F(UpdateImageTest, AnImageIsAssessedBeforeAnythingIsWritten)
{
    signedBundle();
    writeFile(root.path() + "/stage/Other.app/x", "x");
    writeFile(root.path() + "/stage/README", "read me");
    const struct {
        const char* name;
        QStringList paths;
        QString transform;
        int code;
        QString outcome; // the bundle entry found, or the refusal
    } cases[] = {
        {"the bundle", {"Tovrik.app"}, {}, 0, "Tovrik.app"},
        {"one folder above it", {"Tovrik.app"}, "s,^,Release/,", 0, "Release/Tovrik.app"},
        {"two folders above it", {"Tovrik.app"}, "s,^,a/b/,", 0, ""},
        {"no bundle", {"Other.app"}, {}, 0, ""},
        {"a file beside the bundle", {"Tovrik.app", "README"}, {}, 3, "Update image entry lies outside the app bundle: README"},
        {"another folder beside it", {"Tovrik.app", "Other.app"}, {}, 3, "Update image entry lies outside the app bundle: Other.app"},
        {"two bundles", {"Tovrik.app"}, "s,^Tovrik.app/Contents/MacOS,x/Tovrik.app,", 3,
         "Update image holds more than one app bundle."},
        {"a parent entry", {"Tovrik.app"}, "s,^,../,", 3, "Update image entry leaves the image: ../Tovrik.app/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString image = archive(c.paths, c.transform);
        QString output;
        EXPECT_EQ(zsh("assess_image \"$1\" Tovrik \"$2\"; print -r -- \"[$IMAGE_BUNDLE]\"",
                      {image, QString::number(QFileInfo(image).size())}, &output), c.code);
        EXPECT_EQ(output.section('\n', -1), c.code == 0 ? "[" + c.outcome + "]" : c.outcome); // after any word of tar's
    }
    // A folder that its owner could not enter would outlive the clean-up.
    const QString locked = root.path() + "/stage/Tovrik.app/Contents/Locked";
    QDir().mkpath(locked);
    ASSERT_EQ(::chmod(locked.toLocal8Bit(), 0), 0);
    const QString image = archive({"Tovrik.app"});
    QString output;
    EXPECT_EQ(zsh("assess_image \"$1\" Tovrik 999999", {image}, &output), 3);
    EXPECT_EQ(output, "Update image holds a folder that its owner cannot read, enter and change.");
}

TEST_F(UpdateImageTest, AnImageBeyondItsSizeOrEntryLimitIsRefusedUnwritten)
{
    // 40 MiB of zeros pack into a few tens of KiB: far more than 16 times
    // the package plus 1 MiB.
    const QString app = signedBundle();
    QFile big(app + "/Contents/Resources/zeros");
    QDir().mkpath(QFileInfo(big).absolutePath());
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(40 << 20));
    big.close();
    const QString image = archive({"Tovrik.app"});
    const QString out = root.path() + "/out";
    QDir().mkpath(out);
    QString output;
    const qint64 size = QFileInfo(image).size();
    EXPECT_EQ(zsh("assess_image \"$1\" Tovrik \"$2\" && unpack_image \"$1\" \"$3\"", {image, QString::number(size), out}, &output), 3);
    EXPECT_EQ(output, "Update image expands to more than " + QString::number(size * 16 + 1048576) + " bytes.");
    EXPECT_TRUE(QDir(out).isEmpty());
    // Manifest sizes that allow it: the same image passes and unpacks.
    EXPECT_EQ(zsh("assess_image \"$1\" Tovrik \"$2\" && unpack_image \"$1\" \"$3\"", {image, QString::number(size * 4096), out}), 0);
    EXPECT_EQ(QFileInfo(out + "/Tovrik.app/Contents/Resources/zeros").size(), 40 << 20);

    // 10001 entries: 9991 small files beside the bundle's five folders and five files.
    QDir(app + "/Contents/Resources").removeRecursively();
    for (int i = 0; i < 9991; ++i)
        writeFile(app + "/Contents/Resources/" + QString::number(i), "");
    const QString many = archive({"Tovrik.app"});
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    EXPECT_EQ(zsh("assess_image \"$1\" Tovrik \"$2\" && unpack_image \"$1\" \"$3\"", {many, QString::number(1 << 20), out}, &output), 3);
    EXPECT_EQ(output, "Update image holds 10001 entries, more than 10000.");
    EXPECT_TRUE(QDir(out).isEmpty());
}

TEST_F(UpdateImageTest, UnpackingWritesOnlyTheBundleWithItsModes)
{
    const QString app = signedBundle();
    ASSERT_EQ(::chmod((app + "/Contents/MacOS").toLocal8Bit(), 0750), 0);
    ASSERT_EQ(run("/bin/sh", {sourceDir() + "/packaging/sign-bundle.sh", app, testSigningKey(), "T"}), 0);
    const QString image = archive({"Tovrik.app"}, "s,^,Release/,");
    const QString out = root.path() + "/out";
    QDir().mkpath(out);
    EXPECT_EQ(zsh("umask 077; assess_image \"$1\" Tovrik 999999 && unpack_image \"$1\" \"$2\"", {image, out}), 0);
    EXPECT_EQ(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"Release"});
    struct stat st{};
    ASSERT_EQ(::stat((out + "/Release/Tovrik.app/Contents/MacOS").toLocal8Bit(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    ASSERT_EQ(::stat((out + "/Release/Tovrik.app/Contents/Info.plist").toLocal8Bit(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u); // not narrowed by the umask
    writeFile(root.path() + "/pub.pem", testPublicKey().toLatin1() + "\n");
    EXPECT_EQ(zsh("verify_bundle \"$1\"", {out + "/Release/Tovrik.app"}), 0);
}

// Everything in a bundle is signed (the script's own cases add a file, a
// folder and a file's mode): any change after signing fails the check, and
// signing it again makes it pass. Group or other write and set-id bits are
// refused outright (root installs the modes as signed); signing takes them off.
TEST_F(UpdateImageTest, TheSignatureCoversEveryFolderFileAndMode)
{
    writeFile(root.path() + "/pub.pem", testPublicKey().toLatin1() + "\n");
    const QString mismatch = "Bundle contents do not match their signature: ";
    const QString writable = "Entry that group or others may write, or with a set-id bit, inside the bundle: ";
    const struct {
        const char* name;
        std::function<void(const QString&)> change;
        QString message;
    } cases[] = {
        {"a file added beside the signature", [](const QString& app) { writeFile(app + "/Contents/_CodeSignature/extra", "x"); }, mismatch},
        {"a folder's mode changed", [](const QString& app) { ::chmod((app + "/Contents/MacOS").toLocal8Bit(), 0700); }, mismatch},
        {"the bundle folder's mode changed", [](const QString& app) { ::chmod(app.toLocal8Bit(), 0700); }, mismatch},
        {"a folder others may write", [](const QString& app) { ::chmod((app + "/Contents/MacOS").toLocal8Bit(), 0777); },
         writable + "./Contents/MacOS"},
        {"a set-user-id program", [](const QString& app) { ::chmod((app + "/Contents/MacOS/Tovrik").toLocal8Bit(), 04755); },
         writable + "./Contents/MacOS/Tovrik"},
        {"a signature file the group may write",
         [](const QString& app) { ::chmod((app + "/Contents/_CodeSignature/CodeSignature").toLocal8Bit(), 0664); },
         writable + "./Contents/_CodeSignature/CodeSignature"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString app = signedBundle();
        EXPECT_EQ(zsh("verify_bundle \"$1\"", {app}), 0);
        c.change(app);
        QString output;
        EXPECT_EQ(zsh("verify_bundle \"$1\"", {app}, &output), 1);
        EXPECT_EQ(output, c.message.startsWith(mismatch) ? c.message + app : c.message);
        QByteArray out;
        ASSERT_EQ(run("/bin/sh", {sourceDir() + "/packaging/sign-bundle.sh", app, testSigningKey(), "T"}, &out), 0) << out.toStdString();
        EXPECT_EQ(zsh("verify_bundle \"$1\"", {app}), 0);
    }
    // What cannot be listed cannot be signed.
    const QString app = signedBundle();
    QFile::link("/etc/passwd", app + "/Contents/passwd");
    QByteArray out;
    EXPECT_EQ(run("/bin/sh", {sourceDir() + "/packaging/sign-bundle.sh", app, testSigningKey(), "T"}, &out), 1);
    EXPECT_TRUE(out.contains("neither a file nor a folder inside the bundle: ./Contents/passwd")) << out.toStdString();
    // The swap script carries these very functions.
    EXPECT_TRUE(MacUpdateService::swapScriptText("/r", "k").contains(QString::fromUtf8(readFile(functionsFile()))));
}
