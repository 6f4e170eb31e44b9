#pragma once

// Reads the server-sent events of one POST "/chat" reply into the whole reply
// text (event format in docs/hosted-api.md):
//   event: delta  data: {"text":"..."}   appended to the reply
//   event: done   data: {...}            the reply is complete
//   event: error  data: {"error":"code","message":"...","status":402}
// Before parsing it checks the status (2xx; a non-2xx body is read as the
// service's JSON error) and the Content-Type (text/event-stream). Two timers
// run on the installed Clock: the idle limit (no bytes sent or received for
// idleTimeout s, while the request goes out and while the stream comes in)
// and the overall limit (timeoutInterval s). Between the request's last
// byte and the headers only the overall limit runs: a service may send its
// headers with its first token, however long the model thinks. Each limit
// aborts with HTTPError::timedOut. Cancellation aborts the exchange and gives
// CancellationError. A stream that ends before its "done" event (including a
// trailing event that was never terminated) is an invalid response: a
// truncated reply is never presented as a complete one.

#include "common/Task.h"
#include "hosted/HTTPError.h"
#include "hosted/HTTPExchange.h"
#include "hosted/ServerSentEventParser.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <exception>
#include <memory>
#include <optional>

namespace tovrik {

class HostedChatStreamOperation : public QObject {
    Q_OBJECT
public:
    // Takes ownership of `exchange` and starts it (deleted with the operation).
    HostedChatStreamOperation(HTTPExchange* exchange, double idleTimeout, double overallTimeout,
                              CancellationToken token, QObject* parent = nullptr);
    ~HostedChatStreamOperation() override;

    // Awaits the end and returns the reply text, or throws HTTPError /
    // CancellationError. When the service answered a redirect, returns
    // nothing and redirectTarget() names it (the client decides).
    QCoro::Task<std::optional<QString>> result();

    bool isFinished() const { return m_finished; }
    const QUrl& redirectTarget() const { return m_redirectTarget; }
    int redirectStatus() const { return m_redirectStatus; }
    // The reply text received so far (deltas in order).
    const QString& text() const { return m_text; }

    // The maximum size of the whole streamed body.
    static constexpr qint64 maximumStreamBytes = 8 << 20;

signals:
    void finished();

private:
    void onMetaData();
    void onReadyRead();
    void onReplyFinished();
    void onEvent(const ServerSentEvent& event);
    void fail(std::exception_ptr error);
    void complete();
    void abortReply();
    bool checkHeaders();
    void armIdleTimer();
    void stopIdleTimer();
    void stopTimers();

    QPointer<HTTPExchange> m_reply;
    double m_idleTimeout;
    CancellationToken m_token;
    quint64 m_cancelId = 0;
    quint64 m_idleTimerId = 0;
    quint64 m_overallTimerId = 0;
    std::unique_ptr<ServerSentEventParser> m_parser;
    bool m_headersChecked = false;
    bool m_isEventStream = false;
    bool m_finished = false;
    bool m_sawDone = false;
    qint64 m_receivedBytes = 0;
    qint64 m_uploadedBytes = 0;
    QByteArray m_errorBody;
    QString m_text;
    QUrl m_redirectTarget;
    int m_redirectStatus = 0;
    std::exception_ptr m_error;
};

} // namespace tovrik
