// The WebSocket frame reader over arbitrary bytes. The first input byte
// picks how the rest is cut into feeds; the events of the cut feeds must be
// those of a single feed, and the reader must never hold more than one
// incomplete frame.
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "protocol/ws_parser.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

struct Outcome {
    std::vector<WSParser::Event> events;
    std::optional<std::uint16_t> failure;
};

bool isClose(const WSParser::Event& e) { return std::holds_alternative<ws_event::Close>(e); }

void checkEvent(const WSParser::Event& e) {
    if (const auto* m = std::get_if<ws_event::Message>(&e)) {
        require(m->opcode == WSOpcode::text || m->opcode == WSOpcode::binary);
        require(m->data.size() <= WSLimits::maxMessageBytes);
    } else if (const auto* p = std::get_if<ws_event::Ping>(&e)) {
        require(p->data.size() <= 125);
    }
}

// Header, mask and payload of the largest frame that can still be waiting.
constexpr std::size_t maxPendingBytes = 10 + 4 + WSLimits::maxMessageBytes;

Outcome feedInPieces(std::span<const std::uint8_t> data, std::size_t piece) {
    Outcome out;
    WSParser parser;
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const auto chunk = data.subspan(at, std::min(piece, data.size() - at));
        auto fed = parser.feed(chunk);
        if (fed.failure) {
            require(*fed.failure == 1002 || *fed.failure == 1009);
            require(fed.events.empty());
            out.failure = fed.failure;
            return out;
        }
        bool closed = false;
        for (auto& e : fed.events) {
            checkEvent(e);
            closed = closed || isClose(e);
            out.events.push_back(std::move(e));
        }
        if (closed) return out;
        require(parser.bufferedBytes() < maxPendingBytes);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const auto frames = std::span<const std::uint8_t>(data + 1, size - 1);

    const Outcome whole = feedInPieces(frames, frames.size() + 1);
    const Outcome pieces = feedInPieces(frames, piece);
    require(whole.failure == pieces.failure);
    if (!whole.failure) require(whole.events == pieces.events);
    return 0;
}
