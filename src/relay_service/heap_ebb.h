// When to hand the heap back to the system after a burst of connections
// ends. glibc keeps what is freed for the allocations to come, and gives
// back only the top of its heap: a relay that held a flood's connections
// (tens of kilobytes each over TLS) would keep their memory for good, and
// a host that rents it 1 GB would have none left for the next flood. Told
// how many connections are open each time one ends; due when they have
// fallen to half the most since the heap was last given back, and by at
// least `least`: a handful of trims for a burst however large, none for the
// comings and goings of a quiet day. On the server's one network thread.
#pragma once

#include <algorithm>

namespace morvane::relay_service {

class HeapEbb {
public:
    explicit HeapEbb(int least) : least_(least) {}

    bool due(int open) {
        mark_ = std::max(mark_, open);
        if (open > mark_ / 2 || mark_ - open < least_) return false;
        mark_ = open;
        return true;
    }

private:
    int least_;
    int mark_ = 0;  // the most open since the heap was last given back
};

}  // namespace morvane::relay_service
