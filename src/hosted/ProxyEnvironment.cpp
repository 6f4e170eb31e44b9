#include "hosted/ProxyEnvironment.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace tovrik {

namespace {

QByteArray firstSet(const EnvironmentReader& read, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        const QByteArray value = read(name).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return {};
}

QString withoutBrackets(QString host)
{
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return host;
}

// The proxy as written, without its `user:password@` (for messages). The
// user part ends at the last '@' anywhere: a password with a stray '/' or
// '#' in it is still taken out whole.
QByteArray withoutUserPart(QByteArray text)
{
    const qsizetype scheme = text.indexOf("://");
    const qsizetype start = scheme < 0 ? 0 : scheme + 3;
    const qsizetype at = text.lastIndexOf('@');
    if (at >= start)
        text.remove(start, at + 1 - start);
    return text;
}

} // namespace

bool noProxyExempts(const QByteArray& list, const QString& rawHost)
{
    QString host = withoutBrackets(rawHost.trimmed()).toLower();
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.isEmpty())
        return false;
    QHostAddress address;
    const bool isAddress = address.setAddress(host);
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    for (QString entry : QString::fromUtf8(list).split(separators, Qt::SkipEmptyParts)) {
        if (entry == QLatin1String("*"))
            return true;
        if (isAddress) {
            entry = withoutBrackets(entry);
            const auto subnet = QHostAddress::parseSubnet(entry);
            if (entry.contains(QLatin1Char('/')) && subnet.second >= 0 && !subnet.first.isNull()) {
                if (address.isInSubnet(subnet))
                    return true;
            } else if (QHostAddress(entry) == address) {
                return true;
            }
            continue;
        }
        entry = entry.toLower();
        while (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        while (entry.endsWith(QLatin1Char('.')))
            entry.chop(1);
        if (entry.isEmpty())
            continue;
        if (host == entry || (host.endsWith(entry) && host.at(host.size() - entry.size() - 1) == QLatin1Char('.')))
            return true;
    }
    return false;
}

EnvironmentProxy environmentProxyFor(const QUrl& url, const EnvironmentReader& given)
{
    const EnvironmentReader read = given ? given : [](const char* name) { return qgetenv(name); };
    EnvironmentProxy result;
    // (curl reads only the lower-case http_proxy, never HTTP_PROXY, for http.)
    const bool plain = url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0;
    const QByteArray proxyText = plain ? firstSet(read, {"http_proxy", "all_proxy", "ALL_PROXY"})
                                  : firstSet(read, {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"});
    result.configured = !proxyText.isEmpty() || !firstSet(read, {"http_proxy", "HTTP_PROXY"}).isEmpty();
    if (proxyText.isEmpty())
        return result;
    if (noProxyExempts(firstSet(read, {"no_proxy", "NO_PROXY"}), url.host()))
        return result;

    const QUrl proxyURL(QString::fromUtf8(proxyText.contains("://") ? proxyText : "http://" + proxyText));
    const QString scheme = proxyURL.scheme().toLower();
    if (!proxyURL.isValid() || proxyURL.host().isEmpty()) {
        result.error = QStringLiteral("The proxy \"%1\" from the environment is not a valid address")
                           .arg(QString::fromUtf8(withoutUserPart(proxyText)));
        return result;
    }
    QNetworkProxy proxy;
    if (scheme == QLatin1String("http")) {
        proxy.setType(QNetworkProxy::HttpProxy);
        proxy.setCapabilities(QNetworkProxy::TunnelingCapability | QNetworkProxy::HostNameLookupCapability);
    } else if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h")) {
        proxy.setType(QNetworkProxy::Socks5Proxy);
        QNetworkProxy::Capabilities capabilities = QNetworkProxy::TunnelingCapability;
        if (scheme == QLatin1String("socks5h"))
            capabilities |= QNetworkProxy::HostNameLookupCapability;
        proxy.setCapabilities(capabilities);
    } else {
        result.error = QStringLiteral("The proxy scheme \"%1\" from the environment is not supported").arg(scheme);
        return result;
    }
    proxy.setHostName(proxyURL.host());
    proxy.setPort(quint16(proxyURL.port(1080)));
    proxy.setUser(proxyURL.userName(QUrl::FullyDecoded));
    proxy.setPassword(proxyURL.password(QUrl::FullyDecoded));
    result.proxy = proxy;
    return result;
}

} // namespace tovrik
