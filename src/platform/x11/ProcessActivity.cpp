#include "platform/x11/ProcessActivity.h"

#include "platform/x11/Xcb.h"

#include <xcb/res.h>

#include <QDir>
#include <QFile>

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

std::optional<ProcessLook> lookAtProcess(int64_t pid, const QString& procRoot)
{
    const QString tasks = QStringLiteral("%1/%2/task").arg(procRoot).arg(pid);
    const QStringList ids = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (ids.isEmpty())
        return std::nullopt;
    auto read = [&](const QString& id, const char* name) {
        QFile f(tasks + QLatin1Char('/') + id + QLatin1Char('/') + QLatin1String(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
    };
    ProcessLook look;
    look.waiting = true;
    for (const QString& id : ids) {
        // The state follows the command name, which may hold anything but
        // ends at the last ')'.
        const QByteArray stat = read(id, "stat");
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || close + 2 >= stat.size())
            return std::nullopt;
        const char state = stat[close + 2];
        const QByteArray wchan = read(id, "wchan");
        const bool hidden = wchan.isEmpty() || wchan == "0";
        if (state != 'S' || (!hidden && !waitsForInput(wchan)))
            look.waiting = false;
        bool ok = false;
        const uint64_t cpu = read(id, "schedstat").split(' ').value(0).toULongLong(&ok);
        if (!ok)
            return std::nullopt;
        look.cpuTime += cpu;
    }
    return look;
}

bool IdleWatch::add(const std::optional<ProcessLook>& look, std::chrono::steady_clock::time_point at)
{
    if (!look || !look->waiting) {
        m_since.reset();
        return false;
    }
    if (!m_since || look->cpuTime != m_cpuTime) {
        m_since = at;
        m_cpuTime = look->cpuTime;
        return false;
    }
    return at - *m_since >= m_quiet;
}

} // namespace tovrik::platform::x11
