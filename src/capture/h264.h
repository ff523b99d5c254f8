// Pure helpers over H.264 byte data: length-prefixed to start-code form,
// NAL splitting, keyframe detection, parameter sets, the avc1 codec string,
// the level for a picture size, and the reordering facts of an SPS.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/types.h"

namespace morvane::H264 {

inline constexpr std::uint8_t startCode[4] = {0, 0, 0, 1};

namespace NALType {
inline constexpr int nonIDRSlice = 1;
inline constexpr int idrSlice = 5;
inline constexpr int sei = 6;
inline constexpr int sps = 7;
inline constexpr int pps = 8;
}  // namespace NALType

struct ReorderInfo {
    int picOrderCntType = 0;
    int maxNumRefFrames = 0;
    bool bitstreamRestriction = false;
    std::optional<int> maxNumReorderFrames;
    std::optional<int> maxDecFrameBuffering;
    std::string summary() const;
    bool operator==(const ReorderInfo&) const = default;
};

using View = std::span<const std::uint8_t>;

std::optional<int> nalType(View unit);
std::optional<Bytes> annexB(View avcc, int lengthSize);
std::vector<Bytes> splitAnnexB(View data);
bool containsIDR(View annexB);
Bytes prependingParameterSets(const std::vector<Bytes>& sets, View annexB);
std::optional<std::string> codecString(View sps);
bool isCodecString(std::string_view text);
std::optional<int> levelIDC(int width, int height, int framesPerSecond);
std::string profileName(std::uint8_t profile, std::uint8_t constraints);
Bytes rbsp(View nal);
std::optional<ReorderInfo> reorderInfo(View sps);

}  // namespace morvane::H264
