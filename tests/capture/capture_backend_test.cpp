#include "capture/capture_backend.h"

#include <gtest/gtest.h>

namespace morvane {

TEST(DisplaySnapshot, NativePixelsFallBackToPointsAndSignaturesSeeEveryDisplay) {
    DisplaySnapshot s;
    s.displays = {{4, std::nullopt, false, 0, 0, {0, 0, 1440.7, 1.2}},
                  {9, std::string("B"), false, 2560, 1440, {1440, 0, 2560, 1440}}};
    s.mainDisplay = 4;
    EXPECT_EQ(s.nativePixels(4), (PixelSize{1440, 2}));
    EXPECT_EQ(s.nativePixels(9), (PixelSize{2560, 1440}));
    const auto sig = s.signature(9);
    EXPECT_EQ(sig.mainDisplay, 4u);
    EXPECT_EQ(sig.displayCount, 2u);
    EXPECT_EQ(sig.bounds, (Rect{1440, 0, 2560, 1440}));
    ASSERT_EQ(sig.layout.size(), 2u);

    DisplaySnapshot moved = s;
    moved.displays[0].bounds.y = 10;  // not the captured display, still a new layout
    EXPECT_NE(moved.signature(9), sig);
    EXPECT_EQ(s.signature(9), sig);
}

TEST(CaptureErrors, DescribeGivesTheStateWord) {
    EXPECT_EQ(describe({std::string(CaptureStop::streamErrorDomain), -3801}), "no-permission");
    EXPECT_EQ(describe({std::string(CaptureStop::streamErrorDomain), -3805}), "error: capture -3805");
    EXPECT_EQ(describe({"X11", 3}), "error: X11 3");
}

}  // namespace morvane
