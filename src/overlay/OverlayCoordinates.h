#pragma once

// Coordinates of the overlay.
//
// Every place the overlay publishes is in global AppKit coordinates (points,
// origin at the bottom-left of the main display, y upward), exactly as the
// platform layer's DisplayInfo::frame. Qt and X11 place windows in root
// coordinates (origin at the top-left of the X screen, y downward). This file
// is the overlay's one place that converts between the two (through the
// display registry's conversion, shared with the panel); everything else in
// the overlay keeps the formulas in AppKit space.

#include "platform/Types.h"

#include <QList>
#include <QPointF>
#include <QRectF>
#include <optional>

namespace tovrik::overlay {

// Global display coordinates (y down, from the main display's top-left) to
// AppKit (y up): x' = x, y' = H - y, H = height of the main display's bounds.
QPointF displayToAppKit(QPointF displayPoint, double mainDisplayHeight);

// The rectangle test of the platform: a point on the maximum x or maximum y
// edge lies outside (half-open on the far sides).
bool frameContains(const QRectF& frame, QPointF p);

// Squared distance from p to the rectangle (0 inside).
double squaredDistanceToFrame(const QRectF& frame, QPointF p);

// A global AppKit point in a screen's local view coordinates (origin at the
// screen's top-left, y downward).
QPointF localFromGlobal(const QRectF& screenFrame, QPointF p);

// Where a display's overlay window goes in Qt/X11 root coordinates: its
// bounds (y down, relative to the main display's top-left) moved by the main
// display's position in the root window. `mainRootOrigin` is that position;
// mainDisplayRootOrigin() asks the display registry (the program's one
// conversion), else finds it among the QScreens.
QRectF qtGeometryForDisplay(const platform::DisplayInfo& display, QPointF mainRootOrigin);
QPointF mainDisplayRootOrigin(const QList<platform::DisplayInfo>& displays);

} // namespace tovrik::overlay
