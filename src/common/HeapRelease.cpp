#include "common/HeapRelease.h"

#include <malloc.h>

namespace tovrik {

void releaseFreedHeap()
{
    malloc_trim(0);
}

} // namespace tovrik
