#include "capture/display_choice.h"

#include <gtest/gtest.h>

namespace morvane {

namespace {
DisplayInfo display(std::uint32_t id, double x, double y, bool main = false) {
    DisplayInfo d;
    d.id = id;
    d.name = "D" + std::to_string(id);
    d.bounds = {x, y, 1920, 1080};
    d.pixelWidth = 1920;
    d.pixelHeight = 1080;
    d.isMain = main;
    return d;
}
std::vector<std::uint32_t> ids(const std::vector<DisplayInfo>& list) {
    std::vector<std::uint32_t> out;
    for (const auto& d : list) out.push_back(d.id);
    return out;
}
}  // namespace

TEST(DisplayChoice, MainComesFirstThenLeftThenTopThenId) {
    auto list = DisplayChoice::ordered(
        {display(9, 1920, 0), display(4, -1920, 0), display(1, 0, 0, true), display(3, 1920, -500), display(2, 1920, 0)});
    EXPECT_EQ(ids(list), (std::vector<std::uint32_t>{1, 4, 3, 2, 9}));
}

TEST(DisplayChoice, WantedDisplayElseMainElseFirstAndLossOnlyWhenOneWasWanted) {
    EXPECT_FALSE(DisplayChoice::resolve(7, {}));
    EXPECT_FALSE(DisplayChoice::resolve(std::nullopt, {}));
    auto gone = DisplayChoice::resolve(7, {display(3, 0, 0, true), display(5, 1920, 0)});
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->display.id, 3u);
    EXPECT_TRUE(gone->lost);
    auto noMain = DisplayChoice::resolve(std::nullopt, {display(5, 0, 0), display(3, 10, 0)});
    ASSERT_TRUE(noMain);
    EXPECT_EQ(noMain->display.id, 5u);
    EXPECT_FALSE(noMain->lost);
    auto chosen = DisplayChoice::resolve(5, {display(3, 0, 0, true), display(5, 1920, 0)});
    EXPECT_EQ(chosen->display.id, 5u);
    EXPECT_FALSE(chosen->lost);
}

TEST(DisplayNaming, NamesAreCleanedCutAndFallBackToBuiltinOrNumber) {
    EXPECT_EQ(DisplayNaming::name(" \t ", false, 2), "Display 2");
    EXPECT_EQ(DisplayNaming::name(" \t ", true, 2), "Built-in Display");
    EXPECT_EQ(DisplayNaming::name(std::nullopt, false, 0), "Display 1");
    EXPECT_EQ(DisplayNaming::name("DELL\nU2720Q", false, 1), "DELLU2720Q");
    EXPECT_EQ(DisplayNaming::name("  Studio\x01 Display  ", false, 1), "Studio Display");
    EXPECT_EQ(DisplayNaming::name(std::string(60, 'a'), false, 1), std::string(48, 'a'));
    // Grapheme clusters count as one character each: 50 flags keep 48.
    std::string flags;
    for (int i = 0; i < 50; ++i) flags += "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
    EXPECT_EQ(DisplayNaming::name(flags, false, 1), flags.substr(0, 48 * 8));
}

TEST(DisplayCatalog, UnnamedExternalDisplaysAreNumberedInPlatformOrder) {
    std::vector<DisplayFacts> facts = {
        {10, std::nullopt, false, 1920, 1080, {1920, 0, 1920, 1080}},
        {11, std::string("Panel"), true, 2880, 1800, {0, 0, 1440, 900}},
        {12, std::nullopt, false, 1280, 1024, {-1280, 0, 1280, 1024}},
    };
    auto list = DisplayCatalog::describe(facts, 11u);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].id, 11u);
    EXPECT_TRUE(list[0].isMain);
    EXPECT_EQ(list[0].name, "Panel");
    EXPECT_EQ(list[1].name, "Display 2");  // leftmost, second unnamed one met
    EXPECT_EQ(list[2].name, "Display 1");
    EXPECT_FALSE(list[1].isMain);
}

TEST(DisplayCatalog, ADisplayWithoutAModeIsListedAtItsSizeInPoints) {
    std::vector<DisplayFacts> facts = {
        {10, std::string("Projector"), false, 0, 0, {0, 0, 1024.6, 1.5}},
        {11, std::string("Panel"), false, 2880, 0, {1024, 0, 1440, 900}},
    };
    auto list = DisplayCatalog::describe(facts, 10u);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].pixelWidth, 1024);
    EXPECT_EQ(list[0].pixelHeight, 2);
    // Half a mode is no mode: both sides come from the points.
    EXPECT_EQ(list[1].pixelWidth, 1440);
    EXPECT_EQ(list[1].pixelHeight, 900);
    const auto message = DisplayMessage::list({list, 10u, false});
    EXPECT_EQ(message["displays"][0]["w"], 1024);
    EXPECT_EQ(message["displays"][0]["h"], 2);
}

