#pragma once

// The panel's window: a borderless, floating tool window that may take the
// keyboard focus (text fields work in it), is on every workspace and never
// gets a taskbar or pager entry. Its background is transparent so the hosted
// view draws the rounded card; when no compositing manager runs, the corners
// are cut by a window mask instead (a translucent window would paint them
// black).

#include <QWidget>

namespace tovrik {

class KeyablePanel : public QWidget {
    Q_OBJECT
public:
    // `contentRect` in screen coordinates (y down); the window is created
    // (not shown) at once.
    explicit KeyablePanel(const QRect& contentRect, QWidget* parent = nullptr);

    // The panel may become the key (focused) and main window.
    bool canBecomeKey() const { return true; }
    bool canBecomeMain() const { return true; }

    // Corner radius of the rounded card the panel shows, in points.
    void setCornerRadius(double radius);
    double cornerRadius() const { return m_cornerRadius; }

    // Asks the window manager, with EWMH client messages, to keep the mapped
    // panel out of the taskbar and the pager and on every workspace. A window
    // manager drops a window's state when it is hidden (withdrawn), and the
    // properties written before the next map may lose that race.
    void requestWindowState();

    // Whether a compositing manager runs (the platform layer's answer).
    static bool isCompositingManagerRunning();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The panel itself shows no focus: taking or losing the keyboard focus
    // (a click on a control that takes none, such as Ask) repaints nothing,
    // so the click is handled without waiting for a whole-panel paint.
    void focusInEvent(QFocusEvent*) override {}
    void focusOutEvent(QFocusEvent*) override {}

private:
    void updateMask();
    void markWindowState();
    double m_cornerRadius = 0;
};

} // namespace tovrik
