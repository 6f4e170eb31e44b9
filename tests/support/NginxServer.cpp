#include "support/NginxServer.h"

#include "support/TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

namespace tovrik::test {

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

NginxServer::~NginxServer() { stop(); }

QString NginxServer::executable()
{
    for (const QString& candidate : {QStringLiteral("/usr/sbin/nginx"), QStringLiteral("/usr/bin/nginx")})
        if (QFile::exists(candidate))
            return candidate;
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

bool NginxServer::start(double keepaliveSeconds, bool reloadable)
{
    stop();
    const QString nginx = executable();
    if (nginx.isEmpty()) {
        m_error = QStringLiteral("nginx is not installed (scripts/setup-deps.sh installs it)");
        return false;
    }
    const TestCertificateSet& certs = trustedTestCertificates();
    m_dir = std::make_unique<QTemporaryDir>();
    const QString dir = m_dir->path();
    QDir(dir).mkpath(QStringLiteral("logs"));
    QDir(dir).mkpath(QStringLiteral("temp"));
    if (!writeFile(dir + QStringLiteral("/cert.pem"), certs.server.toPem())
        || !writeFile(dir + QStringLiteral("/key.pem"), certs.serverKey.toPem())) {
        m_error = QStringLiteral("cannot write the certificates");
        return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        const quint16 upstream = freePort();
        const QByteArray d = dir.toUtf8();
        const QByteArray keepalive = QByteArray::number(qRound(keepaliveSeconds * 1000)) + "ms";
        const QByteArray conf =
            "worker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d + "/logs/error.log warn;\n"
            "events { worker_connections 512; }\n"
            "http {\n"
            "  access_log off;\n"
            "  client_body_temp_path " + d + "/temp/body; proxy_temp_path " + d + "/temp/proxy;\n"
            "  fastcgi_temp_path " + d + "/temp/fastcgi; uwsgi_temp_path " + d + "/temp/uwsgi; scgi_temp_path " + d + "/temp/scgi;\n"
            "  keepalive_timeout " + keepalive + ";\n"
            "  keepalive_requests 100000;\n"
            "  client_max_body_size 512m;\n"
            "  default_type application/json;\n"
            "  server {\n"
            "    listen 127.0.0.1:" + QByteArray::number(upstream) + ";\n"
            "    location / { return 200 '{\"text\":\"hello from nginx\"}'; }\n"
            "  }\n"
            "  server {\n"
            "    listen 127.0.0.1:" + QByteArray::number(m_port) + " ssl;\n"
            "    ssl_certificate " + d + "/cert.pem; ssl_certificate_key " + d + "/key.pem;\n"
            "    location = /api/account/signout { return 200 '{\"ok\":true}'; }\n"
            "    location = /auth/me { return 200 '{\"email\":\"ada@example.com\",\"creditsBalance\":5}'; }\n"
            // The body is read whole (request buffering) before the answer.
            "    location = /stt { proxy_pass http://127.0.0.1:" + QByteArray::number(upstream) + "; proxy_pass_request_body off; proxy_set_header Content-Length \"\"; }\n"
            "  }\n"
            "}\n";
        if (!writeFile(dir + QStringLiteral("/nginx.conf"), conf)) {
            m_error = QStringLiteral("cannot write the configuration");
            return false;
        }
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(nginx, {QStringLiteral("-p"), dir, QStringLiteral("-c"), dir + QStringLiteral("/nginx.conf"),
                                QStringLiteral("-e"), dir + QStringLiteral("/logs/error.log"), QStringLiteral("-g"),
                                reloadable ? QStringLiteral("daemon off;") : QStringLiteral("daemon off; master_process off;")});
        if (!m_process.waitForStarted(5000)) {
            m_error = m_process.errorString();
            return false;
        }
        for (int i = 0; i < 500; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(100))
                return true;
            if (m_process.state() != QProcess::Running)
                break;
            QThread::msleep(10);
        }
        m_error = QString::fromUtf8(m_process.readAll());
        stop();
    }
    return false;
}

bool NginxServer::reload()
{
    // What `nginx -s reload` sends to the master.
    return m_process.state() == QProcess::Running && ::kill(pid_t(m_process.processId()), SIGHUP) == 0;
}

void NginxServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

} // namespace tovrik::test
