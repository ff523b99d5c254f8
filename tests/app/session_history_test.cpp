#include "app/session_history.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

constexpr std::int64_t t0 = 1'772'359'200'000;  // 2026-03-01T10:00:00Z
const HistoryCalendar utc{"UTC", "en_GB"};

struct HistoryFixture {
    std::int64_t now = t0;
    std::vector<std::string> saved;
    std::vector<std::int64_t> seenSaved;
    SessionHistory make(std::optional<std::string> stored = std::nullopt,
                        std::optional<std::int64_t> seen = std::nullopt) {
        return SessionHistory(
            std::move(stored), seen, [this](const std::string& json) { saved.push_back(json); },
            [this](std::int64_t d) { seenSaved.push_back(d); }, [this] { return now; });
    }
};

TEST(SessionHistory, StoresSortedKeysAndWholeSecondDates) {
    HistoryFixture f;
    auto h = f.make();
    f.now = t0 + 250;  // a fraction of a second is dropped when stored
    h.started("dev-1", "iPad", "relay");
    EXPECT_EQ(f.saved.back(),
              R"([{"deviceID":"dev-1","name":"iPad","route":"relay","start":"2026-03-01T10:00:00Z","takenOver":false}])");
    f.now = t0 + 160'900;
    h.ended("dev-1", true);
    EXPECT_EQ(f.saved.back(),
              R"([{"deviceID":"dev-1","end":"2026-03-01T10:02:40Z","name":"iPad","route":"relay","start":"2026-03-01T10:00:00Z","takenOver":true}])");

    const auto back = SessionHistory::decode(f.saved.back());
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 1u);
    EXPECT_EQ((*back)[0].start, t0);
    EXPECT_EQ((*back)[0].end, t0 + 160'000);
    EXPECT_TRUE((*back)[0].takenOver);
}

TEST(SessionHistory, DecodingIsStrictButIgnoresUnknownKeysAndKeepsFive) {
    const std::string ok = R"({"deviceID":"d","name":"n","route":"local","start":"2026-03-01T10:00:00Z","takenOver":false,"extra":1})";
    EXPECT_TRUE(SessionHistory::decode("[" + ok + "]"));
    EXPECT_FALSE(SessionHistory::decode(R"([{"deviceID":"d","name":"n","route":"local","takenOver":false}])"));
    EXPECT_FALSE(SessionHistory::decode(
        R"([{"deviceID":"d","name":"n","route":"local","start":"2026-03-01T10:00:00.5Z","takenOver":false}])"));
    EXPECT_FALSE(SessionHistory::decode(
        R"([{"deviceID":"d","name":"n","route":"local","start":"2026-02-31T10:00:00Z","takenOver":false}])"));
    EXPECT_FALSE(SessionHistory::decode(
        R"([{"deviceID":"d","name":"n","route":"local","start":"2026-03-01T10:00:00Z","takenOver":"no"}])"));
    EXPECT_FALSE(SessionHistory::decode("not json"));
    EXPECT_FALSE(SessionHistory::decode("{}"));
    std::string seven = "[";
    for (int i = 0; i < 7; ++i) seven += (i ? "," : "") + ok;
    seven += "]";
    EXPECT_EQ(SessionHistory::decode(seven)->size(), 5u);

    HistoryFixture f;
    EXPECT_TRUE(f.make(std::string("garbage")).records().empty());
}

