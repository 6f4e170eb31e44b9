#include "hosted/LoopbackHTTPRequest.h"

#include <QUrl>

#include <string_view>

namespace tovrik {

namespace {
bool isTokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
        || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}
} // namespace

LoopbackParseStatus parseLoopbackHTTPRequest(const QByteArray& bytes, LoopbackHTTPRequest* out)
{
    // The head ends at the first empty line (CRLF CRLF, or LF LF leniently).
    qsizetype headEnd = bytes.indexOf("\r\n\r\n");
    qsizetype lfEnd = bytes.indexOf("\n\n");
    if (headEnd < 0 || (lfEnd >= 0 && lfEnd < headEnd))
        headEnd = lfEnd;
    if (headEnd < 0) {
        if (bytes.size() > loopbackMaximumHeadBytes)
            return LoopbackParseStatus::malformed;
        // Fail early on a request line that cannot be HTTP.
        const qsizetype firstLine = bytes.indexOf('\n');
        const QByteArray line = (firstLine < 0 ? bytes : bytes.left(firstLine));
        for (char c : line) {
            if (c == '\0')
                return LoopbackParseStatus::malformed;
        }
        return LoopbackParseStatus::incomplete;
    }
    if (headEnd > loopbackMaximumHeadBytes)
        return LoopbackParseStatus::malformed;
    const QByteArray head = bytes.left(headEnd);
    qsizetype lineEnd = head.indexOf('\n');
    QByteArray requestLine = lineEnd < 0 ? head : head.left(lineEnd);
    if (requestLine.endsWith('\r'))
        requestLine.chop(1);
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3)
        return LoopbackParseStatus::malformed;
    const QByteArray& method = parts[0];
    const QByteArray& target = parts[1];
    const QByteArray& version = parts[2];
    if (method.isEmpty() || method.size() > 16)
        return LoopbackParseStatus::malformed;
    for (char c : method) {
        if (!isTokenChar(c))
            return LoopbackParseStatus::malformed;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return LoopbackParseStatus::malformed;
    if (target.isEmpty() || target.front() != '/')
        return LoopbackParseStatus::malformed;
    for (char c : target) {
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7f)
            return LoopbackParseStatus::malformed;
    }
    // Header lines: "name: value", no NULs.
    const QList<QByteArray> lines = head.mid(lineEnd < 0 ? head.size() : lineEnd + 1).split('\n');
    for (QByteArray headerLine : lines) {
        if (headerLine.endsWith('\r'))
            headerLine.chop(1);
        if (headerLine.isEmpty())
            continue;
        const qsizetype colon = headerLine.indexOf(':');
        if (colon <= 0 || headerLine.contains('\0'))
            return LoopbackParseStatus::malformed;
        for (qsizetype i = 0; i < colon; ++i) {
            if (!isTokenChar(headerLine[i]))
                return LoopbackParseStatus::malformed;
        }
    }
    if (out) {
        out->method = method;
        out->target = target;
        out->version = version;
        const qsizetype q = target.indexOf('?');
        const QByteArray rawPath = q < 0 ? target : target.left(q);
        const qsizetype hash = target.indexOf('#');
        QByteArray rawQuery = q < 0 ? QByteArray() : target.mid(q + 1);
        if (hash >= 0 && q >= 0 && hash > q)
            rawQuery = target.mid(q + 1, hash - q - 1);
        out->path = QUrl::fromPercentEncoding(rawPath);
        out->query = QUrlQuery(QString::fromLatin1(rawQuery));
    }
    return LoopbackParseStatus::complete;
}

} // namespace tovrik
