#pragma once

#include "common/Task.h"

#include <QNetworkReply>
#include <QObject>

namespace tovrik {

// Watches one reply of the hosted client or of a sign-in exchange: the time
// limit, the body cap and cancellation. `finished` fires once, after the reply
// finished or was stopped (`stopped` says why).
class ReplyWatch : public QObject {
    Q_OBJECT
public:
    ReplyWatch(QNetworkReply* reply, double timeout, qint64 maxBody, CancellationToken token)
        : m_reply(reply), m_maxBody(maxBody), m_token(std::move(token))
    {
        reply->setParent(this);
        connect(reply, &QNetworkReply::finished, this, &ReplyWatch::onFinished);
        connect(reply, &QNetworkReply::readyRead, this, &ReplyWatch::checkSize);
        connect(reply, &QNetworkReply::metaDataChanged, this, &ReplyWatch::checkSize);
        m_timerId = Clock::instance().schedule(std::max(timeout, 0.0), this, [this]() {
            m_timerId = 0;
            stop(Stop::timedOut);
        });
        m_cancelId = m_token.onCancel([this]() { stop(Stop::cancelled); });
        if (reply->isFinished())
            onFinished();
    }
    ~ReplyWatch() override
    {
        if (m_timerId)
            Clock::instance().cancel(m_timerId);
        m_token.removeCallback(m_cancelId);
        m_reply->disconnect(this);
        if (m_reply->isRunning())
            m_reply->abort();
    }

    enum class Stop { none, timedOut, cancelled, tooLarge };
    bool done = false;
    Stop stopped = Stop::none;
    QNetworkReply* reply() const { return m_reply; }

signals:
    void finished();

private:
    void checkSize()
    {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if ((length.isValid() && length.toLongLong() > m_maxBody) || m_reply->bytesAvailable() > m_maxBody)
            stop(Stop::tooLarge);
    }
    void stop(Stop why)
    {
        if (done)
            return;
        stopped = why;
        m_reply->abort(); // emits finished
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

    QNetworkReply* m_reply;
    qint64 m_maxBody;
    CancellationToken m_token;
    quint64 m_timerId = 0;
    quint64 m_cancelId = 0;
};

} // namespace tovrik
