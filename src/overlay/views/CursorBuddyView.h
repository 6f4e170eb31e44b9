#pragma once

// The root view of one screen's overlay window: draws the companion cursor
// (halo and guide glyph), its bubble, the listening waveform and the
// processing spinner, as CursorBuddyModel places and animates them, and
// repaints only the regions that changed.

#include "overlay/views/AutopilotCursorLayer.h"
#include "overlay/views/CursorBuddyModel.h"

#include <QPointer>
#include <QWidget>

namespace tovrik::overlay {

class OverlayWindowController;

class CursorBuddyView : public QWidget {
    Q_OBJECT
public:
    // `screenFrame` in global AppKit coordinates; the view covers the screen
    // (its own geometry is set by the hosting window). `pointer` overrides
    // the platform's pointer (tests).
    CursorBuddyView(OverlayWindowController* controller, uint32_t displayID, QRectF screenFrame,
                    QWidget* parent = nullptr, CursorBuddyModel::PointerSource pointer = {});
    ~CursorBuddyView() override;

    CursorBuddyModel& model() { return *m_model; }
    const CursorBuddyModel& model() const { return *m_model; }
    uint32_t displayID() const { return m_model->displayID(); }
    QRectF screenFrame() const { return m_model->screenFrame(); }
    // The UI Autopilot layers (takeover look, autopilot cursor, ripple),
    // drawn behind the companion.
    AutopilotOverlayLayers& autopilotLayers() { return *m_autopilot; }

    // The area (local points) each drawn part of a presentation covers.
    static QRegion paintedRegion(const CursorBuddyPresentation& p);
    // Draws a presentation (used by paintEvent and by the benchmarks).
    static void paintPresentation(QPainter& painter, const CursorBuddyPresentation& p, double screenWidth);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void controllerChanged();
    void presentationChanged();

    QPointer<OverlayWindowController> m_controller;
    CursorBuddyModel* m_model;
    CursorBuddyPresentation m_painted;
    AutopilotOverlayLayers* m_autopilot;
};

} // namespace tovrik::overlay
