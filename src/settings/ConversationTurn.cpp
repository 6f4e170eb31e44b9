#include "settings/ConversationTurn.h"

#include "common/Constants.h"


namespace tovrik {

bool appendConversationTurn(ConversationHistory& history, const QString& userTranscript,
                            const QString& assistantResponse)
{
    const QString user = prefixCharacters(userTranscript.trimmed(), constants::maxConversationTextLength);
    const QString assistant = prefixCharacters(assistantResponse.trimmed(), constants::maxConversationTextLength);
    if (user.isEmpty() && assistant.isEmpty())
        return false;
    history.append(ConversationTurn{user, assistant});
    while (history.size() > constants::maxConversationTurns)
        history.removeFirst();
    return true;
}

} // namespace tovrik
