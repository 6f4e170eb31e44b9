#pragma once

// What an overlay window drew, read from its pixels (its backing store, or an
// image its content rendered into): where the drawing is (for the window's
// shape without a compositor, and for what a capture must wait to see
// repainted) and a few of its opaque pixels (the capture's repaint probes).

#include <QImage>
#include <QList>
#include <QPair>
#include <QRegion>

#include <algorithm>
#include <vector>

namespace tovrik::overlay {

// Pixels at or above this alpha count as drawn when a window clips itself
// to its content (no compositor: partial alpha would show as dark fringes).
inline constexpr int kMaskAlphaThreshold = 160;

// The pixels of `image` (ARGB32, premultiplied or not) with alpha >=
// `threshold`, as a region offset by `origin`. Rows with the same runs are
// merged into one band, which is the canonical form QRegion itself uses.
QRegion alphaRegion(const QImage& image, QPoint origin, int threshold);

// Up to `count` pixels of `area` in `image` (ARGB32, premultiplied or not,
// or RGB32) that are fully opaque, with their colours (0xffRRGGBB): spread
// over everything drawn there, of as many colours as there are.
QList<QPair<QPoint, QRgb>> opaqueSamples(const QImage& image, const QRegion& area, int count);

// The tiles (`tile` pixels square, on a grid from the image's top-left
// corner) of `image` (ARGB32 premultiplied) that meet `where` and hold a
// pixel that is not fully transparent: a region that holds everything drawn
// there, cut to the image. Pages of the image that are not resident read as
// zeros and are not touched (an overlay gives its blank pages back), so
// reading costs about what was drawn. An image without alpha is drawn
// everywhere.
QRegion drawnTiles(const QImage& image, const QRegion& where, int tile = 32);

// The whole tiles of that grid, in an image of `size`, that meet `where`.
QRegion tilesMeeting(const QRegion& where, QSize size, int tile = 32);

// The tiles of that grid that rectangles met, marked one rectangle at a time:
// a window marks every paint (dozens a second while something moves), which
// costs a few bytes here instead of a growing region's union.
// region(size) is tilesMeeting(the union of the rectangles marked, size).
class TileMarks {
public:
    explicit TileMarks(int tile = 32) : m_tile(std::max(1, tile)) {}
    void mark(const QRect& r);
    QRegion region(QSize size) const;
    void clear();

private:
    int m_tile;
    int m_columns = 0, m_rows = 0;
    bool m_any = false;
    std::vector<unsigned char> m_marks;
};

} // namespace tovrik::overlay
