#pragma once

#include "common/Clock.h"
#include "common/Task.h"
#include "hosted/HTTPExchange.h"

#include <QObject>

namespace tovrik {

// Watches one exchange of the hosted client or of a sign-in's token
// exchange: the request's time limit (which the status line and headers may
// use up as well: there is no shorter limit of their own, their size is
// what the exchange bounds), the body cap and cancellation. Takes the
// exchange, starts it, and fires `finished` once, after it finished or was
// stopped (`stopped` says why).
class ReplyWatch : public QObject {
    Q_OBJECT
public:
    ReplyWatch(HTTPExchange* exchange, double timeout, qint64 maxBody, CancellationToken token)
        : m_exchange(exchange), m_maxBody(maxBody), m_token(std::move(token))
    {
        exchange->setParent(this);
        connect(exchange, &HTTPExchange::finished, this, &ReplyWatch::onFinished);
        connect(exchange, &HTTPExchange::readyRead, this, &ReplyWatch::checkSize);
        connect(exchange, &HTTPExchange::headerReady, this, &ReplyWatch::checkSize);
        m_timerId = Clock::instance().schedule(std::max(timeout, 0.0), this, [this]() {
            m_timerId = 0;
            stop(Stop::timedOut);
        });
        m_cancelId = m_token.onCancel([this]() { stop(Stop::cancelled); });
        if (!done)
            exchange->start();
    }
    ~ReplyWatch() override
    {
        if (m_timerId)
            Clock::instance().cancel(m_timerId);
        m_token.removeCallback(m_cancelId);
        m_exchange->disconnect(this);
        m_exchange->abort();
    }

    enum class Stop { none, timedOut, cancelled, tooLarge };
    bool done = false;
    Stop stopped = Stop::none;
    HTTPExchange* exchange() const { return m_exchange; }

signals:
    void finished();

private:
    void checkSize()
    {
        if (m_exchange->contentLength() > m_maxBody || m_exchange->bytesAvailable() > m_maxBody)
            stop(Stop::tooLarge);
    }
    void stop(Stop why)
    {
        if (done)
            return;
        stopped = why;
        m_exchange->abort();
        onFinished();
    }
    void onFinished()
    {
        if (done)
            return;
        done = true;
        if (m_timerId)
            Clock::instance().cancel(m_timerId);
        m_timerId = 0;
        m_token.removeCallback(m_cancelId);
        m_cancelId = 0;
        emit finished();
    }

    HTTPExchange* m_exchange;
    qint64 m_maxBody;
    CancellationToken m_token;
    quint64 m_timerId = 0;
    quint64 m_cancelId = 0;
};

} // namespace tovrik
