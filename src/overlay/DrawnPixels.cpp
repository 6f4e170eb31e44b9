#include "overlay/DrawnPixels.h"

#include <algorithm>
#include <cstdint>
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

QList<QPair<QPoint, QRgb>> opaqueSamples(const QImage& image, QRect area, int count)
{
    QList<QPair<QPoint, QRgb>> samples;
    area = area.intersected(image.rect());
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
    for (int y = area.top() + rowStep / 2; y <= area.bottom() && hits.size() < maxHits; y += rowStep) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = area.left() + step / 2; x <= area.right(); x += step)
            if (!alpha || qAlpha(line[x]) == 255)
                hits.emplace_back(QPoint(x, y), line[x] | 0xff000000u);
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
    // Which pages of the image are in memory; the others read as zeros.
    static const uintptr_t pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
    const uchar* bits = image.constBits();
    const uintptr_t first = reinterpret_cast<uintptr_t>(bits) & ~(pageSize - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(bits) + uintptr_t(image.sizeInBytes());
    std::vector<unsigned char> resident((end - first + pageSize - 1) / pageSize, 1);
    if (mincore(reinterpret_cast<void*>(first), end - first, resident.data()) != 0)
        std::fill(resident.begin(), resident.end(), 1);
    const auto inMemory = [&](const uchar* p) {
        return resident[(reinterpret_cast<uintptr_t>(p) - first) / pageSize] & 1;
    };
    const qsizetype stride = image.bytesPerLine();
    // Each tile meeting the area, once, read over its part of the area.
    const QRect bounds = area.boundingRect();
    const int tx0 = bounds.left() / tile, tx1 = bounds.right() / tile;
    const int ty0 = bounds.top() / tile, ty1 = bounds.bottom() / tile;
    std::vector<QRect> drawn;
    for (int ty = ty0; ty <= ty1; ++ty)
        for (int tx = tx0; tx <= tx1; ++tx) {
            const QRect cell = QRect(tx * tile, ty * tile, tile, tile).intersected(image.rect());
            bool found = false;
            for (const QRect& r : area.intersected(cell)) {
                for (int y = r.top(); y <= r.bottom() && !found; ++y) {
                    const uchar* line = bits + y * stride;
                    const auto* from = reinterpret_cast<const uint32_t*>(line) + r.left();
                    const auto* to = from + r.width();
                    // A row's part lies in at most two pages (tiles are far
                    // smaller than a page); skip it where none is resident.
                    if (!inMemory(reinterpret_cast<const uchar*>(from))
                        && !inMemory(reinterpret_cast<const uchar*>(to - 1)))
                        continue;
                    uint32_t any = 0;
                    for (const uint32_t* p = from; p < to; ++p)
                        any |= *p;
                    found = any != 0;
                }
                if (found)
                    break;
            }
            // Tiles drawn side by side in a row make one rectangle (the
            // form QRegion keeps).
            if (found && !drawn.empty() && drawn.back().top() == cell.top() && drawn.back().right() + 1 == cell.left())
                drawn.back().setRight(cell.right());
            else if (found)
                drawn.push_back(cell);
        }
    QRegion region;
    if (!drawn.empty())
        region.setRects(drawn.data(), int(drawn.size()));
    return region;
}

} // namespace tovrik::overlay
