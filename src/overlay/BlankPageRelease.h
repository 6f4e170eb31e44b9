#pragma once

// Gives back the memory of blank pages in a window's backing store.
//
// An overlay window covers its whole screen but draws a few small things on
// a transparent background, so nearly all of its backing store (about 14 MiB
// at 2560 x 1440, shared with the X server) holds only zero bytes: fully
// transparent pixels. Once the window has painted, each page of that image
// that is resident and entirely zero is handed back to the kernel; reading it
// again yields zeros, so what the image holds (and what the window shows) is
// unchanged, and the next paint there gets a fresh zeroed page.
//
//  * A shared mapping (the MIT-SHM segment the X server also maps) gives its
//    pages back with MADV_REMOVE (a hole in the segment: freed for both
//    processes); a private one (a plain heap image) with MADV_DONTNEED.
//  * Pages that are not resident are left alone (they are never read, so the
//    scan itself brings nothing back); pages only partly inside the range are
//    never touched.
//  * Main thread, between paints: the only writer of the image is this
//    thread's painter, and the X server only reads the segment.

#include <QtGlobal>

class QWidget;

namespace tovrik::overlay {

// Releases the resident all-zero pages that lie wholly inside
// [begin, begin + size). Returns the bytes released.
qsizetype releaseBlankPages(uchar* begin, qsizetype size);

// The same over the backing store image of top-level `window` (when it is an
// image at all). Returns the bytes released.
qsizetype releaseBlankBackingStorePages(QWidget* window);

} // namespace tovrik::overlay
