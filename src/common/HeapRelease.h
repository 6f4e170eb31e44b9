#pragma once

// Gives the pages of freed heap memory back to the system. Memory the
// allocator took for large, short-lived work (a UI Autopilot run's
// screenshots, requests and on-screen look) stays mapped, and counted as the
// process's own, after it is freed unless it lies at the very top of the heap.
// Called once where such work ends, not per allocation: the walk over the
// free lists costs well under a millisecond on this process's heap.

namespace tovrik {

void releaseFreedHeap();

} // namespace tovrik
