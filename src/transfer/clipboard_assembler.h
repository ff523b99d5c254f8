// Reassembles the text a device writes to the clipboard in numbered chunks,
// refusing every malformed or hurried transfer with its own word.
#pragma once

#include "core/interval_limiter.h"
#include "transfer/clipboard_text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvane {

// At most one accepted clipboard read per second.
struct ClipboardRateLimiter : IntervalLimiter {
    ClipboardRateLimiter() : IntervalLimiter(ClipboardLimits::minIntervalMillis) {}
};

namespace clipboard_outcome {
struct Complete {
    int id = 0;
    std::string text;
    bool operator==(const Complete&) const = default;
};
struct Failed {
    int id = 0;
    std::string reason;
    bool operator==(const Failed&) const = default;
};
struct None {
    bool operator==(const None&) const = default;
};
}  // namespace clipboard_outcome

class ClipboardAssembler {
public:
    using Outcome = std::variant<clipboard_outcome::Complete, clipboard_outcome::Failed, clipboard_outcome::None>;

    struct Reason {
        static constexpr std::string_view busy = "busy";
        static constexpr std::string_view tooSoon = "too-soon";
        static constexpr std::string_view badID = "bad-id";
        static constexpr std::string_view badSize = "bad-size";
        static constexpr std::string_view tooLarge = "too-large";
        static constexpr std::string_view unknownTransfer = "unknown-transfer";
        static constexpr std::string_view outOfOrder = "out-of-order";
        static constexpr std::string_view duplicateChunk = "duplicate-chunk";
        static constexpr std::string_view lengthMismatch = "length-mismatch";
        static constexpr std::string_view timeout = "timeout";
    };

    Outcome begin(int id, int chunks, int length, std::int64_t nowMillis);
    Outcome chunk(int id, int index, const std::string& text);
    Outcome expire(std::int64_t nowMillis);
    // Forgets the transfer and the ids seen; the put limiter keeps its time.
    void reset();

    bool inProgress() const { return active_.has_value(); }
    int heldCharacters() const { return active_ ? active_->received : 0; }

private:
    struct Transfer {
        int id = 0;
        int chunks = 0;
        int length = 0;
        int next = 0;
        int received = 0;
        std::vector<std::string> parts;
        std::int64_t deadline = 0;
    };
    Outcome fail(int id, std::string_view reason);

    std::optional<Transfer> active_;
    int lastID_ = 0;
    ClipboardRateLimiter limiter_;
    std::optional<int> answeredID_;
};

}  // namespace morvane
