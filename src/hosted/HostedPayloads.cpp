#include "hosted/HostedPayloads.h"

#include "hosted/HTTPError.h"

#include <QJsonValue>
#include <cmath>

namespace tovrik {

namespace {

QString requiredString(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString() || v.toString().trimmed().isEmpty())
        throw HTTPError::invalidResponse(QStringLiteral("missing or invalid \"%1\"").arg(QLatin1String(key)));
    return v.toString().trimmed();
}

QString optionalString(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return {};
    if (!v.isString())
        throw HTTPError::invalidResponse(QStringLiteral("invalid \"%1\"").arg(QLatin1String(key)));
    return v.toString().trimmed();
}

// An integer number of credits: a JSON number without a fraction that fits
// in 53 bits (JSON numbers are doubles on many services).
qint64 requiredCredits(const QJsonObject& o)
{
    const QJsonValue v = o.value(QLatin1String("creditsBalance"));
    if (!v.isDouble())
        throw HTTPError::invalidResponse(QStringLiteral("missing or invalid \"creditsBalance\""));
    const double d = v.toDouble();
    constexpr double limit = 9007199254740992.0; // 2^53
    if (!std::isfinite(d) || std::floor(d) != d || std::fabs(d) > limit)
        throw HTTPError::invalidResponse(QStringLiteral("invalid \"creditsBalance\""));
    return v.toInteger();
}

} // namespace

HostedAuthSessionPayload HostedAuthSessionPayload::fromJson(const QJsonObject& object)
{
    HostedAuthSessionPayload p;
    p.sessionToken = requiredString(object, "sessionToken");
    p.email = requiredString(object, "email");
    p.creditsBalance = requiredCredits(object);
    p.displayName = optionalString(object, "displayName");
    p.pictureUrl = optionalString(object, "pictureUrl");
    return p;
}

HostedAccountSummaryPayload HostedAccountSummaryPayload::fromJson(const QJsonObject& object)
{
    HostedAccountSummaryPayload p;
    p.email = requiredString(object, "email");
    p.creditsBalance = requiredCredits(object);
    p.displayName = optionalString(object, "displayName");
    p.pictureUrl = optionalString(object, "pictureUrl");
    return p;
}

} // namespace tovrik
