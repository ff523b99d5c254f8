// Which computers' links this instance holds, as the store must tell the
// other instances sharing it (for their lists of computers, and for a
// device that arrives where its computer's link is not). Each change is
// written in order, one batch at a time; a batch that failed is written
// again, as things then stand, at the next beat; and every beat refreshes
// all of this instance's rows at once, so that the rows of an instance
// that died stop counting a few beats later. An instance that stops leaves
// its rows to count a few seconds more rather than dropping them: its
// computers are moving to another instance, not gone, and a phone that
// dials one meanwhile waits for its link. Value logic on the network
// thread; the batches are written on the store queue (write()).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "relay_service/relay_store.h"

namespace morvane::relay_service {

class RelayPresence {
public:
    struct Batch {
        std::vector<std::pair<std::string, bool>> rooms;  // each room, up here or not
        bool refresh = false;
        // Then every row of this instance counts only
        // RelayLimits::movingSeconds more (it stops)...
        bool allMoving = false;
        // ...or these rooms' rows, let go of to another instance, whose
        // links are on their way there.
        std::vector<std::string> moving = {};
        bool operator==(const Batch&) const = default;
    };

    // A room's link came up or went down here, to come up at another
    // instance when `moving`. Up, once the store answered for it.
    void changed(const std::string& room, bool up, bool moving = false);
    // The instance stops: its links closing are not written as gone, and
    // the next batch says its rows are moving.
    void stopping();
    // Time to refresh the rows, and to try again what failed.
    void beat();
    // What to write now, if anything: nothing while a batch is on its way,
    // nor after a failure until the next beat or link up.
    std::optional<Batch> next();
    // The batch on its way was written, or not (its rooms wait for the
    // next beat). Written but not `inTime`: the database ran some of it too
    // late and it changed nothing there, so it goes again at once as things
    // then stand, and after a second such batch in a row at the next beat
    // (a database that slow, or whose clock was misread, is not hammered).
    void done(bool written, bool inTime = true);
    // What waits is held for the next beat (it failed, or came too late
    // twice in a row).
    bool waitsForBeat() const { return failed_; }
    // Nothing waits to be written and nothing is on its way.
    bool settled() const { return !writing_ && unwritten_.empty() && stopping_ == moved_; }
    // Everything not known to be written, as things stand: what a stopping
    // instance writes itself when its queue is gone.
    Batch unsettled() const;

    // On the store queue: the batch's rows for `instance`, stamped with the
    // database's clock; false when the database ran a part of it too late.
    static bool write(RelayStore& store, const std::string& instance, const Batch& batch);

private:
    Batch batchOf(const std::set<std::string>& rooms, bool refresh) const;

    std::set<std::string> up_;
    std::set<std::string> moving_;  // down, and on their way elsewhere
    std::set<std::string> unwritten_;
    std::optional<Batch> writing_;
    bool refreshDue_ = false;
    bool failed_ = false;
    bool lateBefore_ = false;  // the batch before was run too late
    bool beatWhileWriting_ = false;
    bool stopping_ = false;
    bool moved_ = false;  // the moving batch was written
};

}  // namespace morvane::relay_service
