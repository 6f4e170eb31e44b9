// libFuzzer target: the JSON records the hosted service sends (session,
// account summary). Any input must give a record or an HTTPError
// (invalid response), never a crash or another exception.

#include "hosted/HTTPError.h"
#include "hosted/HostedPayloads.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!doc.isObject())
        return 0;
    try {
        const auto session = tovrik::HostedAuthSessionPayload::fromJson(doc.object());
        if (session.sessionToken.isEmpty() || session.email.isEmpty())
            std::abort();
    } catch (const tovrik::HTTPError& e) {
        if (e.kind() != tovrik::HTTPError::Kind::invalidResponse)
            std::abort();
    }
    try {
        (void)tovrik::HostedAccountSummaryPayload::fromJson(doc.object());
    } catch (const tovrik::HTTPError&) {
    }
    return 0;
}
