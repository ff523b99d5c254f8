// What waits to be written, per connection, per account and in all: which
// queue must make room when a charge does not fit, judged by what its peer
// took over a window on a manual clock; that a peer taking more than the
// floor is never the one, whoever else holds the relay; and when a sender
// held back goes on.
#include <gtest/gtest.h>

#include <map>

#include "relay_service/queue_budget.h"

namespace morvane::relay_service {
namespace {

struct Queue final : BudgetedQueue {
    std::uint64_t took = 0;
    std::uint64_t rate = 0;  // bytes a second its peer takes
    int resumed = 0;
    std::size_t kernel = 0;  // what the kernel holds for its socket
    std::uint64_t taken() const override { return took; }
    std::size_t kernelBytes() const override { return kernel; }
    void makeRoom(const QueueOver&) override {}
    void resume() override { ++resumed; }
};

// Small limits, a window of a second (a tick each 200 ms) and a floor of
// 100 bytes a second.
constexpr QueueLimits small{1000, 1500, 3000, 1000, 100, 200, 2000};
QueueLimits with(std::size_t perConnection, std::size_t perAccount, std::size_t total) {
    auto limits = small;
    limits.perConnection = perConnection, limits.perAccount = perAccount, limits.total = total;
    return limits;
}

struct Step {
    enum Kind { add, charge, reads, wait, release, closing, remove, kernel } kind;
    char queue = 0;
    std::size_t amount = 0;     // bytes charged or released, bytes a second read, milliseconds waited
    std::string account = {};   // add
    char sender = 0;            // charge: the queue whose message it is
};

// The queues of one case on a manual clock.
struct Rig {
    explicit Rig(QueueLimits limits) : budget(limits) {}
    QueueBudget budget;
    std::map<char, Queue> queues;
    std::int64_t now = 0;
    Queue* at(char name) { return name ? &queues[name] : nullptr; }

