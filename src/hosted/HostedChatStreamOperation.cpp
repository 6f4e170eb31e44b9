#include "hosted/HostedChatStreamOperation.h"

#include "common/Clock.h"
#include "hosted/HostedBackendClient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <qcoro/qcorosignal.h>

namespace tovrik {

namespace {
constexpr qint64 kMaxErrorBody = 1 << 20;

bool isEventStreamContentType(const QByteArray& header)
{
    const QByteArray mime = header.split(';').value(0).trimmed().toLower();
    return mime == "text/event-stream";
}
} // namespace

HostedChatStreamOperation::HostedChatStreamOperation(HTTPExchange* reply, double idleTimeout, double overallTimeout,
                                                     CancellationToken token, QObject* parent)
    : QObject(parent), m_reply(reply), m_idleTimeout(idleTimeout), m_token(std::move(token))
{
    m_parser = std::make_unique<ServerSentEventParser>([this](const ServerSentEvent& e) { onEvent(e); });
    reply->setParent(this);
    connect(reply, &HTTPExchange::headerReady, this, &HostedChatStreamOperation::onMetaData);
    connect(reply, &HTTPExchange::readyRead, this, &HostedChatStreamOperation::onReadyRead);
    connect(reply, &HTTPExchange::finished, this, &HostedChatStreamOperation::onReplyFinished);
    // Sending the request (large screenshots on a slow uplink) is activity
    // too: each step of upload progress re-arms the idle limit.
    connect(reply, &HTTPExchange::uploadProgress, this, [this](qint64 sent, qint64) {
        if (!m_finished && sent > m_uploadedBytes) {
            m_uploadedBytes = sent;
            armIdleTimer();
        }
    });
    // Once the request is out, the service may think as long as the overall
    // limit allows before its headers; the idle limit resumes with them.
    connect(reply, &HTTPExchange::requestSent, this, [this]() {
        if (!m_finished && !m_headersChecked)
            stopIdleTimer();
    });
    m_overallTimerId = Clock::instance().schedule(std::max(overallTimeout, 0.0), this,
                                                  [this]() { m_overallTimerId = 0; fail(std::make_exception_ptr(HTTPError::timedOut())); });
    armIdleTimer();
    m_cancelId = m_token.onCancel([this]() { fail(std::make_exception_ptr(CancellationError())); });
    if (!m_finished)
        reply->start();
}

HostedChatStreamOperation::~HostedChatStreamOperation()
{
    stopTimers();
    m_token.removeCallback(m_cancelId);
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

QCoro::Task<std::optional<QString>> HostedChatStreamOperation::result()
{
    if (!m_finished)
    {
        auto signal = qCoro(this, &HostedChatStreamOperation::finished);
        co_await std::move(signal);
    }
    if (m_error)
        std::rethrow_exception(m_error);
    if (m_redirectTarget.isValid())
        co_return std::nullopt;
    co_return m_text;
}

void HostedChatStreamOperation::armIdleTimer()
{
    if (m_idleTimerId)
        Clock::instance().cancel(m_idleTimerId);
    m_idleTimerId = Clock::instance().schedule(std::max(m_idleTimeout, 0.0), this, [this]() {
        m_idleTimerId = 0;
        fail(std::make_exception_ptr(HTTPError::timedOut()));
    });
}

void HostedChatStreamOperation::stopIdleTimer()
{
    if (m_idleTimerId)
        Clock::instance().cancel(m_idleTimerId);
    m_idleTimerId = 0;
}

void HostedChatStreamOperation::stopTimers()
{
    stopIdleTimer();
    if (m_overallTimerId)
        Clock::instance().cancel(m_overallTimerId);
    m_overallTimerId = 0;
}

bool HostedChatStreamOperation::checkHeaders()
{
    if (m_headersChecked)
        return true;
    if (!m_reply)
        return false;
    if (!m_reply->headReceived())
        return false;
    m_headersChecked = true;
    armIdleTimer();
    const int status = m_reply->status();
    if (status >= 300 && status < 400) {
        m_redirectStatus = status;
        const QByteArray location = m_reply->field("Location");
        if (location.isEmpty()) {
            fail(std::make_exception_ptr(HTTPError::failedStatus(status, {})));
            return false;
        }
        m_redirectTarget = m_reply->url().resolved(QUrl::fromEncoded(location.trimmed()));
        if (!m_redirectTarget.isValid())
            m_redirectTarget = QUrl(QStringLiteral("invalid:"));
        complete();
        return false;
    }
    if (status < 200 || status >= 300)
        return true; // the body is the service's error, read in onReplyFinished
    if (!isEventStreamContentType(m_reply->field("Content-Type"))) {
        fail(std::make_exception_ptr(HTTPError::invalidResponse(QStringLiteral("not an event stream"))));
        return false;
    }
    m_isEventStream = true;
    return true;
}

void HostedChatStreamOperation::onMetaData()
{
    if (!m_finished)
        checkHeaders();
}

void HostedChatStreamOperation::onReadyRead()
{
    if (m_finished || !m_reply)
        return;
    if (!checkHeaders())
        return;
    armIdleTimer();
    const QByteArray bytes = m_reply->readAll();
    m_receivedBytes += bytes.size();
    if (m_receivedBytes > maximumStreamBytes) {
        fail(std::make_exception_ptr(HTTPError::invalidResponse(QStringLiteral("reply too large"))));
        return;
    }
    if (m_isEventStream) {
        if (!m_parser->feed(std::string_view(bytes.constData(), size_t(bytes.size()))))
            fail(std::make_exception_ptr(HTTPError::invalidResponse(QStringLiteral("event too large"))));
    } else if (m_errorBody.size() + bytes.size() <= kMaxErrorBody) {
        m_errorBody += bytes;
    }
}

void HostedChatStreamOperation::onReplyFinished()
{
    if (m_finished || !m_reply)
        return;
    switch (m_reply->failure()) {
    case HTTPExchange::Failure::invalidResponse:
        fail(std::make_exception_ptr(HTTPError::invalidResponse(m_reply->errorString())));
        return;
    case HTTPExchange::Failure::transport:
        // No answer, or the stream broke off after the headers.
        fail(std::make_exception_ptr(HTTPError::transport(m_reply->errorString(), m_reply->networkError())));
        return;
    case HTTPExchange::Failure::none:
        break;
    }
    if (!checkHeaders() || m_finished)
        return;
    if (m_reply->bytesAvailable() > 0)
        onReadyRead();
    if (m_finished)
        return;
    const int status = m_reply->status();
    if (status < 200 || status >= 300) {
        fail(std::make_exception_ptr(hostedStatusError(status, m_errorBody)));
        return;
    }
    const bool partial = m_parser->finish();
    if (!m_sawDone) {
        fail(std::make_exception_ptr(HTTPError::invalidResponse(
            partial ? QStringLiteral("stream ended inside an event") : QStringLiteral("stream ended before done"))));
        return;
    }
    complete();
}

void HostedChatStreamOperation::onEvent(const ServerSentEvent& event)
{
    if (m_finished)
        return;
    // The stream is UTF-8 decoded with replacement: a stray byte becomes
    // U+FFFD and the JSON around it still parses.
    const QByteArray data = QByteArray::fromStdString(validUTF8(event.data));
    const auto parse = [&](QJsonObject* out) {
        QJsonParseError pe;
        const QJsonDocument doc = QJsonDocument::fromJson(data, &pe);
        if (pe.error != QJsonParseError::NoError || !doc.isObject())
            return false;
        *out = doc.object();
        return true;
    };
    if (event.type == "delta" || event.type == "message") {
        QJsonObject o;
        if (!parse(&o) || !o.value(QLatin1String("text")).isString()) {
            fail(std::make_exception_ptr(HTTPError::invalidResponse(QStringLiteral("malformed delta event"))));
            return;
        }
        m_text += o.value(QLatin1String("text")).toString();
    } else if (event.type == "done") {
        m_sawDone = true;
        complete();
    } else if (event.type == "error") {
        // The same body a JSON endpoint's error has, plus an optional status.
        QJsonObject o;
        parse(&o);
        const QString code = o.value(QLatin1String("error")).toString();
        int status = o.value(QLatin1String("status")).toInt(0);
        if (status < 400 || status > 599)
            status = code == hostedOutOfCreditsErrorCode ? 402 : 500;
        fail(std::make_exception_ptr(hostedStatusError(status, data)));
    }
    // Other event types (e.g. "ping") are ignored.
}

void HostedChatStreamOperation::fail(std::exception_ptr error)
{
    if (m_finished)
        return;
    m_error = std::move(error);
    complete();
}

void HostedChatStreamOperation::complete()
{
    if (m_finished)
        return;
    m_finished = true;
    stopTimers();
    m_token.removeCallback(m_cancelId);
    m_cancelId = 0;
    if (m_sawDone && !m_error && m_reply && m_reply->isRunning()) {
        // The stream's end may still be on its way (the last chunk): the
        // exchange reads it alone, so the connection serves the next turn
        // or step instead of a new handshake.
        HTTPExchange* reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        reply->finishInBackground();
    } else {
        abortReply();
    }
    emit finished();
}

void HostedChatStreamOperation::abortReply()
{
    if (m_reply && m_reply->isRunning()) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

} // namespace tovrik
