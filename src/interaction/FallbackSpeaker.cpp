#include "interaction/FallbackSpeaker.h"

#include "common/Clock.h"
#include "interaction/PlaybackWaiter.h"
#include "platform/Platform.h"

#include <qcoro/qcorosignal.h>

#include <memory>

namespace tovrik {

using detail::PlaybackWaiter;

FallbackSpeaker::FallbackSpeaker(QObject* parent) : QObject(parent) {}

double FallbackSpeaker::timeLimit(const QString& text)
{
    return 10.0 + 0.2 * double(text.size());
}

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
    // A voice whose daemon died, or whose sound server went, may never say
    // that it ended.
    bool late = false;
    const quint64 limitId = Clock::instance().schedule(timeLimit(text), waiter.get(), [w, &late]() {
        late = true;
        w->fire(PlaybackWaiter::Outcome::Failed, QStringLiteral("it did not finish in time"));
    });
    if (waiter->outcome == PlaybackWaiter::Outcome::Pending)
        co_await qCoro(waiter.get(), &PlaybackWaiter::done);
    token.removeCallback(cancelId);
    Clock::instance().cancel(limitId);

    if (self && self->m_waiter == w) {
        self->m_waiter = nullptr;
        if (late)
            platform::Platform::get().speech().stop();
    }
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
