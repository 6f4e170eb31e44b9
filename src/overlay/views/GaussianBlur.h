#pragma once

// A small separable Gaussian blur for the overlay's glows. The soft parts of
// the overlay (halo discs, card and bubble glows) are static for a given
// size, so their blurred images are made once and cached by their painters.

#include <QColor>
#include <QImage>
#include <QPainterPath>

namespace tovrik::overlay {

// Standard deviation (device pixels) used for a blur of `radius` points at
// `devicePixelRatio`: radius / 2, the usual reading of a blur radius.
double blurSigma(double radius, double devicePixelRatio = 1.0);

// Margin (points) a blur of `radius` spills beyond the blurred shape.
double blurMargin(double radius);

// Returns `image` (any format; converted to premultiplied ARGB32) blurred
// with standard deviation `sigma` device pixels, transparency kept. The image
// keeps its size: leave a margin of blurMargin() around the content.
QImage gaussianBlurred(const QImage& image, double sigma);

// The glow of `shape` (points) filled with `color`, blurred by `radius`
// points: an image of the shape's bounds plus the blur margin, with its
// device pixel ratio set; draw it at shape bounds' top-left − margin.
QImage blurredShapeImage(const QPainterPath& shape, const QColor& color, double radius, double devicePixelRatio);

} // namespace tovrik::overlay
