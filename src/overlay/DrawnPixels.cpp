#include "overlay/DrawnPixels.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tovrik::overlay {

QRegion alphaRegion(const QImage& image, QPoint origin, int threshold)
{
    std::vector<QRect> rects;
    std::vector<std::pair<int, int>> bandRuns, rowRuns;
    int bandTop = 0;
    const auto flush = [&](int bandBottom) {
        for (const auto& [start, end] : bandRuns)
            rects.emplace_back(origin.x() + start, origin.y() + bandTop, end - start, bandBottom - bandTop);
    };
    const int width = image.width(), height = image.height();
    const uchar* bits = image.constBits();
    const qsizetype stride = image.bytesPerLine();
    for (int y = 0; y < height; ++y) {
        rowRuns.clear();
        const QRgb* line = reinterpret_cast<const QRgb*>(bits + y * stride);
        int x = 0;
        while (x < width) {
            while (x < width && qAlpha(line[x]) < threshold)
                ++x;
            const int start = x;
            while (x < width && qAlpha(line[x]) >= threshold)
                ++x;
            if (x > start)
                rowRuns.emplace_back(start, x);
        }
        if (y == 0 || rowRuns != bandRuns) {
            if (y > 0)
                flush(y);
            bandRuns = rowRuns;
            bandTop = y;
        }
    }
    if (height > 0)
        flush(height);
    QRegion region;
    if (!rects.empty())
        region.setRects(rects.data(), int(rects.size()));
    return region;
}

QList<QPair<QPoint, QRgb>> opaqueSamples(const QImage& image, const QRegion& where, int count)
{
    QList<QPair<QPoint, QRgb>> samples;
    const QRegion area = where.intersected(image.rect());
    if (count <= 0 || area.isEmpty()
        || (image.format() != QImage::Format_ARGB32_Premultiplied && image.format() != QImage::Format_ARGB32
            && image.format() != QImage::Format_RGB32))
        return samples;
    // A sparse grid (every 4th pixel of every 8th row) finds anything
    // drawn at least a few pixels wide without reading a whole display.
    constexpr int step = 4, rowStep = 8;
    constexpr size_t maxHits = 16384;
    const bool alpha = image.hasAlphaChannel();
    std::vector<QPair<QPoint, QRgb>> hits;
    // The grid is the image's, whatever the rectangles of the area.
    const auto firstOnGrid = [](int from, int stride) { return from + ((stride / 2 - from) % stride + stride) % stride; };
    for (const QRect& r : area) {
        for (int y = firstOnGrid(r.top(), rowStep); y <= r.bottom() && hits.size() < maxHits; y += rowStep) {
            const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = firstOnGrid(r.left(), step); x <= r.right(); x += step)
                if (!alpha || qAlpha(line[x]) == 255)
                    hits.emplace_back(QPoint(x, y), line[x] | 0xff000000u);
        }
    }
    if (hits.empty())
        return samples;
    // Candidates spread evenly over the hits (so over everything drawn);
    // distinct colours first, as a colour that happens to be beneath as
    // well tells nothing.
    const size_t candidates = std::min(hits.size(), size_t(count) * 8);
    std::vector<QPair<QPoint, QRgb>> spread;
    for (size_t i = 0; i < candidates; ++i)
        spread.push_back(hits[(2 * i + 1) * hits.size() / (2 * candidates)]);
    QList<QRgb> colours;
    for (const auto& c : spread)
        if (samples.size() < count && !colours.contains(c.second)) {
            colours << c.second;
            samples << c;
        }
    for (const auto& c : spread)
        if (samples.size() < count && !samples.contains(c))
            samples << c;
    return samples;
}

