// One connection's outgoing sound packets, bounded in milliseconds of sound.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "core/audio_source.h"
#include "core/types.h"

namespace morvane {

namespace AudioLimits {
// How much sound may wait for one connection before the oldest is dropped.
inline constexpr std::int64_t maxQueuedMillis = 250;
}  // namespace AudioLimits

class AudioSendQueue {
public:
    AudioSendQueue(AudioFormat format, std::int64_t maxMillis);

    // Queues one framed packet; returns how many packets were dropped to
    // make room (or 1 when the packet itself could not be queued).
    int offer(Bytes packet, std::int64_t frames);
    // Everything queued, joined back to back; nothing when empty.
    std::optional<Bytes> takeBatch();
    void removeAll();

    std::int64_t maxFrames() const { return maxFrames_; }
    std::int64_t queuedFrames() const { return queuedFrames_; }
    std::int64_t droppedPackets() const { return droppedPackets_; }
    std::int64_t sentPackets() const { return sentPackets_; }
    bool empty() const { return items_.empty(); }

private:
    std::int64_t maxFrames_;
    std::deque<std::pair<Bytes, std::int64_t>> items_;
    std::int64_t queuedFrames_ = 0;
    std::int64_t droppedPackets_ = 0;
    std::int64_t sentPackets_ = 0;
};

}  // namespace morvane
