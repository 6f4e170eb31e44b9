#pragma once

#include <QPointF>
#include <QRectF>
#include <QString>
#include <cstdint>

namespace tovrik::platform {

// Modifier bits of raw events and synthetic key events. The low four equal
// ShortcutModifiers (control 1, shift 2, option 4, command 8).
enum ModifierFlag : uint32_t {
    ModControl = 1,
    ModShift = 2,
    ModOption = 4,   // Alt on X11
    ModCommand = 8,  // Super on X11
    ModCapsLock = 16,
    ModFunction = 32,
};

// Key codes everywhere in the program are the macOS virtual key codes
// (command 55, shift 56, option 58, control 59, return 36, escape 53, ...);
// the x11 backend maps them to X keysyms and keycodes through XKB.
namespace KeyCode {
constexpr uint16_t A = 0, S = 1, D = 2, F = 3, H = 4, G = 5, Z = 6, X = 7, C = 8, V = 9;
constexpr uint16_t B = 11, Q = 12, W = 13, E = 14, R = 15, Y = 16, T = 17;
constexpr uint16_t Return = 36, Tab = 48, Space = 49, Delete = 51, Escape = 53;
constexpr uint16_t Command = 55, Shift = 56, CapsLock = 57, Option = 58, Control = 59;
constexpr uint16_t RightCommand = 54, RightShift = 60, RightOption = 61, RightControl = 62, Function = 63;
constexpr uint16_t LeftArrow = 123, RightArrow = 124, DownArrow = 125, UpArrow = 126;
} // namespace KeyCode

enum class MouseButton { Left, Right, Middle, Other };

// One display as the rest of the program sees it.
//  frame / visibleFrame: AppKit global coordinates, points, origin at the
//    bottom-left of the main screen, y upward.
//  bounds: global display coordinates, points, origin at the top-left of the
//    main display, y downward.
struct DisplayInfo {
    uint32_t displayID = 0;  // stable for an output across rebuilds; 0 = none
    QString name;
    QRectF frame;
    QRectF visibleFrame;
    QRectF bounds;
    double scale = 1.0;      // pixels per point
    double rotation = 0.0;   // degrees
    bool isMain = false;
    bool isActive = true;
};

} // namespace tovrik::platform
