// The sound packet (binary kind 0x20) and the "audio" state messages. The
// codec never throws: anything malformed gives nothing and is dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <nlohmann/json.hpp>

#include "core/audio_source.h"
#include "core/types.h"

namespace morvane {

// The rest of the sound limits; the per-connection queue's capacity
// (maxQueuedMillis) sits with the send queue.
namespace AudioLimits {
inline constexpr std::int64_t maxChunkMillis = 200;
inline constexpr std::int64_t maxQueuedToServer = 16;
inline constexpr std::int64_t silenceHangMillis = 300;
inline constexpr std::int16_t silenceThreshold = 2;
inline constexpr std::int64_t gapMillis = 40;
}  // namespace AudioLimits

namespace AudioMessage {
inline constexpr std::uint8_t tag = 0x20;
inline constexpr std::size_t headerBytes = 16;
inline constexpr std::uint8_t codecPCM16 = 1;

struct Decoded {
    AudioFormat format;
    std::uint64_t timestampFrames = 0;
    std::int64_t frames = 0;
    Bytes pcm;
    bool operator==(const Decoded&) const = default;
};

std::optional<Bytes> encode(const AudioFormat& format, std::uint64_t timestampFrames,
                            std::span<const std::uint8_t> pcm);
// The rate is taken as it stands; the browser checks its range.
std::optional<Decoded> decode(std::span<const std::uint8_t> data);

nlohmann::json on(const AudioFormat& format);
nlohmann::json off(AudioOffReason reason);
}  // namespace AudioMessage

}  // namespace morvane