    std::optional<QueueOver> run(const Step& step) {
        auto* queue = at(step.queue);
        switch (step.kind) {
            case Step::add: budget.add(queue, step.account); break;
            case Step::charge: return budget.charge(queue, step.amount, at(step.sender));
            case Step::reads: queue->rate = step.amount; break;
            case Step::wait:
                for (std::int64_t waited = 0; waited < static_cast<std::int64_t>(step.amount);) {
                    const auto tick = budget.tickMillis();
                    waited += tick, now += tick;
                    for (auto& [name, each] : queues) each.took += each.rate * static_cast<std::uint64_t>(tick) / 1000;
                    budget.tick(now);
                }
                break;
            case Step::release: budget.release(queue, step.amount); break;
            case Step::closing: budget.closing(queue); break;
            case Step::remove: budget.remove(queue); break;
            case Step::kernel: queue->kernel = step.amount; break;
        }
        return std::nullopt;
    }
};

// Which queue must make room, which senders are held back and which go on:
// each case plays its steps on a manual clock; a last step that is a charge
// (sent by 's', of an account of its own, when it names no sender) is
// judged: it fits, or it is charged and its sender waits, or a queue is
// named to make room and nothing is charged. Then the senders held and
// those resumed, and the slow queue standing in a held sender's way.
TEST(QueueBudget, OnlyAPeerTakingLessThanTheFloorOverAWindowMakesRoomAndAHeldSenderGoesOnOnceThereIsRoom) {
    using Cause = QueueCause;
    using Scope = QueueScope;
    struct Named {
        char queue;
        Scope scope;
        Cause cause;
    };
    struct Expected {
        enum { fits, waits, closes, none } last = none;
        std::optional<Named> named = {};  // by the last charge, or as overdue
        std::string held = {};
        std::string resumed = {};  // in order
    };
    struct Case {
        const char* name;
        QueueLimits limits;
        std::vector<Step> steps;
        Expected expected;
    };
    const auto fits = Expected{Expected::fits};
    const auto waits = Expected{Expected::waits, {}, "s"};
    const auto closes = [](char queue, Scope scope, Cause cause) {
        return Expected{Expected::closes, Named{queue, scope, cause}};
    };
    const auto then = [](std::string held, std::string resumed, std::optional<Named> overdue = {}) {
        return Expected{Expected::none, overdue, std::move(held), std::move(resumed)};
    };
    const auto join = [](std::vector<Step> steps, const std::vector<Step>& more) {
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    // Three strangers' devices holding most of the total, each reading
    // a little more than the floor.
    const std::vector<Step> strangers = {{Step::add, 'a', 0, "y1"},   {Step::add, 'b', 0, "y2"},
                                         {Step::add, 'c', 0, "y3"},   {Step::reads, 'a', 150},
                                         {Step::reads, 'b', 150},     {Step::reads, 'c', 150},
                                         {Step::charge, 'a', 900},    {Step::charge, 'b', 900}};
    // Two queues of one account holding 1400 of its 1500, their peers
    // reading so many bytes a second, judged over a window.
    const auto twoOfOne = [](std::size_t a, std::size_t b) {
        return std::vector<Step>{{Step::add, 'a', 0, "x"}, {Step::add, 'b', 0, "x"}, {Step::reads, 'a', a},
                                 {Step::reads, 'b', b},    {Step::charge, 'a', 800},  {Step::charge, 'b', 600},
                                 {Step::wait, 0, 1200}};
    };
    // ...and a phone reading fast holding 300.
    const auto withPhone = join(strangers, {{Step::add, 'p', 0, "phone"},
                                            {Step::reads, 'p', 1000},
                                            {Step::charge, 'p', 300},
                                            {Step::charge, 'c', 700},
                                            {Step::wait, 0, 1200}});
    // Three strangers' devices fill a total of 2700; 's' then 't' send one
    // more record each to the first two, and are held.
    const auto full = with(1000, 1500, 2700);
    const std::vector<Step> fullSteps = {
        {Step::add, 'a', 0, "y1"}, {Step::add, 'b', 0, "y2"}, {Step::add, 'c', 0, "y3"},
        {Step::add, 's', 0, "y1"}, {Step::add, 't', 0, "y2"}, {Step::charge, 'a', 900},
        {Step::charge, 'b', 900},  {Step::charge, 'c', 900},  {Step::charge, 'a', 100, "", 's'},
        {Step::charge, 'b', 100, "", 't'}};
    // ...and a phone under the floor holding 300 within its share, the
    // strangers each over theirs.
    const auto slowPhone = join(strangers, {{Step::add, 'p', 0, "phone"},
                                            {Step::reads, 'p', 50},
                                            {Step::charge, 'p', 300},
                                            {Step::charge, 'c', 900},
                                            {Step::wait, 0, 1200}});
    // A least share of 1000 and four accounts holding 900 each, all but
    // one slow.
    auto crowded = small;
    crowded.leastShare = 1000;
    const std::vector<Step> crowd = {{Step::add, 'd', 0, "z1"},    {Step::add, 'e', 0, "z2"}, {Step::add, 'f', 0, "z3"},
                                     {Step::add, 'g', 0, "z4"},    {Step::reads, 'd', 10},    {Step::reads, 'e', 500},
                                     {Step::reads, 'f', 30},       {Step::reads, 'g', 40},    {Step::charge, 'd', 900},
                                     {Step::charge, 'e', 900},     {Step::charge, 'f', 900},  {Step::charge, 'g', 900},
                                     {Step::add, 'p', 0, "phone"}, {Step::wait, 0, 1200}};
    // Strangers over their share pass the total and what it lends, 's' and
    // 't' held in turn; then 'u' sends a little to a phone within its
    // share, past what the total lends, and is held too.
    const std::vector<Step> pastLent = {
        {Step::add, 'a', 0, "y1"},         {Step::add, 'b', 0, "y2"},         {Step::add, 'c', 0, "y3"},
        {Step::add, 'd', 0, "y1"},         {Step::add, 'e', 0, "y2"},         {Step::add, 'p', 0, "phone"},
        {Step::add, 's', 0, "y1"},         {Step::add, 't', 0, "y2"},         {Step::add, 'u', 0, "phone"},
        {Step::charge, 'a', 1000},         {Step::charge, 'b', 1000},         {Step::charge, 'c', 700},
        {Step::charge, 'd', 500, "", 's'}, {Step::charge, 'e', 500, "", 't'}, {Step::charge, 'p', 100, "", 'u'}};
    // 's' sends past its queue's own limit, and is held.
    const std::vector<Step> ownLimit = {
        {Step::add, 'a', 0, "x"}, {Step::add, 's', 0, "x"}, {Step::charge, 'a', 900}, {Step::charge, 'a', 200, "", 's'}};
    // ...its queue's peer reading 10 bytes a second.
    const auto slowInTheWay = join({{Step::reads, 'a', 10}}, ownLimit);
    const std::vector<Case> cases = {
        {"within every limit it fits", small, {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 500}, {Step::charge, 'a', 500}},
         fits},
        {"past its own limit, a peer that took less than the floor over the window",
         small,
         {{Step::add, 'a', 0, "x"}, {Step::reads, 'a', 50}, {Step::charge, 'a', 900}, {Step::wait, 0, 1200},
          {Step::charge, 'a', 200}},
         closes('a', Scope::connection, Cause::slow)},
        {"past its own limit, a peer above the floor: its sender waits",
         small,
         {{Step::add, 'a', 0, "x"}, {Step::reads, 'a', 150}, {Step::charge, 'a', 900}, {Step::wait, 0, 1200},
          {Step::charge, 'a', 200}},
         waits},
        {"past its own limit before a window has passed: its sender waits",
         small,
         {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 900}, {Step::wait, 0, 600}, {Step::charge, 'a', 200}},
         waits},
        {"a peer that took all it held is judged afresh",
         small,
         {{Step::add, 'a', 0, "x"},
          {Step::reads, 'a', 50},
          {Step::charge, 'a', 900},
          {Step::wait, 0, 1200},
          {Step::release, 'a', 900},
          {Step::charge, 'a', 900},
          {Step::charge, 'a', 200}},
         waits},
        {"past the account's limit, its slowest, not the one holding most", small,
         join(twoOfOne(80, 20), {{Step::charge, 'a', 200}}), closes('b', Scope::account, Cause::slowestOfAccount)},
        {"past the account's limit, a queue closing is never chosen again",
         small,
         {{Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "x"},
          {Step::add, 'c', 0, "x"},
          {Step::reads, 'a', 150},
          {Step::reads, 'b', 20},
          {Step::reads, 'c', 90},
          {Step::charge, 'a', 800},
          {Step::charge, 'b', 600},
          {Step::charge, 'c', 600},
          {Step::wait, 0, 1200},
          {Step::closing, 'b'},
          {Step::charge, 'a', 200}},
         closes('c', Scope::account, Cause::slowestOfAccount)},
        {"what a queue closing still writes no longer counts against its account",
         small,
         {{Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "x"},
          {Step::charge, 'a', 800},
          {Step::charge, 'b', 600},
          {Step::closing, 'b'},
          {Step::charge, 'a', 200}},
         fits},
        {"past the account's limit, nobody slow: its sender waits", small, join(twoOfOne(300, 200), {{Step::charge, 'a', 200}}),
         waits},
        {"past the total, a slow peer of an account over its share, though one within it is slower",
         with(1000, 3000, 3000),
         {{Step::add, 'a', 0, "x"},
          {Step::add, 'b', 0, "x"},
          {Step::add, 'z', 0, "z"},
          {Step::add, 'p', 0, "phone"},
          {Step::reads, 'a', 60},
          {Step::reads, 'b', 50},
          {Step::reads, 'z', 10},
          {Step::charge, 'a', 900},
          {Step::charge, 'b', 900},
          {Step::charge, 'z', 300},
          {Step::wait, 0, 1200},
          {Step::charge, 'p', 800},
          {Step::charge, 'p', 200}},
         closes('b', Scope::total, Cause::slowestOverShare)},
        // Strangers' devices reading just above the floor hold the
        // total; a phone that reads is lent room, a stranger waits.
        {"past the total, nobody slow: a queue its peer keeps up with is lent room", small,
         join(withPhone, {{Step::charge, 'p', 300}}), fits},
        {"past the total, nobody slow: a stranger over its share waits", small,
         join(withPhone, {{Step::charge, 'a', 200, "", 'h'}}), Expected{Expected::waits, {}, "h"}},
        {"past the total, a phone that stopped a moment passes within its share rather than being closed",
         small,
         join(strangers, {{Step::add, 'p', 0, "phone"},
                          {Step::charge, 'c', 1000},
                          {Step::wait, 0, 1200},
                          {Step::charge, 'p', 100},
                          {Step::wait, 0, 600},
                          {Step::charge, 'p', 200}}),
         fits},
        // A phone on a bad link, under the floor, within its account's
        // share, beside strangers just above the floor holding the total
        // over theirs: it is never the one to make room.
        {"past the total, one within its share passes whatever its pace, and no slow peer within its own is closed",
         small,
         join(strangers, {{Step::add, 'z', 0, "z"},
                          {Step::reads, 'z', 50},
                          {Step::charge, 'z', 600},
                          {Step::wait, 0, 1200},
                          {Step::add, 'p', 0, "phone"},
                          {Step::charge, 'p', 300},
                          {Step::charge, 'p', 400}}),
         fits},
        {"past the total, a phone under the floor within its share passes while strangers over theirs hold it", small,
         join(slowPhone, {{Step::charge, 'p', 300}}), fits},
        {"past the total, another account within its share passes rather than close a slow phone within its own", small,
         join(slowPhone, {{Step::add, 'q', 0, "other"}, {Step::reads, 'q', 1000}, {Step::charge, 'q', 300}}), fits},
        {"past the total, a stranger over its share waits rather than close a slow phone within its own", small,
         join(slowPhone, {{Step::charge, 'a', 100, "", 'h'}}), Expected{Expected::waits, {}, "h"}},
        {"past the quarter the total lends, one within its share waits rather than close a slow peer within its own",
         small,
         join(strangers, {{Step::charge, 'c', 1000},
                          {Step::add, 'z', 0, "z"},
                          {Step::reads, 'z', 50},
                          {Step::charge, 'z', 600},
                          {Step::add, 'p', 0, "phone"},
                          {Step::reads, 'p', 1000},
                          {Step::charge, 'p', 100},
                          {Step::wait, 0, 1200},
                          {Step::charge, 'p', 300}}),
         waits},
        // More accounts hold something than the total gives its least
        // share each, all within it.
        {"past the quarter the total lends, with the least share promised to too many, the slowest over an even split",
         crowded, join(crowd, {{Step::charge, 'p', 300}}), closes('d', Scope::total, Cause::slowestOverEvenSplit)},
        {"past the quarter the total lends, with the least share promised to too many, one over its share waits",
         crowded, join(crowd, {{Step::charge, 'e', 300}}), waits},
        {"a queue of no account counts only in all",
         with(1000, 100, 3000),
         {{Step::add, 'a', 0, ""}, {Step::charge, 'a', 900}, {Step::charge, 'a', 50}},
         fits},
        {"released bytes are room again",
         small,
         {{Step::add, 'a', 0, "x"}, {Step::charge, 'a', 900}, {Step::release, 'a', 500}, {Step::charge, 'a', 500}},
         fits},
        {"a removed queue holds nothing",
         with(1000, 1000, 3000),
         {{Step::add, 'a', 0, "x"}, {Step::add, 'b', 0, "x"}, {Step::charge, 'a', 900}, {Step::remove, 'a'},
          {Step::charge, 'b', 900}},
         fits},
        {"past the total, each sender waits", full, fullSteps, Expected{Expected::waits, {}, "st"}},
        {"held for its queue's own limit, it goes on once the queue is within it", full,
         join(ownLimit, {{Step::release, 'a', 300}}), then("", "s")},
        {"held for its queue's own limit, not while the queue is still over it", full,
         join(ownLimit, {{Step::release, 'a', 50}}), then("s", "")},
        {"held for the total, the longest held goes on alone while the total is only just kept", full,
         join(fullSteps, {{Step::release, 'c', 300}}), then("t", "s")},
        {"with room to spare, all go on", full, join(fullSteps, {{Step::release, 'c', 1000}}), then("", "st")},
        // ...while the other's queue, of an account over its share, took
        // nothing over the window and is named to make room.
        {"one whose queue its peer keeps up with goes on though the total is passed", full,
         join(fullSteps, {{Step::reads, 'b', 5000}, {Step::wait, 0, 1200}}),
         then("s", "t", Named{'a', Scope::total, Cause::slowestOverShare})},
        {"held within its share past what the total lends, it goes on within it before any over their share", full,
         join(pastLent, {{Step::release, 'a', 600}}), then("st", "u")},
        {"one whose queue is gone goes on", full, join(ownLimit, {{Step::remove, 'a'}}), then("", "s")},
        {"one gone is held no more", full, join(fullSteps, {{Step::remove, 's'}, {Step::release, 'c', 1000}}),
         then("", "t")},
        {"a slow peer in a held sender's way is not named before its window has passed", small,
         join(slowInTheWay, {{Step::wait, 0, 600}}), then("s", "")},
        {"a slow peer in a held sender's way is named once its window has passed", small,
         join(slowInTheWay, {{Step::wait, 0, 1200}}), then("s", "", Named{'a', Scope::connection, Cause::slow})},
        {"a slow peer in a held sender's way, once closing, is not named again and its sender goes on", small,
         join(slowInTheWay, {{Step::wait, 0, 1200}, {Step::closing, 'a'}}), then("", "s")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.limits);
        const auto judged = c.expected.last != Expected::none;
        const auto steps = judged ? c.steps.size() - 1 : c.steps.size();
        for (std::size_t i = 0; i < steps; ++i) ASSERT_EQ(rig.run(c.steps[i]), std::nullopt);
        std::optional<QueueOver> over;
        if (judged) {
            auto last = c.steps.back();
            ASSERT_EQ(last.kind, Step::charge);
            if (!last.sender) last.sender = 's';
            if (!rig.queues.contains(last.sender)) rig.budget.add(rig.at(last.sender), "sender");
            auto* charged = rig.at(last.queue);
            const auto held = rig.budget.queued(charged), total = rig.budget.total();
            over = rig.run(last);
            EXPECT_EQ(over.has_value(), c.expected.last == Expected::closes);
            // A charge that does not fit charges nothing; one that does,
            // or whose sender waits, is charged.
            EXPECT_EQ(rig.budget.queued(charged), over ? held : held + last.amount);
            EXPECT_EQ(rig.budget.total(), over ? total : total + last.amount);
        } else {
            over = rig.budget.overdue();
        }
        EXPECT_EQ(over.has_value(), c.expected.named.has_value());
        if (over && c.expected.named) {
            EXPECT_EQ(over->queue, rig.at(c.expected.named->queue));
            EXPECT_EQ(over->scope, c.expected.named->scope);
            EXPECT_EQ(over->cause, c.expected.named->cause);
            // What its peer took, in the words the log gives it, is the
            // pace it read at over the window.
            EXPECT_EQ(over->pace, rig.budget.pace(over->queue));
            const auto& named = rig.queues[c.expected.named->queue];
            EXPECT_EQ(over->pace.took * 1000 / static_cast<std::uint64_t>(std::max<std::int64_t>(over->pace.millis, 1)), named.rate);
        }
        std::string held, resumed;
        for (auto& [name, queue] : rig.queues) {
            EXPECT_LE(queue.resumed, 1) << name;
            if (queue.resumed) resumed += name;
            if (rig.budget.held(&queue)) held += name;
        }
        EXPECT_EQ(held, c.expected.held);
        EXPECT_EQ(resumed, c.expected.resumed);
    }
}

// What the kernel holds for an account's sockets counts while one of them is
// held back: past the account's allowance for a window, the senders held
// back holding most there are closed, one by one until it is within it.
TEST(QueueBudget, AnAccountPastItsKernelAllowanceWhileHeldBackHasItsFullestHeldSendersClosed) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string closed;  // in order, each closed before the next is named
    };
    // An account's computer 'c' over its own limit; its phones 'p', 'q'
    // and 'r' each sent it a record past it and are held back; the kernel
    // holds 1200, 900 and 300 of theirs unread, and 'c''s queue 100 more
    // to send. 1000 is the allowance.
    const std::vector<Step> held = {
        {Step::add, 'c', 0, "x"},          {Step::add, 'p', 0, "x"},          {Step::add, 'q', 0, "x"},
        {Step::add, 'r', 0, "x"},          {Step::reads, 'c', 150},           {Step::charge, 'c', 900},
        {Step::charge, 'c', 200, "", 'p'}, {Step::charge, 'c', 100, "", 'q'}, {Step::charge, 'c', 100, "", 'r'},
        {Step::kernel, 'p', 1200},         {Step::kernel, 'q', 900},          {Step::kernel, 'r', 300},
        {Step::kernel, 'c', 100}};
    const auto join = [](std::vector<Step> steps, const std::vector<Step>& more) {
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    const std::vector<Case> cases = {
        {"past it for a window, the fullest first, until within it", join(held, {{Step::wait, 0, 1200}}), "pq"},
        {"not before a window has passed", join(held, {{Step::wait, 0, 800}}), ""},
        {"the kernel's memory of a sender no longer held back is not counted",
         join(held, {{Step::release, 'c', 400}, {Step::wait, 0, 1200}}), ""},
        {"resumed a moment and held back again, as its computer takes a little, it still counts",
         join(held, {{Step::wait, 0, 200}, {Step::release, 'c', 400}, {Step::charge, 'c', 200, "", 'p'},
                     {Step::charge, 'c', 100, "", 'q'}, {Step::charge, 'c', 100, "", 'r'}, {Step::wait, 0, 1000}}),
         "pq"},
        {"within it a moment during the window: the window goes on",
         join(held, {{Step::wait, 0, 600}, {Step::kernel, 'p', 0}, {Step::kernel, 'q', 0}, {Step::wait, 0, 200},
                     {Step::kernel, 'p', 1200}, {Step::kernel, 'q', 900}, {Step::wait, 0, 400}}),
         "pq"},
        {"another account within its allowance is never named",
         join(held, {{Step::add, 'z', 0, "z"}, {Step::add, 's', 0, "z"}, {Step::reads, 'z', 150},
                     {Step::charge, 'z', 1000}, {Step::charge, 'z', 100, "", 's'}, {Step::kernel, 's', 900},
                     {Step::wait, 0, 1200}}),
         "pq"},
        // Its fullest closed, the others take their place in the kernel.
        {"past it again before it kept within it for a while, at once",
         join(held, {{Step::wait, 0, 1200}, {Step::closing, 'p'}, {Step::closing, 'q'}, {Step::wait, 0, 800},
                     {Step::kernel, 'r', 1500}, {Step::wait, 0, 200}}),
         "r"},
        {"past it again once it kept within it for a while, after a window",
         join(held, {{Step::wait, 0, 1200}, {Step::closing, 'p'}, {Step::closing, 'q'}, {Step::wait, 0, 3400},
                     {Step::kernel, 'r', 1500}, {Step::wait, 0, 200}}),
         ""},
        {"a queue closing is never named, and its memory no longer counts",
         join(held, {{Step::closing, 'p'}, {Step::wait, 0, 1200}}), "q"},
        {"what the kernel holds to send counts with what it holds unread",
         join(held, {{Step::kernel, 'c', 1000}, {Step::wait, 0, 1200}}), "pqr"},
    };
    auto limits = with(1000, 100'000, 100'000);
    limits.kernelPerAccount = 1000;
    limits.kernelWatchMillis = 3000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(limits);
        for (const auto& step : c.steps) ASSERT_EQ(rig.run(step), std::nullopt);
        std::string closed;
        while (const auto over = rig.budget.overdue()) {
            ASSERT_LT(closed.size(), 4u);
            EXPECT_EQ(over->scope, QueueScope::kernel);
            EXPECT_EQ(over->cause, QueueCause::heldBack);
            const auto name = std::find_if(rig.queues.begin(), rig.queues.end(),
                                           [&](const auto& each) { return &each.second == over->queue; })->first;
            EXPECT_EQ(over->kernel, rig.queues[name].kernel);
            closed += name;
            rig.budget.closing(over->queue);
        }
        EXPECT_EQ(closed, c.closed);
    }
}

