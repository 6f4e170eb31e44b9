#pragma once

// The settings record. Its JSON keys are the field names. Secrets live in
// Keychain items (one item per secret field, the item's account being the
// field name) and the conversation history lives only in memory: neither
// ever enters the settings file (see SettingsStore).

#include "settings/ConversationTurn.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace tovrik {

struct TovrikSettings {
    // The configured hosted origin (an https origin without path).
    QString workerBaseURL;                 // default constants::defaultHostedWorkerBaseURL()
    // The signed-in account.
    QString hostedAccountEmail;
    QString hostedAccountSessionToken;     // secret; blank = signed out
    // Session tokens whose remote revocation failed and is to be retried.
    QStringList pendingHostedSignOutTokens; // secret (one item holding all)
    // The account's credit balance as last reported by the hosted service.
    int64_t hostedAccountCreditsBalance = 0;
    // The selected text-to-speech voice.
    QString elevenLabsVoiceID;             // default constants::defaultElevenLabsVoiceID
    // The hosted chat model; every launch forces constants::expertHostedThinkingModel.
    QString hostedModel;                   // default constants::expertHostedThinkingModel
    // Switches.
    bool isUIAutopilotEnabled = false;
    bool keepResponseBubbleVisibleUntilDismissed = false;
    bool isTransientCursorModeEnabled = false;
    bool isTransparentCursorOverlayEnabled = false;
    bool isSilentModeEnabled = false;       // "Text only"
    // Stored UI Autopilot step limit; every launch forces 0 (no limit) and the
    // agent loop never reads it.
    int uiAutopilotMaxSteps = 0;
    // The two shortcuts in ShortcutGesture's text form.
    QString voiceShortcut;                 // default "control+option"
    QString panelShortcut;                 // default "control+shift+option"

    // Kept beside the settings, never written to the file.
    ConversationHistory conversationHistory;

    // A record with every default above.
    TovrikSettings();

    // appendConversationTurn() on conversationHistory.
    bool appendConversationTurn(const QString& userTranscript, const QString& assistantResponse);

    // The file's object: every non-secret field under its own name; never a
    // secret, never the history.
    QJsonObject toFileJson() const;
    // Reads a file object. Missing keys keep their defaults, unknown keys are
    // ignored (secret keys too: secrets come only from the Keychain); a known
    // key whose value has the wrong type (a string for a switch, a fraction
    // or out-of-range number for an integer, ...) keeps its default, and is
    // listed in *wronglyTyped; every other field is read as usual.
    static TovrikSettings fromFileJson(const QJsonObject& object, QStringList* wronglyTyped = nullptr);

    // Names of the secret fields, in the order the store writes them.
    static QStringList secretFieldNames(); // "hostedAccountSessionToken", "pendingHostedSignOutTokens"

    bool operator==(const TovrikSettings&) const = default;
};

} // namespace tovrik
