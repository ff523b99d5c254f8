#include "effects/mode_picker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace morvane {
namespace {

DisplayModeInfo mode(std::int32_t id, int w, int h, int scale = 1, double refresh = 60) {
    return DisplayModeInfo{id, w, h, w * scale, h * scale, refresh, true, false};
}

std::int32_t usedID(const ModePicker::Pick& p) { return p.choice.used() ? p.choice.used()->id : -1; }

TEST(ModePickerMeasures, LeftoverAndSmallerAreSafeOnDegenerateSizes) {
    EXPECT_DOUBLE_EQ(ModePicker::leftover(2.0, 1.0), 0.5);
    EXPECT_DOUBLE_EQ(ModePicker::leftover(1.0, 2.0), 0.5);
    EXPECT_DOUBLE_EQ(ModePicker::leftover(0.0, 1.0), 1.0);
    EXPECT_DOUBLE_EQ(ModePicker::leftover(-1.0, -1.0), 1.0);
    EXPECT_DOUBLE_EQ(ModePicker::leftover(std::nan(""), 1.0), 1.0);
    EXPECT_DOUBLE_EQ(ModePicker::leftover(std::numeric_limits<double>::infinity(), 1.0), 1.0);

    EXPECT_TRUE(ModePicker::isSmaller(mode(2, 1440, 900), mode(1, 1512, 982)));
    EXPECT_FALSE(ModePicker::isSmaller(mode(2, 1470, 956), mode(1, 1512, 982)));
    EXPECT_FALSE(ModePicker::isSmaller(mode(2, 10, 10), mode(1, 0, 982)));
}

TEST(ModePicker, UnmeasurableWindowsAndBaselinesKeepWithNoFit) {
    const auto base = mode(1, 1920, 1080);
    const ModePicker::Pick noFit{ModeChoice::keep(ModeChoice::Reason::noFit), 1.0, 1.0};
    EXPECT_EQ(ModePicker::pick({mode(2, 1600, 1000)}, base, 0, 800, 1), noFit);
    EXPECT_EQ(ModePicker::pick({mode(2, 1600, 1000)}, base, 800, -5, 1), noFit);
    EXPECT_EQ(ModePicker::pick({mode(2, 1600, 1000)}, mode(1, 1920, 0), 1600, 1000, 1), noFit);
}

TEST(ModePicker, ADisplayOfOneSizeHasNoOtherModeWhateverTheWindow) {
    const auto base = mode(1, 1920, 1080);
    // Letterboxed or not, a display that lists only its own size (at any
    // rate) has nothing to offer: that is not "it already fits".
    struct Case {
        std::vector<DisplayModeInfo> modes;
        int width, height;
    };
    for (const auto& c : {Case{{base}, 1920, 1000}, Case{{base}, 1000, 1600}, Case{{}, 1600, 1000},
                          Case{{base, mode(2, 1920, 1080, 1, 30.0)}, 1280, 1024}}) {
        const auto pick = ModePicker::pick(c.modes, base, c.width, c.height, 1);
        EXPECT_EQ(pick.choice, ModeChoice::keep(ModeChoice::Reason::noOtherMode)) << c.width << "x" << c.height;
        EXPECT_EQ(pick.after, pick.before);
    }
    EXPECT_NEAR(ModePicker::pick({base}, base, 1920, 1000, 1).before, 1 - (1920.0 / 1080) / 1.92, 1e-12);
    // With another size listed, the same window is told whether it fits.
    const auto fits = ModePicker::pick({base, mode(2, 1280, 1024)}, base, 1920, 1000, 1);
    EXPECT_EQ(fits.choice, ModeChoice::keep(ModeChoice::Reason::noBetterMode));
    // Upright window, landscape modes only: too much of it stays empty.
    const auto upright = ModePicker::pick({base, mode(2, 1600, 1000), mode(3, 1024, 768)}, base, 1000, 1600, 2);
    EXPECT_EQ(upright.choice, ModeChoice::keep(ModeChoice::Reason::noFit));
    EXPECT_GT(upright.after, ModePicker::maxLeftover);
}

TEST(ModePicker, ChoosesTheModeThatFillsTheWindowWhenClearlyBetter) {
    const auto base = mode(1, 1512, 982, 2);
    const auto pick = ModePicker::pick({base, mode(2, 1440, 900, 2), mode(3, 1024, 768, 2)}, base, 1600, 1000, 2);
    ASSERT_EQ(usedID(pick), 2);
    EXPECT_NEAR(pick.before, 0.0377, 0.0005);
    EXPECT_DOUBLE_EQ(pick.after, 0.0);
}

TEST(ModePicker, FiltersCrampedStretchedSlowAndUnusableModes) {
    const auto base = mode(1, 1920, 1080);  // 16:9; the window below is 16:10
    auto only = [&](DisplayModeInfo m) { return usedID(ModePicker::pick({m}, base, 1600, 1000, 1)); };
    EXPECT_EQ(only(mode(2, 1024, 640)), 2);
    EXPECT_EQ(only(mode(2, 1023, 640)), -1);
    EXPECT_EQ(only(mode(2, 1152, 639)), -1);
    auto stretched = mode(2, 1680, 1050);
    stretched.stretched = true;
    EXPECT_EQ(only(stretched), -1);
    auto unusable = mode(2, 1680, 1050);
    unusable.usable = false;
    EXPECT_EQ(only(unusable), -1);
    auto noPixels = mode(2, 1680, 1050);
    noPixels.pixelHeight = 0;
    EXPECT_EQ(only(noPixels), -1);
    EXPECT_EQ(only(mode(2, 1680, 1050, 1, 50)), -1);    // slower than 59.5 Hz
    EXPECT_EQ(only(mode(2, 1680, 1050, 1, 59.5)), 2);
    EXPECT_EQ(only(mode(2, 1680, 1050, 1, 0)), 2);      // unknown rate passes
    EXPECT_EQ(only(mode(1, 1680, 1050)), -1);           // shares the baseline's id
    // A 30 Hz baseline lowers the bar with it.
    EXPECT_EQ(usedID(ModePicker::pick({mode(2, 1680, 1050, 1, 30)}, mode(1, 1920, 1080, 1, 30), 1600, 1000, 1)), 2);
}

TEST(ModePicker, OfTwoModesOfOneSizeKeepsTheRateNearestTheBaseline) {
    const auto base = mode(1, 1512, 982, 2, 60);
    const auto slowFirst = ModePicker::pick({mode(5, 1440, 900, 2, 120), mode(6, 1440, 900, 2, 60)}, base, 1600, 1000, 1);
    EXPECT_EQ(usedID(slowFirst), 6);
    const auto fastBase = mode(1, 1512, 982, 2, 120);
    EXPECT_EQ(usedID(ModePicker::pick({mode(5, 1440, 900, 2, 120), mode(6, 1440, 900, 2, 60)}, fastBase, 1600, 1000, 1)), 5);
    EXPECT_EQ(usedID(ModePicker::pick({mode(9, 1440, 900, 2, 60), mode(7, 1440, 900, 2, 60)}, base, 1600, 1000, 1)), 7);
}

TEST(ModePicker, AmongEquallyGoodModesPrefersTheBaselineWidthThenDensityThenArea) {
    const auto base = mode(1, 1920, 1200);
    // Both 16:9; the closer area would pick 2048 wide, the baseline's width wins.
    EXPECT_EQ(usedID(ModePicker::pick({mode(3, 2048, 1152), mode(2, 1920, 1080)}, base, 1600, 900, 1)), 2);
    // Neither has the baseline's width: the area nearest the baseline's.
    EXPECT_EQ(usedID(ModePicker::pick({mode(3, 1280, 720), mode(4, 2048, 1152)}, base, 1600, 900, 1)), 4);
    // Density follows a sharp device.
    const std::vector<DisplayModeInfo> twins{mode(2, 1600, 900, 2), mode(3, 1600, 900, 1)};
    EXPECT_EQ(usedID(ModePicker::pick(twins, base, 1600, 900, 2)), 2);
    EXPECT_EQ(usedID(ModePicker::pick(twins, base, 1600, 900, 1)), 3);
}

TEST(ModePicker, AHiDPIBaselineIsNotTradedForASlightlyBetterCoarseMode) {
    const auto base = mode(1, 1512, 982, 2);
    const auto pick = ModePicker::pick({mode(2, 1600, 1000, 1)}, base, 1600, 1000, 1);
    EXPECT_EQ(pick.choice, ModeChoice::keep(ModeChoice::Reason::noBetterMode));
    EXPECT_NEAR(pick.before, 0.0377, 0.0005);
    EXPECT_EQ(pick.after, pick.before);
    // The preferred near mode (the baseline's width) gains less than the
    // worth-it share over the baseline, though another mode would fit fully.
    const auto slight = ModePicker::pick({mode(2, 1600, 1000), mode(3, 1920, 1218)}, mode(1, 1920, 1164), 1600, 1000, 1);
    EXPECT_EQ(slight.choice, ModeChoice::keep(ModeChoice::Reason::noBetterMode));
    EXPECT_NEAR(slight.before, 0.030, 0.001);
    EXPECT_NEAR(slight.after, 0.0148, 0.001);
}

TEST(ModeChoiceReason, WordsReadBack) {
    EXPECT_EQ(modeChoiceReasonFromString(toString(ModeChoice::Reason::noFit)), ModeChoice::Reason::noFit);
    EXPECT_EQ(modeChoiceReasonFromString("no-better-mode"), ModeChoice::Reason::noBetterMode);
    EXPECT_EQ(modeChoiceReasonFromString(toString(ModeChoice::Reason::noOtherMode)), ModeChoice::Reason::noOtherMode);
    EXPECT_EQ(modeChoiceReasonFromString("fit"), std::nullopt);
}

}  // namespace
}  // namespace morvane
