// Decides everything about one upload (a file from the device to this
// computer): what is accepted, when the disk writes, when it is verified and
// the word it ends with. A value: it never touches a disk, socket or clock;
// its owner feeds it events and carries out the effects in order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "transfer/file_protocol.h"

namespace morvane {

class FileUploadMachine {
public:
    // Answer the refused "file-put"; nothing was started.
    struct Refuse {
        std::int64_t id = 0;
        std::string reason;
        bool operator==(const Refuse&) const = default;
    };
    // Create the incoming file under the cleaned name.
    struct Open {
        std::int64_t id = 0;
        std::string name;
        std::int64_t size = 0;
        bool operator==(const Open&) const = default;
    };
    struct Ready {
        std::int64_t id = 0;
        bool operator==(const Ready&) const = default;
    };
    // Write the chunk just accepted.
    struct Write {
        std::int64_t count = 0;
        bool operator==(const Write&) const = default;
    };
    struct Ack {
        std::int64_t id = 0;
        std::int64_t written = 0;
        bool operator==(const Ack&) const = default;
    };
    // Check the written file against the device's digest and commit it.
    struct Verify {
        std::int64_t id = 0;
        std::string sha256;
        bool operator==(const Verify&) const = default;
    };
    struct Done {
        std::int64_t id = 0;
        std::string name;  // as saved
        std::int64_t size = 0;
        bool operator==(const Done&) const = default;
    };
    // Drop the partial file and report the failure.
    struct Fail {
        std::int64_t id = 0;
        std::string reason;
        std::int64_t written = 0;
        std::int64_t size = 0;
        bool operator==(const Fail&) const = default;
    };
    using Effect = std::variant<Refuse, Open, Ready, Write, Ack, Verify, Done, Fail>;
    using Effects = std::vector<Effect>;

    // What verification found.
    struct Saved {
        std::string name;
        bool operator==(const Saved&) const = default;
    };
    struct HashMismatch {
        bool operator==(const HashMismatch&) const = default;
    };
    struct Failed {
        bool operator==(const Failed&) const = default;
    };
    using Check = std::variant<Saved, HashMismatch, Failed>;

    Effects begin(std::int64_t id, std::string_view name, std::int64_t size, std::int64_t nowMillis);
    Effects opened(bool ok, std::int64_t nowMillis);
    Effects chunk(std::int64_t id, std::int64_t offset, std::int64_t count, std::int64_t nowMillis);
    Effects wrote(std::int64_t count, bool ok, std::int64_t nowMillis);
    Effects end(std::int64_t id, const std::string& sha256, std::int64_t nowMillis);
    Effects verified(const Check& check);
    Effects cancel(std::int64_t id);
    Effects expire(std::int64_t nowMillis);
    // The session ended: a running upload fails with "session-ended" and ids
    // start again; the rate limit keeps its time.
    Effects reset();

    bool isActive() const { return active_.has_value(); }

private:
    enum class Phase { opening, receiving, verifying };
    struct Transfer {
        std::int64_t id = 0;
        std::int64_t size = 0;
        Phase phase = Phase::opening;
        std::int64_t received = 0;  // also the next expected offset
        std::int64_t written = 0;
        std::optional<std::string> endHash;
        std::int64_t deadline = 0;
    };

    Effects fail(std::string_view reason);

    std::optional<Transfer> active_;
    std::int64_t lastID_ = 0;
    FileRateLimiter limiter_;
};

}  // namespace morvane
