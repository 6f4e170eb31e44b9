#pragma once

// The records of one UI Autopilot step, from the model's reply to the
// desktop: the action kind, the action with its parameters, the decision
// around it, a model point resolved to a display and the detail crop of a
// zoom step. Plain values.

#include "hosted/HostedPayloads.h"
#include "interaction/ScreenCapturePayload.h"

#include <QJsonObject>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <optional>

namespace tovrik {

// The case index (0..11) is the order below.
enum class UIAutopilotActionKind {
    click,
    doubleClick,
    rightClick,
    middleClick,
    move,
    drag,
    input,
    key,
    scroll,
    wait,
    done,
    zoom,
};

QString rawValue(UIAutopilotActionKind kind);
// Exactly the twelve raw values (case-sensitive, untrimmed); none otherwise.
std::optional<UIAutopilotActionKind> actionKindFromRawValue(const QString& raw);

struct UIAutopilotPathPoint {
    QPointF point;                // screenshot pixels
    std::optional<qint64> screen; // none: the action's own screen
    bool operator==(const UIAutopilotPathPoint&) const = default;
};

struct UIAutopilotAction {
    UIAutopilotActionKind kind = UIAutopilotActionKind::wait;
    std::optional<QPointF> imagePoint;
    std::optional<QPointF> endImagePoint;
    std::optional<qint64> screenNumber;
    std::optional<qint64> endScreenNumber;
    QString label;
    QString text;
    QString key;
    QString direction = QStringLiteral("down");
    qint64 pixels = 700;
    qint64 milliseconds = 0;
    bool success = true;
    QString phase;                // "", "down" or "up"
    bool isTimedHold = false;
    QString modifiers;            // e.g. "cmd+shift"; always empty for key actions
    QString button = QStringLiteral("left");
    QList<UIAutopilotPathPoint> path;
    QString coordinateSpace = QStringLiteral("overview");
    qint64 zoomWidth = 320;
    qint64 zoomHeight = 240;

    // The label unless it is blank, else `fallback`.
    QString labelOrFallback(const QString& fallback) const;
    // One line naming the action for the run memory and the watchdog.
    QString logDescription() const;
};

struct UIAutopilotDecision {
    std::optional<QJsonObject> taskState;
    QString expectedResult;
    QString verificationStatus;
    QString verificationEvidence;
    QString message;
    UIAutopilotAction action;
};

struct UIAutopilotTarget {
    ScreenCapturePayload capture;
    QPointF imagePoint;
    uint32_t displayID = 0;
    QPointF displayLocalPoint; // display points from the display's top-left, y down
};

struct AutopilotDetail {
    HostedChatImageAttachment attachment;
    ScreenCapturePayload capture;
    QRectF region; // the crop in the display's native pixels
};

} // namespace tovrik
