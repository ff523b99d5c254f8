// What the fuzz targets share: the check that ends a run, and the way a
// target that feeds a sequence of messages cuts its input into them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

namespace morvane::fuzz {

// A broken property ends the run like a crash, so libFuzzer keeps the input.
inline void require(bool condition) {
    if (!condition) std::abort();
}

// One message of a sequence: a kind the target reads as it likes, and bytes.
struct Message {
    std::uint8_t kind = 0;
    std::span<const std::uint8_t> bytes;
    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
};

// Each message is a kind byte, a two-byte big-endian length and that many
// bytes; the last one takes what is left when fewer remain. Lengths in the
// input keep the messages apart, so mutations of one rarely shift the rest.
class Messages {
public:
    explicit Messages(std::span<const std::uint8_t> input) : rest_(input) {}
    bool next(Message& message) {
        if (rest_.size() < 3) return false;
        const std::size_t length = std::min<std::size_t>((rest_[1] << 8) | rest_[2], rest_.size() - 3);
        message.kind = rest_[0];
        message.bytes = rest_.subspan(3, length);
        rest_ = rest_.subspan(3 + length);
        return true;
    }

private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace morvane::fuzz
