#pragma once

// Whether a program on this machine has handled every event the X server
// sent it, for a program that offers no way to say so itself (no
// _NET_WM_PING): pure Xlib and Xt programs such as xterm, and Tk.
//
// Such a program handles its events in order and waits for more (poll or
// select on its connection, or a condition that its event thread signals)
// only when none is left in its queue. So once a key's events have been read
// off its connection, the key has been handled when the program is seen
// waiting for input and stays so: every thread of it asleep in a wait of
// that kind, with no CPU time used between two looks 25 ms apart. (A single
// look could fall into a round trip, which also waits in poll, in the middle
// of handling a key; the server answers those at once.) A stopped program,
// one that runs, or one asleep in anything else (a sleep, a pipe, the
// disk) has not been seen waiting.
//
// The kernel's /proc tells: a thread's state (stat), the kernel function it
// sleeps in (wchan) and its CPU time (schedstat). Where wchan names nothing
// (a kernel that hides it), a thread asleep with no CPU time used counts.
// The program's process is the X server's word (the X-Resource extension):
// a program on another machine has none, and nothing is seen.

#include <xcb/xcb.h>

#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tovrik::platform::x11 {

// The process of the client that owns `resource` (any window of it), as the
// server knows it; nothing for a client on another machine or a server
// without the extension.
std::optional<int64_t> clientProcessId(xcb_connection_t* conn, uint32_t resource);

struct ProcessLook {
    bool waiting = false;     // every thread asleep in a wait for input
    uint64_t cpuTime = 0;     // of all threads, in nanoseconds
};

// One look at a process; nothing when it is gone or cannot be read.
std::optional<ProcessLook> lookAtProcess(int64_t pid, const QString& procRoot = QStringLiteral("/proc"));

// Whether a kernel wait function (a thread's wchan) is a wait for input.
bool waitsForInput(const QByteArray& wchan);

// Follows looks at one process until it has been seen waiting for input,
// unchanged, for `quiet`.
class IdleWatch {
public:
    explicit IdleWatch(std::chrono::milliseconds quiet = std::chrono::milliseconds(25)) : m_quiet(quiet) {}
    // Takes a look made at `at`; true once the process is seen idle.
    bool add(const std::optional<ProcessLook>& look, std::chrono::steady_clock::time_point at);

private:
    std::chrono::milliseconds m_quiet;
    std::optional<std::chrono::steady_clock::time_point> m_since;
    uint64_t m_cpuTime = 0;
};

} // namespace tovrik::platform::x11
