#include "app/counting_input.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

struct RecordingSink final : InputSink {
    void handle(const InputEvent& e) override { events.push_back(e); }
    void releaseEverything() override { ++releases; }
    std::vector<InputEvent> events;
    int releases = 0;
};

TEST(CountingInput, PassesEveryEventOnUnchangedAndCountsIt) {
    auto sink = std::make_shared<RecordingSink>();
    CountingInput counter(sink);
    const InputEvent move = input::Move{0.25, 0.5};
    const InputEvent key = input::Key{"KeyA", true};
    counter.handle(move);
    counter.handle(key);
    counter.count(ClipboardDirection::toMac);
    EXPECT_EQ(sink->events, (std::vector<InputEvent>{move, key}));
    counter.releaseEverything();
    EXPECT_EQ(sink->releases, 1);
    EXPECT_EQ(counter.takeSummary(), "move=1 key=1 clip-to-mac=1");
    EXPECT_EQ(counter.takeSummary(), "");
}

}  // namespace
}  // namespace morvane
