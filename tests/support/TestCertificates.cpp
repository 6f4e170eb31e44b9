#include "support/TestCertificates.h"

#include "common/Constants.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace tovrik::test {

namespace {

QTemporaryDir& certificateFolder()
{
    static QTemporaryDir dir;
    return dir;
}

bool runOpenSSL(const QStringList& args, QString* error)
{
    QProcess p;
    p.setProgram(QStringLiteral("openssl"));
    p.setArguments(args);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start();
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2").arg(args.value(0), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

TestCertificateSet makeSet(const QString& name)
{
    TestCertificateSet set;
    if (!certificateFolder().isValid()) {
        set.error = QStringLiteral("no temporary folder");
        return set;
    }
    const QDir dir(certificateFolder().path());
    const QString caKey = dir.filePath(name + QStringLiteral("-ca.key"));
    const QString caPem = dir.filePath(name + QStringLiteral("-ca.pem"));
    const QString key = dir.filePath(name + QStringLiteral("-server.key"));
    const QString csr = dir.filePath(name + QStringLiteral("-server.csr"));
    const QString pem = dir.filePath(name + QStringLiteral("-server.pem"));
    const QString ext = dir.filePath(name + QStringLiteral("-server.ext"));

    QStringList dns;
    for (const QString& host : testCertificateHosts())
        dns << QStringLiteral("DNS:") + host;
    {
        QFile f(ext);
        if (!f.open(QIODevice::WriteOnly)) {
            set.error = QStringLiteral("cannot write %1").arg(ext);
            return set;
        }
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n");
        f.write("subjectAltName=" + dns.join(QLatin1Char(',')).toUtf8() + "\n");
    }
    const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    if (!runOpenSSL(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                        + QStringList{QStringLiteral("-keyout"), caKey, QStringLiteral("-out"), caPem,
                                      QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                      QStringLiteral("/CN=Tovrik %1 Test CA").arg(name), QStringLiteral("-addext"),
                                      QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                                      QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
                    &set.error))
        return set;
    if (!runOpenSSL(QStringList{QStringLiteral("req")} + ec
                        + QStringList{QStringLiteral("-keyout"), key, QStringLiteral("-out"), csr,
                                      QStringLiteral("-subj"), QStringLiteral("/CN=Tovrik hosted test")},
                    &set.error))
        return set;
    if (!runOpenSSL({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), csr, QStringLiteral("-CA"),
                     caPem, QStringLiteral("-CAkey"), caKey, QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                     pem, QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), ext},
                    &set.error))
        return set;

    const auto read = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    set.ca = QSslCertificate(read(caPem), QSsl::Pem);
    set.server = QSslCertificate(read(pem), QSsl::Pem);
    set.serverKey = QSslKey(read(key), QSsl::Ec, QSsl::Pem);
    set.caPath = caPem;
    set.valid = !set.ca.isNull() && !set.server.isNull() && !set.serverKey.isNull();
    if (!set.valid)
        set.error = QStringLiteral("generated certificates could not be loaded");
    return set;
}

} // namespace

QStringList testCertificateHosts()
{
    QStringList hosts = constants::trustedHostedWorkerHosts().values();
    hosts.sort();
    for (const QString& endpoint : {constants::googleAuthorizationEndpoint(), constants::googleTokenEndpoint()}) {
        const QString host = QUrl(endpoint).host().toLower();
        if (!host.isEmpty() && !hosts.contains(host))
            hosts << host;
    }
    hosts << QStringLiteral("untrusted.example");
    return hosts;
}

const TestCertificateSet& trustedTestCertificates()
{
    static const TestCertificateSet set = makeSet(QStringLiteral("trusted"));
    return set;
}

const TestCertificateSet& untrustedTestCertificates()
{
    static const TestCertificateSet set = makeSet(QStringLiteral("rogue"));
    return set;
}

} // namespace tovrik::test
