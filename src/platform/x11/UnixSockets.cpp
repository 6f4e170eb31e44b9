#include "platform/x11/UnixSockets.h"

#include <QByteArray>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <map>
#include <cstdio>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tovrik::platform::x11 {

namespace {

struct SocketInfo {
    uint32_t peer = 0;
    uint32_t received = 0; // not read by its owner
    uint32_t sent = 0;     // not read by the peer
    QByteArray name;
};

class DiagSocket {
public:
    DiagSocket() : m_fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
    ~DiagSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DiagSocket(const DiagSocket&) = delete;
    DiagSocket& operator=(const DiagSocket&) = delete;

    // Asks about one socket (`inode`) or, with 0, every Unix socket; each
    // answer goes to `take`. False when the kernel could not be asked.
    template <typename Take>
    bool ask(uint32_t inode, uint32_t show, Take take)
    {
        if (m_fd < 0)
            return false;
        struct {
            nlmsghdr header;
            unix_diag_req request;
        } message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = uint16_t(NLM_F_REQUEST | (inode ? 0 : NLM_F_DUMP));
        message.request.sdiag_family = AF_UNIX;
        message.request.udiag_states = ~0u;
        message.request.udiag_ino = inode;
        message.request.udiag_show = show;
        message.request.udiag_cookie[0] = message.request.udiag_cookie[1] = ~0u; // any
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(m_fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
            return false;
        alignas(nlmsghdr) char buffer[32768];
        for (;;) {
            const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return false;
            int left = int(got);
            for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_DONE)
                    return true;
                if (h->nlmsg_type == NLMSG_ERROR)
                    return false;
                if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY)
                    continue;
                const auto* msg = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
                SocketInfo info;
                int length = int(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
                for (auto* a = reinterpret_cast<const rtattr*>(msg + 1); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
                    const auto* data = static_cast<const char*>(RTA_DATA(a));
                    const size_t size = RTA_PAYLOAD(a);
                    if (a->rta_type == UNIX_DIAG_NAME)
                        info.name = QByteArray(data, qsizetype(size));
                    else if (a->rta_type == UNIX_DIAG_PEER && size >= 4)
                        info.peer = *reinterpret_cast<const uint32_t*>(data);
                    else if (a->rta_type == UNIX_DIAG_RQLEN && size >= sizeof(unix_diag_rqlen)) {
                        const auto* q = reinterpret_cast<const unix_diag_rqlen*>(data);
                        info.received = q->udiag_rqueue;
                        info.sent = q->udiag_wqueue;
                    }
                }
                if (msg->udiag_type == SOCK_STREAM)
                    take(msg->udiag_ino, info);
            }
            if (inode)
                return true; // one answer, no end mark
        }
    }

private:
    int m_fd;
};

bool namesDisplaySocket(const QByteArray& name)
{
    return name.contains("/.X11-unix/X");
}

} // namespace

std::optional<XConnections> xConnectionsOf(int64_t pid)
{
    const QByteArray fds = QByteArray("/proc/") + QByteArray::number(qlonglong(pid)) + "/fd";
    DIR* dir = ::opendir(fds.constData());
    if (!dir)
        return std::nullopt;
    std::vector<uint32_t> own;
    while (const dirent* entry = ::readdir(dir)) {
        char target[64] = {};
        const QByteArray link = fds + '/' + entry->d_name;
        const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
        unsigned long inode = 0;
        if (n > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1)
            own.push_back(uint32_t(inode));
    }
    ::closedir(dir);
    std::map<uint32_t, SocketInfo> all;
    DiagSocket diag;
    if (!diag.ask(0, UDIAG_SHOW_NAME | UDIAG_SHOW_PEER, [&all](uint32_t inode, const SocketInfo& info) { all[inode] = info; }))
        return std::nullopt;
    XConnections out;
    for (uint32_t inode : own) {
        const auto it = all.find(inode);
        if (it == all.end())
            continue;
        if (namesDisplaySocket(it->second.name))
            out.servesDisplay = true;
        const auto peer = all.find(it->second.peer);
        if (it->second.peer && peer != all.end() && namesDisplaySocket(peer->second.name))
            out.sockets.push_back(inode);
    }
    return out;
}

std::optional<uint64_t> bytesInFlight(const std::vector<uint32_t>& sockets)
{
    DiagSocket diag;
    uint64_t bytes = 0;
    for (uint32_t inode : sockets) {
        bool seen = false;
        if (!diag.ask(inode, UDIAG_SHOW_RQLEN, [&](uint32_t, const SocketInfo& info) {
                seen = true;
                bytes += uint64_t(info.received) + info.sent;
            })
            || !seen)
            return std::nullopt;
    }
    return bytes;
}

} // namespace tovrik::platform::x11
