#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../app/manual_executor.h"
#include "server/status_relay.h"
#include "server_fakes.h"

namespace morvane {
namespace {

using testing::FakeFrameSource;
using testing::Journal;
using testing::ManualExecutor;
using testing::RecordingLink;

struct Fixture {
    ManualExecutor queue;
    ManualExecutor main;
    Journal journal;
    FakeFrameSource frames{journal};
    HostStatus host;
    std::vector<std::string> readings;
    std::shared_ptr<StatusRelay> relay = StatusRelay::create(queue, main, frames, [this] { return host; });

    Fixture() {
        relay->setOnReading([this](bool locked, const std::string& capture) {
            readings.push_back((locked ? "locked " : "open ") + capture);
        });
    }
    void poll() {
        relay->poll();
        main.runAll();
        queue.runAll();
    }
};

TEST(StatusRelay, TheSessionHearsTheStatusOnlyWhenItChanges) {
    struct Step {
        bool locked;
        const char* capture;
        bool sent;
        bool captureOK;
    };
    const std::vector<Step> steps = {
        {false, "starting", true, false},  {false, "starting", false, false}, {false, "ok", true, true},
        {false, "ok", false, true},        {true, "ok", true, true},          {true, "failed", true, false},
        {true, "failed", false, false},
    };
    Fixture f;
    auto link = std::make_shared<RecordingLink>();
    f.relay->attach(link);
    std::size_t before = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        f.host.locked = steps[i].locked;
        f.frames.setState(steps[i].capture);
        f.poll();
        EXPECT_EQ(link->sent.size() - before, steps[i].sent ? 1u : 0u) << "step " << i;
        before = link->sent.size();
        EXPECT_EQ(f.relay->captureOK(), steps[i].captureOK) << "step " << i;
    }
    EXPECT_EQ(f.readings.size(), steps.size()) << "every reading reaches the effects, changed or not";
    EXPECT_EQ(nlohmann::json::parse(link->sent.back()),
              (nlohmann::json{{"t", "status"},
                              {"capture", "failed"},
                              {"input", false},
                              {"locked", true},
                              {"sleepDisabled", false},
                              {"lidClosed", false}}));
}

TEST(StatusRelay, AReadingForASessionThatWentIsDroppedAndANewSessionHearsAnew) {
    Fixture f;
    f.frames.setState("ok");
    auto first = std::make_shared<RecordingLink>();
    auto second = std::make_shared<RecordingLink>();

    f.poll();
    EXPECT_TRUE(f.readings.empty()) << "no session, no reading";

    f.relay->attach(first);
    f.relay->poll();
    f.main.runAll();
    f.relay->attach(second);  // the reading is on its way back
    f.queue.runAll();
    EXPECT_TRUE(first->sent.empty());
    EXPECT_TRUE(second->sent.empty());
    EXPECT_TRUE(f.readings.empty());
    EXPECT_FALSE(f.relay->captureOK());

    f.relay->attach(first);
    f.poll();
    f.relay->attach(second);
    f.poll();
    EXPECT_EQ(first->sent.size(), 1u);
    EXPECT_EQ(second->sent.size(), 1u) << "the same status is news to a new session";

    f.relay->detach();
    f.poll();
    EXPECT_EQ(second->sent.size(), 1u);
    EXPECT_FALSE(f.relay->captureOK()) << "no session, no capture to vouch for";

    f.relay->attach(first);
    f.relay->poll();
    f.relay.reset();
    f.main.runAll();
    f.queue.runAll();
    EXPECT_EQ(first->sent.size(), 1u) << "a relay that is gone answers nothing";
}

}  // namespace
}  // namespace morvane
