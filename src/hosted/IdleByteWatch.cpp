#include "hosted/IdleByteWatch.h"

#include <QEvent>
#include <QSocketNotifier>

#include <cerrno>
#include <cstddef>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace tovrik {

namespace {

// More than this waiting on an idle connection is no post-handshake message.
constexpr qint64 kMostWaiting = 64 * 1024;
// The largest TLS record (a TLS 1.2 ciphertext; TLS 1.3 ones are smaller).
constexpr int kLargestRecord = 16384 + 2048;

// The kernel's count of bytes received on the connection.
bool bytesReceived(int fd, quint64* count)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return false;
    *count = info.tcpi_bytes_received;
    return true;
}

} // namespace

IdleByteWatch::IdleByteWatch(QSslSocket* socket) : QObject(socket), m_fd(int(socket->socketDescriptor()))
{
}

IdleByteWatch* IdleByteWatch::start(QSslSocket* socket)
{
    delete of(socket);
    auto* watch = new IdleByteWatch(socket);
    // Bytes read from the descriptor but not handed to TLS yet came after
    // the answer and before the watch: not seen. Those still waiting on it
    // are looked at from the first.
    watch->m_spoiled = socket->encryptedBytesAvailable() > 0;
    watch->look();
    // The socket's own reader of the descriptor: the watch looks first.
    for (QSocketNotifier* notifier : socket->findChildren<QSocketNotifier*>())
        if (notifier->type() == QSocketNotifier::Read && notifier->socket() == watch->m_fd)
            notifier->installEventFilter(watch);
    return watch;
}

IdleByteWatch* IdleByteWatch::of(const QSslSocket* socket)
{
    return socket->findChild<IdleByteWatch*>(QString(), Qt::FindDirectChildrenOnly);
}

bool IdleByteWatch::eventFilter(QObject*, QEvent* event)
{
    if (event->type() == QEvent::SockAct)
        look();
    return false;
}

void IdleByteWatch::look()
{
    if (m_spoiled)
        return;
    // The bytes waiting are the last ones received; a byte arriving between
    // the counts makes them disagree: look again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        quint64 before = 0;
        quint64 after = 0;
        int queued = 0;
        if (!bytesReceived(m_fd, &before) || ::ioctl(m_fd, FIONREAD, &queued) != 0 || queued > kMostWaiting) {
            m_spoiled = true;
            return;
        }
        QByteArray waiting(queued + 1, Qt::Uninitialized);
        ssize_t n;
        do
            n = ::recv(m_fd, waiting.data(), size_t(waiting.size()), MSG_PEEK | MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return; // a reset: the connection is not alive, whatever came
        n = std::max<ssize_t>(n, 0);
        if (!bytesReceived(m_fd, &after)) {
            m_spoiled = true;
            return;
        }
        if (before != after)
            continue;
        const quint64 first = after - quint64(n);
        if (!m_begun) {
            m_begun = true;
            m_seenUpTo = first;
        }
        if (first > m_seenUpTo) { // some went past unseen
            m_spoiled = true;
            return;
        }
        const qint64 fresh = qint64(after - m_seenUpTo);
        frame(waiting.constData() + (n - fresh), fresh);
        m_seenUpTo = after;
        return;
    }
    m_spoiled = true;
}

bool IdleByteWatch::clean()
{
    look();
    return !m_spoiled && m_header.isEmpty() && m_recordLeft == 0;
}

void IdleByteWatch::frame(const char* data, qint64 size)
{
    while (size > 0 && !m_spoiled) {
        if (m_recordLeft > 0) {
            const qint64 step = std::min(size, m_recordLeft);
            m_recordLeft -= step;
            data += step;
            size -= step;
            continue;
        }
        m_header.append(*data++);
        --size;
        if (m_header.size() < 5)
            continue;
        const auto byte = [this](int i) { return quint8(m_header.at(i)); };
        // change_cipher_spec, alert, handshake, application data; TLS 1.0-1.3.
        const int length = byte(3) << 8 | byte(4);
        m_spoiled = byte(0) < 20 || byte(0) > 23 || byte(1) != 3 || byte(2) < 1 || byte(2) > 4 || length > kLargestRecord;
        m_recordLeft = length;
        m_header.clear();
    }
}

} // namespace tovrik
