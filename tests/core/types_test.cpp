#include "core/types.h"

#include <gtest/gtest.h>

#include "core/display.h"

namespace morvane {

TEST(SharedValues, RawWordsAreExactAndCaseSensitive) {
    EXPECT_EQ(frameQualityFromString("high"), FrameQuality::high);
    EXPECT_FALSE(frameQualityFromString("High"));
    EXPECT_FALSE(frameQualityFromString(""));
    EXPECT_EQ(pauseCauseFromString("stop-sharing"), PauseCause::stopSharing);
    EXPECT_EQ(byeReason(PauseCause::stopSharing), "stopped-on-mac");
    EXPECT_EQ(byeReason(PauseCause::menu), "paused");
    EXPECT_FALSE(pauseCauseFromString("Menu"));
    EXPECT_EQ(recordName(ConnectionRoute::loopback), "local");
}

TEST(SharedValues, HiDPINeedsTwicePixelsAndAPositiveWidth) {
    EXPECT_TRUE((DisplayModeInfo{1, 1440, 900, 2880, 1800, 60, true, false}.isHiDPI()));
    EXPECT_FALSE((DisplayModeInfo{1, 1440, 900, 2879, 1800, 60, true, false}.isHiDPI()));
    EXPECT_FALSE((DisplayModeInfo{1, 0, 900, 2880, 1800, 60, true, false}.isHiDPI()));
}

TEST(SharedValues, CaptureStopHonoursOnlyTheOwnersStop) {
    EXPECT_EQ(CaptureStop::action(CaptureStop::streamErrorDomain, -3817), CaptureStop::Action::honourOwner);
    EXPECT_EQ(CaptureStop::action("other", -3817), CaptureStop::Action::retry);
    EXPECT_EQ(CaptureStop::action(CaptureStop::streamErrorDomain, -3801), CaptureStop::Action::retry);
    EXPECT_FALSE(PausePolicy::lockWhenSessionEnds(true, true));
    EXPECT_TRUE(PausePolicy::lockWhenSessionEnds(true, false));
}

TEST(SharedValues, EventsCompareByCaseAndFields) {
    InputEvent a = input::Move{0.5, 0.5};
    EXPECT_EQ(a, InputEvent(input::Move{0.5, 0.5}));
    EXPECT_NE(a, InputEvent(input::Button{0, true, 0.5, 0.5, 1}));
    DisplayEffectsEvent one = fx_event::ModeChangedElsewhere{1};
    EXPECT_NE(one, DisplayEffectsEvent(fx_event::ModeChangedElsewhere{2}));
}

}  // namespace morvane
