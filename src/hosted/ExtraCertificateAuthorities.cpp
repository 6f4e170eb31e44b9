#include "hosted/ExtraCertificateAuthorities.h"

#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace tovrik::hosted {

QString trustExtraCertificateAuthorities(const QString& path)
{
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("extra certificate authorities not used: cannot read %1 (%2)")
            .arg(path, file.errorString());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<QSslCertificate> usable;
    QStringList names;
    for (const QSslCertificate& certificate : QSslCertificate::fromData(file.readAll(), QSsl::Pem)) {
        if (certificate.isNull() || certificate.expiryDate() < now)
            continue;
        usable << certificate;
        names << certificate.subjectInfo(QSslCertificate::CommonName).join(QLatin1Char(' '));
    }
    if (usable.isEmpty())
        return QStringLiteral("extra certificate authorities not used: no current certificate in %1").arg(path);
    // Adding authorities ends Qt's on-demand loading of the system's roots,
    // so they are listed here explicitly: the system's trust stays whole.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> authorities = tls.caCertificates();
    for (const QSslCertificate& root : QSslConfiguration::systemCaCertificates())
        if (!authorities.contains(root))
            authorities << root;
    tls.setCaCertificates(authorities + usable);
    QSslConfiguration::setDefaultConfiguration(tls);
    return QStringLiteral("trusting %1 extra certificate authorit%2 from %3 (%4)")
        .arg(usable.size())
        .arg(usable.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies"))
        .arg(path, names.join(QStringLiteral(", ")));
}

} // namespace tovrik::hosted
