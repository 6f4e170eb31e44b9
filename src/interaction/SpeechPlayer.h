#pragma once

#include "common/Task.h"
#include "interaction/PlaybackWaiter.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <memory>

namespace tovrik {

namespace platform {
class AudioPlayback;
}

// Plays the MPEG audio of the hosted speech service. The model owns two: one
// for answers, one for voice previews. Main thread only.
class SpeechPlayer : public QObject {
    Q_OBJECT
public:
    static inline const QString errorDomain = QStringLiteral("TovrikSpeechPlayer");
    enum ErrorCode { EmptyAudio = 1, PlaybackFailed = 2, UnplayableFormat = 5 };

    explicit SpeechPlayer(QObject* parent = nullptr);
    ~SpeechPlayer() override;

    // Plays `audio` (stopping whatever this player was playing) and returns
    // when it has finished. Throws TovrikError (EmptyAudio, PlaybackFailed,
    // also when it has not finished within timeLimit(audio), and is
    // stopped), or CancellationError when stop(), a newer play() or `token`
    // ended it.
    QCoro::Task<void> play(QByteArray audio, CancellationToken token = {});
    // Returns when this machine can play the speech service's MPEG audio
    // (found out once per run); throws TovrikError (UnplayableFormat) when it
    // cannot, so that no speech is bought that nobody would hear, or
    // CancellationError when `token` ended the wait.
    static QCoro::Task<void> ensurePlayable(CancellationToken token = {});
    // Stops the running playback; its play() ends with CancellationError.
    void stop();
    bool isPlaying() const { return bool(m_waiter); }
    // How long a playback of `audio` may take: 15 s and one and a half times
    // the clip's length.
    static double timeLimit(const QByteArray& audio);

signals:
    void playingChanged(bool playing);

private:
    std::unique_ptr<platform::AudioPlayback> m_playback;
    QPointer<detail::PlaybackWaiter> m_waiter;
};

} // namespace tovrik
