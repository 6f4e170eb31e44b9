#pragma once

// The assistant's answer split into what is spoken and where to point.
//
// A reply may end with one point tag (see docs for the wire contract):
//
//     [POINT:x,y:label:screenN]     a pixel (x, y) of screenshot N
//     [POINT:x,y:label]             only when a single screenshot was sent
//     [POINT:none]                  nothing to point at
//
// Parsing is lenient (any letter case, spaces, "(x, y)", decimals, "screen 2"
// or "screen=2", the tag anywhere in the text, a tag cut off at the end);
// validation is strict: the point must be finite and inside the pixel size of
// the screenshot it names, and the screen must be one that was sent.

#include "common/Error.h"
#include "interaction/ScreenCapturePayload.h"

#include <QPointF>
#include <QString>
#include <optional>

namespace tovrik {

struct PointedResponse {
    static inline const QString errorDomain = QStringLiteral("TovrikPointing");

    // What became of the tag.
    enum class TagStatus {
        Absent = 0,          // the reply had no tag
        NoPoint = 1,         // [POINT:none]
        Valid = 2,           // a point was taken
        Malformed = 3,       // a tag that could not be read
        OutOfRange = 4,      // outside its screenshot, or not finite
        UnknownScreen = 5,   // names a screen that was not sent
        AmbiguousScreen = 6, // no screen named while several were sent
    };

    QString spokenText;               // the reply without any tag
    std::optional<QPointF> point;     // screenshot pixels
    QString pointLabel;
    std::optional<int> screenNumber;  // of the screenshot the point is in
    TagStatus tagStatus = TagStatus::Absent;

    // Splits `reply` and validates its tag against the screenshots sent.
    // Never fails: an invalid tag yields no point and a rejection.
    static PointedResponse parse(const QString& reply, const ScreenCapturePayloads& captures);
    // As parse(), but a tag that was present and rejected throws the
    // rejection (a TovrikError in "TovrikPointing").
    static PointedResponse parseStrict(const QString& reply, const ScreenCapturePayloads& captures);

    // Why a present tag gave no point; none when absent, none or valid.
    std::optional<TovrikError> rejection() const;
    // The screenshot the point is in (none without a point).
    std::optional<ScreenCapturePayload> pointedCapture(const ScreenCapturePayloads& captures) const;
    // This answer with the point (label, screen) of `other`, used when a
    // pointing-only request supplied the place.
    PointedResponse withPointFrom(const PointedResponse& other) const;

    // Whether the user's words ask to be shown where something is; the turn
    // then makes a pointing-only request when the answer had no point.
    static bool requestAsksForPointing(const QString& request);

    // The system prompts, and the user message of the pointing-only request.
    static const QString& voiceCompanionSystemPrompt();
    static const QString& pointingOnlySystemPrompt();
    static QString pointingOnlyUserMessage(const QString& request, const QString& answer);
};

} // namespace tovrik
