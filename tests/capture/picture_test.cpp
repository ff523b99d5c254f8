#include "capture/picture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <utility>
#include <algorithm>

#include "capture/jpeg_codec.h"

namespace morvane {

namespace {
Picture bars(int width, int height) {
    static const std::uint8_t colours[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                               {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
    Picture p = Picture::makeBGRA(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto* c = colours[x * 8 / width];
            std::uint8_t* px = p.pixels.data() + static_cast<std::size_t>(y) * p.stride() + x * 4;
            px[0] = c[0];
            px[1] = c[1];
            px[2] = c[2];
            px[3] = 255;
        }
    return p;
}
double meanError(const Picture& a, const Picture& b) {
    double sum = 0;
    std::size_t n = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = static_cast<std::size_t>(y) * a.stride() + x * 4 + c;
                sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
                ++n;
            }
    return sum / static_cast<double>(n);
}
}  // namespace

TEST(ColourConversion, UsesTheBT709MatrixInVideoRange) {
    Picture p = Picture::makeBGRA(4, 2);
    auto set = [&](int x, int y, int r, int g, int b) {
        std::uint8_t* px = p.pixels.data() + y * p.stride() + x * 4;
        px[0] = static_cast<std::uint8_t>(b);
        px[1] = static_cast<std::uint8_t>(g);
        px[2] = static_cast<std::uint8_t>(r);
    };
    for (int y = 0; y < 2; ++y) {
        set(0, y, 255, 255, 255);
        set(1, y, 255, 255, 255);
        set(2, y, 255, 0, 0);
        set(3, y, 255, 0, 0);
    }
    Picture yuv = toI420(p);
    EXPECT_EQ(yuv.y()[0], 235);
    EXPECT_EQ(yuv.u()[0], 128);
    EXPECT_EQ(yuv.v()[0], 128);
    EXPECT_EQ(yuv.y()[2], 63);  // BT.601 would give 81
    EXPECT_EQ(yuv.u()[1], 102);
    EXPECT_EQ(yuv.v()[1], 240);
    // Wide rows take the vector path: the same values everywhere.
    Picture red = Picture::makeBGRA(70, 4);
    for (std::size_t i = 0; i < red.pixels.size(); i += 4) red.pixels[i + 2] = 255;
    Picture redYUV = toI420(red);
    for (int i = 0; i < 70 * 4; ++i) ASSERT_EQ(redYUV.y()[i], 63) << i;
    for (int i = 0; i < 35 * 2; ++i) {
        ASSERT_EQ(redYUV.u()[i], 102) << i;
        ASSERT_EQ(redYUV.v()[i], 240) << i;
    }
    Picture odd = toI420(bars(33, 17));
    EXPECT_EQ(odd.chromaWidth(), 17);
    EXPECT_LT(meanError(toBGRA(toI420(bars(64, 32))), bars(64, 32)), 3.0);
}

// Each colour-difference sample is the BT.709 value of the mean of its 2x2
// block (a last odd row or column standing in for its missing neighbour),
// whatever the width: the vector path and its tail must pair the same pixels.
TEST(ColourConversion, ChromaIsTheMeanOfEachTwoByTwoBlock) {
    std::uint32_t seed = 12345;
    auto next = [&] { return static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 16); };
    for (auto [width, height] : {std::pair{2, 2}, {16, 2}, {34, 6}, {33, 17}, {70, 4}, {97, 3}, {1920, 2}}) {
        Picture p = Picture::makeBGRA(width, height);
        for (auto& byte : p.pixels) byte = next();
        const Picture yuv = toI420(p);
        for (int cy = 0; cy < yuv.chromaHeight(); ++cy)
            for (int cx = 0; cx < yuv.chromaWidth(); ++cx) {
                double mean[3] = {0, 0, 0};
                for (int dy = 0; dy < 2; ++dy)
                    for (int dx = 0; dx < 2; ++dx) {
                        const int x = std::min(2 * cx + dx, width - 1), y = std::min(2 * cy + dy, height - 1);
                        for (int c = 0; c < 3; ++c)
                            mean[c] += p.pixels[static_cast<std::size_t>(y) * p.stride() + x * 4 + c] / 4.0;
                    }
                const double b = mean[0], g = mean[1], r = mean[2];
                const double u = 128 + (-0.1006 * r - 0.3386 * g + 0.4392 * b);
                const double v = 128 + (0.4392 * r - 0.3989 * g - 0.0403 * b);
                const std::size_t at = static_cast<std::size_t>(cy) * yuv.chromaWidth() + cx;
                ASSERT_NEAR(yuv.u()[at], u, 1.01) << width << "x" << height << " at " << cx << "," << cy;
                ASSERT_NEAR(yuv.v()[at], v, 1.01) << width << "x" << height << " at " << cx << "," << cy;
            }
    }
}

TEST(JpegPictures, DecodeToThePatternAtEachQualityAndRefuseHugeSides) {
    const Picture pattern = bars(320, 180);
    std::size_t previous = 0;
    for (double q : {0.45, 0.6, 0.75}) {
        auto jpeg = encodeJPEG(pattern, q);
        ASSERT_TRUE(jpeg);
        EXPECT_EQ(jpeg->width, 320);
        EXPECT_EQ(jpeg->height, 180);
        EXPECT_GT(jpeg->jpeg.size(), previous);  // better quality, more bytes
        previous = jpeg->jpeg.size();
        auto back = decodeJPEG(jpeg->jpeg);
        ASSERT_TRUE(back);
        EXPECT_LT(meanError(*back, pattern), 6.0);
    }
    auto fromVideo = encodeJPEG(toI420(pattern), 0.6);
    ASSERT_TRUE(fromVideo);
    EXPECT_LT(meanError(*decodeJPEG(fromVideo->jpeg), pattern), 8.0);

    Picture wide;
    wide.width = 65536;
    wide.height = 1;
    EXPECT_FALSE(encodeJPEG(wide, 0.6));
    auto oddJpeg = encodeJPEG(bars(31, 15), 0.6);
    ASSERT_TRUE(oddJpeg);
    auto odd = decodeJPEG(oddJpeg->jpeg);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->width, 30);
    EXPECT_EQ(odd->height, 14);
    EXPECT_FALSE(decodeJPEG(Bytes{0xFF, 0xD8, 0x00}));
    EXPECT_FALSE(decodeJPEG({}));
}

TEST(Scaling, ShrinksToTheAskedSizeKeepingThePattern) {
    const Picture big = bars(1280, 720);
    Picture small = scaleBGRA(big.pixels.data(), big.stride(), 1280, 720, 640, 360);
    EXPECT_EQ(small.width, 640);
    EXPECT_EQ(small.pixels.size(), 640u * 360 * 4);
    EXPECT_LT(meanError(small, bars(640, 360)), 2.0);
    Picture same = scaleBGRA(big.pixels.data(), big.stride(), 1280, 720, 1280, 720);
    EXPECT_EQ(same.pixels, big.pixels);
}

}  // namespace morvane
