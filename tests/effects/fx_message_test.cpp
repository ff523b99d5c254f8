#include "effects/fx_message.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

using nlohmann::json;

std::optional<FxRequest> parse(const std::string& type, const char* text) {
    return FxMessage::parse(type, json::parse(text));
}

TEST(FxMessageParse, WindowFieldsAreWholeNumbersInsideTheirRanges) {
    EXPECT_EQ(parse("fx-probe", R"({"id":7,"w":1280,"h":800,"scale":2})"),
              FxRequest(fx_request::Probe{7, 1280, 800, 2}));
    EXPECT_EQ(parse("fx-match", R"({"id":2147483647,"w":64,"h":16384,"scale":4,"extra":"x"})"),
              FxRequest(fx_request::Match{2147483647, 64, 16384, 4}));
    EXPECT_EQ(parse("fx-match", R"({"id":1,"w":1280.0,"h":800,"scale":1.0})"),
              FxRequest(fx_request::Match{1, 1280, 800, 1}));

    for (const char* bad : {
             R"({"id":1,"w":63,"h":800,"scale":1})",
             R"({"id":1,"w":16385,"h":800,"scale":1})",
             R"({"id":1,"w":1280,"h":800,"scale":5})",
             R"({"id":1,"w":1280,"h":800,"scale":0})",
             R"({"id":0,"w":1280,"h":800,"scale":1})",
             R"({"id":2147483648,"w":1280,"h":800,"scale":1})",
             R"({"id":18446744073709551615,"w":1280,"h":800,"scale":1})",
             R"({"id":-1,"w":1280,"h":800,"scale":1})",
             R"({"id":1,"w":1280.5,"h":800,"scale":1})",
             R"({"id":1,"w":"1280","h":800,"scale":1})",
             R"({"id":1,"w":true,"h":800,"scale":1})",
             R"({"id":1,"w":null,"h":800,"scale":1})",
             R"({"id":1,"w":1e300,"h":800,"scale":1})",
             R"({"id":1,"h":800,"scale":1})",
             R"({"id":1,"w":1280,"h":800})",
         }) {
        EXPECT_EQ(parse("fx-probe", bad), std::nullopt) << bad;
        EXPECT_EQ(parse("fx-match", bad), std::nullopt) << bad;
    }
}

TEST(FxMessageParse, BooleansAreOnlyJsonBooleansAndUnknownTypesYieldNothing) {
    EXPECT_EQ(parse("fx-hide", R"({"id":3,"on":false})"), FxRequest(fx_request::Hide{3, false}));
    EXPECT_EQ(parse("fx-hide", R"({"id":3,"on":true})"), FxRequest(fx_request::Hide{3, true}));
    EXPECT_EQ(parse("fx-hide", R"({"id":3,"on":1})"), std::nullopt);
    EXPECT_EQ(parse("fx-hide", R"({"id":3,"on":"true"})"), std::nullopt);
    EXPECT_EQ(parse("fx-hide", R"({"id":3})"), std::nullopt);
    EXPECT_EQ(parse("fx-hide", R"({"on":true})"), std::nullopt);

    EXPECT_EQ(parse("fx-restore", R"({"id":9})"), FxRequest(fx_request::Restore{9}));
    EXPECT_EQ(parse("fx-restore", R"({})"), std::nullopt);

    EXPECT_EQ(parse("fx-hello", R"({"v":1})"), FxRequest(fx_request::Hello{}));
    EXPECT_EQ(parse("fx-hello", R"({"v":1000000})"), FxRequest(fx_request::Hello{}));
    EXPECT_EQ(parse("fx-hello", R"({"v":0})"), std::nullopt);
    EXPECT_EQ(parse("fx-hello", R"({"v":1000001})"), std::nullopt);
    EXPECT_EQ(parse("fx-hello", R"({})"), std::nullopt);

    EXPECT_EQ(parse("fx-other", R"({"id":1,"v":1})"), std::nullopt);
    EXPECT_EQ(parse("fx-", R"({"id":1})"), std::nullopt);
    EXPECT_EQ(parse("fx-hide", R"([1,true])"), std::nullopt);
    EXPECT_EQ(parse("fx-hide", R"("fx-hide")"), std::nullopt);
}

