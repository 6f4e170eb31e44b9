#pragma once

// A real nginx (the Debian package) for the transport tests and benchmarks,
// started on a free local port with a configuration of its own and the test
// certificates (the trusted hosted hosts), in a temporary folder:
//   POST /api/account/signout -> 200 {"ok":true}
//   POST /stt                 -> the whole body read, then 200 {"text":"hello from nginx"}
//   GET  /auth/me             -> 200 an account summary
// with `keepalive_timeout` as given (no Keep-Alive header, as nginx does by
// default). Reach it through a TunnelProxy. Started `reloadable`, it runs
// with a master process, and reload() does what `nginx -s reload` does: new
// workers, the old ones close their idle keep-alive connections.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace tovrik::test {

class NginxServer {
public:
    ~NginxServer();
    static QString executable(); // empty when nginx is not installed
    bool start(double keepaliveSeconds, bool reloadable = false);
    bool reload();
    void stop();
    quint16 port() const { return m_port; }
    QString lastError() const { return m_error; }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace tovrik::test
