// Decides everything about one download (an Outbox file to the device): one
// chunk read, offered and confirmed at a time, and the word it ends with. A
// value like the upload machine: its owner carries out the effects in order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "transfer/file_protocol.h"

namespace morvane {

class FileDownloadMachine {
public:
    // Answer the refused "file-get"; nothing was started.
    struct Refuse {
        std::int64_t id = 0;
        std::string reason;
        bool operator==(const Refuse&) const = default;
    };
    // Open the Outbox file of that name.
    struct Open {
        std::int64_t id = 0;
        std::string name;
        bool operator==(const Open&) const = default;
    };
    struct Ready {
        std::int64_t id = 0;
        std::int64_t size = 0;
        bool operator==(const Ready&) const = default;
    };
    // Read the next count bytes of the file.
    struct Read {
        std::int64_t count = 0;
        bool operator==(const Read&) const = default;
    };
    // Offer the chunk just read to the connection at that offset.
    struct Offer {
        std::int64_t id = 0;
        std::int64_t offset = 0;
        bool operator==(const Offer&) const = default;
    };
    // Finish the digest, close the file and report success.
    struct Finish {
        std::int64_t id = 0;
        std::int64_t size = 0;
        bool operator==(const Finish&) const = default;
    };
    // Close the file and report the failure.
    struct Fail {
        std::int64_t id = 0;
        std::string reason;
        std::int64_t sent = 0;
        std::int64_t size = 0;
        bool operator==(const Fail&) const = default;
    };
    using Effect = std::variant<Refuse, Open, Ready, Read, Offer, Finish, Fail>;
    using Effects = std::vector<Effect>;

    Effects begin(std::int64_t id, std::string_view name, std::int64_t nowMillis);
    // The opened file's size, or nothing when it could not be opened.
    Effects opened(std::optional<std::int64_t> size, std::int64_t nowMillis);
    // The number of bytes read, or nothing when the read failed.
    Effects readDone(std::optional<std::int64_t> count);
    Effects chunkSent(std::int64_t nowMillis);
    Effects finished();
    Effects cancel(std::int64_t id);
    Effects expire(std::int64_t nowMillis);
    // The session ended: a running download fails with "session-ended" and
    // ids start again; the rate limit keeps its time.
    Effects reset();

    bool isActive() const { return active_.has_value(); }

private:
    enum class Phase { opening, sending, finishing };
    struct Transfer {
        std::int64_t id = 0;
        std::int64_t size = 0;
        Phase phase = Phase::opening;
        std::int64_t sent = 0;
        std::int64_t pending = 0;  // the chunk being read or sent
        std::int64_t deadline = 0;
    };

    Effects fail(std::string_view reason);

    std::optional<Transfer> active_;
    std::int64_t lastID_ = 0;
    FileRateLimiter limiter_;
};

}  // namespace morvane
