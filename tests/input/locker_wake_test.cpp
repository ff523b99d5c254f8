#include "input/locker_wake.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "../app/manual_executor.h"

namespace morvane {
namespace {

using News = LockScreenView::WindowNews;
using WindowKind = News::Kind;

// A display whose windows come and go at the times a row says, told only
// while watched, as the root window's news is.
class ScriptedScreen final : public LockScreenView {
public:
    ScriptedScreen(const testing::ManualExecutor& clock, std::multimap<std::int64_t, News> script)
        : clock_(clock), script_(std::move(script)) {}
    void nudgePointer() override { ++nudges; }
    void watchWindows(bool on) override { watching_ = on; }
    std::vector<News> windowNews() override {
        std::vector<News> out;
        while (!script_.empty() && script_.begin()->first <= clock_.now()) {
            if (watching_) out.push_back(script_.begin()->second);
            script_.erase(script_.begin());
        }
        return out;
    }
    int nudges = 0;

private:
    const testing::ManualExecutor& clock_;
    std::multimap<std::int64_t, News> script_;
    bool watching_ = false;
};

std::multimap<std::int64_t, News> dialogShownAt(std::int64_t made, std::int64_t shown, std::uint64_t window) {
    return {{made, {WindowKind::made, window}}, {shown, {WindowKind::shown, window}}};
}

std::multimap<std::int64_t, News> operator+(std::multimap<std::int64_t, News> a,
                                            const std::multimap<std::int64_t, News>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

// The locker's windows keep changing: a window made and gone every 300 ms.
std::multimap<std::int64_t, News> churn(std::int64_t from, std::int64_t to) {
    std::multimap<std::int64_t, News> out;
    for (std::int64_t t = from; t < to; t += 300) {
        const auto window = static_cast<std::uint64_t>(1000 + t);
        out.insert({t, {WindowKind::made, window}});
        out.insert({t + 100, {WindowKind::gone, window}});
    }
    return out;
}

TEST(LockerWake, KeysForALockedScreenGoOnceItsDialogReadsOrTheWaitGivesUp) {
    struct Row {
        const char* rule;
        std::multimap<std::int64_t, News> script;
        // When keys come (-1: the screen is locked anew at the next time).
        std::vector<std::int64_t> keys;
        // The news is read, and keys let go, on the beats 20 ms apart.
        std::vector<std::int64_t> wantGo;
        int wantNudges;
        std::size_t wantLines = 0;
    };
    const Row rows[] = {
        {"a dialog that comes up and stays as it is reads a moment after it showed", dialogShownAt(250, 300, 1),
         {0}, {700}, 1},
        {"a dialog made anew before it reads: the moment starts over with the new window, twice the slowest change",
         dialogShownAt(100, 200, 1) + std::multimap<std::int64_t, News>{{400, {WindowKind::gone, 1}}} +
             dialogShownAt(450, 900, 2),
         {0}, {1800}, 1},
        {"a dialog made anew slowly: it has stayed twice as long as the slowest change took",
         dialogShownAt(100, 200, 1) + std::multimap<std::int64_t, News>{{500, {WindowKind::gone, 1}}} +
             dialogShownAt(500, 500, 2),
         {0}, {1100}, 1},
        {"another of the locker's windows changing starts the moment over",
         dialogShownAt(100, 200, 1) + std::multimap<std::int64_t, News>{{300, {WindowKind::made, 3}}, {500, {WindowKind::gone, 3}}},
         {0}, {900}, 1},
        {"a window made before the wake (the locker's cover) is not its dialog",
         std::multimap<std::int64_t, News>{{100, {WindowKind::shown, 7}}}, {0}, {5000}, 10, 1},
        {"a cover made after the wake (xscreensaver's animation started anew) is not its dialog, nor stops the "
         "pointer",
         std::multimap<std::int64_t, News>{{100, {WindowKind::made, 5, true}}, {150, {WindowKind::shown, 5}}} +
             dialogShownAt(1300, 1400, 1),
         {0}, {1800}, 3},
        {"keys that come while a wake waits go with it, in order", dialogShownAt(250, 300, 1), {0, 100, 650},
         {700, 700, 700}, 1},
        {"no window: the pointer goes every half second, keys go 5 s after the wake, straight for 30 s after it, "
         "then wake again (said once)",
         {}, {0, 6000, 29000, 31000}, {5000, 6000, 29000, 36000}, 20, 1},
        {"a locker that takes no notice of the first moves after it locked is woken again until a window comes",
         dialogShownAt(1200, 1300, 1), {0}, {1700}, 3},
        {"a dialog found reads as long as it is shown, however long the keys pause", dialogShownAt(50, 100, 1),
         {0, 20000, 60000}, {500, 20000, 60000}, 1},
        {"a dialog gone (the screen opened, the dialog timed out): the next key wakes again",
         dialogShownAt(50, 100, 1) + std::multimap<std::int64_t, News>{{2000, {WindowKind::gone, 1}}} +
             dialogShownAt(3100, 3200, 2),
         {0, 3000}, {500, 3600}, 2},
        {"a new lock forgets the dialog of the last: the password after it wakes the new one",
         dialogShownAt(50, 100, 1) + dialogShownAt(1600, 1700, 2), {0, -1, 1500}, {500, 2100}, 2},
        {"a locker that brought up no window shows its dialog all along: a new lock keeps the keys going straight",
         {}, {0, -1, 6000}, {5000, 6000}, 10, 1},
        {"a locker that brought up a dialog before is waited for again at the next key after a wake in vain",
         dialogShownAt(50, 100, 1) + std::multimap<std::int64_t, News>{{1000, {WindowKind::gone, 1}}},
         {0, 2000, 8000}, {500, 7000, 13000}, 21, 1},
        {"a dialog that never stays as it is: keys go 6 s after the wake, with a line",
         dialogShownAt(50, 100, 1) + churn(200, 9000), {0}, {6000}, 1, 1},
    };
    for (const auto& row : rows) {
        testing::ManualExecutor queue;
        ScriptedScreen screen(queue, row.script);
        std::vector<std::string> lines;
        LockerWake wake(queue, [&] { return queue.now(); }, screen, [&](const std::string& l) { lines.push_back(l); });
        std::vector<std::int64_t> went;
        // As the injector does, a key let go asks again before it goes.
        std::function<void()> ask = [&] {
            if (wake.ready(ask)) went.push_back(queue.now());
        };
        bool lockNext = false;
        for (std::int64_t at : row.keys) {
            if (at < 0) {
                lockNext = true;
                continue;
            }
            while (queue.now() < at) queue.advance(std::min<std::int64_t>(10, at - queue.now()));
            if (std::exchange(lockNext, false)) wake.forget();
            ask();
        }
        for (int i = 0; i < 1000; ++i) queue.advance(10);
        ASSERT_EQ(went.size(), row.wantGo.size()) << row.rule;
        for (std::size_t i = 0; i < went.size(); ++i) {
            EXPECT_NEAR(went[i], row.wantGo[i], 20) << row.rule << ", key " << i;
        }
        EXPECT_EQ(screen.nudges, row.wantNudges) << row.rule;
        EXPECT_EQ(lines.size(), row.wantLines) << row.rule;
    }
}

// Whoever waits when the wake goes is never called: the keys went with the
// injector.
TEST(LockerWake, NothingIsCalledOnceTheWakeIsGone) {
    testing::ManualExecutor queue;
    ScriptedScreen screen(queue, dialogShownAt(50, 100, 1));
    bool called = false;
    {
        LockerWake wake(queue, [&] { return queue.now(); }, screen, nullptr);
        EXPECT_FALSE(wake.ready([&] { called = true; }));
    }
    queue.advance(10'000);
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace morvane
