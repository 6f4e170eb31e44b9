#include "settings/VoiceCatalogue.h"

namespace tovrik {

std::optional<ElevenLabsVoiceOption> elevenLabsVoiceOption(const QString& voiceID)
{
    for (const auto& option : constants::elevenLabsVoiceOptions())
        if (option.id == voiceID)
            return option;
    return std::nullopt;
}

QString normalizedElevenLabsVoiceID(const QString& voiceID)
{
    const QString trimmed = voiceID.trimmed();
    if (elevenLabsVoiceOption(trimmed))
        return trimmed;
    return constants::defaultElevenLabsVoiceID;
}

QList<VoiceMenuOption> voiceMenuOptions(const QString& storedVoiceID)
{
    const QString selected = normalizedElevenLabsVoiceID(storedVoiceID);
    QList<VoiceMenuOption> options;
    for (const auto& option : constants::elevenLabsVoiceOptions())
        options.append({option.id, option.label, option.category, option.id == selected});
    return options;
}

QString selectedElevenLabsVoiceLabel(const QString& storedVoiceID)
{
    const auto option = elevenLabsVoiceOption(normalizedElevenLabsVoiceID(storedVoiceID));
    return option ? option->label : QString();
}

} // namespace tovrik
