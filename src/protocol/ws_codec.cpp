#include "protocol/ws_codec.h"

#include <openssl/evp.h>

#include <stdexcept>
#include <string>

#include "protocol/http_base64.h"

namespace morvane {

std::optional<WSOpcode> wsOpcodeFromRaw(std::uint8_t raw) {
    switch (raw) {
    case 0x0: return WSOpcode::continuation;
    case 0x1: return WSOpcode::text;
    case 0x2: return WSOpcode::binary;
    case 0x8: return WSOpcode::close;
    case 0x9: return WSOpcode::ping;
    case 0xA: return WSOpcode::pong;
    default: return std::nullopt;
    }
}

namespace WSCodec {

std::string acceptKey(std::string_view key) {
    static constexpr std::string_view guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string input(key);
    input.append(guid);
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("sha-1 failed");
    return Base64::encode(std::span<const std::uint8_t>(digest, length));
}

Bytes frame(WSOpcode opcode, std::span<const std::uint8_t> payload) {
    Bytes out;
    out.reserve(payload.size() + 10);
    out.push_back(static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(opcode)));
    const std::uint64_t length = payload.size();
    if (length < 126) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else if (length <= 0xFFFF) {
        out.push_back(126);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        out.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes closeFrame(std::uint16_t code) {
    const std::uint8_t payload[] = {static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
    return frame(WSOpcode::close, payload);
}

}  // namespace WSCodec

}  // namespace morvane
