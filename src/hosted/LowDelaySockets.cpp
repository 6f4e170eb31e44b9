#include "hosted/LowDelaySockets.h"

#include <QNetworkReply>
#include <cstdlib>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tovrik::network {

int setLowDelayOnTcpSockets()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 0;
    int count = 0;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own)
            continue;
        int type = 0, domain = 0;
        socklen_t length = sizeof type;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
            continue;
        length = sizeof domain;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0
            || (domain != AF_INET && domain != AF_INET6))
            continue;
        const int on = 1;
        if (::setsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0)
            ++count;
    }
    ::closedir(dir);
    return count;
}

void keepLowDelay(QNetworkReply* reply)
{
    if (!reply)
        return;
    QObject::connect(reply, &QNetworkReply::socketStartedConnecting, reply, [] { setLowDelayOnTcpSockets(); });
    QObject::connect(reply, &QNetworkReply::encrypted, reply, [] { setLowDelayOnTcpSockets(); });
}

} // namespace tovrik::network
