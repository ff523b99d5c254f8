#include "server/frame_message.h"

namespace morvane::FrameMessage {

std::optional<Bytes> encode(std::span<const std::uint8_t> jpeg, int width, int height) {
    if (width < 1 || width > 65'535 || height < 1 || height > 65'535) return std::nullopt;
    Bytes out;
    out.reserve(5 + jpeg.size());
    out.push_back(jpegTag);
    out.push_back(static_cast<std::uint8_t>(width >> 8));
    out.push_back(static_cast<std::uint8_t>(width & 0xFF));
    out.push_back(static_cast<std::uint8_t>(height >> 8));
    out.push_back(static_cast<std::uint8_t>(height & 0xFF));
    out.insert(out.end(), jpeg.begin(), jpeg.end());
    return out;
}

std::optional<Bytes> encodeVideo(std::span<const std::uint8_t> accessUnit, bool keyframe,
                                 std::uint64_t timestampMicros) {
    if (accessUnit.empty()) return std::nullopt;
    Bytes out;
    out.reserve(videoHeaderBytes + accessUnit.size());
    out.push_back(videoTag);
    out.push_back(keyframe ? videoKeyframeFlag : 0x00);
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(timestampMicros >> shift));
    out.insert(out.end(), accessUnit.begin(), accessUnit.end());
    return out;
}

std::optional<DecodedVideo> decodeVideo(std::span<const std::uint8_t> data) {
    if (data.size() <= videoHeaderBytes || data[0] != videoTag) return std::nullopt;
    DecodedVideo out;
    out.keyframe = (data[1] & videoKeyframeFlag) != 0;
    for (std::size_t i = 2; i < videoHeaderBytes; ++i) out.timestampMicros = (out.timestampMicros << 8) | data[i];
    out.accessUnit.assign(data.begin() + videoHeaderBytes, data.end());
    return out;
}

}  // namespace morvane::FrameMessage
