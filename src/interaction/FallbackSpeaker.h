#pragma once

#include "common/Task.h"
#include "interaction/PlaybackWaiter.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <qcoro/qcorotask.h>

namespace tovrik {

// The system voice, used when the hosted speech fails for a reason other
// than credits. Main thread only; errors in "TovrikSpeechPlayer".
class FallbackSpeaker : public QObject {
    Q_OBJECT
public:
    static inline const QString errorDomain = QStringLiteral("TovrikSpeechPlayer");
    enum ErrorCode { VoiceUnavailable = 3, SpeechFailed = 4 };

    explicit FallbackSpeaker(QObject* parent = nullptr);
    ~FallbackSpeaker() override;

    // Speaks `text` (trimmed; nothing to say returns at once) and returns
    // when the voice has finished. Throws TovrikError (VoiceUnavailable,
    // SpeechFailed, also when the voice has not finished within
    // timeLimit(text), and is stopped), or CancellationError when stop() or
    // `token` ended it.
    QCoro::Task<void> speak(QString text, CancellationToken token = {});
    void stop();
    bool isSpeaking() const { return bool(m_waiter); }
    // How long a speech of `text` may take: 10 s to start, and 0.2 s a
    // character (three times a slow voice's time).
    static double timeLimit(const QString& text);

private:
    QPointer<detail::PlaybackWaiter> m_waiter;
};

} // namespace tovrik