TEST(SessionHistory, AStoredHistoryThatCannotBeUsedStartsEmptyAndSaysWhy) {
    const std::string ok = R"({"deviceID":"d","name":"n","route":"local","start":"2026-03-01T10:00:00Z","takenOver":false})";
    struct Case {
        const char* name;
        std::optional<std::string> stored;
        std::optional<std::string> problem;
    };
    const std::vector<Case> cases = {
        {"none stored", std::nullopt, std::nullopt},
        {"a list", "[" + ok + "]", std::nullopt},
        {"cut short", "[" + ok, "not valid JSON"},
        {"an object", "{}", "not a list of sessions"},
        {"a record without its start", R"([{"deviceID":"d","name":"n","route":"local","takenOver":false}])",
         "not a list of sessions"},
        // Fits the settings file, yet would build 200,000 nested lists.
        {"nested deep", std::string(100'000, '[') + std::string(100'000, ']'), "nested deeper than 16 levels"},
        {"a record nested deep",
         "[" + ok.substr(0, ok.size() - 1) + ",\"x\":" + std::string(20, '[') + std::string(20, ']') + "}]",
         "nested deeper than 16 levels"},
    };
    for (const auto& c : cases) {
        HistoryFixture f;
        const auto history = f.make(c.stored);
        EXPECT_EQ(history.storedProblem(), c.problem) << c.name;
        EXPECT_EQ(history.records().size(), c.stored && !c.problem ? 1u : 0u) << c.name;
    }
}

TEST(SessionHistory, ReopensTheSameDeviceOnTheSameRouteWithinAMinute) {
    HistoryFixture f;
    auto h = f.make();
    h.started("dev-1", "Old name", "local");
    f.now += 10'000;
    h.ended("dev-1", false);
    f.now += 59'000;
    auto again = h.started("dev-1", "New name", "local");
    EXPECT_TRUE(again.merged);
    EXPECT_EQ(again.record.start, t0);
    EXPECT_EQ(again.record.name, "New name");
    EXPECT_EQ(h.records().size(), 1u);

    h.ended("dev-1", false);
    f.now += 60'000;  // a full minute later: a new record
    EXPECT_FALSE(h.started("dev-1", "New name", "local").merged);
    h.ended("dev-1", false);
    f.now += 1'000;
    EXPECT_FALSE(h.started("dev-1", "New name", "tailnet").merged);  // another route
    EXPECT_EQ(h.records().size(), 3u);
}

TEST(SessionHistory, EndsOnlyTheRunningFirstRecordAndKeepsFive) {
    HistoryFixture f;
    auto h = f.make();
    h.started("a", "A", "local");
    h.started("b", "B", "local");  // takeover: a is no longer first
    EXPECT_FALSE(h.ended("a", true));
    EXPECT_FALSE(h.records()[1].end);
    EXPECT_TRUE(h.ended("b", false));
    EXPECT_FALSE(h.ended("b", false));  // twice changes nothing

    for (int i = 0; i < 6; ++i) {
        f.now += 120'000;
        h.started("d" + std::to_string(i), "D", "local");
        h.ended("d" + std::to_string(i), false);
    }
    EXPECT_EQ(h.records().size(), 5u);
    EXPECT_EQ(h.records().front().deviceID, "d5");

    h.started("q", "Q", "local");
    h.closeRunning();
    EXPECT_TRUE(h.records().front().end);
    EXPECT_FALSE(h.records().front().takenOver);
    EXPECT_FALSE(h.running());
}

TEST(SessionHistory, NamesAreCleanedAndShownTrimmed) {
    HistoryFixture f;
    auto h = f.make();
    h.started("a", std::string("Ph\none") + std::string(60, 'x'), "local");
    EXPECT_EQ(h.records()[0].name, "Ph one" + std::string(34, 'x'));
    SessionRecord blank{"b", "   ", t0, std::nullopt, "local", false};
    EXPECT_EQ(SessionHistory::line(blank, t0, utc, std::string(), std::nullopt), "Unnamed device, today 10:00, length unknown");
}

TEST(SessionHistory, MenuLinesSplitNewFromEarlier) {
    HistoryFixture f;
    auto h = f.make();
    for (int i = 0; i < 3; ++i) {
        h.started("d" + std::to_string(i), "Dev" + std::to_string(i), "local");
        f.now += 60'000;
        h.ended("d" + std::to_string(i), false);
        f.now += 120'000;
    }
    auto lines = h.menuLines(false, utc);
    EXPECT_EQ(lines.line, "New: Dev2, today 10:06, 1 min");
    EXPECT_EQ(lines.alsoNew, (std::vector<std::string>{"New: Dev1, today 10:03, 1 min", "New: Dev0, today 10:00, 1 min"}));
    EXPECT_TRUE(lines.earlier.empty());

    h.markSeen();
    EXPECT_EQ(f.seenSaved, std::vector<std::int64_t>{f.now});
    lines = h.menuLines(false, utc);
    EXPECT_EQ(lines.line, "Last connected: Dev2, today 10:06, 1 min");
    EXPECT_EQ(lines.earlier.size(), 2u);

    // Connected and running: the running session is not listed.
    h.started("d9", "Now", "relay");
    lines = h.menuLines(true, utc, [](const SessionRecord& r) -> std::optional<std::string> {
        return r.deviceID == "d2" ? std::optional<std::string>("paired 3 Mar") : std::nullopt;
    });
    EXPECT_EQ(lines.line, "Before this: Dev2 (paired 3 Mar), today 10:06, 1 min");

    HistoryFixture one;
    auto single = one.make();
    single.started("x", "X", "local");
    EXPECT_FALSE(single.menuLines(true, utc).line);
}

TEST(SessionHistory, LengthsAndDays) {
    EXPECT_EQ(SessionHistory::length(59.9), "under 1 min");
    EXPECT_EQ(SessionHistory::length(-5), "under 1 min");
    EXPECT_EQ(SessionHistory::length(60), "1 min");
    EXPECT_EQ(SessionHistory::length(3599), "59 min");
    EXPECT_EQ(SessionHistory::length(3600), "1 h");
    EXPECT_EQ(SessionHistory::length(3660), "1 h 1 min");
    EXPECT_EQ(SessionHistory::length(86'400), "24 h");

    const std::int64_t beforeMidnight = 1'772'409'300'000;  // 2026-03-01T23:55:00Z
    EXPECT_EQ(SessionHistory::when(beforeMidnight, beforeMidnight + 15 * 60'000, utc), "yesterday 23:55");
    EXPECT_EQ(SessionHistory::when(beforeMidnight, beforeMidnight + 60'000, utc), "today 23:55");
    EXPECT_EQ(SessionHistory::when(t0, t0 + 2 * 86'400'000, utc), "1 Mar 10:00");
    // The calendar's own zone decides the day.
    EXPECT_EQ(SessionHistory::when(beforeMidnight, beforeMidnight + 15 * 60'000, {"Europe/Berlin", "en_GB"}),
              "today 00:55");
    EXPECT_EQ(SessionHistory::pairedTag(t0, utc), "paired 1 Mar");

    SessionRecord relay{"r", "iPad", t0, t0 + 4'320'000, "relay", false};
    EXPECT_EQ(SessionHistory::line(relay, t0 + 86'400'000, utc, std::string("paired 3 Mar"), std::string("Last connected")),
              "Last connected: iPad (paired 3 Mar), yesterday 10:00, 1 h 12 min, over the relay");
}

}  // namespace
}  // namespace morvane
