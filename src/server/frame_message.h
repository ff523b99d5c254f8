// Host-to-device binary picture messages: JPEG frames and H.264 access units.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/types.h"

namespace morvane::FrameMessage {

inline constexpr std::uint8_t jpegTag = 0x01;
inline constexpr std::uint8_t videoTag = 0x02;
inline constexpr std::size_t videoHeaderBytes = 10;
inline constexpr std::uint8_t videoKeyframeFlag = 0x01;

// Nothing unless both sizes fit in 16 bits and are at least 1.
std::optional<Bytes> encode(std::span<const std::uint8_t> jpeg, int width, int height);
// Nothing for an empty access unit.
std::optional<Bytes> encodeVideo(std::span<const std::uint8_t> accessUnit, bool keyframe,
                                 std::uint64_t timestampMicros);

struct DecodedVideo {
    bool keyframe = false;
    std::uint64_t timestampMicros = 0;
    Bytes accessUnit;
    bool operator==(const DecodedVideo&) const = default;
};
std::optional<DecodedVideo> decodeVideo(std::span<const std::uint8_t> data);

}  // namespace morvane::FrameMessage
