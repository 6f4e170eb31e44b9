#include "autopilot/AutopilotJson.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace tovrik {

namespace {

void writeString(const QString& text, QString& out)
{
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '/': out += QLatin1String("\\/"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
}

void writeNumber(double d, QString& out)
{
    if (!std::isfinite(d)) {
        out += QLatin1Char('0');
        return;
    }
    if (d == std::trunc(d) && std::fabs(d) <= 9007199254740992.0) {
        out += QString::number(qint64(d));
        return;
    }
    out += QString::number(d, 'g', QLocale::FloatingPointShortest);
}

void writeValue(const QJsonValue& value, QString& out)
{
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out += QLatin1String("null");
        break;
    case QJsonValue::Bool:
        out += value.toBool() ? QLatin1String("true") : QLatin1String("false");
        break;
    case QJsonValue::Double: {
        const QVariant v = value.toVariant();
        if (v.typeId() == QMetaType::LongLong)
            out += QString::number(v.toLongLong());
        else
            writeNumber(value.toDouble(), out);
        break;
    }
    case QJsonValue::String:
        writeString(value.toString(), out);
        break;
    case QJsonValue::Array: {
        out += QLatin1Char('[');
        bool first = true;
        for (const QJsonValue& item : value.toArray()) {
            if (!first)
                out += QLatin1Char(',');
            first = false;
            writeValue(item, out);
        }
        out += QLatin1Char(']');
        break;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        QStringList keys = object.keys();
        std::sort(keys.begin(), keys.end());
        out += QLatin1Char('{');
        bool first = true;
        for (const QString& key : keys) {
            if (!first)
                out += QLatin1Char(',');
            first = false;
            writeString(key, out);
            out += QLatin1Char(':');
            writeValue(object.value(key), out);
        }
        out += QLatin1Char('}');
        break;
    }
    }
}

} // namespace

QString autopilotJSON(const QJsonValue& value)
{
    QString out;
    writeValue(value, out);
    // A lone surrogate cannot be written as UTF-8: the round trip turns it
    // into U+FFFD instead of failing the whole text.
    out = QString::fromUtf8(out.toUtf8());
    out.replace(QLatin1Char('<'), QLatin1String("\\u003c"));
    out.replace(QLatin1Char('>'), QLatin1String("\\u003e"));
    out.replace(QLatin1Char('&'), QLatin1String("\\u0026"));
    return out;
}

} // namespace tovrik
