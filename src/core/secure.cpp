#include "core/secure.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace morvane::Secure {

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1)
        throw std::runtime_error("the system's random generator failed");
    return out;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0f]);
    }
    return out;
}

Bytes sha256(std::span<const std::uint8_t> bytes) {
    Bytes out(SHA256_DIGEST_LENGTH);
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("sha-256 failed");
    return out;
}

Bytes sha256(std::string_view text) {
    return sha256(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string sha256Hex(std::string_view text) { return hex(sha256(text)); }
std::string sha256Hex(std::span<const std::uint8_t> bytes) { return hex(sha256(bytes)); }

bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.size() != b.size()) return false;
    std::uint8_t acc = 0;
    for (std::size_t i = 0; i < a.size(); ++i) acc |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return acc == 0;
}

}  // namespace morvane::Secure
