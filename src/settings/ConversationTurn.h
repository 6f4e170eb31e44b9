#pragma once

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

} // namespace tovrik