QRegion drawnTiles(const QImage& image, const QRegion& where, int tile)
{
    const QRegion area = where.intersected(image.rect());
    if (area.isEmpty() || tile <= 0)
        return {};
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        return image.hasAlphaChannel() ? QRegion(image.rect()).intersected(area.boundingRect()) : area;
    // Which pages of the rows read are in memory; the others read as zeros.
    static const uintptr_t pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
    const uchar* bits = image.constBits();
    const QRect span = area.boundingRect();
    const uintptr_t first = reinterpret_cast<uintptr_t>(bits + span.top() * image.bytesPerLine()) & ~(pageSize - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(bits + (span.bottom() + 1) * image.bytesPerLine());
    std::vector<unsigned char> resident((end - first + pageSize - 1) / pageSize, 1);
    if (mincore(reinterpret_cast<void*>(first), end - first, resident.data()) != 0)
        std::fill(resident.begin(), resident.end(), 1);
    const auto inMemory = [&](const uchar* p) {
        return resident[(reinterpret_cast<uintptr_t>(p) - first) / pageSize] & 1;
    };
    const qsizetype stride = image.bytesPerLine();
    // Each tile is read over the parts of the area's rectangles that lie in
    // it, until one shows a pixel.
    const int columns = (image.width() + tile - 1) / tile, rows = (image.height() + tile - 1) / tile;
    std::vector<unsigned char> found(size_t(columns) * size_t(rows), 0);
    for (const QRect& r : area) {
        for (int ty = r.top() / tile; ty <= r.bottom() / tile; ++ty)
            for (int tx = r.left() / tile; tx <= r.right() / tile; ++tx) {
                unsigned char& cell = found[size_t(ty) * size_t(columns) + size_t(tx)];
                if (cell)
                    continue;
                const QRect part = r.intersected(QRect(tx * tile, ty * tile, tile, tile));
                for (int y = part.top(); y <= part.bottom() && !cell; ++y) {
                    const auto* from = reinterpret_cast<const uint32_t*>(bits + y * stride) + part.left();
                    const auto* to = from + part.width();
                    // A row's part lies in at most two pages (tiles are far
                    // smaller than a page); skip it where none is resident.
                    if (!inMemory(reinterpret_cast<const uchar*>(from))
                        && !inMemory(reinterpret_cast<const uchar*>(to - 1)))
                        continue;
                    uint32_t any = 0;
                    for (const uint32_t* p = from; p < to; ++p)
                        any |= *p;
                    cell = any != 0;
                }
            }
    }
    // Tiles drawn side by side in a row make one rectangle (the form QRegion
    // keeps).
    std::vector<QRect> drawn;
    for (int ty = 0; ty < rows; ++ty)
        for (int tx = 0; tx < columns; ++tx) {
            if (!found[size_t(ty) * size_t(columns) + size_t(tx)])
                continue;
            const QRect cell = QRect(tx * tile, ty * tile, tile, tile).intersected(image.rect());
            if (!drawn.empty() && drawn.back().top() == cell.top() && drawn.back().right() + 1 == cell.left())
                drawn.back().setRight(cell.right());
            else
                drawn.push_back(cell);
        }
    QRegion region;
    if (!drawn.empty())
        region.setRects(drawn.data(), int(drawn.size()));
    return region;
}

QRegion tilesMeeting(const QRegion& where, QSize size, int tile)
{
    const QRect bounds(QPoint(0, 0), size);
    QRegion tiles;
    if (tile <= 0)
        return tiles;
    for (const QRect& r : where.intersected(bounds))
        tiles += QRect(QPoint(r.left() / tile * tile, r.top() / tile * tile),
                       QPoint((r.right() / tile + 1) * tile - 1, (r.bottom() / tile + 1) * tile - 1))
                     .intersected(bounds);
    return tiles;
}

void TileMarks::mark(const QRect& r)
{
    const QRect area = r.intersected(QRect(0, 0, std::numeric_limits<int>::max(), std::numeric_limits<int>::max()));
    if (area.isEmpty())
        return;
    const int columns = std::max(m_columns, area.right() / m_tile + 1);
    const int rows = std::max(m_rows, area.bottom() / m_tile + 1);
    if (columns != m_columns || rows != m_rows) {
        // A window keeps its size: this happens about once.
        std::vector<unsigned char> grown(size_t(columns) * size_t(rows), 0);
        for (int y = 0; y < m_rows; ++y)
            std::copy_n(m_marks.begin() + qsizetype(y) * m_columns, m_columns, grown.begin() + qsizetype(y) * columns);
        m_marks.swap(grown);
        m_columns = columns;
        m_rows = rows;
    }
    for (int ty = area.top() / m_tile; ty <= area.bottom() / m_tile; ++ty)
        std::fill_n(m_marks.begin() + qsizetype(ty) * m_columns + area.left() / m_tile,
                    area.right() / m_tile - area.left() / m_tile + 1, 1);
    m_any = true;
}

QRegion TileMarks::region(QSize size) const
{
    if (!m_any)
        return {};
    const QRect bounds(QPoint(0, 0), size);
    // Runs of marked tiles in a row make one rectangle.
    QRegion region;
    for (int ty = 0; ty < m_rows; ++ty) {
        const unsigned char* row = m_marks.data() + size_t(ty) * size_t(m_columns);
        for (int tx = 0; tx < m_columns;) {
            if (!row[tx]) {
                ++tx;
                continue;
            }
            const int start = tx;
            while (tx < m_columns && row[tx])
                ++tx;
            region += QRect(start * m_tile, ty * m_tile, (tx - start) * m_tile, m_tile).intersected(bounds);
        }
    }
    return region;
}

void TileMarks::clear()
{
    std::fill(m_marks.begin(), m_marks.end(), 0);
    m_any = false;
}

} // namespace tovrik::overlay
