#include "hosted/HTTPResponseParser.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tovrik {

namespace {

bool isTokenChar(char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

QByteArray withoutCR(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

// Digits only, at most 18 of them (so the value fits), else -1.
qint64 decimal(const QByteArray& text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

qint64 hexadecimal(const QByteArray& text)
{
    if (text.isEmpty() || text.size() > 15)
        return -1;
    qint64 value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            digit = (c | 0x20) - 'a' + 10;
        else
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

} // namespace

QByteArray HTTPResponseParser::Head::field(const QByteArray& name) const
{
    for (const auto& [key, value] : fields)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

bool HTTPResponseParser::fail(const QString& why)
{
    m_state = State::failed;
    m_error = why;
    m_line.clear();
    m_line.squeeze();
    return false;
}

qsizetype HTTPResponseParser::takeLine(const char* data, qsizetype size, qsizetype budget, bool* complete)
{
    const void* lf = std::memchr(data, '\n', size_t(size));
    const qsizetype length = lf ? static_cast<const char*>(lf) - data + 1 : size;
    if (length > budget)
        return -1;
    *complete = lf != nullptr;
    m_line.append(data, *complete ? length - 1 : length);
    return length;
}

bool HTTPResponseParser::feed(const char* data, qsizetype size, QByteArray* body, qsizetype* consumed)
{
    qsizetype at = 0;
    const auto done = [&](bool ok) {
        if (consumed)
            *consumed = at;
        return ok;
    };
    while (at < size && m_state != State::complete && m_state != State::failed) {
        const char* p = data + at;
        const qsizetype left = size - at;
        bool complete = false;
        switch (m_state) {
        case State::statusLine:
        case State::fields:
        case State::trailers: {
            const qsizetype n = takeLine(p, left, maximumHeadBytes - m_headBytes, &complete);
            if (n < 0) {
                at = size;
                return done(fail(m_state == State::trailers ? QStringLiteral("trailer section too large")
                                                            : QStringLiteral("response header too large")));
            }
            at += n;
            m_headBytes += n;
            if (complete) {
                const QByteArray line = withoutCR(std::exchange(m_line, {}));
                if (m_state == State::trailers) {
                    if (line.isEmpty())
                        m_state = State::complete;
                } else if (!headLine(line)) {
                    return done(false);
                }
            }
            break;
        }
        case State::lengthBody:
        case State::chunkData: {
            const qsizetype n = qsizetype(std::min<qint64>(m_remaining, left));
            body->append(p, n);
            at += n;
            m_remaining -= n;
            if (m_remaining == 0)
                m_state = m_state == State::lengthBody ? State::complete : State::chunkDataEnd;
            break;
        }
        case State::untilClose:
            body->append(p, left);
            at = size;
            break;
        case State::chunkSize:
        case State::chunkDataEnd: {
            const qsizetype budget = m_state == State::chunkSize ? maximumChunkLineBytes - m_line.size() : 2 - m_line.size();
            const qsizetype n = takeLine(p, left, budget, &complete);
            if (n < 0) {
                at = size;
                return done(fail(QStringLiteral("malformed chunk")));
            }
            at += n;
            if (!complete)
                break;
            const QByteArray line = withoutCR(std::exchange(m_line, {}));
            if (m_state == State::chunkDataEnd) {
                if (!line.isEmpty())
                    return done(fail(QStringLiteral("malformed chunk")));
                m_state = State::chunkSize;
                break;
            }
            const qsizetype semicolon = line.indexOf(';');
            const qint64 chunk = hexadecimal((semicolon < 0 ? line : line.left(semicolon)).trimmed());
            if (chunk < 0)
                return done(fail(QStringLiteral("malformed chunk size")));
            if (chunk == 0) {
                m_headBytes = 0;
                m_state = State::trailers;
            } else {
                m_remaining = chunk;
                m_state = State::chunkData;
            }
            break;
        }
        case State::complete:
        case State::failed:
            break;
        }
    }
    return done(m_state != State::failed);
}

bool HTTPResponseParser::headLine(const QByteArray& line)
{
    if (m_state == State::statusLine) {
        if (line.isEmpty())
            return true; // stray line ends before the answer
        // "HTTP/1.x NNN" followed by the end or a space and the reason.
        if (line.size() < 12 || !line.startsWith("HTTP/1.") || line[7] < '0' || line[7] > '9' || line[8] != ' '
            || (line.size() > 12 && line[12] != ' '))
            return fail(QStringLiteral("malformed status line"));
        const qint64 status = decimal(line.mid(9, 3));
        if (status < 100)
            return fail(QStringLiteral("malformed status line"));
        m_head = Head{int(status), {}};
        m_http11 = line[7] != '0';
        m_state = State::fields;
        return true;
    }
    if (line.isEmpty()) {
        if (m_head.status == 101)
            return fail(QStringLiteral("unexpected protocol switch"));
        if (m_head.status < 200) { // an interim answer; the real one follows
            m_state = State::statusLine;
            return true;
        }
        return startBody();
    }
    if (line[0] == ' ' || line[0] == '\t') {
        // An obsolete line folding: the line continues the previous field's
        // value, joined with one space.
        if (m_head.fields.isEmpty())
            return fail(QStringLiteral("folded header line"));
        QByteArray& value = m_head.fields.last().second;
        const QByteArray more = line.trimmed();
        if (!more.isEmpty())
            value += (value.isEmpty() ? "" : " ") + more;
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return fail(QStringLiteral("malformed header line"));
    for (qsizetype i = 0; i < colon; ++i)
        if (!isTokenChar(line[i]))
            return fail(QStringLiteral("malformed header name"));
    m_head.fields.append({line.left(colon), line.mid(colon + 1).trimmed()});
    return true;
}

bool HTTPResponseParser::startBody()
{
    m_line.squeeze();
    if (m_headRequest || m_head.status == 204 || m_head.status == 304) {
        m_state = State::complete;
        return true;
    }
    QByteArray codings;
    QList<QByteArray> lengths;
    for (const auto& [key, value] : m_head.fields) {
        if (key.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            codings += (codings.isEmpty() ? "" : ",") + value;
        else if (key.compare("Content-Length", Qt::CaseInsensitive) == 0)
            for (const QByteArray& part : value.split(','))
                lengths << part.trimmed();
    }
    if (!codings.isEmpty()) {
        if (codings.split(',').last().trimmed().toLower() == "chunked") {
            m_state = State::chunkSize;
        } else {
            m_closeDelimited = true;
            m_state = State::untilClose;
        }
        return true;
    }
    if (!lengths.isEmpty()) {
        const qint64 length = decimal(lengths.first());
        for (const QByteArray& other : lengths)
            if (length < 0 || other != lengths.first())
                return fail(QStringLiteral("malformed Content-Length"));
        m_contentLength = length;
        m_remaining = length;
        m_state = length == 0 ? State::complete : State::lengthBody;
        return true;
    }
    m_closeDelimited = true;
    m_state = State::untilClose;
    return true;
}

bool HTTPResponseParser::finish()
{
    if (m_state == State::untilClose)
        m_state = State::complete;
    if (m_state == State::complete)
        return true;
    if (m_state != State::failed)
        fail(headComplete() ? QStringLiteral("the connection closed before the end of the answer")
                            : QStringLiteral("the connection closed before an answer"));
    return false;
}

bool HTTPResponseParser::connectionReusable() const
{
    if (m_state != State::complete || m_closeDelimited || !m_http11)
        return false;
    for (const QByteArray& token : m_head.field("Connection").split(','))
        if (token.trimmed().compare("close", Qt::CaseInsensitive) == 0)
            return false;
    return true;
}

} // namespace tovrik
