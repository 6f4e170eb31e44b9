#pragma once

#include <QString>
#include <exception>
#include <string>

namespace tovrik {

// The one error type of the services: a domain ("TovrikHostedBackend",
// "TovrikScreenCapture", ...), an integer code and the user-facing message.
class TovrikError : public std::exception {
public:
    TovrikError(QString domain, int code, QString message);

    const QString& domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString& message() const { return m_message; }
    // The text a user sees; subclasses with cases of their own override it.
    virtual QString localizedDescription() const { return m_message; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    QString m_domain;
    int m_code;
    QString m_message;
    std::string m_what;
};

// Thrown when a task is cancelled. Cancellation of a stale interaction is
// silent, so callers catch this before any other error.
class CancellationError : public TovrikError {
public:
    CancellationError();
};

// The user-facing text of any exception: the localized description of our
// own errors, what() of a standard one, a generic text otherwise.
QString describeException(std::exception_ptr error);
bool isCancellation(std::exception_ptr error);

} // namespace tovrik
