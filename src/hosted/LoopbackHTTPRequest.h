#pragma once

// The request-head parser of the sign-in redirect listener. Qt Core only, so
// the fuzzer can drive it without a network.

#include <QByteArray>
#include <QString>
#include <QUrlQuery>

namespace tovrik {

inline constexpr int loopbackMaximumHeadBytes = 16 * 1024;

// One parsed request head (request line and headers; no body is read).
struct LoopbackHTTPRequest {
    QByteArray method;
    QByteArray target; // as sent: path and query
    QByteArray version;
    QString path;      // percent-decoded path of the target
    QUrlQuery query;
};

// Parses the bytes received so far. Returns:
//  - incomplete: the head is not complete yet (no empty line), within caps;
//  - complete: `out` holds the request;
//  - malformed: not an HTTP/1.x request head, or over the cap
//    (loopbackMaximumHeadBytes).
enum class LoopbackParseStatus { incomplete, complete, malformed };
LoopbackParseStatus parseLoopbackHTTPRequest(const QByteArray& bytes, LoopbackHTTPRequest* out);

} // namespace tovrik
