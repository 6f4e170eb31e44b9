#include "common/TextLines.h"

#include <QTextBoundaryFinder>

namespace tovrik {

QString withLayoutLineBreaks(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r')) {
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            out += QChar::LineSeparator;
        } else if (c == QLatin1Char('\n') || c == QChar::ParagraphSeparator) {
            out += QChar::LineSeparator;
        } else {
            out += c;
        }
    }
    return out;
}

QStringList splitLines(const QString& text)
{
    return withLayoutLineBreaks(text).split(QChar::LineSeparator);
}

QString prefixCharacters(const QString& text, int maxCharacters)
{
    if (maxCharacters <= 0)
        return {};
    // Fewer code units than the limit means fewer characters too.
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

qsizetype characterCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() >= 0)
        ++count;
    return count;
}

} // namespace tovrik
