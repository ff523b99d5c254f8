#include "capture/picture.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// BT.709 in video range, coefficients in 1/32768 (blue, green, red), each
// row of three summing to the range of the channel.
struct Coefficients {
    std::int16_t b, g, r;
    int offset;
};
constexpr Coefficients lumaRow{2032, 20127, 5983, 16};
constexpr Coefficients blueDifference{14392, -11094, -3298, 128};
constexpr Coefficients redDifference{-1320, -13072, 14392, 128};

inline std::uint8_t dot(const std::uint8_t* p, const Coefficients& c) {
    const int sum = c.b * p[0] + c.g * p[1] + c.r * p[2] + 16384;
    return static_cast<std::uint8_t>(std::clamp((sum >> 15) + c.offset, 0, 255));
}

void dotRowPlain(const std::uint8_t* src, int count, const Coefficients& c, std::uint8_t* out) {
    for (int i = 0; i < count; ++i) out[i] = dot(src + i * 4, c);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void dotRowAVX2(const std::uint8_t* src, int count, const Coefficients& c,
                                                std::uint8_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i coeff = _mm256_set_epi16(0, c.r, c.g, c.b, 0, c.r, c.g, c.b, 0, c.r, c.g, c.b, 0, c.r, c.g, c.b);
    const __m256i round = _mm256_set1_epi32(16384);
    const __m256i offset = _mm256_set1_epi16(static_cast<short>(c.offset));
    int i = 0;
    // Sixteen pixels a turn: per pixel one multiply-add of its four 16-bit
    // channels, summed in pairs, scaled, offset and packed back in order.
    for (; i + 16 <= count; i += 16) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i * 4));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i * 4 + 32));
        const __m256i s = _mm256_hadd_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi8(first, zero), coeff),
                                            _mm256_madd_epi16(_mm256_unpackhi_epi8(first, zero), coeff));
        const __m256i t = _mm256_hadd_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi8(second, zero), coeff),
                                            _mm256_madd_epi16(_mm256_unpackhi_epi8(second, zero), coeff));
        const __m256i s15 = _mm256_srai_epi32(_mm256_add_epi32(s, round), 15);
        const __m256i t15 = _mm256_srai_epi32(_mm256_add_epi32(t, round), 15);
        __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(s15, t15), 0xD8);
        words = _mm256_add_epi16(words, offset);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(bytes));
    }
    dotRowPlain(src + i * 4, count - i, c, out + i);
}
#endif

using DotRow = void (*)(const std::uint8_t*, int, const Coefficients&, std::uint8_t*);
DotRow pickDotRow() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return dotRowAVX2;
#endif
    return dotRowPlain;
}
const DotRow dotRow = pickDotRow();

}  // namespace

void bgraToI420(const std::uint8_t* src, int srcStride, int width, int height, Picture& out) {
    if (out.format != Picture::Format::i420 || out.width != width || out.height != height)
        out = Picture::makeI420(width, height);
    for (int row = 0; row < height; ++row)
        dotRow(src + static_cast<std::size_t>(row) * srcStride, width, lumaRow,
               out.y() + static_cast<std::size_t>(row) * width);
    // Colour differences from the picture shrunk to the chroma grid.
    const int cw = out.chromaWidth(), ch = out.chromaHeight();
    thread_local Bytes half;
    half.resize(static_cast<std::size_t>(cw) * ch * 4);
    libyuv::ARGBScale(src, srcStride, width, height, half.data(), cw * 4, cw, ch, libyuv::kFilterBox);
    for (int row = 0; row < ch; ++row) {
        const std::uint8_t* line = half.data() + static_cast<std::size_t>(row) * cw * 4;
        dotRow(line, cw, blueDifference, out.u() + static_cast<std::size_t>(row) * cw);
        dotRow(line, cw, redDifference, out.v() + static_cast<std::size_t>(row) * cw);
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
