#pragma once

#include "common/TextLines.h"

#include <QList>
#include <QString>

namespace tovrik {

// One exchange of the conversation: what the user said or typed and what the
// assistant answered.
struct ConversationTurn {
    QString userTranscript;
    QString assistantResponse;
    bool operator==(const ConversationTurn&) const = default;
};

using ConversationHistory = QList<ConversationTurn>;

// Appends one turn to `history`: both sides are trimmed of whitespace and
// line breaks and cut to their first maxConversationTextLength (1600)
// characters (user-perceived characters: a cut never splits an emoji or a
// letter from its accent); the turn is appended when at least one side is
// non-empty after trimming (a turn whose two sides are both blank is
// dropped); only the last maxConversationTurns (12) turns are kept.
// Returns whether the turn was appended.
bool appendConversationTurn(ConversationHistory& history, const QString& userTranscript,
                            const QString& assistantResponse);

} // namespace tovrik
