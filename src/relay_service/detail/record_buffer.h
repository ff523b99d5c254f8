// What a host's message is read into: bytes that can be given away whole
// once the message is complete, so that a large record is queued for its
// device where it was read, never copied. A message that needs more than a
// little room gets room for the largest frame at once, so its bytes never
// move while it grows. Meets Asio's DynamicBuffer requirements (the first
// version, which Beast reads into). Internal to the server.
//
// A record's bytes are a std::vector, whose room is zeroed as it grows
// before anything is read into it: a tenth of the relay's time forwarding
// a screen. Room for the largest frame comes from a RecordRoom, to which a
// device's socket gives a record's bytes back once they are written: read
// into again as they are, they are zeroed only where a message grows past
// the last one they held.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>

#include "core/types.h"

namespace morvane::relay_service::detail {

// Vectors with room for the largest frame, given back once written: at
// most `spares` are kept.
class RecordRoom {
public:
    RecordRoom(std::size_t bytes, std::size_t spares) : bytes_(bytes), spares_(spares) {}

    Bytes take() {
        if (kept_.empty()) {
            Bytes fresh;
            fresh.reserve(bytes_);
            return fresh;
        }
        auto kept = std::move(kept_.back());
        kept_.pop_back();
        return kept;
    }
    void giveBack(Bytes&& bytes) {
        if (bytes.capacity() == bytes_ && kept_.size() < spares_) kept_.push_back(std::move(bytes));
    }
    std::size_t kept() const { return kept_.size(); }

private:
    std::size_t bytes_;
    std::size_t spares_;
    std::vector<Bytes> kept_;
};

class RecordBuffer {
public:
    using const_buffers_type = boost::asio::const_buffer;
    using mutable_buffers_type = boost::asio::mutable_buffer;

    // `room`, when given, has room of `most` bytes and outlives this.
    explicit RecordBuffer(std::size_t most, RecordRoom* room = nullptr) : most_(most), room_(room) {}

    std::size_t size() const noexcept { return size_; }
    std::size_t max_size() const noexcept { return most_; }
    std::size_t capacity() const noexcept { return bytes_.capacity(); }
    const_buffers_type data() const noexcept { return {bytes_.data(), size_}; }

    mutable_buffers_type prepare(std::size_t n) {
        if (n > most_ - size_) throw std::length_error("more than a message may hold");
        const auto needed = size_ + n;
        if (needed > bytes_.capacity()) {
            if (needed > smallBytes && room_) {
                auto larger = room_->take();
                if (larger.size() < size_) larger.resize(size_);
                std::copy_n(bytes_.begin(), size_, larger.begin());
                bytes_ = std::move(larger);
            } else {
                bytes_.reserve(needed <= smallBytes ? smallBytes : most_);
            }
        }
        // Room prepared before and not filled is taken again, not cleared again.
        if (needed > bytes_.size()) bytes_.resize(needed);
        return {bytes_.data() + size_, n};
    }
    void commit(std::size_t n) noexcept { size_ = std::min(size_ + n, bytes_.size()); }
    void consume(std::size_t n) {
        n = std::min(n, size_);
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
        size_ -= n;
    }

    // Worth giving away: it fills most of its room.
    bool full() const noexcept { return size_ >= bytes_.capacity() / 4 * 3; }
    // The message, given away; the next one starts afresh.
    Bytes take() {
        bytes_.resize(size_);
        size_ = 0;
        return std::exchange(bytes_, Bytes());
    }
    // The message is done with; its room is kept for the next.
    void clear() noexcept { size_ = 0; }

private:
    static constexpr std::size_t smallBytes = 2'048;
    std::size_t most_;
    RecordRoom* room_;
    Bytes bytes_;
    std::size_t size_ = 0;
};

}  // namespace morvane::relay_service::detail
