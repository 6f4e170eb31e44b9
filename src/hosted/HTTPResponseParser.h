#pragma once

// Reads one HTTP/1.1 answer from the bytes of a connection, incrementally:
//  - the status line and header fields of the answer, together with any
//    interim (1xx) answers before it, may take at most maximumHeadBytes;
//    one byte more is an invalid response, and nothing beyond the bound is
//    ever kept (a line is buffered only while it is incomplete);
//  - lines end with CRLF or a lone LF; the status line is
//    "HTTP/1.x NNN [reason]"; a field is "name: value" (name a token, value
//    trimmed); a folded continuation line (obs-fold) continues the field
//    before it, joined with one space (a fold right after the status line,
//    or a line without a name, is invalid);
//  - the body is framed by Transfer-Encoding (chunked last: chunked,
//    otherwise until the connection closes), else Content-Length (several
//    differing lengths are invalid), else it runs until the connection
//    closes; 1xx, 204 and 304 answers and answers to HEAD have no body;
//  - a chunk-size line (with extensions) and the trailer section of a
//    chunked body are bounded too (maximumChunkLineBytes, maximumHeadBytes);
//  - body bytes are handed to the caller as they arrive, never buffered here.
// finish() says the connection has closed: that completes a body that runs
// until the close and is a truncation anywhere else.
//
// Plain C++ over bytes (no sockets, no event loop), so the tests and a
// fuzzer can drive it directly.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace tovrik {

class HTTPResponseParser {
public:
    static constexpr qsizetype maximumHeadBytes = 64 * 1024;
    static constexpr qsizetype maximumChunkLineBytes = 4 * 1024;

    struct Head {
        int status = 0;
        QList<QPair<QByteArray, QByteArray>> fields; // as received, in order
        // The first field of that name (case-insensitive), or empty.
        QByteArray field(const QByteArray& name) const;
    };

    // `method` is the request's method (HEAD answers have no body).
    explicit HTTPResponseParser(const QByteArray& method = "GET") : m_headRequest(method == "HEAD") {}

    // Consumes `size` bytes; body bytes are appended to `body`. Returns false
    // once the answer is invalid (error() says why; nothing more is read).
    // Bytes after a complete answer are not consumed: `consumed` (when
    // given) tells how many were.
    bool feed(const char* data, qsizetype size, QByteArray* body, qsizetype* consumed = nullptr);
    // The connection closed. Returns true when the answer is complete.
    bool finish();

    bool headComplete() const { return m_state > State::fields; }
    bool isComplete() const { return m_state == State::complete; }
    bool failed() const { return m_state == State::failed; }
    const QString& error() const { return m_error; }
    const Head& head() const { return m_head; }
    // The body's length when the answer announced it, else -1.
    qint64 contentLength() const { return m_contentLength; }
    // The body (of a complete head) runs until the connection closes.
    bool closeDelimited() const { return m_closeDelimited; }
    // The connection can carry another request after this complete answer.
    bool connectionReusable() const;

private:
    enum class State { statusLine, fields, lengthBody, chunkSize, chunkData, chunkDataEnd, trailers, untilClose, complete, failed };
    bool fail(const QString& why);
    // Takes one line (without its end) of the head; false on failure.
    bool headLine(const QByteArray& line);
    bool startBody();
    // Collects bytes up to LF into m_line within `budget`; returns the number
    // consumed, and sets *complete when the line ended.
    qsizetype takeLine(const char* data, qsizetype size, qsizetype budget, bool* complete);

    State m_state = State::statusLine;
    bool m_headRequest;
    Head m_head;
    QByteArray m_line;
    qsizetype m_headBytes = 0;    // of every head and the trailers so far
    qint64 m_contentLength = -1;
    qint64 m_remaining = 0;       // of the Content-Length body or the current chunk
    bool m_closeDelimited = false;
    bool m_http11 = false;
    QString m_error;
};

} // namespace tovrik
