#pragma once

#include "common/Clock.h"
#include "common/Task.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>

namespace tovrik {

// The header phase of an answer is bounded in time. Qt (6.4) keeps a response
// header of any size in memory while it arrives and offers no bound on its
// size, so a hostile or broken server streaming an endless header line or
// endless header fields costs at most what it can send before this deadline
// (see docs/hosted-api.md for the limits and the worst case).
//
// Fires `onExpired` when the status line and headers of `reply` are not
// complete `seconds` after its request was sent (on the project clock).
// Lives as long as its owner, which must own the reply too.
class ResponseHeaderDeadline {
public:
    template<typename F>
    void watch(QNetworkReply* reply, QObject* owner, double seconds, F onExpired)
    {
        // Counted from the last request byte: Qt reports the request sent
        // once its head is out, and the body's upload progress after that.
        const auto arm = [this, reply, owner, seconds, onExpired]() {
            if (headersComplete(reply))
                return;
            cancel();
            m_timerId = Clock::instance().schedule(seconds, owner, [this, onExpired]() {
                m_timerId = 0;
                onExpired();
            });
        };
        QObject::connect(reply, &QNetworkReply::requestSent, owner, arm);
        QObject::connect(reply, &QNetworkReply::uploadProgress, owner, arm);
        QObject::connect(reply, &QNetworkReply::metaDataChanged, owner, [this, reply]() {
            if (headersComplete(reply))
                cancel();
        });
    }
    void cancel()
    {
        if (m_timerId)
            Clock::instance().cancel(m_timerId);
        m_timerId = 0;
    }
    ~ResponseHeaderDeadline() { cancel(); }

private:
    static bool headersComplete(QNetworkReply* reply)
    {
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    }
    quint64 m_timerId = 0;
};

// Watches one reply of the hosted client or of a sign-in exchange: the time
// limit, the header deadline, the body cap and cancellation. `finished` fires once, after the reply
// finished or was stopped (`stopped` says why).
class ReplyWatch : public QObject {
    Q_OBJECT
public:
    ReplyWatch(QNetworkReply* reply, double timeout, double headerTimeout, qint64 maxBody, CancellationToken token)
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
        m_headerDeadline.watch(reply, this, headerTimeout, [this]() { stop(Stop::timedOut); });
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
        m_headerDeadline.cancel();
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
    ResponseHeaderDeadline m_headerDeadline;
};

} // namespace tovrik
