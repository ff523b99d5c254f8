#include "protocol/ws_parser.h"

namespace morvane {

WSParser::Fed WSParser::feed(std::span<const std::uint8_t> data) {
    // Frames are read straight from the bytes handed in; only a frame cut
    // off at the end is kept for the next call. So a payload is copied once,
    // when it is unmasked, unless a frame spans two reads.
    std::span<const std::uint8_t> input = data;
    if (!buffer_.empty()) {
        buffer_.insert(buffer_.end(), data.begin(), data.end());
        input = buffer_;
    }

    std::vector<Event> events;
    std::size_t offset = 0;
    auto keepRest = [&] {
        if (input.data() == buffer_.data()) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset));
        } else {
            buffer_.assign(input.begin() + static_cast<std::ptrdiff_t>(offset), input.end());
        }
    };
    auto fail = [&](std::uint16_t code) {
        // Frames completed before the failing one are consumed; their events
        // are dropped with the call.
        keepRest();
        return Fed{{}, code};
    };

    while (input.size() - offset >= 2) {
        const std::size_t available = input.size() - offset;
        const std::uint8_t first = input[offset];
        if (first & 0x70) return fail(protocolError);
        const auto opcode = wsOpcodeFromRaw(first & 0x0F);
        if (!opcode) return fail(protocolError);
        const bool fin = (first & 0x80) != 0;
        const bool control = (first & 0x08) != 0;

        const std::uint8_t second = input[offset + 1];
        if (!(second & 0x80)) return fail(protocolError);

        std::uint64_t length = second & 0x7F;
        std::size_t header = 2;
        if (length == 127) {
            if (available < 10) break;
            length = 0;
            for (std::size_t i = 0; i < 8; ++i) length = (length << 8) | input[offset + 2 + i];
            header = 10;
        } else if (length == 126) {
            if (available < 4) break;
            length = (std::uint64_t{input[offset + 2]} << 8) | input[offset + 3];
            header = 4;
        }

        if (control) {
            if (!fin || length > 125) return fail(protocolError);
        } else {
            if (!fin && length == 0) return fail(protocolError);
            if (length > WSLimits::maxMessageBytes) return fail(messageTooBig);
        }
        // While a fragmented message is open, every frame counts against its
        // budget, control frames included.
        if (fragments_.size() + length > WSLimits::maxMessageBytes) return fail(messageTooBig);

        const std::size_t size = header + 4 + static_cast<std::size_t>(length);
        if (available < size) break;

        const bool data = *opcode == WSOpcode::text || *opcode == WSOpcode::binary;
        if (data && fragmentOpcode_) return fail(protocolError);
        if (*opcode == WSOpcode::continuation && !fragmentOpcode_) return fail(protocolError);

        const std::uint8_t* mask = &input[offset + header];
        const std::uint8_t* raw = mask + 4;
        // A continuation is unmasked straight onto the message it continues.
        Bytes payload;
        Bytes& target = *opcode == WSOpcode::continuation ? fragments_ : payload;
        const std::size_t start = target.size();
        target.resize(start + static_cast<std::size_t>(length));
        for (std::size_t i = 0; i < length; ++i) target[start + i] = raw[i] ^ mask[i % 4];
        offset += size;

        bool closed = false;
        switch (*opcode) {
        case WSOpcode::text:
        case WSOpcode::binary:
            if (fin) {
                events.push_back(ws_event::Message{*opcode, std::move(payload)});
            } else {
                fragmentOpcode_ = *opcode;
                fragments_ = std::move(payload);
            }
            break;
        case WSOpcode::continuation:
            if (fin) {
                events.push_back(ws_event::Message{*fragmentOpcode_, std::move(fragments_)});
                fragments_.clear();
                fragmentOpcode_.reset();
            }
            break;
        case WSOpcode::ping: events.push_back(ws_event::Ping{std::move(payload)}); break;
        case WSOpcode::pong: events.push_back(ws_event::Pong{}); break;
        case WSOpcode::close:
            events.push_back(ws_event::Close{});
            closed = true;
            break;
        }
        if (closed) break;
    }

    keepRest();
    return Fed{std::move(events), std::nullopt};
}

}  // namespace morvane
