#include "relay/relay_bytes.h"

#include <ctime>

#include "core/secure.h"
#include "devices/device_store.h"

namespace morvane::RelayBytes {

std::string hex(std::span<const std::uint8_t> data) { return Secure::hex(data); }

Bytes u32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

Bytes u64(std::uint64_t value) {
    Bytes out(8);
    for (int i = 7; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
    return out;
}

std::uint32_t readU32(std::span<const std::uint8_t> data) {
    return (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) | (std::uint32_t{data[2]} << 8) |
           std::uint32_t{data[3]};
}

std::string b64u(std::span<const std::uint8_t> data) { return DeviceStore::base64url(data); }

namespace {
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}
}  // namespace

std::optional<Bytes> fromB64u(std::string_view text) {
    if (text.size() % 4 == 1) return std::nullopt;
    Bytes out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        const int v = sextet(c);
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    // Left-over bits must be zero, or the text is not what b64u writes.
    if (acc != 0) return std::nullopt;
    return out;
}

std::string isoDate(std::int64_t wallMillis) {
    std::int64_t seconds = wallMillis / 1000;
    if (wallMillis % 1000 < 0) --seconds;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

std::optional<std::int64_t> parseIsoDate(std::string_view text) {
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t count) {
        int v = 0;
        for (std::size_t i = 0; i < count; ++i) v = v * 10 + (text[at + i] - '0');
        return v;
    };
    std::tm tm{};
    tm.tm_year = number(0, 4) - 1900;
    tm.tm_mon = number(5, 2) - 1;
    tm.tm_mday = number(8, 2);
    tm.tm_hour = number(11, 2);
    tm.tm_min = number(14, 2);
    tm.tm_sec = number(17, 2);
    const std::tm asked = tm;
    const std::time_t seconds = timegm(&tm);
    // timegm normalises 31 February and the like; such a date is refused.
    if (tm.tm_year != asked.tm_year || tm.tm_mon != asked.tm_mon || tm.tm_mday != asked.tm_mday ||
        tm.tm_hour != asked.tm_hour || tm.tm_min != asked.tm_min || tm.tm_sec != asked.tm_sec)
        return std::nullopt;
    return static_cast<std::int64_t>(seconds) * 1000;
}

}  // namespace morvane::RelayBytes
