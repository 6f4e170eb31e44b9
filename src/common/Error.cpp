#include "common/Error.h"

namespace tovrik {

TovrikError::TovrikError(QString domain, int code, QString message)
    : m_domain(std::move(domain)), m_code(code), m_message(std::move(message)),
      m_what((m_domain + QStringLiteral(" ") + QString::number(m_code) + QStringLiteral(": ") + m_message).toStdString())
{
}

CancellationError::CancellationError()
    : TovrikError(QStringLiteral("TovrikCancellation"), -999, QStringLiteral("The operation was cancelled."))
{
}

QString describeException(std::exception_ptr error)
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const TovrikError& e) {
        return e.localizedDescription();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("The operation couldn't be completed.");
    }
}

bool isCancellation(std::exception_ptr error)
{
    if (!error)
        return false;
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace tovrik
