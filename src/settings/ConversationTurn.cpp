#include "settings/ConversationTurn.h"

#include "common/Constants.h"

#include <QTextBoundaryFinder>

namespace tovrik {

QString prefixCharacters(const QString& text, int maxCharacters)
{
    if (maxCharacters <= 0)
        return {};
    // Fast path: fewer code units than the limit means fewer characters too.
    if (text.size() <= maxCharacters)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    qsizetype position = 0;
    while (count < maxCharacters) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        position = next;
        ++count;
    }
    return text.left(position);
}

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
