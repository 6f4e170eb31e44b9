#pragma once

// The companion cursor's body: the dark guide glyph with its near-white
// outline (pointer at morph 0, circle at morph 1) and the soft blue halo of
// three blurred discs drawn behind it.

#include <QImage>
#include <QPainter>
#include <QPointF>

namespace tovrik::overlay {

class TovrikCursorGuideIcon {
public:
    TovrikCursorGuideIcon(double angle, double size, double morphProgress)
        : angle(angle), size(size), morphProgress(morphProgress) {}

    double angle;          // degrees, clockwise on screen
    double size;           // side of the square the shape is laid out in
    double morphProgress;  // clamped to 0...1 when drawn

    // The shift applied after the rotation (does not turn with the glyph).
    static constexpr QPointF shift{-0.3, -3.9};

    double clampedProgress() const;
    // Opacity of the linear (pointer) fill and of the radial (circle) fill.
    double linearFillOpacity() const { return 1 - clampedProgress(); }
    double radialFillOpacity() const { return clampedProgress(); }
    double outlineWidth() const { return 0.05 * size; }

    // The flattened glyph, scaled by `scale` about its centre: one image of
    // 2 × size × scale + 1 points square (rotation never leaves it) with the
    // glyph's square centred at (size, size) × scale + `offset`.
    QImage render(double devicePixelRatio, QPointF offset = QPointF(), double scale = 1.0) const;
    // Draws the flattened glyph centred at `centre` (the square's centre),
    // with the shift applied; the painter's opacity and transform act on the
    // flattened image.
    void paint(QPainter& painter, QPointF centre) const;
};

class TovrikCursorHaloView {
public:
    // The side of the halo's frame.
    static constexpr double frameSide = 128;
    // The cached glow image for a device pixel ratio: frameSide plus a blur
    // margin on every side, the frame centred in it.
    static const QImage& image(double devicePixelRatio);
    // Draws the halo with its frame centred at `centre`.
    static void paint(QPainter& painter, QPointF centre);
    // The part of the glow that has any colour (alpha > 0), relative to its
    // centre: what a move has to repaint.
    static QRectF drawnBounds();
};

} // namespace tovrik::overlay
