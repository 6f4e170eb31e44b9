#pragma once

// Signed bundles, update archives, the update log and a stand-in for a new
// build for the updater's tests. Bundles are signed by the project's own
// signing script with a key pair each test program makes for itself when it
// first needs one (or another key); no key pair lives in the repository.

#include "common/Constants.h"
#include "updater/MacUpdateService.h"
#include "updater/UpdateManifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>
#include <gtest/gtest.h>

namespace tovrik::test {

inline QString sourceDir() { return qEnvironmentVariable("TOVRIK_SOURCE_DIR"); }

inline int run(const QString& program, const QStringList& args, QByteArray* output = nullptr, int timeoutMs = 30000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs))
        return -1;
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

inline void writeFile(const QString& path, const QByteArray& data, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(data);
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A fresh EC key pair in `folder`: "key.pem" (private) and "pub.pem".
inline bool makeKeyPair(const QString& folder)
{
    QDir().mkpath(folder);
    return run("openssl", {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", folder + "/key.pem"}) == 0
        && run("openssl", {"pkey", "-in", folder + "/key.pem", "-pubout", "-out", folder + "/pub.pem"}) == 0;
}
// This test program's signing pair, made on first use and removed at exit.
inline const QString& testKeyFolder()
{
    static QTemporaryDir folder;
    static const bool made = folder.isValid() && makeKeyPair(folder.path());
    static const QString path = made ? folder.path() : QString();
    return path;
}
// The private key that signs the tests' bundles, and its public half that
// the tests pin.
inline QString testSigningKey() { return testKeyFolder() + "/key.pem"; }
inline QString testPublicKey() { return QString::fromLatin1(readFile(testKeyFolder() + "/pub.pem")).trimmed(); }

// The update log's lines without their time stamps (each must have one).
inline QStringList logLines(const QString& path = update::updateLogURL())
{
    QStringList lines = QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts);
    for (QString& line : lines) {
        EXPECT_TRUE(QRegularExpression("^\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\] ").match(line).hasMatch())
            << line.toStdString();
        line = line.mid(23);
    }
    return lines;
}

struct BundleFacts {
    QString identifier = QStringLiteral("ai.tovrik.mac");
    QString version = QStringLiteral("1.10.15");
    QString build = QStringLiteral("120");
    QString executable = QStringLiteral("Tovrik");
    QString team = constants::macOSDeveloperTeamIdentifier();
    QString key = testSigningKey();
    BundleFacts with(QString BundleFacts::*field, const QString& value) const
    {
        BundleFacts s = *this;
        s.*field = value;
        return s;
    }
};

// A signed bundle at `path` whose executable is `program` (a copied file)
// or the script text `script`.
inline void makeBundle(const QString& path, const BundleFacts& s, const QByteArray& script, const QString& program = {})
{
    QDir(path).removeRecursively();
    writeFile(path + "/Contents/Info.plist",
              QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                             "\t<key>CFBundleIdentifier</key>\n\t<string>%1</string>\n"
                             "\t<key>CFBundleShortVersionString</key>\n\t<string>%2</string>\n"
                             "\t<key>CFBundleVersion</key>\n\t<string>%3</string>\n"
                             "\t<key>CFBundleExecutable</key>\n\t<string>%4</string>\n</dict>\n</plist>\n")
                  .arg(s.identifier, s.version, s.build, s.executable).toUtf8());
    const QString exe = path + "/Contents/MacOS/" + QString(s.executable).replace('/', '_');
    if (program.isEmpty()) {
        writeFile(exe, script, true);
    } else {
        QDir().mkpath(QFileInfo(exe).absolutePath());
        ASSERT_TRUE(QFile::copy(program, exe));
    }
    // The key it pins and the one-step swap tool ship in every bundle, as the packaging puts them there.
    writeFile(path + "/Contents/Resources/update-signing-key.pem", testPublicKey().toLatin1() + "\n");
    const QString exchange = qEnvironmentVariable("TOVRIK_BINARY_DIR") + "/tools/tovrik-exchange";
    ASSERT_TRUE(QFile::copy(exchange, path + "/Contents/MacOS/tovrik-exchange")) << exchange.toStdString();
    QByteArray out;
    ASSERT_EQ(run("/bin/sh", {sourceDir() + "/packaging/sign-bundle.sh", path, s.key, s.team}, &out), 0) << out.toStdString();
}

// The update image: a gzip'd tar of the bundle folder `app` (under its name
// `entry`, which may hold a subfolder).
inline void makeArchive(const QString& app, const QString& archive, const QString& entry = "Tovrik.app")
{
    QByteArray out;
    const QString stage = QFileInfo(archive).absolutePath() + "/.stage-" + QUuid::createUuid().toString(QUuid::Id128);
    QDir().mkpath(QFileInfo(stage + "/" + entry).absolutePath());
    ASSERT_EQ(run("/usr/bin/cp", {"-a", app, stage + "/" + entry}), 0);
    ASSERT_EQ(run("/usr/bin/tar", {"-czf", archive, "-C", stage, entry.section('/', 0, 0)}, &out), 0) << out.toStdString();
    QDir(stage).removeRecursively();
}

inline QString sha256Of(const QString& path)
{
    return QString::fromLatin1(QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex());
}

// A complete manifest of build 121 (version 1.10.15) whose package is `assetUrl`.
inline QJsonObject manifestJSON(const QString& assetUrl, qint64 sizeBytes, const QString& sha256)
{
    return {{"platform", "linux"}, {"version", "1.10.15 (121)"}, {"appVersion", "1.10.15"}, {"bundleBuild", "121"},
            {"bundleIdentifier", "ai.tovrik.mac"}, {"teamIdentifier", constants::macOSDeveloperTeamIdentifier()},
            {"fileName", "f"}, {"storedFileName", "s"}, {"downloadUrl", ""}, {"assetUrl", assetUrl},
            {"sizeBytes", sizeBytes}, {"sha256", sha256}, {"publishedAt", "2026-09-11"}, {"mandatory", false}};
}

inline QString uuid() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }
inline QString token() { return QString(uuid() + uuid()).remove('-').toLower(); }

// The stand-in for a new build: writes the health marker from its two
// options after 0.3 s (with `build` as its build line) and stays alive
// 30 s; "exit" leaves at once. `note` gets a line when it starts.
inline QByteArray standInBuild(const QString& behaviour, const QString& build = "121", const QString& note = {})
{
    if (behaviour == "exit")
        return "#!/bin/sh\nexit 0\n";
    QByteArray s = "#!/bin/zsh\n";
    if (!note.isEmpty())
        s += "print -r -- started >> " + MacUpdateService::shellQuote(note).toUtf8() + "\n";
    return s + "marker= token=\n"
               "while (( $# )); do\n"
               "  case $1 in (--tovrik-update-health-marker) marker=$2; shift ;; (--tovrik-update-health-token) token=$2; shift ;; esac\n"
               "  shift\ndone\n"
               "if [[ -n $marker ]]; then sleep 0.3; print -r -- \"$token\"$'\\n'ai.tovrik.mac$'\\n'"
        + build.toUtf8() + " > \"$marker.tmp\" && mv -n \"$marker.tmp\" \"$marker\"; fi\n"
                           "for i in {1..150}; do sleep 0.2; done\n";
}

} // namespace tovrik::test

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE
