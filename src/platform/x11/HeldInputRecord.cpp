#include "platform/x11/HeldInputRecord.h"

#include "platform/x11/LentKeycodes.h"
#include "platform/x11/ProcessRecords.h"

#include <QFile>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik::platform::x11 {

namespace {

QByteArray hex(const HeldInputRecord::Bits& bits)
{
    return QByteArray(reinterpret_cast<const char*>(bits.data()), qsizetype(bits.size())).toHex();
}

bool readBits(const QByteArray& line, const QByteArray& name, HeldInputRecord::Bits* bits)
{
    const QList<QByteArray> fields = line.trimmed().split(' ');
    if (fields.size() != 2 || fields[0] != name || fields[1].size() != qsizetype(bits->size()) * 2)
        return false;
    for (char c : fields[1])
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    const QByteArray bytes = QByteArray::fromHex(fields[1]);
    std::copy(bytes.begin(), bytes.end(), bits->begin());
    return true;
}

// A second record of one process (several backends made one after the
// other, as tests do) gets a name of its own.
std::atomic<int> g_instances{0};

} // namespace

HeldInputRecord::HeldInputRecord(const QString& display, QString folder, qint64 pid)
    : m_folder(folder.isEmpty() ? recordFolder(true) : std::move(folder)),
      m_prefix(QStringLiteral("held-input-") + LentKeycodeRecord::displayKey(display) + QLatin1Char('-'))
{
    if (m_folder.isEmpty())
        return;
    const int instance = g_instances.fetch_add(1);
    m_path = m_folder + QLatin1Char('/') + m_prefix + QString::number(pid > 0 ? pid : qint64(::getpid()));
    if (instance > 0)
        m_path += QLatin1Char('-') + QString::number(instance);
}

HeldInputRecord::~HeldInputRecord()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    ::unlink(QFile::encodeName(m_path).constData());
}

void HeldInputRecord::set(Bits& bits, uint8_t n, bool down)
{
    const uint8_t mask = uint8_t(1u << (n % 8));
    uint8_t& byte = bits[n / 8];
    if (bool(byte & mask) == down)
        return;
    byte = down ? uint8_t(byte | mask) : uint8_t(byte & ~mask);
    write();
}

void HeldInputRecord::write()
{
    if (m_path.isEmpty() || m_failed)
        return;
    if (m_fd < 0) {
        if (!isPrivateFolder(m_folder))
            ::mkdir(QFile::encodeName(m_folder).constData(), 0700);
        const QByteArray path = QFile::encodeName(m_path);
        if (isPrivateFolder(m_folder)) {
            m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            // A file of an earlier process with this id: what it held was
            // let go at this start.
            if (m_fd < 0 && errno == EEXIST && ::unlink(path.constData()) == 0)
                m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }
        if (m_fd < 0) {
            m_failed = true; // input still works, unrecorded
            return;
        }
    }
    const QByteArray text = stampLine(currentProcessStamp()) + '\n'
        + (m_server.isEmpty() ? QByteArray() : serverLine(m_server) + '\n') + "keys " + hex(m_keys) + "\nbuttons "
        + hex(m_buttons) + '\n';
    // One length for the process's whole life: one write at the start
    // replaces the whole content.
    ssize_t n;
    do
        n = ::pwrite(m_fd, text.constData(), size_t(text.size()), 0);
    while (n < 0 && errno == EINTR);
}

HeldInputRecord::Leftovers HeldInputRecord::leftovers() const
{
    Leftovers out;
    if (m_folder.isEmpty())
        return out;
    for (const LeftRecord& record : leftRecords(m_folder, m_prefix, m_server)) {
        Bits keys{}, buttons{};
        QList<QByteArray> lines = record.lines;
        while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
            lines.removeLast();
        if (lines.size() != 2 || !readBits(lines[0], "keys", &keys) || !readBits(lines[1], "buttons", &buttons)) {
            dropRecord(record.path, QStringLiteral("it does not read as held keys and buttons"));
            continue;
        }
        for (size_t i = 0; i < keys.size(); ++i) {
            out.keys[i] |= keys[i];
            out.buttons[i] |= buttons[i];
        }
        out.files << record.path;
    }
    return out;
}

void HeldInputRecord::forget(const QStringList& files)
{
    for (const QString& file : files)
        ::unlink(QFile::encodeName(file).constData());
}

} // namespace tovrik::platform::x11
