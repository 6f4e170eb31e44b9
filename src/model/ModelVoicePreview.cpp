// The voice screen's sample: pressing a voice card selects the voice and
// plays a sample sentence in it on the preview player. A newer press
// supersedes an older one (request identifiers); leaving the voice page ends
// the sample.

#include "model/TovrikAppModel.h"

#include "common/Constants.h"
#include "common/TextLines.h"
#include "hosted/HTTPError.h"
#include "hosted/HostedBackendClient.h"
#include "interaction/SpeechPlayer.h"

namespace tovrik {

void TovrikAppModel::previewElevenLabsVoice(const QString& voiceID)
{
    const QString normalized = normalizedElevenLabsVoiceID(voiceID);
    TovrikSettings settings = m_settings;
    settings.elevenLabsVoiceID = normalized;
    if (!saveSettings(settings)) {
        // Not selected: the page says why instead of playing the sample.
        stopVoicePreview();
        setVoicePreviewStatusMessage(m_settingsStatusMessage);
        return;
    }

    stopVoicePreview();
    const std::optional<ElevenLabsVoiceOption> option = elevenLabsVoiceOption(normalized);
    const QString label = option ? option->label : QStringLiteral("voice");
    const quint64 requestID = ++m_voicePreviewRequestID;
    setVoicePreviewStatusMessage(QStringLiteral("Playing ") + label + QStringLiteral("..."));

    QPointer<TovrikAppModel> weak(this);
    m_voicePreviewTask = startTask([weak, normalized, requestID](CancellationToken token) -> QCoro::Task<void> {
        return weak->runVoicePreview(normalized, requestID, token);
    });
    // The sample's request must end before the client that runs it goes.
    const CancellationToken lifetime = m_lifetime.token();
    if (m_voicePreviewLifetimeHook)
        lifetime.removeCallback(m_voicePreviewLifetimeHook);
    const TaskHandle handle = m_voicePreviewTask;
    m_voicePreviewLifetimeHook = lifetime.onCancel([handle]() { handle.cancel(); });
}

void TovrikAppModel::stopVoicePreview()
{
    // A new request identifier makes a sample whose audio is still on its
    // way neither play nor report.
    ++m_voicePreviewRequestID;
    m_voicePreviewTask.cancel();
    m_voicePreviewTask = TaskHandle();
    m_voicePreviewPlayer->stop();
}

QCoro::Task<void> TovrikAppModel::runVoicePreview(QString voiceID, quint64 requestID, CancellationToken token)
{
    QPointer<TovrikAppModel> weak(this);
    std::exception_ptr failure;
    try {
        // Audio this machine cannot play would only cost a credit.
        co_await SpeechPlayer::ensurePlayable(token);
        if (!isAlive(weak) || weak->m_voicePreviewRequestID != requestID)
            throw CancellationError();
        const QString origin = hostedOriginForRequests();
        const QString session = m_settings.hostedAccountSessionToken;
        const QString text = constants::voiceSamplePreviewText;
        const QString modelID = constants::defaultElevenLabsModelID;
        const QByteArray audio =
            co_await m_hostedBackendClient->synthesizeSpeech(origin, session, text, voiceID, modelID, token);
        if (!isAlive(weak) || weak->m_voicePreviewRequestID != requestID)
            throw CancellationError();
        co_await m_voicePreviewPlayer->play(audio, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(weak) || m_voicePreviewRequestID != requestID)
        co_return;

    if (!failure) {
        setVoicePreviewStatusMessage(QStringLiteral("Sample finished."));
    } else if (isCancellation(failure)) {
        // Stopped (page change or a newer sample): nothing to report.
    } else if (isHostedOutOfCreditsError(failure)) {
        setVoicePreviewStatusMessage(QStringLiteral("Add credits to preview voices."));
    } else {
        QString description = errorDescription(failure).trimmed();
        if (characterCount(description) > voicePreviewErrorMaxLength)
            description = prefixCharacters(description, voicePreviewErrorMaxLength - 3) + QStringLiteral("...");
        setVoicePreviewStatusMessage(QStringLiteral("Sample failed: ") + description);
    }
    m_voicePreviewTask = TaskHandle();
    scheduleHostedCreditRefresh();
}

} // namespace tovrik
