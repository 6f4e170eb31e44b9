#include "overlay/BlankPageRelease.h"

#include <gtest/gtest.h>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using tovrik::overlay::releaseBlankPages;

namespace {

size_t residentPages(uchar* base, size_t bytes)
{
    std::vector<unsigned char> v(bytes / size_t(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(mincore(base, bytes, v.data()), 0);
    size_t n = 0;
    for (unsigned char c : v)
        n += c & 1;
    return n;
}

} // namespace

// Shared (as the X server's segment) and private (a heap image) memory alike:
// the blank resident pages go, drawn pages and pages never touched stay as
// they were, pages only partly in the range are not touched, and reading
// back gives the same bytes.
TEST(BlankPageRelease, OnlyWholeResidentBlankPagesGoAndTheBytesReadBackUnchanged)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE)), bytes = 16 * page;
    for (int flags : {MAP_SHARED | MAP_ANONYMOUS, MAP_PRIVATE | MAP_ANONYMOUS}) {
        SCOPED_TRACE(flags);
        auto* base = static_cast<uchar*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0));
        ASSERT_NE(base, MAP_FAILED);
        std::memset(base, 0, 12 * page);          // pages 0-11 resident and blank; 12-15 never touched
        base[3 * page + 17] = 0x80;              // a drawn pixel in page 3
        base[11 * page - 1] = 1;                 // and the last byte of page 10
        std::vector<uchar> before(base, base + 12 * page);
        ASSERT_EQ(residentPages(base, bytes), 12u);

        // The range starts inside page 0 and ends inside page 9: 0 and 9 are partial.
        EXPECT_EQ(releaseBlankPages(base + 8, qsizetype(10 * page - 16)), qsizetype(7 * page)); // 1, 2, 4-8
        EXPECT_EQ(residentPages(base, bytes), 5u);  // 0, 3, 9, 10, 11
        EXPECT_EQ(std::memcmp(base, before.data(), before.size()), 0);
        EXPECT_EQ(releaseBlankPages(nullptr, 100), 0);
        munmap(base, bytes);
    }
}
