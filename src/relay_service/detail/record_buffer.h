// What a host's message is read into: bytes that can be given away whole
// once the message is complete, so that a large record is queued for its
// device where it was read, never copied. A message that needs more than a
// little room gets room for the largest frame at once, so its bytes never
// move while it grows. Meets Asio's DynamicBuffer requirements (the first
// version, which Beast reads into). Internal to the server.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include <boost/asio/buffer.hpp>

#include "core/types.h"

namespace morvane::relay_service::detail {

class RecordBuffer {
public:
    using const_buffers_type = boost::asio::const_buffer;
    using mutable_buffers_type = boost::asio::mutable_buffer;

    explicit RecordBuffer(std::size_t most) : most_(most) {}

    std::size_t size() const noexcept { return size_; }
    std::size_t max_size() const noexcept { return most_; }
    std::size_t capacity() const noexcept { return bytes_.capacity(); }
    const_buffers_type data() const noexcept { return {bytes_.data(), size_}; }

    mutable_buffers_type prepare(std::size_t n) {
        if (n > most_ - size_) throw std::length_error("more than a message may hold");
        const auto needed = size_ + n;
        if (needed > bytes_.capacity()) bytes_.reserve(needed <= smallBytes ? smallBytes : most_);
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
    Bytes bytes_;
    std::size_t size_ = 0;
};

}  // namespace morvane::relay_service::detail
