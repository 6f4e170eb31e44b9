// libFuzzer target: the sign-in listener's request-head parser, fed the
// input whole and byte by byte as a socket would deliver it. Checks: no
// crash, a completed parse has a method, a target starting with '/' and an
// HTTP/1.x version, and growing input never turns complete back into
// incomplete.

#include "hosted/LoopbackHTTPRequest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    tovrik::LoopbackHTTPRequest request;
    const auto whole = tovrik::parseLoopbackHTTPRequest(bytes, &request);
    if (whole == tovrik::LoopbackParseStatus::complete) {
        if (request.method.isEmpty() || !request.target.startsWith('/')
            || (request.version != "HTTP/1.1" && request.version != "HTTP/1.0"))
            std::abort();
        (void)request.query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
        (void)request.query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    }
    // As the listener sees it: the buffer grows; once a prefix is complete
    // or malformed, the listener stops reading.
    for (qsizetype n = 1; n <= bytes.size() && n <= 256; ++n) {
        const auto status = tovrik::parseLoopbackHTTPRequest(bytes.left(n), nullptr);
        if (status != tovrik::LoopbackParseStatus::incomplete)
            break;
    }
    return 0;
}
