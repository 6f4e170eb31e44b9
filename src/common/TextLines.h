#pragma once

// Line breaks of text that came from elsewhere (the model's answers, the
// service's messages): CRLF, LF, a lone CR, U+2028 and U+2029 each end a
// line. Qt's text layout breaks only at U+2028, so text is normalised before
// it is laid out; nothing else of it changes.
//
// Cuts by length count user-perceived characters (grapheme clusters), so a
// cut never splits a surrogate pair, an emoji sequence or a letter from its
// accent: every text the system shortens to a number of characters goes
// through prefixCharacters.

#include <QString>
#include <QStringList>

namespace tovrik {

// `text` with every line break as U+2028 (QChar::LineSeparator).
QString withLayoutLineBreaks(const QString& text);
// The lines of `text`, without their breaks.
QStringList splitLines(const QString& text);

// The first `maxCharacters` user-perceived characters of `text` (all of it
// when it has no more); empty for a limit of 0 or less.
QString prefixCharacters(const QString& text, int maxCharacters);
// How many user-perceived characters `text` holds.
qsizetype characterCount(const QString& text);

} // namespace tovrik