TEST(DisplayMapping, PositionsLandInsideTheDisplay) {
    EXPECT_EQ(DisplayMapping::globalPoint(1, 1, {0, 0, 1440, 900}), (Point{1439, 899}));
    EXPECT_EQ(DisplayMapping::globalPoint(std::nan(""), -0.5, {0, 0, 1440, 900}), (Point{0, 0}));
    EXPECT_EQ(DisplayMapping::globalPoint(-0.5, 7, {0, 0, 1440, 900}), (Point{0, 899}));
    EXPECT_EQ(DisplayMapping::globalPoint(0.5, 0, {-1920, 0, 1920, 1080}), (Point{-960, 0}));
    EXPECT_EQ(DisplayMapping::globalPoint(1, 1, {5, 5, 0.5, 0.5}), (Point{5, 5}));
}

TEST(DisplaySwitch, GateDropsMovesAndPressesAndLimiterAllowsOnePerSecond) {
    EXPECT_TRUE(DisplaySwitchGate::drops(input::Move{0.1, 0.2}));
    EXPECT_TRUE(DisplaySwitchGate::drops(input::Button{0, true, 0, 0, 1}));
    EXPECT_FALSE(DisplaySwitchGate::drops(input::Button{0, false, 0, 0, 1}));
    EXPECT_FALSE(DisplaySwitchGate::drops(input::Scroll{1, 1}));
    EXPECT_FALSE(DisplaySwitchGate::drops(input::Key{"KeyA", true}));
    EXPECT_FALSE(DisplaySwitchGate::drops(input::Text{"x"}));
    EXPECT_FALSE(DisplaySwitchGate::drops(input::Lock{}));

    DisplaySwitchLimiter limiter;
    EXPECT_TRUE(limiter.allow(10'000));
    EXPECT_FALSE(limiter.allow(10'999));
    EXPECT_TRUE(limiter.allow(11'000));
    EXPECT_TRUE(limiter.allow(5'000));  // a clock that went back does not block
}

TEST(DisplayMessages, SelectListAndResultHaveTheirWireShape) {
    using nlohmann::json;
    EXPECT_EQ(DisplayRequest::parse(json::parse(R"({"t":"disp-select","id":4294967295})")),
              DisplayRequest{4294967295u});
    EXPECT_EQ(DisplayRequest::parse(json::parse(R"({"t":"disp-select","id":7.0})")), DisplayRequest{7});
    EXPECT_FALSE(DisplayRequest::parse(json::parse(R"({"t":"disp-select","id":4294967296})")));
    EXPECT_FALSE(DisplayRequest::parse(json::parse(R"({"t":"disp-select","id":-1})")));
    EXPECT_FALSE(DisplayRequest::parse(json::parse(R"({"t":"disp-select","id":1.5})")));
    EXPECT_FALSE(DisplayRequest::parse(json::parse(R"({"t":"disp-select","id":true})")));
    EXPECT_FALSE(DisplayRequest::parse(json::parse(R"({"t":"disp-select","id":"1"})")));
    EXPECT_FALSE(DisplayRequest::parse(json::parse(R"({"t":"disp-select"})")));

    DisplayListing listing;
    auto d = display(3, -1920.5, 0.4, true);
    d.bounds.width = 1439.5;
    listing.displays = {d};
    auto message = DisplayMessage::list(listing);
    EXPECT_EQ(message["t"], "disp-list");
    EXPECT_TRUE(message["current"].is_null());
    EXPECT_FALSE(message.contains("lost"));
    EXPECT_EQ(message["displays"][0]["x"], -1921);
    EXPECT_EQ(message["displays"][0]["y"], 0);
    EXPECT_EQ(message["displays"][0]["pw"], 1440);
    EXPECT_EQ(message["displays"][0]["main"], true);
    EXPECT_EQ(message["displays"][0]["w"], 1920);

    listing.current = 3;
    listing.selectionLost = true;
    for (std::uint32_t i = 10; i < 30; ++i) listing.displays.push_back(display(i, i * 10.0, 0));
    message = DisplayMessage::list(listing);
    EXPECT_EQ(message["current"], 3);
    EXPECT_EQ(message["lost"], true);
    EXPECT_EQ(message["displays"].size(), DisplayLimits::maxDisplays);

    EXPECT_EQ(DisplayMessage::result(5, std::nullopt).dump(), R"({"id":5,"ok":true,"t":"disp-result"})");
    EXPECT_EQ(DisplayMessage::result(5, DisplayMessage::Refusal::tooSoon).dump(),
              R"({"error":"too-soon","id":5,"ok":false,"t":"disp-result"})");
}

}  // namespace morvane
