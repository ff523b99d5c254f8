// The file-transfer vocabulary shared by the machines, the engine and the
// disk store: limits, the words that end a transfer, the device's requests,
// the binary chunk frame and the host's answers. Nothing here does I/O; the
// server turns the JSON into text and puts the frames on the socket.
#pragma once

#include "core/interval_limiter.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/types.h"

namespace morvane {

namespace FileLimits {
// Largest file either way, and the largest offset a chunk frame may carry.
inline constexpr std::int64_t maxBytes = 209'715'200;
inline constexpr std::int64_t maxTransferID = 999'999;
inline constexpr std::int64_t maxRawNameBytes = 1'024;
inline constexpr std::int64_t maxNameBytes = 200;
inline constexpr std::int64_t uploadChunkBytes = 16'000;
inline constexpr std::int64_t uploadWindowChunks = 8;
inline constexpr std::int64_t downloadChunkBytes = 32'768;
inline constexpr std::int64_t stallMillis = 30'000;
inline constexpr std::int64_t minIntervalMillis = 1'000;
inline constexpr std::int64_t maxListed = 200;
inline constexpr int maxCollisionAttempts = 999;
}  // namespace FileLimits

namespace FileReason {
inline constexpr std::string_view ok = "ok";
inline constexpr std::string_view busy = "busy";
inline constexpr std::string_view tooSoon = "too-soon";
inline constexpr std::string_view badID = "bad-id";
inline constexpr std::string_view badName = "bad-name";
inline constexpr std::string_view empty = "empty";
inline constexpr std::string_view tooLarge = "too-large";
inline constexpr std::string_view badChunk = "bad-chunk";
inline constexpr std::string_view flow = "flow";
inline constexpr std::string_view sizeMismatch = "size-mismatch";
inline constexpr std::string_view hashMismatch = "hash-mismatch";
inline constexpr std::string_view writeFailed = "write-failed";
inline constexpr std::string_view readFailed = "read-failed";
inline constexpr std::string_view notFound = "not-found";
inline constexpr std::string_view timeout = "timeout";
inline constexpr std::string_view cancelled = "cancelled";
inline constexpr std::string_view unavailable = "unavailable";
// Reported only: the device is gone and hears nothing.
inline constexpr std::string_view sessionEnded = "session-ended";
}  // namespace FileReason

namespace file_request {
struct List {
    std::int64_t id = 0;
    bool operator==(const List&) const = default;
};
struct Put {
    std::int64_t id = 0;
    std::string name;  // raw, as the device sent it
    std::int64_t size = 0;
    bool operator==(const Put&) const = default;
};
struct PutEnd {
    std::int64_t id = 0;
    std::string sha256;  // 64 lower-case hex digits
    bool operator==(const PutEnd&) const = default;
};
struct Get {
    std::int64_t id = 0;
    std::string name;
    bool operator==(const Get&) const = default;
};
struct Cancel {
    std::int64_t id = 0;
    bool operator==(const Cancel&) const = default;
};
}  // namespace file_request

struct FileRequest {
    using Value = std::variant<file_request::List, file_request::Put, file_request::PutEnd, file_request::Get,
                               file_request::Cancel>;
    Value value;
    bool operator==(const FileRequest&) const = default;

    // One "file-..." message of the device, given its type word and the
    // whole decoded object. Any missing or malformed field gives nothing.
    static std::optional<FileRequest> parse(std::string_view type, const nlohmann::json& object);
};

// The 9-byte header before the bytes of a chunk frame: tag, id and offset,
// the last two as big-endian 32-bit numbers.
namespace FileChunk {
inline constexpr std::uint8_t downloadTag = 0x10;
inline constexpr std::uint8_t uploadTag = 0x11;
inline constexpr std::size_t headerBytes = 9;

struct Decoded {
    std::int64_t id = 0;
    std::int64_t offset = 0;
    std::span<const std::uint8_t> data;  // points into the frame
};

std::optional<Bytes> encode(std::uint8_t tag, std::int64_t id, std::int64_t offset,
                            std::span<const std::uint8_t> data);
std::optional<Decoded> decode(std::uint8_t tag, std::span<const std::uint8_t> frame, std::size_t maxData);
std::optional<Decoded> decodeUpload(std::span<const std::uint8_t> frame);
}  // namespace FileChunk

// The host's file messages.
namespace FileMessage {
nlohmann::json putReady(std::int64_t id);
nlohmann::json ack(std::int64_t id, std::int64_t written);
nlohmann::json putDone(std::int64_t id, const std::string& name);
nlohmann::json getReady(std::int64_t id, std::int64_t size);
nlohmann::json getDone(std::int64_t id, const std::string& sha256);
// Filters, orders and cuts the entries as the listing rule says.
nlohmann::json list(std::int64_t id, const std::vector<OutboxEntry>& entries);
// type: "file-put-result", "file-get-result" or "file-list-result".
nlohmann::json failure(std::string_view type, std::int64_t id, std::string_view reason);
}  // namespace FileMessage

// At most one accepted start per second.
struct FileRateLimiter : IntervalLimiter {
    FileRateLimiter() : IntervalLimiter(FileLimits::minIntervalMillis) {}
};

}  // namespace morvane
