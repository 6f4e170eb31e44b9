#include "settings/TovrikSettings.h"

#include "common/Constants.h"
#include "settings/ShortcutGesture.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>
#include <functional>
#include <limits>

namespace tovrik {

namespace {

// One field of the file: how it is written and read.
struct FieldCodec {
    const char* key;
    std::function<QJsonValue(const TovrikSettings&)> write;
    // Returns false when the value has the wrong type.
    std::function<bool(TovrikSettings&, const QJsonValue&)> read;
};

template <QString TovrikSettings::*Member>
FieldCodec stringField(const char* key)
{
    return {key, [](const TovrikSettings& s) { return QJsonValue(s.*Member); },
            [](TovrikSettings& s, const QJsonValue& v) {
                if (!v.isString())
                    return false;
                s.*Member = v.toString();
                return true;
            }};
}

template <bool TovrikSettings::*Member>
FieldCodec boolField(const char* key)
{
    return {key, [](const TovrikSettings& s) { return QJsonValue(s.*Member); },
            [](TovrikSettings& s, const QJsonValue& v) {
                if (!v.isBool())
                    return false;
                s.*Member = v.toBool();
                return true;
            }};
}

// An integral JSON number, exactly; nullopt for fractions and non-numbers.
std::optional<qint64> integerValue(const QJsonValue& v)
{
    if (!v.isDouble())
        return std::nullopt;
    const QVariant variant = v.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    return std::nullopt;
}

const std::vector<FieldCodec>& fieldCodecs()
{
    static const std::vector<FieldCodec> codecs = {
        stringField<&TovrikSettings::workerBaseURL>("workerBaseURL"),
        stringField<&TovrikSettings::hostedAccountEmail>("hostedAccountEmail"),
        {"hostedAccountCreditsBalance",
         [](const TovrikSettings& s) { return QJsonValue(qint64(s.hostedAccountCreditsBalance)); },
         [](TovrikSettings& s, const QJsonValue& v) {
             const auto i = integerValue(v);
             if (!i)
                 return false;
             s.hostedAccountCreditsBalance = *i;
             return true;
         }},
        stringField<&TovrikSettings::elevenLabsVoiceID>("elevenLabsVoiceID"),
        stringField<&TovrikSettings::hostedModel>("hostedModel"),
        boolField<&TovrikSettings::isUIAutopilotEnabled>("isUIAutopilotEnabled"),
        boolField<&TovrikSettings::keepResponseBubbleVisibleUntilDismissed>("keepResponseBubbleVisibleUntilDismissed"),
        boolField<&TovrikSettings::isTransientCursorModeEnabled>("isTransientCursorModeEnabled"),
        boolField<&TovrikSettings::isTransparentCursorOverlayEnabled>("isTransparentCursorOverlayEnabled"),
        boolField<&TovrikSettings::isSilentModeEnabled>("isSilentModeEnabled"),
        {"uiAutopilotMaxSteps", [](const TovrikSettings& s) { return QJsonValue(s.uiAutopilotMaxSteps); },
         [](TovrikSettings& s, const QJsonValue& v) {
             const auto i = integerValue(v);
             if (!i || *i < std::numeric_limits<int>::min() || *i > std::numeric_limits<int>::max())
                 return false;
             s.uiAutopilotMaxSteps = int(*i);
             return true;
         }},
        stringField<&TovrikSettings::voiceShortcut>("voiceShortcut"),
        stringField<&TovrikSettings::panelShortcut>("panelShortcut"),
    };
    return codecs;
}

} // namespace

TovrikSettings::TovrikSettings()
    : workerBaseURL(constants::defaultHostedWorkerBaseURL()),
      elevenLabsVoiceID(constants::defaultElevenLabsVoiceID),
      hostedModel(constants::expertHostedThinkingModel),
      voiceShortcut(ShortcutGesture::defaultVoiceShortcut().text()),
      panelShortcut(ShortcutGesture::defaultPanelShortcut().text())
{
}

bool TovrikSettings::appendConversationTurn(const QString& userTranscript, const QString& assistantResponse)
{
    return tovrik::appendConversationTurn(conversationHistory, userTranscript, assistantResponse);
}

QJsonObject TovrikSettings::toFileJson() const
{
    QJsonObject object;
    for (const auto& codec : fieldCodecs())
        object.insert(QLatin1String(codec.key), codec.write(*this));
    return object;
}

TovrikSettings TovrikSettings::fromFileJson(const QJsonObject& object, QStringList* wronglyTyped)
{
    TovrikSettings settings;
    for (const auto& codec : fieldCodecs()) {
        const auto it = object.constFind(QLatin1String(codec.key));
        if (it == object.constEnd())
            continue;
        // A failed read leaves the field as it was: its default.
        if (!codec.read(settings, it.value()) && wronglyTyped)
            *wronglyTyped << QLatin1String(codec.key);
    }
    return settings;
}

QStringList TovrikSettings::secretFieldNames()
{
    return {QStringLiteral("hostedAccountSessionToken"), QStringLiteral("pendingHostedSignOutTokens")};
}

} // namespace tovrik
