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
// what needs the store. A hold-up of its own process (stopped, swapped
// out, starved), seen as a tick later than its period allows, is never
// time away: after one, only checks begun since count, and only from the
// first of them that found the database away. Another's word vouches only
// for what it checked after this one's road went away: its answer says how
// long ago its check began and how long its database had answered by
// then, durations on its own clock, which the question's round trip
// bounds on this one's; and what it tells of itself counts nothing from
// before a hold-up of its own. Once aside, it takes links again only after
// its database has answered steadily for a while since, longer each time
// it has to stand aside again soon after, so that a road to the database
// that keeps breaking costs a person one drop, not one a break. While its
// database answers it asks the others now and then too, so that one that
// never answers is known before the day it matters, and once more as soon
// as its database is back, so that the store knows which of the others
// are there after the outage. Pure, on the caller's
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
        // Another's check vouches for its database only when it began at
        // least this long after this one's road went away by its own
        // count: that count may take in a hold-up too short for a tick to
        // show, and the half-second since the check before it.
        std::int64_t vouchAfterMillis = 2'000;
        // How often the caller ticks, and how much later than that a tick
        // may come before it counts as the process having been held up
        // between them: what its store found before says nothing of now,
        // and its last answer is as old as the hold-up.
        std::int64_t tickMillis = 1'000;
        std::int64_t heldUpMillis = 500;
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
    // by, none of it time the process was held up; 0 while it answers or
    // nothing fresh says otherwise.
    std::int64_t awayMillis(const StoreHealth& own, std::int64_t nowMillis) const;
    // What it tells the others of its database when asked: its store's
    // word, with no steady time counted from before a hold-up of its own
    // (nothing at all when asked before the tick that sees one).
    StoreHealth told(const StoreHealth& own, std::int64_t nowMillis) const;

private:
    Limits limits_;
    bool aside_ = false;
    std::int64_t asideAt_ = 0;
    bool asking_ = false;
    // Its database was away when last judged: asked again once it is back.
    bool askWhenBack_ = false;
    std::optional<std::int64_t> askedAt_;
    std::optional<std::int64_t> lastTick_;
    std::int64_t startedAt_ = 0;
    // The process's last hold-up: the earliest it may have woken (checks
    // begun since are its own), and the tick that saw it.
    std::optional<std::int64_t> wokeAt_;
    std::int64_t wokeSeenAt_ = 0;
    // The last tick that found its database answering; and, while it is
    // away after a hold-up, the start of the first check since that found
    // it away.
    std::optional<std::int64_t> answeringAt_;
    std::optional<std::int64_t> awaySince_;
    bool everRejoined_ = false;
    std::int64_t rejoinedAt_ = 0;
    std::int64_t rejoinMillis_;
};

}  // namespace morvane::relay_service
