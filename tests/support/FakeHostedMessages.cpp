// The messages of the fake hosted service: reading a request, building the
// scripted answers.

#include "support/FakeHostedService.h"

#include <QJsonDocument>

namespace tovrik::test {

namespace {

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

} // namespace

// ---------------------------------------------------------------- requests

QByteArray FakeRequest::header(const QByteArray& name) const
{
    for (const auto& [k, v] : headers) {
        if (k.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    }
    return {};
}

QString FakeRequest::bearerToken() const
{
    const QByteArray value = header("Authorization").trimmed();
    return value.startsWith("Bearer ") ? QString::fromUtf8(value.mid(7).trimmed()) : QString();
}

QJsonObject FakeRequest::json() const { return QJsonDocument::fromJson(body).object(); }

bool FakeRequest::multipartPart(const QByteArray& name, QByteArray* data, QString* fileName, QByteArray* contentType) const
{
    const QByteArray type = header("Content-Type");
    const qsizetype b = type.indexOf("boundary=");
    if (!type.startsWith("multipart/form-data") || b < 0)
        return false;
    const QByteArray boundary = "--" + type.mid(b + 9).trimmed();
    for (qsizetype pos = body.indexOf(boundary); pos >= 0;) {
        const qsizetype start = pos + boundary.size() + 2; // past the CRLF
        const qsizetype headEnd = body.indexOf("\r\n\r\n", start);
        const qsizetype next = headEnd < 0 ? -1 : body.indexOf("\r\n" + boundary, headEnd + 4);
        if (body.mid(start - 2, 2) == "--" || next < 0)
            return false;
        const QByteArray head = body.mid(start, headEnd - start);
        if (head.contains("name=\"" + name + "\"")) {
            if (data)
                *data = body.mid(headEnd + 4, next - headEnd - 4);
            const qsizetype fn = head.indexOf("filename=\"");
            if (fileName && fn >= 0)
                *fileName = QString::fromUtf8(head.mid(fn + 10, head.indexOf('"', fn + 10) - fn - 10));
            const qsizetype ct = head.indexOf("Content-Type: ");
            if (contentType && ct >= 0) {
                const qsizetype end = head.indexOf("\r\n", ct);
                *contentType = head.mid(ct + 14, end < 0 ? -1 : end - ct - 14);
            }
            return true;
        }
        pos = next + 2;
    }
    return false;
}

// --------------------------------------------------------------- responses

FakeResponse FakeResponse::json(int status, const QJsonObject& object) { return raw(status, "application/json", compact(object)); }

FakeResponse FakeResponse::hanging()
{
    FakeResponse r;
    r.hang = true;
    return r;
}

FakeResponse FakeResponse::dropped()
{
    FakeResponse r;
    r.verbatim = true; // and no chunks: nothing is sent before the close
    return r;
}

FakeResponse FakeResponse::slowed(int intervalMs) const
{
    FakeResponse r = *this;
    if (r.chunks.isEmpty())
        r.chunks = {r.body};
    r.body.clear();
    r.chunkIntervalMs = intervalMs;
    return r;
}

FakeResponse FakeResponse::error(int status, const QString& code, const QString& message)
{
    QJsonObject o;
    if (!code.isEmpty())
        o.insert("error", code);
    if (!message.isEmpty())
        o.insert("message", message);
    return json(status, o);
}

FakeResponse FakeResponse::raw(int status, const QByteArray& contentType, const QByteArray& body)
{
    FakeResponse r;
    r.status = status;
    r.body = body;
    if (!contentType.isEmpty())
        r.headers.append({"Content-Type", contentType});
    return r;
}

FakeResponse FakeResponse::redirect(int status, const QString& location)
{
    FakeResponse r = raw(status, {}, {});
    r.headers = {{"Location", location.toUtf8()}};
    return r;
}

FakeResponse FakeResponse::eventStream(const QList<QByteArray>& chunks)
{
    FakeResponse r = raw(200, "text/event-stream; charset=utf-8", {});
    r.headers.append({QByteArray("Cache-Control"), QByteArray("no-store")});
    r.chunks = chunks;
    return r;
}

QByteArray FakeResponse::sseEvent(const QByteArray& type, const QByteArray& data)
{
    QByteArray out = "event: " + type + "\n";
    for (const QByteArray& line : data.split('\n'))
        out += "data: " + line + "\n";
    return out + "\n";
}

QList<QByteArray> FakeResponse::chatReplyEvents(const QString& text, int pieces, qint64 creditsBalance)
{
    QList<QByteArray> events;
    const qsizetype step = std::max<qsizetype>(1, (text.size() + std::max(1, pieces) - 1) / std::max(1, pieces));
    for (qsizetype i = 0; i < text.size(); i += step)
        events << sseEvent("delta", compact({{"text", text.mid(i, step)}}));
    QJsonObject done;
    if (creditsBalance >= 0)
        done.insert("creditsBalance", creditsBalance);
    return events << sseEvent("done", compact(done));
}

} // namespace tovrik::test
