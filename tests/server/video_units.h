// What a video stream carries in the tests of its delivery: the mode
// announcements and H.264 access units with rising timestamps.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <utility>

#include "core/types.h"

namespace morvane {

inline const nlohmann::json jpegMode = {{"t", "video"}, {"mode", "jpeg"}};

inline nlohmann::json announcement(int width, int height, const std::string& codec = "avc1.64001f") {
    return {{"t", "video"}, {"mode", "h264"}, {"codec", codec}, {"w", width}, {"h", height}};
}

inline EncodedVideoFrame unit(bool keyframe, int width = 1280, int height = 720, std::string codec = "avc1.64001f") {
    static std::uint64_t stamp = 0;
    stamp += 16'666;
    Bytes data = {0, 0, 0, 1, static_cast<std::uint8_t>(keyframe ? 0x65 : 0x41), 0x88, 0x84};
    return EncodedVideoFrame{data, keyframe, stamp, width, height, std::move(codec)};
}

}  // namespace morvane
