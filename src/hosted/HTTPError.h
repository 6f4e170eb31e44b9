#pragma once

#include "common/Error.h"

#include <QString>
#include <exception>

namespace tovrik {

// The hosted client's error (domain "TovrikHostedBackend"). Its cases:
//  - invalidResponse: the service answered something we cannot read (wrong
//    content type, malformed or oversized JSON, missing fields, a truncated
//    event stream);
//  - timedOut: no answer (or no streamed bytes) within the limit;
//  - failedStatus: a non-2xx status (also a refused redirect) carrying the
//    service's message, trimmed, and its machine-readable error code;
//  - transport: the connection itself failed (DNS, TLS, reset, proxy);
//    UI Autopilot recovers from these, not from status failures.
// Cancellation is never an HTTPError: it surfaces as CancellationError.
class HTTPError : public TovrikError {
public:
    enum class Kind { invalidResponse, timedOut, failedStatus, transport };

    static HTTPError invalidResponse(const QString& detail = {});
    static HTTPError timedOut();
    static HTTPError failedStatus(int statusCode, const QString& message, const QString& errorCode = {});
    static HTTPError transport(const QString& detail, int networkErrorCode = 0);

    Kind kind() const { return m_kind; }
    // failedStatus: the HTTP status; 0 for the other cases.
    int statusCode() const { return m_statusCode; }
    // failedStatus: the service's message, already trimmed (may be empty).
    const QString& serviceMessage() const { return m_serviceMessage; }
    // failedStatus: the "error" code of the service's error body, if any.
    const QString& errorCode() const { return m_errorCode; }
    // invalidResponse / transport: what went wrong, for logs.
    const QString& detail() const { return m_detail; }

    // Status 402, or the service's error code "insufficient_credits".
    bool isOutOfCredits() const;

    // "invalid api response", "request timed out", the service's message or
    // "request failed"; a transport failure gives its detail.
    QString localizedDescription() const override;

private:
    HTTPError(Kind kind, int code, QString message);
    Kind m_kind;
    int m_statusCode = 0;
    QString m_serviceMessage;
    QString m_errorCode;
    QString m_detail;
};

// The service's error code for an exhausted credit balance.
inline const QString hostedOutOfCreditsErrorCode = QStringLiteral("insufficient_credits");

// True when `error` is an HTTPError that isOutOfCredits().
bool isHostedOutOfCreditsError(std::exception_ptr error);

} // namespace tovrik
