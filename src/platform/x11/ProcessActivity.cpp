#include "platform/x11/ProcessActivity.h"

#include "platform/x11/UnixSockets.h"
#include "platform/x11/Xcb.h"

#include <xcb/res.h>

#include <QDir>
#include <QFile>
#include <algorithm>
#include <unistd.h>

namespace tovrik::platform::x11 {

std::optional<int64_t> clientProcessId(xcb_connection_t* conn, uint32_t resource)
{
    xcb_res_client_id_spec_t asked{resource, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    XcbReply<xcb_res_query_client_ids_reply_t> reply(
        xcb_res_query_client_ids_reply(conn, xcb_res_query_client_ids(conn, 1, &asked), nullptr));
    if (!reply)
        return std::nullopt;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem; xcb_res_client_id_value_next(&it)) {
        if (!(it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID)
            || xcb_res_client_id_value_value_length(it.data) != 1)
            continue;
        const uint32_t pid = *xcb_res_client_id_value_value(it.data);
        if (pid > 0)
            return int64_t(pid);
    }
    return std::nullopt;
}

bool waitsForInput(const QByteArray& wchan)
{
    // poll and select (Xlib, Xt, Tcl's notifier), epoll (GLib-free event
    // loops), a futex (a thread waiting for the one that polls).
    static const char* const kWaits[] = {"poll_schedule_timeout", "do_sys_poll", "do_poll", "do_select",
                                         "core_sys_select", "ep_poll", "do_epoll_wait", "futex"};
    for (const char* wait : kWaits)
        if (wchan.startsWith(wait))
            return true;
    return false;
}

std::optional<ThreadsLook> lookAtThreads(int64_t pid, const QString& procRoot)
{
    const QString tasks = QStringLiteral("%1/%2/task").arg(procRoot).arg(pid);
    const QStringList ids = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (ids.isEmpty())
        return std::nullopt;
    auto read = [&](const QString& id, const char* name) {
        QFile f(tasks + QLatin1Char('/') + id + QLatin1Char('/') + QLatin1String(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
    };
    ThreadsLook threads;
    for (const QString& id : ids) {
        ThreadLook thread;
        thread.tid = id.toLongLong();
        // The state follows the command name, which may hold anything but
        // ends at the last ')'.
        const QByteArray stat = read(id, "stat");
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || close + 2 >= stat.size())
            return std::nullopt;
        thread.state = stat[close + 2];
        const QByteArray wchan = read(id, "wchan");
        const bool hidden = wchan.isEmpty() || wchan == "0";
        thread.inputWait = thread.state == 'S' && (hidden || waitsForInput(wchan));
        const QList<QByteArray> sched = read(id, "schedstat").split(' ');
        bool timeOk = false, runsOk = false;
        thread.runTime = sched.value(0).toULongLong(&timeOk);
        thread.runs = sched.value(2).toULongLong(&runsOk);
        if (!timeOk || !runsOk)
            return std::nullopt;
        threads.push_back(thread);
    }
    return threads;
}

namespace {

bool ranSince(const ThreadLook& now, const ThreadsLook& then)
{
    for (const ThreadLook& t : then)
        if (t.tid == now.tid)
            return t.runTime != now.runTime || t.runs != now.runs;
    return true; // a thread started since
}

} // namespace

void HandledWatch::nudged(ThreadsLook before)
{
    m_before = std::move(before);
    m_settling = false;
}

HandledWatch::Verdict HandledWatch::add(std::optional<uint64_t> inFlight, const std::optional<ThreadsLook>& threads,
                                        std::chrono::steady_clock::time_point at)
{
    if (!inFlight || !threads || *inFlight > 0) {
        m_settling = false;
        return Verdict::Waiting;
    }
    for (const ThreadLook& t : *threads)
        if (ranSince(t, m_before) && t.state != 'S' && t.state != 'D' && t.state != 'R') {
            m_settling = false; // stopped, or traced
            return Verdict::Waiting;
        }
    // A thread that runs or is about to (whatever its counts say: they are
    // brought up to date only now and then while it runs), or one that ran
    // since the nudge and sleeps elsewhere (a sleep, a pipe, the disk), may
    // be the reader at work: unless another thread that ran sits in its wait
    // (the reader, which read the nudge, the other a worker of its own),
    // wait, or nudge again to tell.
    const auto ran = [this](const ThreadLook& t) { return ranSince(t, m_before); };
    const auto busy = [&](const ThreadLook& t) { return t.state == 'R' || (ran(t) && !t.inputWait); };
    const bool ranWaiting = std::any_of(threads->begin(), threads->end(),
                                        [&](const ThreadLook& t) { return ran(t) && t.inputWait && t.state == 'S'; });
    if (!ranWaiting && std::any_of(threads->begin(), threads->end(), busy)) {
        m_settling = false;
        const bool running = std::any_of(threads->begin(), threads->end(), [](const ThreadLook& t) { return t.state == 'R'; });
        return running ? Verdict::Waiting : Verdict::Again;
    }
    // The state must hold for the settling time (threads may run meanwhile,
    // a timer's, as long as each look finds them back in their waits): a
    // reader waiting in poll for the answer to a round trip is woken by it
    // within that time, and is then seen running, with the answer unread,
    // or asleep elsewhere in the middle of a key.
    if (!m_settling) {
        m_settling = true;
        m_settlingSince = at;
    }
    return at - m_settlingSince >= kSettle ? Verdict::Handled : Verdict::Waiting;
}

std::optional<int64_t> receiverProcess(xcb_connection_t* conn, xcb_window_t window)
{
    const std::optional<int64_t> pid = clientProcessId(conn, window);
    if (!pid)
        return std::nullopt;
    // What the window and its ancestors of the same client (its top-level
    // among them) say of their program.
    const xcb_atom_t machineAtom = XCB_ATOM_WM_CLIENT_MACHINE;
    const xcb_atom_t pidAtom = internAtom(conn, "_NET_WM_PID", true);
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return std::nullopt;
    const QByteArray here = QByteArray(host).split('.').value(0).toLower();
    const uint32_t mask = xcb_get_setup(conn)->resource_id_mask;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    const uint32_t client = window & ~mask;
    for (int depth = 0; depth < 64 && window && window != root && (window & ~mask) == client; ++depth) {
        const PropertyValue machine = getProperty(conn, window, machineAtom, XCB_ATOM_STRING);
        if (machine.format == 8 && !machine.data.isEmpty()) {
            const QByteArray name = QByteArray(machine.data.constData()).split('.').value(0).toLower();
            if (name != here && name != "localhost")
                return std::nullopt; // another machine
        }
        if (pidAtom) {
            const PropertyValue said = getProperty(conn, window, pidAtom, XCB_ATOM_CARDINAL);
            if (said.format == 32 && !said.cardinals().empty() && int64_t(said.cardinals().front()) != *pid)
                return std::nullopt; // another process
        }
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn, xcb_query_tree(conn, window), nullptr));
        if (!tree)
            return std::nullopt;
        window = tree->parent;
    }
    const std::optional<XConnections> connections = xConnectionsOf(*pid);
    if (!connections || connections->servesDisplay || connections->sockets.empty())
        return std::nullopt; // a forwarder, or nothing to watch
    return pid;
}

} // namespace tovrik::platform::x11
