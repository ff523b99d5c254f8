// Whether an instance sharing a database with others stands aside (lets
// its links go and takes no connections, so that the proxy in front sends
// its computers and phones to the others) or takes them again, judged each
// second from how its store finds the database and what the others say of
// theirs. It stands aside only when it alone is cut off: its database has
// been away a while, and another instance that takes connections has had
// its own answering without a break since before this one last heard from
// it. A database away for everyone moves nobody: every instance keeps its
// links and refuses only what needs the store. Once aside, it takes links
// again only after its database has answered steadily for a while, longer
// each time it has to stand aside again soon after, so that a road to the
// database that keeps breaking costs a person one drop, not one a break.
// Pure, on the caller's monotonic clock.
#pragma once

#include <cstdint>
#include <vector>

#include "relay_service/relay_peers.h"
#include "relay_service/relay_store.h"

namespace morvane::relay_service {

class FleetWatch {
public:
    struct Limits {
        // How long its database is away before the others are asked: a
        // moment's stall is not a cut, and by then an instance that shares
        // the trouble has found it too.
        std::int64_t awayBeforeAskingMillis = 3'000;
        std::int64_t askEveryMillis = 2'000;
        // How long its database answers steadily before it takes links
        // again: first, and at most.
        std::int64_t firstRejoinMillis = 15'000;
        std::int64_t lastRejoinMillis = 120'000;
        // Standing aside again within this of taking links again doubles
        // the wait before the next time.
        std::int64_t calmMillis = 600'000;
    };
    enum class Act { nothing, ask, standAside, rejoin };

    FleetWatch() : FleetWatch(Limits{}) {}
    explicit FleetWatch(Limits limits) : limits_(limits), rejoinMillis_(limits.firstRejoinMillis) {}

    // Each second, with how its store finds the database now.
    Act tick(const StoreHealth& own, std::int64_t nowMillis);
    // What the others said to the question tick asked for (nothing when
    // none could be asked).
    Act answered(const std::vector<PeerState>& peers, const StoreHealth& own);
    // What the caller did of standAside and rejoin.
    void stoodAside(std::int64_t nowMillis);
    void rejoined(std::int64_t nowMillis);

    bool aside() const { return aside_; }
    // How long its database must answer steadily before it takes links
    // again, as things stand.
    std::int64_t rejoinMillis() const { return rejoinMillis_; }

private:
    Limits limits_;
    bool aside_ = false;
    bool asking_ = false;
    std::int64_t askedAt_ = 0;
    bool everAsked_ = false;
    bool everRejoined_ = false;
    std::int64_t rejoinedAt_ = 0;
    std::int64_t rejoinMillis_;
};

}  // namespace morvane::relay_service
