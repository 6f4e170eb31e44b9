#include "platform/x11/LentKeycodes.h"

#include "common/PrivateFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <csignal>
#include <unistd.h>

namespace tovrik::platform::x11 {

namespace {

// A new private file beside `path`, renamed over it. No flush to disk: the
// list matters only as long as the X server runs, which a power loss ends
// too, and it is rewritten on every lend.
bool replaceFile(const QString& path, const QByteArray& bytes)
{
    QByteArray temporary = QFile::encodeName(path) + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool written = ::close(fd) == 0 && done == bytes.size();
    if (!written || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

bool processRuns(qint64 pid)
{
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

QString LentKeycodeRecord::defaultFolder()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return (runtime.isEmpty() ? QDir::tempPath() : runtime) + QStringLiteral("/Tovrik");
}

QString LentKeycodeRecord::displayKey(const QString& display)
{
    // ":0.1" and ":0" are the same server; only the host and the display
    // number tell servers apart. Anything but a safe file-name character
    // becomes "_".
    QString key = display;
    const qsizetype colon = key.lastIndexOf(QLatin1Char(':'));
    const qsizetype dot = key.indexOf(QLatin1Char('.'), colon < 0 ? 0 : colon);
    if (colon >= 0 && dot > colon)
        key.truncate(dot);
    for (QChar& c : key)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char(':') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    return key.isEmpty() ? QStringLiteral("_") : key;
}

LentKeycodeRecord::LentKeycodeRecord(QString display, QString folder, qint64 pid)
    : m_folder(folder.isEmpty() ? defaultFolder() : std::move(folder)),
      m_prefix(QStringLiteral("lent-keycodes-") + displayKey(display) + QLatin1Char('-'))
{
    m_path = m_folder + QLatin1Char('/') + m_prefix + QString::number(pid > 0 ? pid : qint64(::getpid()));
}

bool LentKeycodeRecord::save(const std::vector<LentKeycode>& lent) const
{
    if (lent.empty())
        return !QFile::exists(m_path) || QFile::remove(m_path);
    QByteArray text;
    for (const LentKeycode& entry : lent) {
        text += QByteArray::number(entry.keycode) + ' ' + QByteArray::number(entry.keysym);
        if (entry.shifted)
            text += ' ' + QByteArray::number(entry.shifted);
        text += '\n';
    }
    QString error;
    return makePrivateDirectory(m_folder, &error) && replaceFile(m_path, text);
}

std::vector<LentKeycode> LentKeycodeRecord::parse(const QByteArray& text)
{
    std::vector<LentKeycode> out;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() != 2 && fields.size() != 3)
            continue;
        bool keycodeOk = false, keysymOk = false, shiftedOk = true;
        const uint keycode = fields[0].toUInt(&keycodeOk);
        const uint keysym = fields[1].toUInt(&keysymOk);
        const uint shifted = fields.size() == 3 ? fields[2].toUInt(&shiftedOk) : 0;
        if (keycodeOk && keysymOk && shiftedOk && keycode >= 8 && keycode <= 255 && keysym != 0
            && (fields.size() == 2 || shifted != 0))
            out.push_back({uint8_t(keycode), uint32_t(keysym), uint32_t(shifted)});
    }
    return out;
}

LentKeycodeRecord::Leftovers LentKeycodeRecord::leftovers() const
{
    Leftovers out;
    const QDir dir(m_folder);
    for (const QString& name : dir.entryList({m_prefix + QLatin1Char('*')}, QDir::Files)) {
        bool ok = false;
        const qint64 pid = name.mid(m_prefix.size()).toLongLong(&ok);
        if (!ok || processRuns(pid))
            continue;
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const LentKeycode& entry : parse(file.read(64 * 1024)))
            out.keycodes.push_back(entry);
        out.files << file.fileName();
    }
    return out;
}

void LentKeycodeRecord::forget(const QStringList& files)
{
    for (const QString& file : files)
        QFile::remove(file);
}

} // namespace tovrik::platform::x11
