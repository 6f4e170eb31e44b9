#include "hosted/TrustedOrigins.h"

#include "common/Constants.h"

namespace tovrik {

namespace {

bool isTrustedHost(const QString& host)
{
    return !host.isEmpty() && constants::trustedHostedWorkerHosts().contains(host.toLower());
}

// The authority as written (between "//" and the first '/', '?' or '#'): a
// '@' there means a user part, even an empty one QUrl would drop.
bool hasUserPart(const QString& text)
{
    const qsizetype start = text.indexOf(QLatin1String("//"));
    if (start < 0)
        return false;
    qsizetype end = text.size();
    for (const QChar c : {QChar('/'), QChar('?'), QChar('#')}) {
        const qsizetype i = text.indexOf(c, start + 2);
        if (i >= 0 && i < end)
            end = i;
    }
    return text.mid(start + 2, end - start - 2).contains(QLatin1Char('@'));
}

std::optional<QString> normalize(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        return std::nullopt;
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    if (!url.userName().isEmpty() || !url.password().isEmpty() || hasUserPart(trimmed))
        return std::nullopt;
    if (url.hasQuery() || url.hasFragment())
        return std::nullopt;
    if (url.port() != -1 && url.port() != 443)
        return std::nullopt;
    const QString host = url.host().toLower();
    if (!isTrustedHost(host))
        return std::nullopt;
    QString result = QStringLiteral("https://") + host;
    while (result.endsWith(QLatin1Char('/')))
        result.chop(1);
    return result;
}

} // namespace

std::optional<QString> normalizedTrustedHostedWorkerBaseURL(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    // Asked for by every derived state of the model, nearly always of the
    // same stored text: the last answer is kept (parsing a URL is not cheap).
    struct Last {
        QString text;
        std::optional<QString> result;
    };
    thread_local std::optional<Last> last;
    if (!last || last->text != *text)
        last = Last{*text, normalize(*text)};
    return last->result;
}

bool isTrustedHostedWorkerURL(const QUrl& url)
{
    if (!url.isValid() || url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return false;
    if (!url.userInfo().isEmpty())
        return false;
    if (url.port() != -1 && url.port() != 443)
        return false;
    return isTrustedHost(url.host());
}

bool isSameTrustedHostedHTTPSOrigin(const QUrl& a, const QUrl& b)
{
    return isTrustedHostedWorkerURL(a) && isTrustedHostedWorkerURL(b)
        && a.host().compare(b.host(), Qt::CaseInsensitive) == 0;
}

} // namespace tovrik
