// A swap run stopped outright (power loss, the out-of-memory killer, kill -9)
// may leave an unverified build installed with the previous one beside it.
// Its journal in the Updates folder says so; the next start of the app hands
// the same update to the swap script again, which puts the previous build
// back before anything else (see swap-script.zsh). A build the script
// started for its health check never quits for it: it only notes it.
//
// The journal: names and values, each ended by a NUL ("script", "target",
// "argument1".."argument14", "mount", "work", "installing", "verified",
// "ended", "repair-failed", ...). The lock is the one the script holds for
// the whole run: a run holding it is alive. A journal of a run that is over
// and left nothing to repair, and any journal dropped here, goes with what
// it names of its run (in the very shapes the run gives those names), as
// the script's own next run would remove them.

#include "updater/MacUpdateService.h"

#include "common/Clock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <dirent.h>
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

// Removes the entry `name` of the folder `dirFd` and, when it is a folder,
// all it holds, never following a link; each folder is first opened to its
// owner (one unpacked with mode 000 would otherwise stay).
bool removeTreeAt(int dirFd, const char* name)
{
    struct stat st{};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dirFd, name, 0) == 0;
    if ((st.st_mode & S_IRWXU) != S_IRWXU && ::fchmodat(dirFd, name, (st.st_mode & 07777) | S_IRWXU, 0) != 0)
        return false;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    bool ok = true;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ok = removeTreeAt(fd, entry->d_name) && ok;
    }
    ::closedir(dir);
    return ok && ::unlinkat(dirFd, name, AT_REMOVEDIR) == 0;
}

// What the journal names of its run, only in the very shapes the run gives
// those names: its script, its health marker in the Updates folder, and its
// two working folders (folders of this user, not links).
void removeRunFiles(const QHash<QString, QString>& entries, const QString& folder)
{
    static const QString uuid = QStringLiteral("[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}");
    static const QRegularExpression script(QRegularExpression::anchoredPattern("(/[^/]+)*/apply-tovrik-update-" + uuid + "\\.zsh")),
        marker(QRegularExpression::anchoredPattern("tovrik-health-" + uuid + "\\.ready")),
        working(QRegularExpression::anchoredPattern(QStringLiteral("(/[^/]+)*/tovrik-update-(mount|app)\\.[A-Za-z0-9]{6}")));
    const auto plain = [](const QString& path) {
        return !("/" + path + "/").contains(QLatin1String("/./")) && !("/" + path + "/").contains(QLatin1String("/../"));
    };
    struct stat st{};
    const QString path = entries.value(QStringLiteral("script"));
    const QByteArray name = QFile::encodeName(path);
    if (script.match(path).hasMatch() && plain(path) && ::lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode))
        ::unlink(name.constData());
    const QString health = entries.value(QStringLiteral("argument13"));
    const QString leaf = health.mid(health.lastIndexOf('/') + 1);
    if (health == folder + "/" + leaf && marker.match(leaf).hasMatch())
        ::unlink(QFile::encodeName(health).constData());
    for (const QString& key : {QStringLiteral("mount"), QStringLiteral("work")}) {
        const QString dir = entries.value(key);
        const QByteArray bytes = QFile::encodeName(dir);
        if (working.match(dir).hasMatch() && plain(dir) && ::lstat(bytes.constData(), &st) == 0 && S_ISDIR(st.st_mode)
            && st.st_uid == ::geteuid())
            removeTreeAt(AT_FDCWD, bytes.constData());
    }
}

const QString kResumeStage = QStringLiteral("Resuming an interrupted update");

void dropJournal(const QString& journalPath, const QHash<QString, QString>& entries, const QString& folder)
{
    removeRunFiles(entries, folder);
    QFile::remove(journalPath);
}

void logDropped(const QString& journalPath, const QHash<QString, QString>& entries, const QString& folder, const char* why)
{
    update::logFailure(kResumeStage, std::make_exception_ptr(MacUpdateError(QString::fromLatin1(why))));
    dropJournal(journalPath, entries, folder);
}

QString buildOf(const QString& bundle)
{
    return update::readPropertyListStrings(bundle + "/Contents/Info.plist")
        .value_or(QHash<QString, QString>{})
        .value(QStringLiteral("CFBundleVersion"));
}

// Whether the install folder still matches a swap from `old` to `fresh`
// that was never verified, the installed build being `installed`: it is
// `old`, or it is `fresh` with a bundle of `old` beside it (the hidden
// names the swap script gives its staging bundles and backups).
bool folderMatches(const QString& parent, const QString& appName, const QString& installed, const QString& old,
                   const QString& fresh)
{
    if (old.isEmpty() || installed == old)
        return true;
    if (installed != fresh)
        return false;
    const QDir dir(parent);
    const QStringList names = dir.entryList({"." + appName + ".update.*.app", "." + appName + ".backup.*.app",
                                             "." + appName + ".update.*.app.aside"},
                                            QDir::Dirs | QDir::Hidden | QDir::NoSymLinks);
    for (const QString& name : names)
        if (buildOf(parent + "/" + name) == old)
            return true;
    return false;
}