TEST(QueueBudget, TheLogNamesEachLimitAndWhatThePeerTookInWords) {
    const QueueBudget budget({4u << 20, 16u << 20, 1000});
    EXPECT_EQ(budget.describe(QueueScope::connection), "over the 4 MiB one connection may have waiting");
    EXPECT_EQ(budget.describe(QueueScope::account), "over the 16 MiB one account may have waiting");
    EXPECT_EQ(budget.describe(QueueScope::total), "over the 1000 bytes the relay may have waiting in all");
    EXPECT_EQ(budget.explain({nullptr, QueueScope::total, QueueCause::slowestOverShare, {40 << 10, 5'200}}),
              "it took 40 KiB of what it is sent in 5.2 s, under the 32 KiB a second asked of a peer, the slowest of the "
              "accounts holding more than their share; over the 1000 bytes the relay may have waiting in all");
    EXPECT_EQ(budget.explain({nullptr, QueueScope::connection, QueueCause::slow, {0, 5'000}}),
              "it took 0 KiB of what it is sent in 5.0 s, under the 32 KiB a second asked of a peer; over the 4 MiB "
              "one connection may have waiting");
    EXPECT_EQ(budget.explain({nullptr, QueueScope::kernel, QueueCause::heldBack, {}, 1 << 20, 5 << 20}),
              "what it sent waited unread while its reads were held back, 1024 KiB of it in the kernel, the most of "
              "its account's sockets, which held 5120 KiB there for a window; over the 4 MiB of the kernel's memory "
              "one account's sockets may hold while their reads are held back");
}

}  // namespace
}  // namespace morvane::relay_service
