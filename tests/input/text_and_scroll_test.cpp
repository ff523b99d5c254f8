#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>

#include "input/scroll_accumulator.h"
#include "input/text_typing.h"

namespace morvane {
namespace {

using text_step::Characters;
using text_step::Named;

TEST(ScrollAccumulator, SlowScrollsAddUpAndKeepTheirRemainder) {
    ScrollAccumulator unit;
    EXPECT_EQ(unit.add(0, 0.4), std::nullopt);
    EXPECT_EQ(unit.add(0, 0.4), std::nullopt);
    EXPECT_EQ(unit.add(0, 0.4), (WheelSteps{-1, 0}));  // -0.2 stays
    EXPECT_EQ(unit.add(0, -0.1), std::nullopt);
    EXPECT_EQ(unit.add(0, -1.2), (WheelSteps{1, 0}));  // 1.1 from -0.1

    ScrollAccumulator wheel(50);
    EXPECT_EQ(wheel.add(30, 0), std::nullopt);
    EXPECT_EQ(wheel.add(30, 0), (WheelSteps{0, -1}));
    EXPECT_EQ(wheel.add(-260, 125), (WheelSteps{-2, 5}));  // 10 px of x was left over
    EXPECT_EQ(wheel.add(std::nan(""), 1000), std::nullopt);
    EXPECT_EQ(wheel.add(0, std::numeric_limits<double>::infinity()), std::nullopt);
    // Distances past the protocol's bound count as the bound.
    EXPECT_EQ(wheel.add(0, 1e300), (WheelSteps{-40, 0}));
    wheel.reset();
    EXPECT_EQ(wheel.add(0, 49), std::nullopt);
}

TEST(TextTyping, LineBreaksAndTabsBecomeKeysAndClustersStayWhole) {
    EXPECT_EQ(TextTyping::plan("a\r\nb\rc\nd\te"),
              (std::vector<TextStep>{Characters{U"a"}, Named{"Enter"}, Characters{U"b"}, Named{"Enter"},
                                     Characters{U"c"}, Named{"Enter"}, Characters{U"d"}, Named{"Tab"},
                                     Characters{U"e"}}));
    EXPECT_EQ(TextTyping::plan("\r\r\n"), (std::vector<TextStep>{Named{"Enter"}, Named{"Enter"}}));
    // e with a combining accent is one character of two scalars; a family
    // emoji is one character of five.
    EXPECT_EQ(TextTyping::plan("e\xCC\x81!"), (std::vector<TextStep>{Characters{U"e\u0301"}, Characters{U"!"}}));
    const auto family = TextTyping::plan("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");
    ASSERT_EQ(family.size(), 1u);
    EXPECT_EQ(std::get<Characters>(family[0]).scalars.size(), 5u);
    EXPECT_EQ(TextTyping::plan("\xE2\x82\xAC"), (std::vector<TextStep>{Characters{U"\u20AC"}}));
    // Broken bytes become the replacement character rather than vanishing.
    EXPECT_EQ(TextTyping::plan("x\xFF"), (std::vector<TextStep>{Characters{U"x"}, Characters{U"\uFFFD"}}));
    EXPECT_TRUE(TextTyping::plan("").empty());
}

}  // namespace
}  // namespace morvane
