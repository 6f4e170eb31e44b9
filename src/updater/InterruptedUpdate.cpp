// A swap run stopped outright (power loss, the out-of-memory killer, kill -9)
// may leave an unverified build installed with the previous one beside it.
// Its journal in the Updates folder says so; the next start of the app hands
// the same update to the swap script again, which puts the previous build
// back before anything else (see swap-script.zsh).
//
// The journal: names and values, each ended by a NUL ("script", "target",
// "argument1".."argument14", "installing", "verified", "repair-failed", ...).
// The lock is the one the script holds for the whole run: a run holding it
// is alive.

#include "updater/MacUpdateService.h"

#include "common/Clock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik {

namespace {

constexpr qint64 maximumJournalBytes = 1 << 16;

// The file's bytes when it is a regular file (not followed through a link)
// of at most `limit` bytes.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 limit)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st{};
    QByteArray data;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= limit) {
        data.resize(qsizetype(st.st_size));
        qsizetype got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, size_t(data.size() - got));
            if (n <= 0)
                break;
            got += n;
        }
        data.truncate(got);
        ::close(fd);
        return data;
    }
    ::close(fd);
    return std::nullopt;
}

// Whether a swap run holds the lock at `path` (a lock that cannot be
// checked counts as held: nothing is started then).
bool lockHeld(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT;
    struct stat st{};
    struct flock probe{};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_GETLK, &probe) != 0
        || probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

} // namespace

namespace {

bool isHealthLaunch(const QStringList& arguments)
{
    return arguments.contains(QStringLiteral("--tovrik-update-health-marker"))
        || arguments.contains(QStringLiteral("--tovrik-update-health-token"));
}

} // namespace

std::optional<QStringList> MacUpdateService::interruptedRun(bool* runAlive) const
{
    const QString installed = installedTargetAppURL();
    const auto folder = update::updatesDirectoryPath();
    if (installed.isEmpty() || !folder || !installBlocker().isEmpty())
        return std::nullopt;
    // The install path as the script names it: its folder with links resolved.
    const QString parent = QFileInfo(QFileInfo(installed).absolutePath()).canonicalFilePath();
    if (parent.isEmpty())
        return std::nullopt;
    const QString target = parent + "/" + QFileInfo(installed).fileName();
    const QString key = QString::fromLatin1(
        QCryptographicHash::hash(QFile::encodeName(target), QCryptographicHash::Sha256).toHex().left(16));
    const auto journal = readRegularFile(*folder + "/tovrik-update-" + key + ".journal", maximumJournalBytes);
    if (!journal)
        return std::nullopt;
    const QList<QByteArray> fields = journal->split('\0');
    QHash<QString, QString> entries;
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
        entries.insert(QString::fromUtf8(fields[i]), QString::fromUtf8(fields[i + 1]));
    // A run whose previous build could not be put back is left to the next
    // update (a start that hands it over again could only fail again).
    if (entries.value(QStringLiteral("installing")).isEmpty() || entries.contains(QStringLiteral("verified"))
        || entries.contains(QStringLiteral("repair-failed")) || entries.value(QStringLiteral("target")) != target)
        return std::nullopt;
    QStringList scriptArguments;
    for (int i = 1; i <= 14; ++i) {
        const QString name = QStringLiteral("argument%1").arg(i);
        if (!entries.contains(name))
            return std::nullopt;
        scriptArguments << entries.value(name);
    }
    const QString runtime = QStringLiteral("/run/user/%1").arg(::geteuid());
    struct stat st{};
    const bool ownRuntime = ::lstat(QFile::encodeName(runtime).constData(), &st) == 0 && S_ISDIR(st.st_mode)
        && st.st_uid == ::geteuid();
    *runAlive = lockHeld((ownRuntime ? runtime : *folder) + "/tovrik-update-" + key + ".lock");
    return scriptArguments;
}

bool MacUpdateService::takeUpInterruptedRun(QStringList scriptArguments)
{
    try {
        const QString scriptPath = writeSwapScript();
        const auto [marker, token] = freshHealthMarker();
        scriptArguments[0] = ownProcessIdentifier();
        scriptArguments[12] = marker;
        scriptArguments[13] = token;
        launchSwapScript(scriptPath, scriptArguments);
    } catch (...) {
        update::logFailure(QStringLiteral("Resuming an interrupted update"), std::current_exception());
        return false;
    }
    return true;
}

bool MacUpdateService::resumeInterruptedUpdate(const QStringList& arguments)
{
    if (isHealthLaunch(arguments))
        return false;
    bool alive = true;
    const auto run = interruptedRun(&alive);
    return run && !alive && takeUpInterruptedRun(*run);
}

void MacUpdateService::watchHealthCheck(const QStringList& arguments, double delay)
{
    if (isHealthLaunch(arguments))
        lookAtHealthCheckIn(delay);
}

void MacUpdateService::lookAtHealthCheckIn(double delay)
{
    QPointer<MacUpdateService> self(this);
    Clock::instance().schedule(delay, this, [self] {
        if (!self)
            return;
        bool alive = true;
        const auto run = self->interruptedRun(&alive);
        if (!run)
            return; // verified, rolled back, or not this bundle's
        if (alive)
            self->lookAtHealthCheckIn(healthCheckRepeat);
        else
            self->takeUpInterruptedRun(*run);
    });
}

} // namespace tovrik
