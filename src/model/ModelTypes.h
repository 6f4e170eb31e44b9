#pragma once

// Small value types of the model that the panel, the overlay and the
// interaction pipeline read.

#include "overlay/TovrikVoiceState.h"

#include <QString>

namespace tovrik {

// The user-facing word of a voice state: "Ready", "Listening", "Thinking",
// "Responding".
QString voiceStateDisplayName(TovrikVoiceState state);

// One step of the permission onboarding; the raw value orders the steps.
enum class PermissionSetupStep { microphone = 0, screenRecording = 1, accessibility = 2 };

// Which permission the guide window explains while a privacy page is open.
enum class PermissionGuideKind { microphone, screenRecording, accessibility };

// What a running shortcut capture will replace.
enum class ShortcutCaptureTarget { none, voice, panel };

// Where the screen-recording request stands: nothing asked yet, the system
// prompt was shown and we wait for the user to act on it, or the user was
// sent to the privacy page instead.
enum class ScreenRecordingPermissionFlow { idle, awaitingSystemPrompt, settingsFallback };

// The record of a running UI Autopilot task, kept so that a run that is cut
// off still leaves a turn in the conversation history.
struct PendingUIAutopilotMemory {
    QString prompt;          // trimmed, at most 1600 characters
    quint64 interactionVersion = 0;
    QString progressSummary; // the run memory's resume summary
    bool operator==(const PendingUIAutopilotMemory&) const = default;
};

} // namespace tovrik
