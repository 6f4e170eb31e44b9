#include "platform/x11/ProcessRecords.h"

#include "platform/x11/Xcb.h"

#include <QDir>
#include <QFile>

#include <QRandomGenerator>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik::platform::x11 {

namespace {

constexpr qint64 kLargestRecord = 64 * 1024;

QByteArray native(const QString& path) { return QFile::encodeName(path); }

// The whole of a small file under /proc (empty when it cannot be read).
QByteArray readProcFile(const char* path)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.read(4096);
}

const QByteArray& bootId()
{
    static const QByteArray id = [] {
        const QByteArray text = readProcFile("/proc/sys/kernel/random/boot_id").trimmed();
        return text.isEmpty() || text.contains(' ') ? QByteArray("-") : text;
    }();
    return id;
}

bool procReadable()
{
    static const bool readable = !readProcFile("/proc/self/stat").isEmpty();
    return readable;
}

// Whether the folder `path` (not a link) belongs to this user and nobody
// else may write in it; with `strict`, nobody else may enter it either.
bool ownFolder(const QString& path, bool strict)
{
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    return (st.st_mode & (strict ? 077 : 022)) == 0;
}

// `folder` below `base`: the folders in between are made (0700) where
// missing and must be the user's and writable by nobody else; `folder`
// itself ends up 0700.
bool makeFolderBelow(const QString& base, const QString& folder)
{
    struct stat st {};
    if (::stat(native(base).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()
        || (st.st_mode & 002))
        return false;
    QString path = base;
    for (const QString& part : folder.mid(base.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        if (::mkdir(native(path).constData(), 0700) != 0 && errno != EEXIST)
            return false;
        if (!ownFolder(path, false))
            return false;
    }
    if (!ownFolder(folder, true) && (!ownFolder(folder, false) || ::chmod(native(folder).constData(), 0700) != 0))
        return false;
    return ownFolder(folder, true);
}

} // namespace

std::optional<ProcessStamp> processStamp(qint64 pid)
{
    if (pid <= 0)
        return std::nullopt;
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/stat";
    const QByteArray text = readProcFile(path.constData());
    // "pid (name) state ppid ...": the name may hold blanks and brackets,
    // so the fields are counted from the last ')'. The start time is the
    // 22nd field, the 20th after the name.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 1).simplified().split(' ');
    bool ok = false;
    const quint64 start = fields.size() > 19 ? fields[19].toULongLong(&ok) : 0;
    if (!ok)
        return std::nullopt;
    return ProcessStamp{start, bootId()};
}

ProcessStamp currentProcessStamp()
{
    static const ProcessStamp stamp = processStamp(qint64(::getpid())).value_or(ProcessStamp{0, bootId()});
    return stamp;
}

bool processStillRuns(qint64 pid, const ProcessStamp& stamp)
{
    if (pid <= 0 || stamp.bootId != bootId())
        return false;
    if (!procReadable())
        return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
    const auto now = processStamp(pid);
    return now && now->startTime == stamp.startTime;
}

QByteArray stampLine(const ProcessStamp& stamp)
{
    return "process " + QByteArray::number(stamp.startTime) + ' ' + stamp.bootId;
}

std::optional<ProcessStamp> parseStampLine(const QByteArray& line)
{
    const QList<QByteArray> fields = line.trimmed().split(' ');
    if (fields.size() != 3 || fields[0] != "process" || fields[2].isEmpty())
        return std::nullopt;
    bool ok = false;
    const quint64 start = fields[1].toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return ProcessStamp{start, fields[2]};
}

bool isPrivateFolder(const QString& path) { return !path.isEmpty() && ownFolder(path, true); }

QString recordFolder(bool create)
{
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (runtime.startsWith(QLatin1Char('/')) && isPrivateFolder(runtime)) {
        const QString folder = runtime + QStringLiteral("/Tovrik");
        struct stat st {};
        const bool missing = ::lstat(native(folder).constData(), &st) != 0 && errno == ENOENT;
        if ((missing && !create) || (create ? makeFolderBelow(runtime, folder) : ownFolder(folder, false)))
            return folder;
    }
    // No runtime folder of the user's own: one under the home folder, never
    // a shared temporary folder.
    const QString home = QDir::homePath();
    if (!home.startsWith(QLatin1Char('/')) || home == QLatin1String("/"))
        return {};
    const QString folder = home + QStringLiteral("/.local/state/Tovrik/records");
    if (!create)
        return folder;
    return makeFolderBelow(home, folder) ? folder : QString();
}

QByteArray serverMark(xcb_connection_t* conn)
{
    constexpr qsizetype kLength = 32;
    if (!conn || xcb_connection_has_error(conn))
        return {};
    const xcb_atom_t atom = internAtom(conn, "_TOVRIK_SERVER_MARK");
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    const auto read = [&] {
        const PropertyValue value = getProperty(conn, root, atom, XCB_ATOM_STRING);
        return value.format == 8 && value.data.size() >= kLength ? value.data.left(kLength) : QByteArray();
    };
    QByteArray mark = read();
    if (mark.isEmpty() && atom != XCB_ATOM_NONE) {
        // Appended, not replaced: of two processes that find none at once,
        // both read the first one's.
        quint32 words[kLength / 8];
        QRandomGenerator::system()->fillRange(words);
        const QByteArray mine = QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
        xcb_change_property(conn, XCB_PROP_MODE_APPEND, root, atom, XCB_ATOM_STRING, 8, uint32_t(mine.size()),
                            mine.constData());
        mark = read();
    }
    for (char c : mark)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return {}; // not one of ours: unknown
    return mark;
}

QByteArray serverLine(const QByteArray& mark) { return "server " + mark; }

void dropRecord(const QString& path, const QString& why)
{
    ::unlink(native(path).constData());
    qWarning("tovrik: removed %s without applying it: %s", qPrintable(path), qPrintable(why));
}

std::vector<LeftRecord> leftRecords(const QString& folder, const QString& prefix, const QByteArray& server)
{
    std::vector<LeftRecord> out;
    if (!isPrivateFolder(folder))
        return out;
    const QDir dir(folder);
    const auto names = dir.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::System | QDir::Hidden);
    for (const QString& name : names) {
        // "<prefix><pid>", or "<prefix><pid>-<n>" for a further record of
        // the same process; "<...>.tmp-XXXXXX" is a file being written.
        const QString tail = name.mid(prefix.size());
        bool ok = false;
        const qint64 pid = tail.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('.'), 0, 0).toLongLong(&ok);
        const QString path = dir.filePath(name);
        if (tail.contains(QLatin1String(".tmp-"))) {
            // What a process killed in the middle of a write left.
            if (ok && pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
                ::unlink(native(path).constData());
            continue;
        }
        if (!ok || pid <= 0) {
            dropRecord(path, QStringLiteral("its name names no process"));
            continue;
        }
        const int fd = ::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT)
                dropRecord(path, QStringLiteral("it is not a file that can be read"));
            continue;
        }
        struct stat st {};
        QString why;
        QByteArray text;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            why = QStringLiteral("it is not a plain file");
        else if (st.st_uid != ::getuid())
            why = QStringLiteral("it belongs to another user");
        else if (st.st_mode & 022)
            why = QStringLiteral("others may write it");
        else if (st.st_size > kLargestRecord)
            why = QStringLiteral("it is too large");
        else {
            text.resize(qsizetype(st.st_size) + 1);
            qsizetype done = 0;
            while (done < text.size()) {
                const ssize_t n = ::read(fd, text.data() + done, size_t(text.size() - done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += n;
            }
            text.truncate(done);
            if (done > kLargestRecord)
                why = QStringLiteral("it is too large");
        }
        ::close(fd);
        if (!why.isEmpty()) {
            dropRecord(path, why);
            continue;
        }
        QList<QByteArray> lines = text.split('\n');
        const auto stamp = parseStampLine(lines.value(0));
        if (!stamp) {
            dropRecord(path, QStringLiteral("it does not say which process wrote it"));
            continue;
        }
        if (processStillRuns(pid, *stamp))
            continue;
        lines.removeFirst();
        if (!lines.isEmpty() && lines.first().startsWith("server ")) {
            const QByteArray made = lines.first().mid(7).trimmed();
            if (server.isEmpty())
                continue; // which server this is cannot be told: left for a start that can
            if (made != server) {
                dropRecord(path, QStringLiteral("it was made for an X server that has ended"));
                continue;
            }
            lines.removeFirst();
        }
        out.push_back({path, pid, std::move(lines)});
    }
    return out;
}

} // namespace tovrik::platform::x11
