#pragma once

// The proxy for a request as the environment names it, read the way curl
// reads it:
//  - the proxy of an https URL: `https_proxy`, else `HTTPS_PROXY`, else
//    `all_proxy`, else `ALL_PROXY` (an empty variable counts as unset;
//    `http_proxy` never applies to https); of an http URL: `http_proxy`
//    (lower case only), else `all_proxy`, else `ALL_PROXY`;
//  - `no_proxy`, else `NO_PROXY`: a list separated by commas or blanks; `*`
//    exempts every host; a name exempts itself and every name below it
//    (`tovrik.ai` and `.tovrik.ai` both exempt `tovrik.ai` and
//    `www.tovrik.ai`, never `nottovrik.ai`; case and a trailing dot do not
//    matter); an IP address or a CIDR range (`10.0.0.0/8`, `::1`) exempts the
//    addresses it covers, for URLs that name an address;
//  - a proxy written without a scheme is an HTTP proxy; `http://` (used
//    through CONNECT), `socks5://` (names resolved here) and `socks5h://`
//    (names resolved by the proxy) are supported, with `user:password@`
//    (percent-decoded); a proxy without a port uses 1080. Any other scheme
//    (`https://`, `socks4://`, ...) is an error, never a silent direct
//    connection. An error names the proxy without its `user:password@`.

#include <QByteArray>
#include <QNetworkProxy>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace tovrik {

struct EnvironmentProxy {
    // Whether the environment has a say: one of the proxy variables above
    // (or http_proxy / HTTP_PROXY) is set. Otherwise the system's settings
    // decide.
    bool configured = false;
    QNetworkProxy proxy{QNetworkProxy::NoProxy};
    QString error; // a proxy that cannot be used
};

using EnvironmentReader = std::function<QByteArray(const char* name)>;

// The proxy for `url` (https) from the environment `read` gives (the
// process environment when null).
EnvironmentProxy environmentProxyFor(const QUrl& url, const EnvironmentReader& read = {});

// Whether `host` is exempted by the no_proxy list `list`.
bool noProxyExempts(const QByteArray& list, const QString& host);

} // namespace tovrik