TEST(FxWords, EveryWordReadsBackToItsCaseAndNothingElseReads) {
    for (FxWhat w : {FxWhat::probe, FxWhat::match, FxWhat::restore, FxWhat::hide})
        EXPECT_EQ(fxWhatFromString(toString(w)), w);
    for (FxError e : {FxError::notAllowed, FxError::unavailable, FxError::locked, FxError::tooSoon, FxError::busy,
                      FxError::noBetterMode, FxError::noFit, FxError::failed, FxError::noKeyWatch,
                      FxError::noOtherMode})
        EXPECT_EQ(fxErrorFromString(toString(e)), e);
    for (FxWhy w : {FxWhy::displayChanged, FxWhy::changedOnMac, FxWhy::locked, FxWhy::asleep, FxWhy::turnedOff,
                    FxWhy::escape, FxWhy::idle, FxWhy::secureInput, FxWhy::failed})
        EXPECT_EQ(fxWhyFromString(toString(w)), w);
    EXPECT_EQ(toString(FxError::noKeyWatch), "no-key-watch");
    EXPECT_EQ(toString(FxError::noOtherMode), "no-other-mode");
    EXPECT_EQ(toString(FxVerdict::noOtherMode), "no-other-mode");
    EXPECT_EQ(toString(FxWhy::changedOnMac), "changed-on-mac");
    EXPECT_EQ(fxErrorFromString("Busy"), std::nullopt);
    EXPECT_EQ(fxWhyFromString(""), std::nullopt);
    EXPECT_EQ(fxWhatFromString("show"), std::nullopt);
}

TEST(FxMessageResult, OptionalKeysAppearOnlyWhenTheyCarrySomething) {
    EXPECT_EQ(FxMessage::result(FxResult::ok(4, FxWhat::hide)).dump(),
              R"({"id":4,"ok":true,"t":"fx-result","what":"hide"})");
    EXPECT_EQ(FxMessage::result(FxResult::refused(5, FxWhat::match, FxError::tooSoon, false)).dump(),
              R"({"error":"too-soon","id":5,"ok":false,"t":"fx-result","what":"match"})");
    EXPECT_EQ(FxMessage::result(FxResult::refused(5, FxWhat::match, FxError::noFit, true)).dump(),
              R"({"error":"no-fit","id":5,"ok":false,"restored":true,"t":"fx-result","what":"match"})");
    FxResult probe = FxResult::ok(6, FxWhat::probe);
    probe.verdict = FxVerdict::fit;
    probe.before = 38;
    probe.after = 0;
    EXPECT_EQ(FxMessage::result(probe).dump(),
              R"({"after":0,"before":38,"id":6,"ok":true,"smaller":false,"t":"fx-result","verdict":"fit","what":"probe"})");
}

TEST(FxMessageState, NestedObjectsCarryExactlyTheirKeys) {
    const json plain = FxMessage::state(FxMessage::State(), std::nullopt, std::nullopt);
    EXPECT_EQ(plain.dump(),
              R"({"display":0,"hide":{"active":false,"allowed":false,"available":false,"idle":600,"locks":false,)"
              R"("others":0},"match":{"active":false,"allowed":false,"available":false},"t":"fx-state","v":1})");

    FxMessage::State s;
    s.display = 4'000'000'000u;
    s.matchAvailable = s.matchAllowed = s.hideAvailable = s.hideAllowed = s.hideActive = s.locks = true;
    s.matchSize = FxMessage::MatchSize{1440, 900, true};
    s.idle = 90;
    s.others = 2;
    const json full = FxMessage::state(s, FxEnded{FxWhat::hide, FxWhy::idle}, 45);
    EXPECT_EQ(full["display"], 4'000'000'000u);
    EXPECT_EQ(full["match"], json::parse(R"({"active":true,"allowed":true,"available":true,"h":900,"smaller":true,"w":1440})"));
    EXPECT_EQ(full["hide"], json::parse(R"({"active":true,"allowed":true,"available":true,"idle":90,"locks":true,"others":2})"));
    EXPECT_EQ(full["ended"], json::parse(R"({"what":"hide","why":"idle"})"));
    EXPECT_EQ(full["soon"], json::parse(R"({"in":45,"what":"hide"})"));
}

}  // namespace
}  // namespace morvane
