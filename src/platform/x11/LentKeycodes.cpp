#include "platform/x11/LentKeycodes.h"

#include "platform/x11/ProcessRecords.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
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

} // namespace

std::vector<uint32_t> lentKeysyms(uint32_t keysym, uint32_t shifted, int keysymsPerKeycode)
{
    std::vector<uint32_t> syms(size_t(std::max(1, keysymsPerKeycode)), 0);
    syms[0] = keysym;
    if (syms.size() > 1)
        syms[1] = shifted ? shifted : keysym;
    return syms;
}

bool showsLentKeysym(const std::vector<uint32_t>& levels, uint32_t keysym, uint32_t shifted)
{
    if (keysym == 0 || levels.empty())
        return false;
    const std::vector<uint32_t> written = lentKeysyms(keysym, shifted, int(levels.size()));
    for (size_t i = 0; i < levels.size(); ++i) {
        // The levels lending sets hold what it wrote; on the others the
        // server may repeat them (a further group is the first one again),
        // and shows nothing else.
        const uint32_t again = written[i % std::min<size_t>(2, written.size())];
        if (i < 2 ? levels[i] != written[i] : levels[i] != 0 && levels[i] != again)
            return false;
    }
    return true;
}

bool isLendableKeysym(uint32_t keysym)
{
    constexpr uint32_t kReturn = 0xff0d, kTab = 0xff09;
    // VoidSymbol: the key typing kept back for its fences, which types
    // nothing.
    constexpr uint32_t kVoid = 0xffffff;
    return keysym == kReturn || keysym == kTab || keysym == kVoid || (keysym >= 0x20 && keysym <= 0x7e)
        || (keysym >= 0xa0 && keysym <= 0xff) || (keysym >= 0x1000100 && keysym <= 0x110ffff);
}

QString LentKeycodeRecord::defaultFolder() { return recordFolder(true); }

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
    if (!m_folder.isEmpty())
        m_path = m_folder + QLatin1Char('/') + m_prefix + QString::number(pid > 0 ? pid : qint64(::getpid()));
}

bool LentKeycodeRecord::save(const std::vector<LentKeycode>& lent) const
{
    if (m_path.isEmpty())
        return false;
    if (lent.empty())
        return !QFile::exists(m_path) || QFile::remove(m_path);
    QByteArray text = stampLine(currentProcessStamp()) + '\n';
    if (!m_server.isEmpty())
        text += serverLine(m_server) + '\n';
    for (const LentKeycode& entry : lent) {
        text += QByteArray::number(entry.keycode) + ' ' + QByteArray::number(entry.keysym);
        if (entry.shifted)
            text += ' ' + QByteArray::number(entry.shifted);
        text += '\n';
    }
    // The folder may have gone since (a cleaner of old files): made again,
    // and used only while it is still the user's own.
    if (!isPrivateFolder(m_folder))
        ::mkdir(QFile::encodeName(m_folder).constData(), 0700);
    return isPrivateFolder(m_folder) && replaceFile(m_path, text);
}

std::optional<LentKeycode> LentKeycodeRecord::parseLine(const QByteArray& line)
{
    // "<keycode> <keysym>", or "<keycode> <keysym> <shifted keysym>" for a
    // keycode lent a symbol on each level.
    const QList<QByteArray> fields = line.trimmed().split(' ');
    if (fields.size() != 2 && fields.size() != 3)
        return std::nullopt;
    bool keycodeOk = false, keysymOk = false, shiftedOk = true;
    const uint keycode = fields[0].toUInt(&keycodeOk);
    const uint keysym = fields[1].toUInt(&keysymOk);
    const uint shifted = fields.size() == 3 ? fields[2].toUInt(&shiftedOk) : 0;
    if (!keycodeOk || !keysymOk || !shiftedOk || keycode < 8 || keycode > 255 || !isLendableKeysym(keysym)
        || (fields.size() == 3 && (shifted == 0 || !isLendableKeysym(shifted))))
        return std::nullopt;
    return LentKeycode{uint8_t(keycode), uint32_t(keysym), uint32_t(shifted)};
}

std::vector<LentKeycode> LentKeycodeRecord::parse(const QByteArray& text)
{
    std::vector<LentKeycode> out;
    for (const QByteArray& line : text.split('\n'))
        if (const auto entry = parseLine(line))
            out.push_back(*entry);
    return out;
}

LentKeycodeRecord::Leftovers LentKeycodeRecord::leftovers() const
{
    Leftovers out;
    if (m_folder.isEmpty())
        return out;
    for (const LeftRecord& record : leftRecords(m_folder, m_prefix, m_server)) {
        std::vector<LentKeycode> entries;
        bool bad = false;
        for (const QByteArray& line : record.lines) {
            if (line.trimmed().isEmpty())
                continue;
            const auto entry = parseLine(line);
            if (!entry) {
                bad = true;
                break;
            }
            entries.push_back(*entry);
        }
        if (bad) {
            dropRecord(record.path, QStringLiteral("a line names no keycode lent a character"));
            continue;
        }
        out.keycodes.insert(out.keycodes.end(), entries.begin(), entries.end());
        out.files << record.path;
    }
    return out;
}

void LentKeycodeRecord::forget(const QStringList& files)
{
    for (const QString& file : files)
        QFile::remove(file);
}

} // namespace tovrik::platform::x11
