#include "capture/capture_settings.h"

#include <gtest/gtest.h>

namespace morvane {

TEST(CaptureSettings, EachQualityHasItsSizeRatesAndJpegQuality) {
    const auto& low = CaptureSettings::of(FrameQuality::low);
    const auto& medium = CaptureSettings::of(FrameQuality::medium);
    const auto& high = CaptureSettings::of(FrameQuality::high);
    EXPECT_EQ(low.longSide, 1280);
    EXPECT_EQ(medium.longSide, 1664);
    EXPECT_EQ(high.longSide, 2048);
    EXPECT_EQ(low.framesPerSecond, 8);
    EXPECT_EQ(medium.framesPerSecond, 12);
    EXPECT_EQ(high.framesPerSecond, 15);
    EXPECT_DOUBLE_EQ(low.jpegQuality, 0.45);
    EXPECT_DOUBLE_EQ(medium.jpegQuality, 0.6);
    EXPECT_DOUBLE_EQ(high.jpegQuality, 0.75);
    EXPECT_EQ(low.videoFramesPerSecond, 20);
    EXPECT_EQ(high.videoFramesPerSecond, 30);
    EXPECT_EQ(low.videoBitsPerSecond, 1'500'000);
    EXPECT_EQ(medium.videoBitsPerSecond, 3'000'000);
    EXPECT_EQ(high.videoBitsPerSecond, 6'000'000);
}

TEST(CaptureSettings, OutputSizesAreEvenNeverEnlargedAndAtLeastTwo) {
    EXPECT_EQ(outputSize(3024, 1964, 2048), (PixelSize{2048, 1330}));
    EXPECT_EQ(outputSize(3024, 1964, 1280), (PixelSize{1280, 830}));
    EXPECT_EQ(outputSize(1280, 800, 2048), (PixelSize{1280, 800}));
    EXPECT_EQ(outputSize(1921, 1081, 2048), (PixelSize{1920, 1080}));
    EXPECT_EQ(outputSize(1, 1, 2048), (PixelSize{2, 2}));
    EXPECT_EQ(outputSize(0, -5, 2048), (PixelSize{2, 2}));
    EXPECT_EQ(outputSize(100000, 10, 1280), (PixelSize{1280, 2}));
}

TEST(CaptureSettings, VideoFitsWithinLongSideAndViewerMaxima) {
    EXPECT_EQ(VideoGeometry::fit(3024, 1964, 2048, std::nullopt, std::nullopt), (PixelSize{2048, 1330}));
    EXPECT_EQ(VideoGeometry::fit(3024, 1964, 2048, 1001, std::nullopt), (PixelSize{1000, 650}));
    EXPECT_EQ(VideoGeometry::fit(1920, 1080, 1280, std::nullopt, 601), (PixelSize{1068, 600}));
    EXPECT_EQ(VideoGeometry::fit(1, 1, 1280, std::nullopt, std::nullopt), (PixelSize{2, 2}));
    EXPECT_EQ(VideoGeometry::fit(1920, 1080, 2048, std::nullopt, std::nullopt), (PixelSize{1920, 1080}));
    EXPECT_EQ(VideoGeometry::fit(1920, 1080, 2048, 0, 0), (PixelSize{2, 2}));
    EXPECT_EQ(VideoGeometry::fit(1920, 1080, 2048, 100000, 100000), (PixelSize{1920, 1080}));
    EXPECT_EQ(streamSize(1920, 1080, FrameQuality::low, std::nullopt), (PixelSize{1280, 720}));
    EXPECT_EQ(streamSize(1920, 1080, FrameQuality::high, VideoLimit{960, 2000}), (PixelSize{960, 540}));
}

}  // namespace morvane
