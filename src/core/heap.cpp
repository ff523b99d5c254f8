#include "core/heap.h"

#include <cstdlib>  // says whether this is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace morvane::heap {

void configureForStreaming() {
#if defined(__linux__)
    // With transparent huge pages on for every mapping, a freed stretch of an
    // arena stays resident as long as one small block lives in its 2 MiB page,
    // and the kernel may fill a mostly freed page back in: what a stream held
    // would never come back.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
#endif
#if defined(__GLIBC__)
    // Two arenas keep the main queue and the encoder from contending on one
    // lock while the other threads, which allocate little, share them.
    mallopt(M_ARENA_MAX, 2);
    // A fixed threshold also stops glibc from raising it: every block of
    // 256 KiB or more (pictures, shared screen copies, JPEG output) is its
    // own mapping and goes back to the system when freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

void giveBackFreed() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace morvane::heap
