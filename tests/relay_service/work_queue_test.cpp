// The queue that keeps the store and the mail off the network thread: jobs
// come back in order, and a queue that is full or a job that waits too long
// is answered at once, without touching the worker, and said once in the
// log. Both queues are driven by hand, time is the network queue's.
#include <gtest/gtest.h>

#include "../app/manual_executor.h"
#include "relay_service/work_queue.h"

namespace morvane::relay_service::testing {
namespace {

using morvane::testing::ManualExecutor;

struct QueueRig {
    ManualExecutor worker, network;
    std::vector<std::string> logs;
    std::vector<std::string> answers;  // "job <n>: <result>" or "job <n>: none"
    std::vector<int> ran;               // the jobs whose work ran
    std::unique_ptr<WorkQueue> queue;

    explicit QueueRig(WorkQueueLimits limits) {
        queue = std::make_unique<WorkQueue>("the store", worker, network, [this] { return network.now(); }, limits,
                                            RelayLog([this](Severity severity, const std::string& line) {
                                                logs.push_back((severity == Severity::error     ? "error: "
                                                                : severity == Severity::warning ? "warning: "
                                                                                                : "info: ") +
                                                               line);
                                            }));
    }
    // A job that answers its own number, doing `meanwhile` while it runs.
    void submit(int n, std::function<void()> meanwhile = {}, std::size_t lane = 0, std::string turn = {}) {
        queue->run<int>(
            [this, n, meanwhile] {
                ran.push_back(n);
                if (meanwhile) meanwhile();
                return n;
            },
            [this, n](std::optional<int> result) {
                answers.push_back("job " + std::to_string(n) + ": " + (result ? std::to_string(*result) : "none"));
            },
            lane, std::move(turn));
    }
};

TEST(WorkQueue, JobsRunInTurnOnTheWorkerAndAnswerOnTheNetworkQueue) {
    QueueRig rig({4, 1000});
    rig.submit(1);
    rig.submit(2);
    rig.network.runAll();
    EXPECT_TRUE(rig.answers.empty()) << "nothing is answered before the worker runs";
    EXPECT_EQ(rig.queue->waiting(), 2u);
    rig.worker.runAll();
    EXPECT_EQ(rig.ran, (std::vector<int>{1, 2}));
    EXPECT_TRUE(rig.answers.empty()) << "answers come on the network queue";
    rig.network.runAll();
    EXPECT_EQ(rig.answers, (std::vector<std::string>{"job 1: 1", "job 2: 2"}));
    EXPECT_EQ(rig.queue->waiting(), 0u);
    EXPECT_TRUE(rig.logs.empty());
    // The deadlines that passed after their jobs were answered change nothing.
    rig.network.advance(5000);
    EXPECT_EQ(rig.answers.size(), 2u);
}

TEST(WorkQueue, AFullQueueOrAJobPastItsTimeIsAnsweredAtOnceWithoutTheWorker) {
    struct Case {
        const char* name;
        std::function<void(QueueRig&)> act;
        std::vector<std::string> answers;
        std::vector<int> ran;
    };
    const std::vector<Case> cases = {
        {"a job over the bound, before the worker runs",
         [](QueueRig& rig) {
             rig.submit(1);
             rig.submit(2);
             rig.submit(3);
             rig.network.runAll();
             EXPECT_EQ(rig.answers, (std::vector<std::string>{"job 3: none"}));
             rig.worker.runAll();
             rig.network.runAll();
         },
         {"job 3: none", "job 1: 1", "job 2: 2"},
         {1, 2}},
        {"a job still waiting at its deadline is skipped",
         [](QueueRig& rig) {
             rig.submit(1);
             rig.network.advance(99);
             EXPECT_TRUE(rig.answers.empty());
             rig.network.advance(1);
             rig.worker.runAll();
             rig.network.runAll();
         },
         {"job 1: none"},
         {}},
        {"a job still running at its deadline is answered then, and what it returns later is dropped",
         [](QueueRig& rig) {
             rig.submit(1, [&rig] { rig.network.advance(100); });
             rig.submit(2);
             rig.worker.runAll();
             rig.network.runAll();
         },
         {"job 1: none", "job 2: none"},
         {1}},
        {"a job that waited less than its time runs",
         [](QueueRig& rig) {
             rig.submit(1);
             rig.network.advance(60);
             rig.submit(2);
             rig.network.advance(60);  // the first is past its time, the second not
             rig.worker.runAll();
             rig.network.runAll();
         },
         {"job 1: none", "job 2: 2"},
         {2}},
    };
    for (const auto& c : cases) {
        QueueRig rig({2, 100});
        c.act(rig);
        EXPECT_EQ(rig.answers, c.answers) << c.name;
        EXPECT_EQ(rig.ran, c.ran) << c.name;
        EXPECT_EQ(rig.queue->waiting(), 0u) << c.name;
    }
}

TEST(WorkQueue, TheLogSaysOnceThatCallsAreRefusedAndOnceThatTheyAreAnsweredAgain) {
    QueueRig rig({1, 100});
    rig.submit(1);
    rig.submit(2);
    rig.submit(3);
    rig.network.runAll();
    rig.network.advance(100);
    EXPECT_EQ(rig.logs, (std::vector<std::string>{
                            "error: the store is not answering in time (1 waiting): calls are answered try-later until it does"}));
    rig.worker.runAll();
    rig.network.runAll();
    rig.network.advance(ThrottledLine::defaultEveryMillis);
    rig.submit(4);
    rig.worker.runAll();
    rig.network.runAll();
    EXPECT_EQ(rig.answers, (std::vector<std::string>{"job 2: none", "job 3: none", "job 1: none", "job 4: 4"}));
    ASSERT_EQ(rig.logs.size(), 2u);
    EXPECT_EQ(rig.logs[1], "info: the store answers again (3 calls were answered try-later)");
}

// Under a flood the queue refuses and answers by turns, many times a
// second: the log says each change at most once every ten seconds, with
// the count of calls refused meanwhile, and the state it ends in.
TEST(WorkQueue, AQueueThatFlapsSaysSoAtMostOnceEveryFewSeconds) {
    QueueRig rig({1, 60'000});
    constexpr int turns = 2'000;
    for (int turn = 0; turn < turns; ++turn) {
        rig.submit(2 * turn);
        rig.submit(2 * turn + 1);  // finds the queue full
        rig.worker.runAll();
        rig.network.runAll();
        rig.network.advance(10);
    }
    rig.network.advance(ThrottledLine::defaultEveryMillis);
    // 20 seconds of flapping: a line when it began, then one change every
    // ten seconds at most.
    ASSERT_GE(rig.logs.size(), 2u);
    EXPECT_LE(rig.logs.size(), 4u);
    EXPECT_EQ(rig.logs.front(),
              "error: the store is not answering in time (1 waiting): calls are answered try-later until it does");
    int refused = 0;
    for (const auto& line : rig.logs) {
        const auto at = line.find("answers again (");
        if (at != std::string::npos) refused += std::stoi(line.substr(at + 15));
    }
    EXPECT_EQ(refused, turns) << "every refusal is counted in the lines that end the spells";
    EXPECT_EQ(rig.logs.back().rfind("info: the store answers again (", 0), 0u) << rig.logs.back();
}

// A flood of one lane's jobs fills its own share of the queue: the other
// lanes still find places, and the worker takes them in turn with it.
TEST(WorkQueue, ALaneHoldsOnlyItsShareAndTheWorkerTakesTheLanesInTurn) {
    WorkQueueLimits limits{6, 1'000};
    limits.lanes = {{"sign-ins", 3}};
    QueueRig rig(limits);
    for (int n = 1; n <= 5; ++n) rig.submit(n, {}, 1);
    rig.submit(10);
    rig.submit(11);
    rig.network.runAll();
    EXPECT_EQ(rig.answers, (std::vector<std::string>{"job 4: none", "job 5: none"})) << "past the lane's share";
    EXPECT_EQ(rig.logs, (std::vector<std::string>{
                            "warning: too many sign-ins for the store (3 waiting): more are answered try-later until fewer wait"}));
    rig.worker.runAll();
    EXPECT_EQ(rig.ran, (std::vector<int>{10, 1, 11, 2, 3}));
    rig.network.runAll();
    rig.network.advance(ThrottledLine::defaultEveryMillis);
    rig.submit(6, {}, 1);
    rig.worker.runAll();
    rig.network.runAll();
    EXPECT_EQ(rig.answers.back(), "job 6: 6");
    EXPECT_EQ(rig.logs.back(), "info: the store takes sign-ins again (2 were answered try-later)");
    EXPECT_EQ(rig.queue->waiting(), 0u);
}

// Within a lane the worker takes each turn's jobs in turn, so a flood from
// one turn delays another's job by one job at most; and a full lane makes
// room for a turn holding two fewer of its places than the one holding the
// most, whose newest job is answered at once, never for one holding about
// as many: no turn can keep the lane from the others, and none is pushed
// out by a turn it holds no more than.
TEST(WorkQueue, ALaneTakesItsTurnsInTurnAndMakesRoomForATurnHoldingFewer) {
    WorkQueueLimits limits{16, 1'000};
    limits.lanes = {{"sign-ins", 4}};
    QueueRig rig(limits);
    for (int n = 1; n <= 5; ++n) rig.submit(n, {}, 1, "flood");
    rig.network.runAll();
    EXPECT_EQ(rig.answers, (std::vector<std::string>{"job 5: none"})) << "no turn holds fewer than the flood's own";
    rig.submit(10, {}, 1, "person");
    rig.submit(20, {}, 1, "other");
    rig.submit(11, {}, 1, "person");  // the flood holds 2, the person 1 already
    rig.network.runAll();
    EXPECT_EQ(rig.answers, (std::vector<std::string>{"job 5: none", "job 4: none", "job 3: none", "job 11: none"}));
    EXPECT_EQ(rig.queue->waiting(), 4u);
    rig.worker.runAll();
    EXPECT_EQ(rig.ran, (std::vector<int>{1, 10, 20, 2}));
    rig.network.runAll();
    EXPECT_EQ(rig.queue->waiting(), 0u);
    EXPECT_EQ(rig.logs, (std::vector<std::string>{
                            "warning: too many sign-ins for the store (4 waiting): more are answered try-later until fewer wait"}));
    rig.network.advance(ThrottledLine::defaultEveryMillis);
    rig.submit(12, {}, 1, "person");
    EXPECT_EQ(rig.logs.back(), "info: the store takes sign-ins again (4 were answered try-later)");
}

// A job that caught its store's failure ends without throwing: the store is
// said to answer again only once it has really answered.
TEST(WorkQueue, TheStoreIsSaidToAnswerAgainOnlyOnceItReallyDoes) {
    QueueRig rig({1, 100});
    bool answering = false;
    rig.queue->answersWhen([&] { return answering; });
    rig.submit(1);
    rig.submit(2);
    rig.network.runAll();
    for (int n = 3; n <= 4; ++n) {
        rig.worker.runAll();
        rig.network.runAll();
        rig.network.advance(10'000);
        EXPECT_EQ(rig.logs.size(), 1u) << "a job that caught a failure, then job " << n;
        rig.submit(n);
    }
    answering = true;
    rig.worker.runAll();
    rig.network.runAll();
    rig.network.advance(10'000);
    ASSERT_EQ(rig.logs.size(), 2u);
    EXPECT_EQ(rig.logs[1], "info: the store answers again (1 calls were answered try-later)");
}

TEST(WorkQueue, AfterCloseNothingQueuedRunsNorAnswers) {
    QueueRig rig({4, 100});
    rig.submit(1);
    rig.submit(2);
    rig.queue->close();
    rig.submit(3);
    rig.worker.runAll();
    rig.network.advance(1000);
    EXPECT_TRUE(rig.ran.empty());
    EXPECT_TRUE(rig.answers.empty());
}

}  // namespace
}  // namespace morvane::relay_service::testing
