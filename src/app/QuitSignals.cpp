#include "app/QuitSignals.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tovrik::app {

// SIGQUIT too: its default (a core dump) would leave held keys and buttons
// down and lent keycodes lent, and a healthy app has nothing to dump.
const int QuitSignals::kSignals[4] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

namespace {

// The write end, read by the handler; -1 while no handler is installed.
std::atomic<int> g_writeEnd{-1};
int g_readEnd = -1;
struct sigaction g_previous[std::size(QuitSignals::kSignals)];

void onSignal(int number)
{
    const int savedErrno = errno;
    const int fd = g_writeEnd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(number);
        // A full socket already holds a request to quit: nothing is lost.
        [[maybe_unused]] const ssize_t written = ::send(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    errno = savedErrno;
}

} // namespace

QuitSignals::QuitSignals(std::function<void(int)> onSignal_, QObject* parent)
    : QObject(parent), m_onSignal(std::move(onSignal_))
{
    if (g_writeEnd.load() >= 0)
        return; // one set of handlers per process
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;
    g_readEnd = fds[1];
    g_writeEnd.store(fds[0]);
    m_notifier = std::make_unique<QSocketNotifier>(g_readEnd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignals::readPending);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &g_previous[i]);
    m_installed = true;
}

QuitSignals::~QuitSignals()
{
    if (!m_installed)
        return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    m_notifier.reset();
    ::close(g_writeEnd.exchange(-1));
    ::close(g_readEnd);
    g_readEnd = -1;
}

void QuitSignals::readPending()
{
    unsigned char bytes[64];
    ssize_t n;
    while ((n = ::recv(g_readEnd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            if (m_onSignal)
                m_onSignal(bytes[i]);
}

} // namespace tovrik::app
