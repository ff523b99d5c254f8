#include "relay_service/relay_presence.h"

#include "relay_service/relay_limits.h"

namespace morvane::relay_service {

void RelayPresence::changed(const std::string& room, bool up, bool moving) {
    if (stopping_) return;
    if (up)
        up_.insert(room);
    else
        up_.erase(room);
    if (!up && moving)
        moving_.insert(room);
    else
        moving_.erase(room);
    unwritten_.insert(room);
    // A link comes up only once the store has answered for it: what
    // failed before need not wait for the beat.
    if (up) failed_ = false;
}

void RelayPresence::stopping() { stopping_ = true; }

void RelayPresence::beat() {
    refreshDue_ = true;
    failed_ = false;
    // The batch on its way may fail for what was true before (a store
    // found back as it was being written): the beat still stands.
    beatWhileWriting_ = writing_.has_value();
}

RelayPresence::Batch RelayPresence::batchOf(const std::set<std::string>& rooms, bool refresh) const {
    Batch batch;
    batch.refresh = refresh;
    for (const auto& room : rooms) {
        if (moving_.contains(room))
            batch.moving.push_back(room);
        else
            batch.rooms.emplace_back(room, up_.contains(room));
    }
    return batch;
}

std::optional<RelayPresence::Batch> RelayPresence::next() {
    const bool moving = stopping_ && !moved_;
    if (writing_ || failed_ || (unwritten_.empty() && !refreshDue_ && !moving)) return std::nullopt;
    writing_ = batchOf(unwritten_, refreshDue_ && !moving);
    writing_->allMoving = moving;
    unwritten_.clear();
    refreshDue_ = false;
    return writing_;
}

void RelayPresence::done(bool written, bool inTime) {
    if (!writing_) return;
    if (written && inTime && writing_->allMoving) moved_ = true;
    if (!written || !inTime) {
        // Written again as the rooms then stand: a newer change wins.
        for (const auto& [room, up] : writing_->rooms) unwritten_.insert(room);
        for (const auto& room : writing_->moving) unwritten_.insert(room);
        if (writing_->refresh) refreshDue_ = true;
        failed_ = (!written || lateBefore_) && !beatWhileWriting_;
    }
    lateBefore_ = written && !inTime && !lateBefore_;
    beatWhileWriting_ = false;
    writing_.reset();
}

RelayPresence::Batch RelayPresence::unsettled() const {
    auto rooms = unwritten_;
    if (writing_) {
        for (const auto& [room, up] : writing_->rooms) rooms.insert(room);
        for (const auto& room : writing_->moving) rooms.insert(room);
    }
    auto batch = batchOf(rooms, false);
    batch.allMoving = stopping_ && !moved_;
    return batch;
}

bool RelayPresence::write(RelayStore& store, const std::string& instance, const Batch& batch) {
    bool inTime = true;
    for (const auto& [room, up] : batch.rooms) {
        if (up)
            inTime = store.putPresence(room, instance) && inTime;
        else
            store.dropPresence(room, instance);
    }
    for (const auto& room : batch.moving)
        inTime = store.expirePresence(instance, room, RelayLimits::movingSeconds, RelayLimits::presenceFreshSeconds) &&
                 inTime;
    if (batch.refresh) inTime = store.refreshPresence(instance) && inTime;
    if (batch.allMoving)
        inTime = store.expirePresence(instance, std::nullopt, RelayLimits::movingSeconds,
                                      RelayLimits::presenceFreshSeconds) &&
                 inTime;
    return inTime;
}

}  // namespace morvane::relay_service
