#include "common/TextLines.h"

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

} // namespace tovrik
