#include "hosted/HTTPError.h"

namespace tovrik {

namespace {
const QString kDomain = QStringLiteral("TovrikHostedBackend");
enum : int { kInvalidResponseCode = -1, kTimedOutCode = -1001, kTransportCode = -1002 };
} // namespace

HTTPError::HTTPError(Kind kind, int code, QString message) : TovrikError(kDomain, code, std::move(message)), m_kind(kind) {}

HTTPError HTTPError::invalidResponse(const QString& detail)
{
    HTTPError e(Kind::invalidResponse, kInvalidResponseCode, QStringLiteral("invalid api response"));
    e.m_detail = detail;
    return e;
}

HTTPError HTTPError::timedOut()
{
    return HTTPError(Kind::timedOut, kTimedOutCode, QStringLiteral("request timed out"));
}

HTTPError HTTPError::failedStatus(int statusCode, const QString& message, const QString& errorCode)
{
    const QString trimmed = message.trimmed();
    HTTPError e(Kind::failedStatus, statusCode, trimmed.isEmpty() ? QStringLiteral("request failed") : trimmed);
    e.m_statusCode = statusCode;
    e.m_serviceMessage = trimmed;
    e.m_errorCode = errorCode.trimmed();
    return e;
}

HTTPError HTTPError::transport(const QString& detail, int networkErrorCode)
{
    const QString text = detail.trimmed().isEmpty() ? QStringLiteral("The network connection was lost.") : detail.trimmed();
    HTTPError e(Kind::transport, networkErrorCode ? networkErrorCode : kTransportCode, text);
    e.m_detail = text;
    return e;
}

bool HTTPError::isOutOfCredits() const
{
    return m_kind == Kind::failedStatus && (m_statusCode == 402 || m_errorCode == hostedOutOfCreditsErrorCode);
}

QString HTTPError::localizedDescription() const
{
    switch (m_kind) {
    case Kind::invalidResponse:
        return QStringLiteral("invalid api response");
    case Kind::timedOut:
        return QStringLiteral("request timed out");
    case Kind::failedStatus:
        return m_serviceMessage.isEmpty() ? QStringLiteral("request failed") : m_serviceMessage;
    case Kind::transport:
        return m_detail;
    }
    return message();
}

bool isHostedOutOfCreditsError(std::exception_ptr error)
{
    if (!error)
        return false;
    try {
        std::rethrow_exception(error);
    } catch (const HTTPError& e) {
        return e.isOutOfCredits();
    } catch (...) {
        return false;
    }
}

} // namespace tovrik
