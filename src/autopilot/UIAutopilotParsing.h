#pragma once

// Reading the hosted model's step reply into one UIAutopilotDecision.
//
// Lenient in what it reads, strict in what it accepts:
//  - the object is the text from the first "{" to the last "}" (prose and
//    code fences around it are dropped);
//  - the action is the "action" object or, for a flat reply, the top level;
//  - action names have aliases and are matched after lowercasing and
//    removing "_", "-" and " "; keys have aliases; numbers may come as text;
//  - numbers: a JSON number or a text holding a plain decimal literal
//    ([+-]digits[.digits][e[+-]digits]); hex, "inf", "nan", locale forms, a
//    non-finite value or an integer outside 64 bits read as absent;
//  - refused, never guessed: unknown actions and modifiers, typing without
//    coordinates, drag paths of the wrong length, a bare Return or Space
//    press without a named target, a non-Boolean success.
// Errors are TovrikError of domain "TovrikUIAutopilot" (codes 6, 7, 8, 15, 17,
// 18, 30); a JSON syntax error is a TovrikError of domain "TovrikJSON".
// Pure functions: no state is read or written.

#include "autopilot/UIAutopilotAction.h"
#include "common/Error.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>

#include <optional>

namespace tovrik {

inline const QString kUIAutopilotErrorDomain = QStringLiteral("TovrikUIAutopilot");
inline const QString kJSONErrorDomain = QStringLiteral("TovrikJSON");
TovrikError autopilotError(int code, const QString& message);

struct UIAutopilotCanonicalKeyChord {
    QSet<QString> modifiers; // "control", "option", "shift", "command"
    QString key;
    // The modifiers in the order control, option, shift, command, then the
    // key, joined by "+".
    QString text() const;
};

UIAutopilotDecision parseUIAutopilotDecision(const QString& reply);
UIAutopilotAction parseUIAutopilotAction(const QJsonObject& action);
QString extractJSONObject(const QString& text);
std::optional<UIAutopilotCanonicalKeyChord> canonicalUIAutopilotKeyChord(const QString& text);

std::optional<double> readOptionalDouble(const std::optional<QJsonValue>& value);
std::optional<qint64> readOptionalInt(const std::optional<QJsonValue>& value);
std::optional<QPointF> readUIAutopilotPoint(const QJsonObject& object);

} // namespace tovrik
