#include "interaction/FallbackSpeaker.h"

#include "interaction/PlaybackWaiter.h"
#include "platform/Platform.h"

#include <qcoro/qcorosignal.h>

#include <memory>

namespace tovrik {

using detail::PlaybackWaiter;

FallbackSpeaker::FallbackSpeaker(QObject* parent) : QObject(parent) {}

FallbackSpeaker::~FallbackSpeaker()
{
    stop();
}

void FallbackSpeaker::stop()
{
    if (auto waiter = m_waiter) {
        m_waiter = nullptr;
        platform::Platform::get().speech().stop();
        waiter->fire(PlaybackWaiter::Outcome::Stopped);
    }
}

QCoro::Task<void> FallbackSpeaker::speak(QString text, CancellationToken token)
{
    token.throwIfCancelled();
    stop();
    text = text.trimmed();
    if (text.isEmpty())
        co_return;
    auto& speech = platform::Platform::get().speech();
    if (!speech.isAvailable())
        throw TovrikError(errorDomain, VoiceUnavailable, QStringLiteral("The system voice is not available."));

    auto waiter = std::make_unique<PlaybackWaiter>();
    QPointer<PlaybackWaiter> w(waiter.get());
    QPointer<FallbackSpeaker> self(this);
    m_waiter = w;
    speech.speak(text, [w](const QString& error) {
        if (w)
            w->fire(error.isEmpty() ? PlaybackWaiter::Outcome::Finished : PlaybackWaiter::Outcome::Failed, error);
    });
    const quint64 cancelId = token.onCancel([self]() {
        if (self)
            self->stop();
    });
    if (waiter->outcome == PlaybackWaiter::Outcome::Pending)
        co_await qCoro(waiter.get(), &PlaybackWaiter::done);
    token.removeCallback(cancelId);

    if (self && self->m_waiter == w)
        self->m_waiter = nullptr;
    switch (waiter->outcome) {
    case PlaybackWaiter::Outcome::Finished:
        co_return;
    case PlaybackWaiter::Outcome::Failed:
        throw TovrikError(errorDomain, SpeechFailed, QStringLiteral("The system voice failed: %1").arg(waiter->error));
    default:
        throw CancellationError();
    }
}

} // namespace tovrik
