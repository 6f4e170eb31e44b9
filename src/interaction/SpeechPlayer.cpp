#include "interaction/SpeechPlayer.h"

#include "common/Clock.h"
#include "interaction/MpegDuration.h"
#include "interaction/PlaybackWaiter.h"
#include "platform/Platform.h"

#include <qcoro/qcorosignal.h>

namespace tovrik {

using detail::PlaybackWaiter;

SpeechPlayer::SpeechPlayer(QObject* parent) : QObject(parent) {}

double SpeechPlayer::timeLimit(const QByteArray& audio)
{
    return 15.0 + 1.5 * mpegDurationSeconds(audio);
}

SpeechPlayer::~SpeechPlayer()
{
    // A waiting play() must still resume (it then sees the player gone).
    stop();
}

void SpeechPlayer::stop()
{
    if (m_playback) {
        auto playback = std::move(m_playback);
        playback->stop();
    }
    if (auto waiter = m_waiter) {
        m_waiter = nullptr;
        waiter->fire(PlaybackWaiter::Outcome::Stopped);
        emit playingChanged(false);
    }
}

QCoro::Task<void> SpeechPlayer::ensurePlayable(CancellationToken token)
{
    token.throwIfCancelled();
    auto waiter = std::make_unique<PlaybackWaiter>();
    QPointer<PlaybackWaiter> w(waiter.get());
    platform::Platform::get().audioOutput().probeMpegPlayback([w](const QString& problem) {
        if (w)
            w->fire(problem.isEmpty() ? PlaybackWaiter::Outcome::Finished : PlaybackWaiter::Outcome::Failed, problem);
    });
    const quint64 cancelId = token.onCancel([w]() {
        if (w)
            w->fire(PlaybackWaiter::Outcome::Stopped);
    });
    if (waiter->outcome == PlaybackWaiter::Outcome::Pending)
        co_await qCoro(waiter.get(), &PlaybackWaiter::done);
    token.removeCallback(cancelId);
    switch (waiter->outcome) {
    case PlaybackWaiter::Outcome::Finished:
        co_return;
    case PlaybackWaiter::Outcome::Failed:
        throw TovrikError(errorDomain, UnplayableFormat, QStringLiteral("This system cannot play MPEG audio."));
    default:
        throw CancellationError();
    }
}

QCoro::Task<void> SpeechPlayer::play(QByteArray audio, CancellationToken token)
{
    token.throwIfCancelled();
    stop();
    if (audio.isEmpty())
        throw TovrikError(errorDomain, EmptyAudio, QStringLiteral("The speech audio is empty."));

    auto waiter = std::make_unique<PlaybackWaiter>();
    QPointer<PlaybackWaiter> w(waiter.get());
    QPointer<SpeechPlayer> self(this);
    m_waiter = w;
    m_playback = platform::Platform::get().audioOutput().play(audio, QStringLiteral("audio/mpeg"),
                                                               [w](const QString& error) {
                                                                   if (w)
                                                                       w->fire(error.isEmpty()
                                                                                   ? PlaybackWaiter::Outcome::Finished
                                                                                   : PlaybackWaiter::Outcome::Failed,
                                                                               error);
                                                               });
    if (!m_playback && w->outcome == PlaybackWaiter::Outcome::Pending)
        w->fire(PlaybackWaiter::Outcome::Failed, QStringLiteral("no audio output"));
    emit playingChanged(true);
    const quint64 cancelId = token.onCancel([self]() {
        if (self)
            self->stop();
    });
    // A sound server that stopped answering mid-stream may leave the
    // playback waiting for it for good.
    const quint64 limitId = Clock::instance().schedule(timeLimit(audio), waiter.get(), [w]() {
        w->fire(PlaybackWaiter::Outcome::Failed, QStringLiteral("it did not finish in time"));
    });

    if (waiter->outcome == PlaybackWaiter::Outcome::Pending)
        co_await qCoro(waiter.get(), &PlaybackWaiter::done);
    token.removeCallback(cancelId);
    Clock::instance().cancel(limitId);

    const auto outcome = waiter->outcome;
    const QString error = waiter->error;
    if (self && self->m_waiter == w) {
        self->m_waiter = nullptr;
        if (auto playback = std::move(self->m_playback))
            playback->stop();
        emit self->playingChanged(false);
    }
    switch (outcome) {
    case PlaybackWaiter::Outcome::Finished:
        co_return;
    case PlaybackWaiter::Outcome::Failed:
        throw TovrikError(errorDomain, PlaybackFailed, QStringLiteral("Could not play the speech audio: %1").arg(error));
    default:
        throw CancellationError();
    }
}

} // namespace tovrik