// Root's record beside a target the user cannot write: the previous and the
// new build of root's swap, one a line; only a regular file of the install
// folder's owner counts.
std::optional<std::pair<QString, QString>> rootRecord(const QString& parent, const QString& appName)
{
    struct stat folder{};
    if (::stat(QFile::encodeName(parent).constData(), &folder) != 0)
        return std::nullopt;
    const QString path = parent + "/." + appName + ".root.record";
    struct stat st{};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || st.st_uid != folder.st_uid)
        return std::nullopt;
    const auto data = readRegularFile(path, 64);
    if (!data)
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(*data).split('\n');
    if (lines.size() < 2)
        return std::nullopt;
    return std::pair{lines[0], lines[1]};
}

// The swap script's own checks of its arguments (those it refuses with 69
// to 72), so that a journal it would refuse is never handed over. Matched
// as the script matches: the whole value (a trailing newline included).
bool scriptAccepts(const QStringList& a, const QString& appName)
{
    static const QRegularExpression digits(QRegularExpression::anchoredPattern(QStringLiteral("[0-9]+"))),
        size(QRegularExpression::anchoredPattern(QStringLiteral("[1-9][0-9]*"))),
        sha(QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-f]{64}")));
    return a.size() == 14 && a[2].startsWith('/') && QFileInfo(a[2]).fileName() == appName + ".app"
        && a[3] == appName && digits.match(a[7]).hasMatch() && digits.match(a[9]).hasMatch()
        && size.match(a[10]).hasMatch() && !a[8].isEmpty() && sha.match(a[11]).hasMatch();
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
    const QString journalPath = *folder + "/tovrik-update-" + key + ".journal";
    const auto journal = readRegularFile(journalPath, maximumJournalBytes);
    if (!journal)
        return std::nullopt;
    const QList<QByteArray> fields = journal->split('\0');
    QHash<QString, QString> entries;
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
        entries.insert(QString::fromUtf8(fields[i]), QString::fromUtf8(fields[i + 1]));
    // A run whose previous build could not be put back is left to the next
    // update (a start that hands it over again could only fail again).
    if (entries.contains(QStringLiteral("repair-failed")) || entries.value(QStringLiteral("target")) != target)
        return std::nullopt;
    const QString runtime = QStringLiteral("/run/user/%1").arg(::geteuid());
    struct stat st{};
    const bool ownRuntime = ::lstat(QFile::encodeName(runtime).constData(), &st) == 0 && S_ISDIR(st.st_mode)
        && st.st_uid == ::geteuid();
    *runAlive = lockHeld((ownRuntime ? runtime : *folder) + "/tovrik-update-" + key + ".lock");
    // Over with nothing to repair: it never swapped, or verified, or its
    // ending had begun when it was stopped.
    if (entries.value(QStringLiteral("installing")).isEmpty() || entries.contains(QStringLiteral("verified"))
        || entries.contains(QStringLiteral("ended"))) {
        if (!*runAlive)
            dropJournal(journalPath, entries, *folder);
        return std::nullopt;
    }
    QStringList scriptArguments;
    for (int i = 1; i <= 14; ++i) {
        const QString name = QStringLiteral("argument%1").arg(i);
        if (!entries.contains(name))
            return std::nullopt;
        scriptArguments << entries.value(name);
    }
    if (*runAlive)
        return scriptArguments;
    // A journal that no longer matches the install folder (a build installed
    // by other means, no copy of the previous one left), or, where root
    // swapped, one that disagrees with root's own record, is dropped.
    const QString old = entries.value(QStringLiteral("old")), fresh = entries.value(QStringLiteral("new"));
    const QString build = installedBundle().value(QStringLiteral("CFBundleVersion")).value_or(QString()).trimmed();
    if (!folderMatches(parent, m_appName, build, old, fresh)) {
        logDropped(journalPath, entries, *folder, "An interrupted update no longer matches the installed application; its journal was dropped.");
        return std::nullopt;
    }
    if (::access(QFile::encodeName(parent).constData(), W_OK) != 0 && rootRecord(parent, m_appName) != std::pair{old, fresh}) {
        logDropped(journalPath, entries, *folder, "An interrupted update's journal does not match the install's own record; it was dropped.");
        return std::nullopt;
    }
    // Handed over for the install this build matched, with this build's name
    // and log; taken up only when the script would accept it.
    scriptArguments[2] = installed;
    scriptArguments[3] = m_appName;
    scriptArguments[4] = update::updateLogURL();
    if (!scriptAccepts(scriptArguments, m_appName)) {
        logDropped(journalPath, entries, *folder, "An interrupted update's arguments are not valid; its journal was dropped.");
        return std::nullopt;
    }
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
        if (alive) {
            self->lookAtHealthCheckIn(healthCheckRepeat);
            return;
        }
        // Never quits under the user: the next start or update run takes it up.
        update::logFailure(kResumeStage, std::make_exception_ptr(MacUpdateError(QStringLiteral(
            "The update that started this build was stopped before it was verified; it is taken up at the next start."))));
    });
}

} // namespace tovrik
