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

// The colour of each 2x2 block of two rows, rounded, as one BGRA pixel of
// the chroma grid; a last odd column pairs with itself.
void averageRowPairPlain(const std::uint8_t* top, const std::uint8_t* bottom, int width, std::uint8_t* out) {
    const int cw = (width + 1) / 2;
    for (int i = 0; i < cw; ++i) {
        const int left = 2 * i * 4, right = std::min(2 * i + 1, width - 1) * 4;
        for (int c = 0; c < 4; ++c)
            out[i * 4 + c] =
                static_cast<std::uint8_t>((top[left + c] + top[right + c] + bottom[left + c] + bottom[right + c] + 2) >> 2);
    }
}

#if defined(__x86_64__)
// Four chroma pixels, as 16-bit channels, from eight pixels of each row.
__attribute__((target("avx2"))) inline __m256i blockSums(const std::uint8_t* top, const std::uint8_t* bottom) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom));
    // Per lane: pixels 0,1 (4,5) in the low halves, 2,3 (6,7) in the high.
    const __m256i low = _mm256_add_epi16(_mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero));
    const __m256i high = _mm256_add_epi16(_mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero));
    // Each pixel plus its right neighbour, then the two pairs of a lane together.
    const __m256i lowPairs = _mm256_add_epi16(low, _mm256_shuffle_epi32(low, 0x4E));
    const __m256i highPairs = _mm256_add_epi16(high, _mm256_shuffle_epi32(high, 0x4E));
    const __m256i sums = _mm256_unpacklo_epi64(lowPairs, highPairs);
    return _mm256_srli_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(2)), 2);
}

__attribute__((target("avx2"))) void averageRowPairAVX2(const std::uint8_t* top, const std::uint8_t* bottom,
                                                        int width, std::uint8_t* out) {
    int i = 0;  // chroma pixels done
    for (; 2 * i + 16 <= width; i += 8) {
        const __m256i first = blockSums(top + i * 8, bottom + i * 8);
        const __m256i second = blockSums(top + i * 8 + 32, bottom + i * 8 + 32);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i * 4), bytes);
    }
    averageRowPairPlain(top + i * 8, bottom + i * 8, width - 2 * i, out + i * 4);
}
#endif

using DotRow = void (*)(const std::uint8_t*, int, const Coefficients&, std::uint8_t*);
using AverageRowPair = void (*)(const std::uint8_t*, const std::uint8_t*, int, std::uint8_t*);
struct Kernels {
    DotRow dot;
    AverageRowPair average;
};
Kernels pickKernels() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return {dotRowAVX2, averageRowPairAVX2};
#endif
    return {dotRowPlain, averageRowPairPlain};
}
const Kernels kernels = pickKernels();

}  // namespace

void bgraToI420(const std::uint8_t* src, int srcStride, int width, int height, Picture& out) {
    if (out.format != Picture::Format::i420 || out.width != width || out.height != height)
        out = Picture::makeI420(width, height);
    bgraRowsToI420(src, srcStride, 0, height, out);
}

void bgraRowsToI420(const std::uint8_t* src, int srcStride, int first, int rows, Picture& out) {
    // One pass, two rows at a time: their luma, then the colour differences
    // of their 2x2 blocks while the rows are still in the cache. A last odd
    // row pairs with itself.
    const int width = out.width, cw = out.chromaWidth();
    thread_local Bytes blocks;
    blocks.resize(static_cast<std::size_t>(cw) * 4 + 32);
    for (int row = 0; row < rows; row += 2) {
        const std::uint8_t* top = src + static_cast<std::size_t>(row) * srcStride;
        const std::uint8_t* bottom = row + 1 < rows ? top + srcStride : top;
        std::uint8_t* luma = out.y() + static_cast<std::size_t>(first + row) * width;
        kernels.dot(top, width, lumaRow, luma);
        if (row + 1 < rows) kernels.dot(bottom, width, lumaRow, luma + width);
        kernels.average(top, bottom, width, blocks.data());
        const std::size_t at = static_cast<std::size_t>((first + row) / 2) * cw;
        kernels.dot(blocks.data(), cw, blueDifference, out.u() + at);
        kernels.dot(blocks.data(), cw, redDifference, out.v() + at);
    }
}

Picture toI420(const Picture& bgra) {
    Picture out = Picture::makeI420(bgra.width, bgra.height);
    bgraToI420(bgra.bgra(), bgra.stride(), bgra.width, bgra.height, out);
    return out;
}

Picture toBGRA(const Picture& i420) {
    Picture out = Picture::makeBGRA(i420.width, i420.height);
    libyuv::I420ToARGBMatrix(i420.y(), i420.width, i420.u(), i420.chromaWidth(), i420.v(), i420.chromaWidth(),
                             out.pixels.data(), out.stride(), &libyuv::kYuvH709Constants, i420.width, i420.height);
    return out;
}

}  // namespace morvane
