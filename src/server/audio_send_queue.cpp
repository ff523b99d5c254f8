#include "server/audio_send_queue.h"

#include <algorithm>

namespace morvane {

AudioSendQueue::AudioSendQueue(AudioFormat format, std::int64_t maxMillis)
    : maxFrames_(std::max<std::int64_t>(1, format.sampleRate * maxMillis / 1000)) {}

int AudioSendQueue::offer(Bytes packet, std::int64_t frames) {
    if (frames < 1 || frames > maxFrames_) {
        ++droppedPackets_;
        return 1;
    }
    items_.emplace_back(std::move(packet), frames);
    queuedFrames_ += frames;
    int removed = 0;
    while (queuedFrames_ > maxFrames_ && !items_.empty()) {
        queuedFrames_ -= items_.front().second;
        items_.pop_front();
        ++removed;
    }
    droppedPackets_ += removed;
    return removed;
}

std::optional<Bytes> AudioSendQueue::takeBatch() {
    if (items_.empty()) return std::nullopt;
    Bytes out;
    std::size_t total = 0;
    for (auto& item : items_) total += item.first.size();
    out.reserve(total);
    for (auto& item : items_) out.insert(out.end(), item.first.begin(), item.first.end());
    sentPackets_ += static_cast<std::int64_t>(items_.size());
    items_.clear();
    queuedFrames_ = 0;
    return out;
}

void AudioSendQueue::removeAll() {
    droppedPackets_ += static_cast<std::int64_t>(items_.size());
    items_.clear();
    queuedFrames_ = 0;
}

}  // namespace morvane
