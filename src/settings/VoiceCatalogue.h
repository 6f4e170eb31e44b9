#pragma once

// The voice catalogue as the voice screen and the model use it. The rows
// themselves are constants::elevenLabsVoiceOptions() (ElevenLabsVoiceOption:
// id, label, category).

#include "common/Constants.h"

#include <QList>
#include <QString>
#include <optional>

namespace tovrik {

// One entry of the voice list on the voice screen.
struct VoiceMenuOption {
    QString id;
    QString label;
    QString category;
    bool isSelected = false;
    bool operator==(const VoiceMenuOption&) const = default;
};

// `voiceID` trimmed of whitespace when it names a catalogue row (exact,
// case-sensitive match), otherwise the default voice "kPzsL2i3teMYv0FxEYQ6".
QString normalizedElevenLabsVoiceID(const QString& voiceID);

// The catalogue row of `voiceID` (exact match, no normalisation), if any.
std::optional<ElevenLabsVoiceOption> elevenLabsVoiceOption(const QString& voiceID);

// One option per catalogue row, in the catalogue's order; isSelected is true
// for the row whose id equals the normalised `storedVoiceID`.
QList<VoiceMenuOption> voiceMenuOptions(const QString& storedVoiceID);

// The label of the normalised `storedVoiceID` (always a catalogue label).
QString selectedElevenLabsVoiceLabel(const QString& storedVoiceID);

} // namespace tovrik
