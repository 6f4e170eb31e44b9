// The launch-health handshake: a build started by the swap script proves it
// came up by publishing a marker file (token, bundle identifier, build) that
// the script waits for. Every path is checked without following links, and
// the marker is published without ever replacing anything.

#include "updater/MacUpdateService.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik {

namespace {

const QString kStage = QStringLiteral("Update launch health marker");
const QString kMarkerOption = QStringLiteral("--tovrik-update-health-marker");
const QString kTokenOption = QStringLiteral("--tovrik-update-health-token");

[[noreturn]] void fail(const char* message) { throw MacUpdateError(QString::fromLatin1(message)); }
[[noreturn]] void failErrno(const QString& what)
{
    throw TovrikError(QStringLiteral("POSIXError"), errno, what + ": " + QString::fromLocal8Bit(std::strerror(errno)));
}

bool existsOrIsLink(const QByteArray& path)
{
    struct stat st{};
    return ::lstat(path.constData(), &st) == 0 || errno != ENOENT;
}

// Publishes `from` as `to` only when nothing is at `to`.
bool renameNoReplace(const QByteArray& from, const QByteArray& to)
{
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    // A file system without the flag: a hard link fails on an existing name.
    if (::link(from.constData(), to.constData()) != 0)
        return false;
    ::unlink(from.constData());
    return true;
}

void writeMarker(const QStringList& arguments, const update::BundleInfo& bundle)
{
    QList<int> markerAt, tokenAt;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == kMarkerOption)
            markerAt << i;
        else if (arguments[i] == kTokenOption)
            tokenAt << i;
    }
    if (markerAt.isEmpty() && tokenAt.isEmpty())
        return;
    if (markerAt.size() != 1 || tokenAt.size() != 1 || markerAt[0] + 1 >= arguments.size()
        || tokenAt[0] + 1 >= arguments.size())
        fail("Update launch health arguments are incomplete or duplicated.");
    const QString token = arguments[tokenAt[0] + 1];
    if (!QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(token).hasMatch())
        fail("Update launch health token is invalid.");

    const QString folder = QDir::cleanPath(update::updatesDirectoryURL());
    if (!QDir().mkpath(folder))
        failErrno(QStringLiteral("Could not create ") + folder);
    const QByteArray folderBytes = QFile::encodeName(folder);
    struct stat folderStat{};
    if (::lstat(folderBytes.constData(), &folderStat) != 0)
        failErrno(QStringLiteral("Could not inspect ") + folder);
    char resolved[PATH_MAX];
    if (!S_ISDIR(folderStat.st_mode) || ::realpath(folderBytes.constData(), resolved) == nullptr
        || folderBytes != QByteArray(resolved))
        fail("The update health directory is not a trusted physical directory.");

    const QString markerPath = QDir::cleanPath(QDir::isAbsolutePath(arguments[markerAt[0] + 1])
                                                   ? arguments[markerAt[0] + 1]
                                                   : QDir::current().absoluteFilePath(arguments[markerAt[0] + 1]));
    const QFileInfo marker(markerPath);
    const QString name = marker.fileName();
    const QString prefix = QStringLiteral("tovrik-health-"), suffix = QStringLiteral(".ready");
    if (marker.path() != folder || !name.startsWith(prefix) || !name.endsWith(suffix)
        || name.size() < prefix.size() + suffix.size())
        fail("Update launch health marker path is outside the trusted updates directory.");
    const QByteArray markerBytes = QFile::encodeName(markerPath);
    if (!update::isUUIDText(name.mid(prefix.size(), name.size() - prefix.size() - suffix.size()))
        || existsOrIsLink(markerBytes))
        fail("Update launch health marker path is not a fresh trusted file.");

    const QString identifier = bundle.value(QStringLiteral("CFBundleIdentifier")).value_or(QString());
    const QString build = bundle.value(QStringLiteral("CFBundleVersion")).value_or(QString()).trimmed();
    if (identifier.isEmpty() || !QRegularExpression(QStringLiteral("^[0-9]+$")).match(build).hasMatch())
        fail("Running application identity is invalid for the update health marker.");
    if (::chmod(folderBytes.constData(), 0700) != 0)
        failErrno(QStringLiteral("Could not protect ") + folder);

    const QByteArray content = (token + "\n" + identifier + "\n" + build + "\n").toUtf8();
    const QByteArray temporary = QFile::encodeName(
        folder + "/.tovrik-health-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + ".tmp");
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("Could not create the update health marker safely.");
    struct Cleanup {
        QByteArray path;
        ~Cleanup() { ::unlink(path.constData()); }
    } cleanup{temporary};
    qsizetype written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            failErrno(QStringLiteral("Could not write the update health marker"));
        }
        written += n;
    }
    if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        failErrno(QStringLiteral("Could not write the update health marker"));
    }
    if (::close(fd) != 0)
        failErrno(QStringLiteral("Could not write the update health marker"));
    if (existsOrIsLink(markerBytes))
        fail("Update launch health marker path changed before publication.");
    if (!renameNoReplace(temporary, markerBytes))
        failErrno(QStringLiteral("Could not publish the update health marker"));
}

} // namespace

void MacUpdateService::signalUpdateLaunchHealth(const QStringList& arguments, const update::BundleInfo& bundle)
{
    try {
        writeMarker(arguments, bundle);
    } catch (...) {
        update::logFailure(kStage, std::current_exception());
    }
}

void MacUpdateService::signalUpdateLaunchHealthIfRequested()
{
    signalUpdateLaunchHealth(QCoreApplication::arguments(), update::mainBundle());
}

} // namespace tovrik
