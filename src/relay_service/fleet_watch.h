// Whether an instance sharing a database with others stands aside (lets
// its links go and takes no connections, so that the proxy in front sends
// its computers and phones to the others) or takes them again, judged each
// second from how its store finds the database and what the others say of
// theirs. It stands aside only when it alone is cut off: its database has
// been away a while by fresh checks, and another instance that takes
// connections has had its own answering meanwhile, without a break since
// before this one's went away or, after an outage they shared, long enough
// that this one should have found it back too. A database away for
// everyone moves nobody: every instance keeps its links and refuses only
// what needs the store. Nothing is decided on what the store found before
// the process was held up (stopped, swapped out, starved): only on checks
// begun since. Once aside, it takes links again only after its database
// has answered steadily for a while since, longer each time it has to
// stand aside again soon after, so that a road to the database that keeps
// breaking costs a person one drop, not one a break. While its database
// answers it asks the others now and then too, so that one that never
// answers is known before the day it matters. Pure, on the caller's
// monotonic clock.
#pragma once

#include <cstdint>
#include <optional>
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
        // Another's database that came back while this one's stayed away
        // (an outage they shared, over for it and not for this one) counts
        // once it has answered this long: longer than this one takes to
        // find its own back, a check's time-out and its pause included.
        std::int64_t answeringAloneMillis = 8'000;
        // A store's verdict from a check begun longer ago than this says
        // nothing of now (checks run twice a second and time out in two).
        std::int64_t freshCheckMillis = 5'000;
        // Ticks further apart than this: the process was held up between
        // them, and what its store found before says nothing of now.
        std::int64_t heldUpMillis = 2'500;
        // Asked while its database answers, this often.
        std::int64_t askWhileWellMillis = 30'000;
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
    // none could be asked), and how its store finds the database now.
    Act answered(const std::vector<PeerState>& peers, const StoreHealth& own, std::int64_t nowMillis);
    // What the caller did of standAside and rejoin.
    void stoodAside(std::int64_t nowMillis);
    void rejoined(std::int64_t nowMillis);

    bool aside() const { return aside_; }
    // How long its database must answer steadily before it takes links
    // again, as things stand.
    std::int64_t rejoinMillis() const { return rejoinMillis_; }
    // How long its database has been away by checks fresh enough to judge
    // by; 0 while it answers or nothing fresh says otherwise.
    std::int64_t awayMillis(const StoreHealth& own, std::int64_t nowMillis) const;

private:
    Limits limits_;
    bool aside_ = false;
    std::int64_t asideAt_ = 0;
    bool asking_ = false;
    std::optional<std::int64_t> askedAt_;
    std::optional<std::int64_t> lastTick_;
    std::int64_t startedAt_ = 0;
    // When the process last came back from being held up.
    std::optional<std::int64_t> wokeAt_;
    bool everRejoined_ = false;
    std::int64_t rejoinedAt_ = 0;
    std::int64_t rejoinMillis_;
};

}  // namespace morvane::relay_service
