#include "overlay/BlankPageRelease.h"

#include <QBackingStore>
#include <QImage>
#include <QWidget>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace tovrik::overlay {

namespace {

bool isBlank(const uchar* page, size_t pageSize)
{
    const auto* words = reinterpret_cast<const uint64_t*>(page);
    uint64_t any = 0;
    for (size_t i = 0; i < pageSize / sizeof(uint64_t); ++i)
        any |= words[i];
    return any == 0;
}

void release(uchar* start, size_t length)
{
    if (madvise(start, length, MADV_REMOVE) == 0)
        return;
    // Not a shared mapping: dropping private anonymous pages reads back as
    // zeros just the same.
    madvise(start, length, MADV_DONTNEED);
}

} // namespace

qsizetype releaseBlankPages(uchar* begin, qsizetype size)
{
    static const size_t pageSize = size_t(sysconf(_SC_PAGESIZE));
    if (!begin || size <= 0)
        return 0;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + pageSize - 1) & ~(pageSize - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(begin) + size_t(size)) & ~(pageSize - 1);
    if (last <= first)
        return 0;
    const size_t pages = (last - first) / pageSize;
    std::vector<unsigned char> resident(pages);
    if (mincore(reinterpret_cast<void*>(first), last - first, resident.data()) != 0)
        return 0;
    qsizetype released = 0;
    size_t runStart = 0, runLength = 0;
    const auto flush = [&] {
        if (runLength) {
            release(reinterpret_cast<uchar*>(first + runStart * pageSize), runLength * pageSize);
            released += qsizetype(runLength * pageSize);
        }
        runLength = 0;
    };
    for (size_t i = 0; i < pages; ++i) {
        const auto* page = reinterpret_cast<const uchar*>(first + i * pageSize);
        if ((resident[i] & 1) && isBlank(page, pageSize)) {
            if (!runLength)
                runStart = i;
            ++runLength;
        } else {
            flush();
        }
    }
    flush();
    return released;
}

qsizetype releaseBlankBackingStorePages(QWidget* window)
{
    if (!window || !window->isWindow())
        return 0;
    QBackingStore* store = window->backingStore();
    QPaintDevice* device = store ? store->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image)
        return 0;
    const QImage* image = static_cast<const QImage*>(device);
    // constBits(): never detach (a copy would be the very memory to save).
    return releaseBlankPages(const_cast<uchar*>(image->constBits()), image->sizeInBytes());
}

} // namespace tovrik::overlay
