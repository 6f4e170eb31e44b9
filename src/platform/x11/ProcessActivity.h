#pragma once

// Whether a program on this machine has handled the keys typed into it, for
// a program that offers no way to say so itself (no _NET_WM_PING): pure Xlib
// and Xt programs such as xterm, Tk, and Java's toolkit.
//
// Such a program reads its events off its connection on one thread and
// translates each key there, in order, and that thread waits for more (poll,
// select, epoll, or a condition another thread signals) only with none left
// to handle. So after a nudge (an event sent to it behind the keys): once
// nothing the server sent is left unread on its connections (UnixSockets.h),
// the thread that read the nudge read every key before it; and once every
// thread that ran since the nudge went out sleeps in a wait for input, that
// thread too, so it has handled them. Threads that did not run since then
// (a worker asleep, one blocked on a pipe) cannot have read the nudge and
// do not matter. A thread that ran and sleeps elsewhere (a sleep, a pipe, the
// disk) may be the reader in the middle of a key: a new nudge is needed to
// tell. A reader waiting for the answer to a round trip also sleeps in poll
// with nothing unread: so this must hold at every look for 25 ms (the
// server answers a round trip within that; the answer wakes the reader,
// which is then seen running, with the answer unread, or asleep elsewhere in
// the middle of a key). Threads may run meanwhile, a timer's every 10 ms,
// as long as each look finds them back in their waits; a thread that runs
// or is about to run (R) may be the reader at work.
//
// The kernel's /proc tells: a thread's state (stat), the kernel function it
// sleeps in (wchan) and how long and how often it ran (schedstat). Where
// wchan names nothing (a kernel that hides it), a sleeping thread counts as
// waiting for input. The program's process is the X server's word (the
// X-Resource extension), checked against what the window says of itself
// (ReceiverProcess): a program on another machine, or reached through a
// forwarder, has none, and nothing is proved.

#include <xcb/xcb.h>

#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace tovrik::platform::x11 {

// The process of the client that owns `resource` (any window of it), as the
// server knows it; nothing for a client on another machine or a server
// without the extension.
std::optional<int64_t> clientProcessId(xcb_connection_t* conn, uint32_t resource);

// The process of the program that owns `window` (a window of the client
// that receives the keys), where it can be told: the process the server
// names, unless the window or its top-level says otherwise of itself
// (WM_CLIENT_MACHINE names another machine, _NET_WM_PID another process)
// or that process serves a display to other programs (a forwarder).
std::optional<int64_t> receiverProcess(xcb_connection_t* conn, xcb_window_t window);

// Whether a kernel wait function (a thread's wchan) is a wait for input.
bool waitsForInput(const QByteArray& wchan);

// One thread of a process, as one look saw it.
struct ThreadLook {
    int64_t tid = 0;
    char state = 0;          // R, S, D, T, ...
    bool inputWait = false;  // asleep in a wait for input
    uint64_t runTime = 0;    // nanoseconds on a CPU
    uint64_t runs = 0;       // times it was put on a CPU
};
using ThreadsLook = std::vector<ThreadLook>;

// Every thread of a process; nothing when it is gone or cannot be read.
std::optional<ThreadsLook> lookAtThreads(int64_t pid, const QString& procRoot = QStringLiteral("/proc"));

// Follows one program from a nudge until it has handled what came before it.
class HandledWatch {
public:
    enum class Verdict {
        Waiting, // not yet
        Again,   // a thread that ran since the nudge sleeps elsewhere: nudge again
        Handled,
    };
    // The threads as they were just before the nudge went out.
    void nudged(ThreadsLook before);
    // A look made at `at`, after a round trip to the server: the bytes in
    // flight on the program's connections to it, then its threads.
    Verdict add(std::optional<uint64_t> inFlight, const std::optional<ThreadsLook>& threads,
                std::chrono::steady_clock::time_point at);
    static constexpr std::chrono::milliseconds kSettle{25};

private:
    ThreadsLook m_before;
    bool m_settling = false;
    std::chrono::steady_clock::time_point m_settlingSince;
};

} // namespace tovrik::platform::x11
