#pragma once

#include <QString>
#include <QWidget>

namespace tovrik::overlay {

// A frameless window that floats above everything, takes neither focus nor
// input (clicks reach what lies beneath) and draws on a transparent
// background: the overlay's windows and the panel card's shadow.
inline constexpr Qt::WindowFlags floatingWindowFlags =
    Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool | Qt::X11BypassWindowManagerHint
    | Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput | Qt::NoDropShadowWindowHint;

inline void prepareFloatingWindow(QWidget* window, const QString& title)
{
    window->setAttribute(Qt::WA_TranslucentBackground);
    window->setAttribute(Qt::WA_NoSystemBackground);
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    window->setAttribute(Qt::WA_X11DoNotAcceptFocus);
    window->setAttribute(Qt::WA_TransparentForMouseEvents);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->setFocusPolicy(Qt::NoFocus);
    window->setWindowTitle(title);
}

} // namespace tovrik::overlay
