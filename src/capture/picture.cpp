#include "capture/picture.h"

#include <algorithm>
#include <cstring>

#include <libyuv/convert_argb.h>
#include <libyuv/scale_argb.h>

namespace morvane {

Picture Picture::makeBGRA(int width, int height) {
    Picture p;
    p.format = Format::bgra;
    p.width = width;
    p.height = height;
    p.pixels.resize(static_cast<std::size_t>(width) * height * 4);
    return p;
}

Picture Picture::makeI420(int width, int height) {
    Picture p;
    p.format = Format::i420;
    p.width = width;
    p.height = height;
    p.pixels.resize(static_cast<std::size_t>(width) * height +
                    2 * static_cast<std::size_t>(p.chromaWidth()) * p.chromaHeight());
    return p;
}

Picture scaleBGRA(const std::uint8_t* src, int srcStride, int srcWidth, int srcHeight, int width, int height) {
    Picture out = Picture::makeBGRA(width, height);
    if (width == srcWidth && height == srcHeight) {
        for (int row = 0; row < height; ++row)
            std::memcpy(out.pixels.data() + static_cast<std::size_t>(row) * out.stride(),
                        src + static_cast<std::size_t>(row) * srcStride, static_cast<std::size_t>(width) * 4);
        return out;
    }
    libyuv::ARGBScale(src, srcStride, srcWidth, srcHeight, out.pixels.data(), out.stride(), width, height,
                      libyuv::kFilterBox);
    return out;
}

namespace {
// BT.709 in video range, 16-bit fixed point.
constexpr int yR = 11966, yG = 40254, yB = 4064;     // 0.18259 0.61423 0.06201
constexpr int uR = -6596, uG = -22189, uB = 28785;   // -0.10064 -0.33857 0.43922
constexpr int vR = 28785, vG = -26145, vB = -2640;   // 0.43922 -0.39894 -0.04027

inline std::uint8_t lumaOf(const std::uint8_t* p) {
    return static_cast<std::uint8_t>(((yR * p[2] + yG * p[1] + yB * p[0] + 32768) >> 16) + 16);
}
inline std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }
}  // namespace

void bgraToI420(const std::uint8_t* src, int srcStride, int width, int height, Picture& out) {
    if (out.format != Picture::Format::i420 || out.width != width || out.height != height)
        out = Picture::makeI420(width, height);
    std::uint8_t* y = out.y();
    std::uint8_t* u = out.u();
    std::uint8_t* v = out.v();
    const int cw = out.chromaWidth();
    for (int row = 0; row < height; row += 2) {
        const std::uint8_t* s0 = src + static_cast<std::size_t>(row) * srcStride;
        const std::uint8_t* s1 = row + 1 < height ? s0 + srcStride : s0;
        std::uint8_t* y0 = y + static_cast<std::size_t>(row) * width;
        std::uint8_t* y1 = row + 1 < height ? y0 + width : y0;
        std::uint8_t* uRow = u + static_cast<std::size_t>(row / 2) * cw;
        std::uint8_t* vRow = v + static_cast<std::size_t>(row / 2) * cw;
        for (int col = 0; col < width; ++col) {
            y0[col] = lumaOf(s0 + col * 4);
            y1[col] = lumaOf(s1 + col * 4);
        }
        for (int c = 0; c < cw; ++c) {
            const int a = c * 8, b = (2 * c + 1 < width) ? a + 4 : a;
            const int bSum = s0[a] + s0[b] + s1[a] + s1[b];
            const int gSum = s0[a + 1] + s0[b + 1] + s1[a + 1] + s1[b + 1];
            const int rSum = s0[a + 2] + s0[b + 2] + s1[a + 2] + s1[b + 2];
            uRow[c] = clampByte(((uR * rSum + uG * gSum + uB * bSum + (1 << 17)) >> 18) + 128);
            vRow[c] = clampByte(((vR * rSum + vG * gSum + vB * bSum + (1 << 17)) >> 18) + 128);
        }
    }
}

Picture toI420(const Picture& bgra) {
    Picture out = Picture::makeI420(bgra.width, bgra.height);
    bgraToI420(bgra.pixels.data(), bgra.stride(), bgra.width, bgra.height, out);
    return out;
}

Picture toBGRA(const Picture& i420) {
    Picture out = Picture::makeBGRA(i420.width, i420.height);
    libyuv::I420ToARGBMatrix(i420.y(), i420.width, i420.u(), i420.chromaWidth(), i420.v(), i420.chromaWidth(),
                             out.pixels.data(), out.stride(), &libyuv::kYuvH709Constants, i420.width, i420.height);
    return out;
}

}  // namespace morvane
