#include "support/TestCertificates.h"

#include "common/Constants.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>

namespace tovrik::test {

namespace {

QString& persistentFolder()
{
    static QString folder;
    return folder;
}

QString certificateFolder()
{
    if (!persistentFolder().isEmpty())
        return persistentFolder();
    static QTemporaryDir dir;
    return dir.isValid() ? dir.path() : QString();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The host names the leaf certificates carry: the trusted hosted hosts, the
// Google endpoint hosts of the build settings and "untrusted.example".
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

// A kept set still usable: every file loads, both certificates stay valid
// for at least a day, and the leaf names every test host.
bool keptSetUsable(const QString& caPem, const QString& pem, const QString& key)
{
    const QSslCertificate ca(readFile(caPem), QSsl::Pem);
    const QSslCertificate server(readFile(pem), QSsl::Pem);
    const QDateTime tomorrow = QDateTime::currentDateTimeUtc().addDays(1);
    const QStringList hosts = testCertificateHosts(), names = server.subjectAlternativeNames().values(QSsl::DnsEntry);
    return !ca.isNull() && !server.isNull() && !QSslKey(readFile(key), QSsl::Ec, QSsl::Pem).isNull()
        && ca.expiryDate() > tomorrow && server.expiryDate() > tomorrow
        && std::all_of(hosts.begin(), hosts.end(), [&](const QString& host) { return names.contains(host); });
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

// Writes a CA and a leaf for every test host signed by it (openssl).
bool generate(const QDir& dir, const QString& name, const QString& days, QString* error)
{
    const auto file = [&](const char* suffix) { return dir.filePath(name + QLatin1String(suffix)); };
    const QString caKey = file("-ca.key"), caPem = file("-ca.pem"), key = file("-server.key"), csr = file("-server.csr"),
                  pem = file("-server.pem"), ext = file("-server.ext");
    QFile f(ext);
    if (!f.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1").arg(ext);
        return false;
    }
    f.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
            "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:" + testCertificateHosts().join(",DNS:").toUtf8() + "\n");
    f.close();
    const QStringList ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    return runOpenSSL(QStringList{"req", "-x509"} + ec
                          + QStringList{"-keyout", caKey, "-out", caPem, "-days", days, "-subj",
                                        QStringLiteral("/CN=Tovrik %1 Test CA").arg(name), "-addext",
                                        "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
                      error)
        && runOpenSSL(QStringList{"req"} + ec + QStringList{"-keyout", key, "-out", csr, "-subj", "/CN=Tovrik hosted test"},
                      error)
        && runOpenSSL({"x509", "-req", "-in", csr, "-CA", caPem, "-CAkey", caKey, "-CAcreateserial", "-out", pem, "-days",
                       days, "-extfile", ext}, error);
}

TestCertificateSet makeSet(const QString& name)
{
    TestCertificateSet set;
    if (certificateFolder().isEmpty() || !QDir().mkpath(certificateFolder())) {
        set.error = QStringLiteral("no folder for the certificates");
        return set;
    }
    const QDir dir(certificateFolder());
    const bool persistent = !persistentFolder().isEmpty();
    const QString caPem = dir.filePath(name + "-ca.pem"), key = dir.filePath(name + "-server.key"),
                  pem = dir.filePath(name + "-server.pem");
    if ((!persistent || !keptSetUsable(caPem, pem, key))
        && !generate(dir, name, persistent ? "365" : "2", &set.error))
        return set;

    set.ca = QSslCertificate(readFile(caPem), QSsl::Pem);
    set.server = QSslCertificate(readFile(pem), QSsl::Pem);
    set.serverKey = QSslKey(readFile(key), QSsl::Ec, QSsl::Pem);
    set.caPath = caPem;
    set.valid = !set.ca.isNull() && !set.server.isNull() && !set.serverKey.isNull();
    if (!set.valid)
        set.error = QStringLiteral("generated certificates could not be loaded");
    return set;
}

} // namespace

void setCertificateFolder(const QString& folder) { persistentFolder() = folder; }

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
