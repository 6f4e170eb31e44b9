#pragma once

// Line breaks of text that came from elsewhere (the model's answers, the
// service's messages): CRLF, LF, a lone CR, U+2028 and U+2029 each end a
// line. Qt's text layout breaks only at U+2028, so text is normalised before
// it is laid out; nothing else of it changes.

#include <QString>
#include <QStringList>

namespace tovrik {

// `text` with every line break as U+2028 (QChar::LineSeparator).
QString withLayoutLineBreaks(const QString& text);
// The lines of `text`, without their breaks.
QStringList splitLines(const QString& text);

} // namespace tovrik
