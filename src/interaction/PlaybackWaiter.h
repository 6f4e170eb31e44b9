#pragma once

#include <QObject>
#include <QString>

namespace tovrik::detail {

// A one-shot wake-up for a coroutine waiting on audio: fired by the platform's
// completion, by stop() or by a cancelled token, whichever comes first.
class PlaybackWaiter : public QObject {
    Q_OBJECT
public:
    enum class Outcome { Pending, Finished, Failed, Stopped };
    Outcome outcome = Outcome::Pending;
    QString error;

    void fire(Outcome o, const QString& message = {})
    {
        if (outcome != Outcome::Pending)
            return;
        outcome = o;
        error = message;
        emit done();
    }

signals:
    void done();
};

} // namespace tovrik::detail
