#include "capture/audio_message.h"

namespace morvane::AudioMessage {

std::optional<Bytes> encode(const AudioFormat& format, std::uint64_t timestampFrames,
                            std::span<const std::uint8_t> pcm) {
    if (format.channels != 1 && format.channels != 2) return std::nullopt;
    if (format.sampleRate < 8000 || format.sampleRate > 48000) return std::nullopt;
    if (pcm.empty() || pcm.size() % static_cast<std::size_t>(format.bytesPerFrame()) != 0) return std::nullopt;
    Bytes out;
    out.reserve(headerBytes + pcm.size());
    out.push_back(tag);
    out.push_back(codecPCM16);
    out.push_back(static_cast<std::uint8_t>(format.channels));
    out.push_back(0);
    auto rate = static_cast<std::uint32_t>(format.sampleRate);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(rate >> shift));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(timestampFrames >> shift));
    out.insert(out.end(), pcm.begin(), pcm.end());
    return out;
}

std::optional<Decoded> decode(std::span<const std::uint8_t> data) {
    if (data.size() <= headerBytes) return std::nullopt;
    if (data[0] != tag || data[1] != codecPCM16 || (data[2] != 1 && data[2] != 2) || data[3] != 0) return std::nullopt;
    std::size_t frameBytes = data[2] * 2u;
    std::size_t sampleBytes = data.size() - headerBytes;
    if (sampleBytes % frameBytes != 0) return std::nullopt;
    std::uint32_t rate = 0;
    for (std::size_t i = 4; i < 8; ++i) rate = (rate << 8) | data[i];
    std::uint64_t first = 0;
    for (std::size_t i = 8; i < 16; ++i) first = (first << 8) | data[i];
    Decoded d;
    d.format = {static_cast<std::int64_t>(rate), static_cast<std::int64_t>(data[2])};
    d.timestampFrames = first;
    d.frames = static_cast<std::int64_t>(sampleBytes / frameBytes);
    d.pcm.assign(data.begin() + headerBytes, data.end());
    return d;
}

nlohmann::json on(const AudioFormat& format) {
    return {{"t", "audio"}, {"state", "on"}, {"codec", "pcm16"}, {"rate", format.sampleRate}, {"ch", format.channels}};
}

nlohmann::json off(AudioOffReason reason) {
    return {{"t", "audio"}, {"state", "off"}, {"reason", std::string(toString(reason))}};
}

}  // namespace morvane::AudioMessage
