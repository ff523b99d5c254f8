// The file requests and upload frames a device sends, over arbitrary bytes.
// The first byte picks what the rest of the input is, by its remainder
// after division by 3: 0 an upload frame, 1 a JSON request, 2 a raw name. Whatever is accepted stays
// within the ranges the machines and the disk store rely on, a decoded frame
// encodes back to the same bytes, and a cleaned name is plain and cleans to
// itself (the store refuses any other).
#include <cstdlib>
#include <span>

#include "fuzz_support.h"
#include "transfer/file_names.h"
#include "transfer/file_protocol.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {


void checkName(const std::string& raw) {
    require(!raw.empty() && raw.size() <= static_cast<std::size_t>(FileLimits::maxRawNameBytes));
    const auto cleaned = FileName::sanitise(raw);
    if (!cleaned) return;
    require(FileName::isPlain(*cleaned));
    require(cleaned->size() <= static_cast<std::size_t>(FileLimits::maxNameBytes));
    require(cleaned->find_first_of("/\\:") == std::string::npos);
    require(FileName::sanitise(*cleaned) == cleaned);
}

void checkFrame(std::span<const std::uint8_t> frame) {
    const auto chunk = FileChunk::decodeUpload(frame);
    if (!chunk) return;
    require(chunk->id >= 1 && chunk->id <= FileLimits::maxTransferID);
    require(chunk->offset >= 0 && chunk->offset <= FileLimits::maxBytes);
    require(!chunk->data.empty() && chunk->data.size() <= static_cast<std::size_t>(FileLimits::uploadChunkBytes));
    const auto again = FileChunk::encode(FileChunk::uploadTag, chunk->id, chunk->offset, chunk->data);
    require(again && std::equal(again->begin(), again->end(), frame.begin(), frame.end()));
}

void checkRequest(std::span<const std::uint8_t> text) {
    const auto json = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) return;
    const auto t = json.find("t");
    if (t == json.end() || !t->is_string()) return;
    const auto request = FileRequest::parse(t->get<std::string>(), json);
    if (!request) return;
    std::visit(
        [](const auto& r) {
            require(r.id >= 1 && r.id <= FileLimits::maxTransferID);
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, file_request::Put>) {
                require(r.size >= 0);
                checkName(r.name);
            } else if constexpr (std::is_same_v<R, file_request::Get>) {
                require(!r.name.empty() && r.name.size() <= static_cast<std::size_t>(FileLimits::maxRawNameBytes));
            } else if constexpr (std::is_same_v<R, file_request::PutEnd>) {
                require(r.sha256.size() == 64);
            }
        },
        request->value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto rest = std::span<const std::uint8_t>(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            checkFrame(rest);
            break;
        case 1:
            checkRequest(rest);
            break;
        default:
            if (!rest.empty() && rest.size() <= static_cast<std::size_t>(FileLimits::maxRawNameBytes))
                checkName(std::string(rest.begin(), rest.end()));
    }
    return 0;
}
