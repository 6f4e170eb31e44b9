#pragma once

// The JSON writer of the run memory and the step request.
//
// Rules:
//  - compact: no blanks and no line breaks;
//  - every object, at every depth, is written in ascending key order;
//  - any value may be the top value (a bare text or number too);
//  - "/" is written as "\/"; '"' and '\' are escaped, and so are the control
//    characters (\b \f \n \r \t, the rest as \u00XX);
//  - every other character is written as itself in UTF-8, never escaped;
//  - integral numbers within +-2^53 are written without a fraction, others
//    in their shortest round-trip form; a non-finite number is written as 0;
//  - afterwards "<", ">" and "&" become \u003c, \u003e and \u0026, so that the
//    text cannot open or close the tag-like blocks that surround it.
// QJsonDocument cannot do this: it writes no fragments and never "\/".

#include <QJsonValue>
#include <QString>

namespace tovrik {

QString autopilotJSON(const QJsonValue& value);

} // namespace tovrik
