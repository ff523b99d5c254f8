// A JPEG the host sent, decoded for checking against what the screen shows.
#pragma once

#include <turbojpeg.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace morvane::testing {

struct DecodedPicture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    std::uint32_t at(int x, int y) const {
        auto* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
        return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
    }
};

inline std::optional<DecodedPicture> decodeJPEG(const std::string& jpeg) {
    tjhandle handle = tjInitDecompress();
    if (!handle) return std::nullopt;
    DecodedPicture picture;
    int subsampling = 0, colourspace = 0;
    auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
    auto size = static_cast<unsigned long>(jpeg.size());
    bool ok = tjDecompressHeader3(handle, data, size, &picture.width, &picture.height, &subsampling, &colourspace) == 0;
    if (ok) {
        picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
        ok = tjDecompress2(handle, data, size, picture.rgb.data(), picture.width, 0, picture.height, TJPF_RGB, 0) == 0;
    }
    tjDestroy(handle);
    return ok ? std::optional(picture) : std::nullopt;
}

// Each channel within `tolerance`.
inline bool nearColour(std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift : {16, 8, 0}) {
        int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (std::abs(d) > tolerance) return false;
    }
    return true;
}

}  // namespace morvane::testing
