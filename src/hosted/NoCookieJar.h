#pragma once

#include <QNetworkCookie>
#include <QNetworkCookieJar>

namespace tovrik {

// The jar of an ephemeral session: it stores and sends no cookie.
class NoCookieJar : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

} // namespace tovrik
