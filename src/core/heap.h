// How the host's heap gives memory back to the system. glibc gives each
// thread that allocates an arena of its own (the host runs about sixteen
// threads) and raises its threshold for mapping large blocks as such blocks
// come and go; after that, picture-sized blocks are carved from the arenas
// and stay there when freed, so a stopped stream would leave tens of
// megabytes behind. Plain glibc calls; elsewhere they do nothing.
#pragma once

namespace morvane::heap {

// At process start, before any thread: few arenas, and blocks of a picture's
// size always mapped on their own, so freeing one returns it.
void configureForStreaming();

// Hands the free memory of every arena back to the system; called once a
// stream's large buffers have been let go.
void giveBackFreed();

}  // namespace morvane::heap
