#include "core/program_pace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace morvane {
namespace {

constexpr std::int64_t minute = 60'000;

TEST(ProgramPace, AProgramThatFailsTheSameWayRestsForMinutesAndOneThatAnswersIsAskedAgain) {
    // Each row: at `at`, whether the program may start; when it may, how it
    // went (0: answered, else the way it failed).
    const struct {
        std::int64_t at;
        bool due;
        int outcome;
        const char* why;
    } rows[] = {
        {0, true, 1, "a first failure"},
        {2'000, true, 1, "a second"},
        {4'000, true, 1, "the third the same way: a rest begins"},
        {6'000, false, 0, "resting"},
        {4'000 + 5 * minute - 1, false, 0, "still resting"},
        {4'000 + 5 * minute, true, 1, "tried again after five minutes, failing still"},
        {4'000 + 14 * minute, false, 0, "the next rest is twice as long"},
        {4'000 + 15 * minute, true, 2, "tried again, failing another way: something changed"},
        {4'000 + 15 * minute + 2'000, true, 2, "counted again from one"},
        {4'000 + 15 * minute + 4'000, true, 0, "it answered"},
        {4'000 + 15 * minute + 6'000, true, 1, "asked at the check's pace"},
        {4'000 + 15 * minute + 8'000, true, 0, "an answer between failures"},
        {4'000 + 15 * minute + 10'000, true, 1, ""},
        {4'000 + 15 * minute + 12'000, true, 1, "only two in a row"},
        {4'000 + 15 * minute + 14'000, true, 1, "the third: resting"},
        {4'000 + 15 * minute + 16'000, false, 0, "resting"},
        {1'000, true, 3, "a clock that went back ends a rest"},
    };
    ProgramPace pace;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        ASSERT_EQ(pace.due(row.at), row.due) << row.at;
        if (!row.due) continue;
        if (row.outcome == 0)
            pace.answered();
        else
            pace.failed(row.outcome, row.at);
    }

    // The rests grow to their longest and stay there.
    ProgramPace failing;
    std::int64_t now = 0;
    std::vector<std::int64_t> rests;
    for (int start = 0; start < 10; ++start) {
        while (!failing.due(now)) now += 1'000;
        failing.failed(1, now);
        if (failing.restMillis) rests.push_back(failing.restMillis);
    }
    EXPECT_EQ(rests, (std::vector<std::int64_t>{5 * minute, 10 * minute, 20 * minute, 20 * minute, 20 * minute,
                                                20 * minute, 20 * minute, 20 * minute}));
}

TEST(ProgramPace, EachCommandLineKeepsItsOwnPaceThroughTheRunner) {
    std::int64_t now = 0;
    std::vector<std::string> started;
    using Run = std::function<int(const std::vector<std::string>&, std::int64_t)>;
    const Run run = [&](const std::vector<std::string>& argv, std::int64_t) {
        started.push_back(argv[0] + " " + argv[1]);
        return argv[1] == "answers" ? 0 : 7;
    };
    auto paced = pacedRunner(
        run, std::make_shared<ProgramPaces>([&] { return now; }),
        [](int status) { return status == 0 ? std::nullopt : std::optional<int>(status); }, -1);
    for (; now < 10 * minute; now += 2'000) {
        EXPECT_EQ(paced({"tool", "answers"}, 1'000), 0);
        const int failing = paced({"tool", "fails"}, 1'000);
        EXPECT_TRUE(failing == 7 || failing == -1);
    }
    EXPECT_EQ(std::count(started.begin(), started.end(), "tool answers"), 300);
    // Three, one more after five minutes, and the next rest outlasts the ten.
    EXPECT_EQ(std::count(started.begin(), started.end(), "tool fails"), 4);
}

}  // namespace
}  // namespace morvane
