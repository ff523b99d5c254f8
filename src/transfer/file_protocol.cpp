#include "transfer/file_protocol.h"

#include <cmath>

#include "transfer/file_names.h"

namespace morvane {

namespace {

// A JSON number that is a whole, finite, non-negative value no larger than
// the limit. Booleans, strings and fractions are refused: true is not 1.
std::optional<std::int64_t> integerField(const nlohmann::json& object, const char* key, std::int64_t limit) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(limit)) return std::nullopt;
        return static_cast<std::int64_t>(v);
    }
    if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        if (v < 0 || v > limit) return std::nullopt;
        return v;
    }
    const double v = it->get<double>();
    if (!std::isfinite(v) || v < 0 || v != std::floor(v) || v > static_cast<double>(limit)) return std::nullopt;
    return static_cast<std::int64_t>(v);
}

std::optional<std::string> nameField(const nlohmann::json& object) {
    const auto it = object.find("name");
    if (it == object.end() || !it->is_string()) return std::nullopt;
    const auto& name = it->get_ref<const std::string&>();
    if (name.empty() || name.size() > static_cast<std::size_t>(FileLimits::maxRawNameBytes)) return std::nullopt;
    return name;
}

bool isLowerHexDigest(const std::string& text) {
    if (text.size() != 64) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

void putBigEndian32(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

std::uint32_t bigEndian32(std::span<const std::uint8_t> b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

bool validID(std::int64_t id) { return id >= 1 && id <= FileLimits::maxTransferID; }

}  // namespace

std::optional<FileRequest> FileRequest::parse(std::string_view type, const nlohmann::json& object) {
    if (!object.is_object()) return std::nullopt;
    const auto id = integerField(object, "id", FileLimits::maxTransferID);
    if (!id || *id < 1) return std::nullopt;
    if (type == "file-list") return FileRequest{file_request::List{*id}};
    if (type == "file-put") {
        auto name = nameField(object);
        // The largest integer a double carries exactly.
        const auto size = integerField(object, "size", 9'007'199'254'740'991);
        if (!name || !size) return std::nullopt;
        return FileRequest{file_request::Put{*id, std::move(*name), *size}};
    }
    if (type == "file-put-end") {
        const auto it = object.find("sha256");
        if (it == object.end() || !it->is_string() || !isLowerHexDigest(it->get_ref<const std::string&>()))
            return std::nullopt;
        return FileRequest{file_request::PutEnd{*id, it->get<std::string>()}};
    }
    if (type == "file-get") {
        auto name = nameField(object);
        if (!name) return std::nullopt;
        return FileRequest{file_request::Get{*id, std::move(*name)}};
    }
    if (type == "file-cancel") return FileRequest{file_request::Cancel{*id}};
    return std::nullopt;
}

namespace FileChunk {

std::optional<Bytes> encode(std::uint8_t tag, std::int64_t id, std::int64_t offset,
                            std::span<const std::uint8_t> data) {
    if (!validID(id) || offset < 0 || offset > FileLimits::maxBytes || data.empty()) return std::nullopt;
    Bytes frame;
    frame.reserve(headerBytes + data.size());
    frame.push_back(tag);
    putBigEndian32(frame, static_cast<std::uint32_t>(id));
    putBigEndian32(frame, static_cast<std::uint32_t>(offset));
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

std::optional<Decoded> decode(std::uint8_t tag, std::span<const std::uint8_t> frame, std::size_t maxData) {
    if (frame.size() < headerBytes + 1 || frame.size() - headerBytes > maxData) return std::nullopt;
    if (frame[0] != tag) return std::nullopt;
    const std::int64_t id = bigEndian32(frame.subspan(1, 4));
    const std::int64_t offset = bigEndian32(frame.subspan(5, 4));
    if (!validID(id) || offset > FileLimits::maxBytes) return std::nullopt;
    return Decoded{id, offset, frame.subspan(headerBytes)};
}

std::optional<Decoded> decodeUpload(std::span<const std::uint8_t> frame) {
    return decode(uploadTag, frame, static_cast<std::size_t>(FileLimits::uploadChunkBytes));
}

}  // namespace FileChunk

namespace FileMessage {

nlohmann::json putReady(std::int64_t id) {
    return {{"t", "file-put-ready"},
            {"id", id},
            {"chunk", FileLimits::uploadChunkBytes},
            {"window", FileLimits::uploadWindowChunks}};
}

nlohmann::json ack(std::int64_t id, std::int64_t written) { return {{"t", "file-ack"}, {"id", id}, {"n", written}}; }

nlohmann::json putDone(std::int64_t id, const std::string& name) {
    return {{"t", "file-put-result"}, {"id", id}, {"ok", true}, {"name", name}};
}

nlohmann::json getReady(std::int64_t id, std::int64_t size) {
    return {{"t", "file-get-ready"}, {"id", id}, {"size", size}, {"chunk", FileLimits::downloadChunkBytes}};
}

nlohmann::json getDone(std::int64_t id, const std::string& sha256) {
    return {{"t", "file-get-result"}, {"id", id}, {"ok", true}, {"sha256", sha256}};
}

nlohmann::json list(std::int64_t id, const std::vector<OutboxEntry>& entries) {
    const auto prepared = FileListing::prepare(entries);
    auto files = nlohmann::json::array();
    for (const auto& e : prepared.files)
        files.push_back({{"name", e.name}, {"size", e.size}, {"mtime", e.modified}});
    return {{"t", "file-list-result"}, {"id", id}, {"ok", true}, {"files", std::move(files)}, {"more", prepared.more}};
}

nlohmann::json failure(std::string_view type, std::int64_t id, std::string_view reason) {
    return {{"t", type}, {"id", id}, {"ok", false}, {"error", reason}};
}

}  // namespace FileMessage

}  // namespace morvane
