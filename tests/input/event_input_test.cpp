#include "input/event_input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>


#include "../app/manual_executor.h"
#include "fake_backend.h"

namespace morvane {
namespace {

using testing::BackendLog;
using testing::FakeBackend;
using Calls = std::vector<std::string>;

// Everything but the give-back of borrowed keys, which every release asks for.
Calls withoutGiveBack(Calls calls) {
    std::erase(calls, "give back");
    return calls;
}

// The injector on a queue that runs only when told to.
struct Injector {
    BackendLog log;
    std::optional<Rect> shown;
    testing::ManualExecutor queue;
    EventInput input{queue,   std::make_unique<FakeBackend>(log), [this] { return shown; }, InputTuning::pixelsPerWheelStep,
                     nullptr, nullptr, [this] { return queue.now(); }};

    Calls run(std::initializer_list<InputEvent> events) {
        for (const auto& e : events) input.handle(e);
        queue.runAll();
        return withoutGiveBack(log.take());
    }
};

TEST(EventInput, PointerLandsOnTheShownDisplayOrElseTheMainOne) {
    Injector i;
    EXPECT_EQ(i.run({input::Move{0.5, 0.5}}), Calls{"move 500,250"});  // main display
    i.shown = Rect{1000, 0, 200, 100};
    EXPECT_EQ(i.run({input::Move{0.25, 1}}), Calls{"move 1050,99"});
}

TEST(EventInput, ButtonsPressOnceAndReleaseWithTheirFirstClickCount) {
    Injector i;
    EXPECT_EQ(i.run({input::Button{0, false, 0.1, 0.1, 1}}), Calls{});  // never pressed
    EXPECT_EQ(i.run({input::Button{0, true, 0.1, 0.1, 2}, input::Button{0, true, 0.2, 0.2, 3},
                     input::Move{0.3, 0.3}, input::Button{0, false, 0.4, 0.4, 1}}),
              (Calls{"down 0 100,50 x2", "move 300,150 drag0", "up 0 400,200 x2"}));
    EXPECT_EQ(i.run({input::Button{1, true, 0, 0, 0}, input::Button{1, false, 0, 0, 1},
                     input::Button{2, true, 0, 0, 7}, input::Move{0.1, 0}, input::Button{2, false, 0, 0, 1},
                     input::Button{3, true, 0, 0, 1}, input::Button{-1, true, 0, 0, 1}}),
              (Calls{"down 1 0,0 x1", "up 1 0,0 x1", "down 2 0,0 x3", "move 100,0 drag2", "up 2 0,0 x3"}));
    EXPECT_EQ(i.run({input::Move{0, 0}}), Calls{"move 0,0"});
}

TEST(EventInput, KeysRepeatWhileHeldAndReleaseOnlyWhenHeld) {
    Injector i;
    EXPECT_EQ(i.run({input::Key{"KeyA", false}, input::Key{"keya", true}, input::Key{"Nonsense", true}}), Calls{});
    EXPECT_EQ(i.run({input::Key{"KeyA", true}, input::Key{"KeyA", true}, input::Key{"ShiftLeft", true},
                     input::Key{"ShiftLeft", true}, input::Key{"KeyA", false}, input::Key{"KeyA", false}}),
              (Calls{"key KeyA down", "key KeyA down repeat", "key ShiftLeft down", "key ShiftLeft down repeat",
                     "key KeyA up"}));
    EXPECT_EQ(i.run({input::Scroll{0, 120}, input::Scroll{-40, 0}}), (Calls{"wheel -2 0"}));
}

TEST(EventInput, TextTypesEachCharacterAndItsKeysAreGivenBackOnlyAfterARelease) {
    Injector i;
    EXPECT_EQ(i.run({input::Text{"a\r\nb\t\xE2\x82\xAC"}}),
              (Calls{"type 97", "tap Enter", "type 98", "tap Tab",
                     "type 8364", "end text"}));
    i.queue.advance(60'000);
    EXPECT_EQ(i.log.take(), Calls{}) << "the keys stay bound for the next text";

    // The backend gives back what applications are done with and asks to
    // be called again for the rest, until nothing is left.
    i.log.giveBackWaits = {700, 300};
    i.input.releaseEverything();
    EXPECT_EQ(i.log.take(), Calls{"give back"});
    i.queue.advance(699);
    EXPECT_EQ(i.log.take(), Calls{});
    i.queue.advance(1);
    EXPECT_EQ(i.log.take(), Calls{"give back"});
    i.queue.advance(300);
    EXPECT_EQ(i.log.take(), Calls{"give back"});
    i.queue.advance(60'000);
    EXPECT_EQ(i.log.take(), Calls{});

    // A text after the release uses the keys again: the rest of the
    // give-back waits for the next release.
    i.log.giveBackWaits = {500};
    i.input.releaseEverything();
    EXPECT_EQ(i.run({input::Text{"c"}}), (Calls{"type 99", "end text"}));
    i.queue.advance(60'000);
    EXPECT_EQ(i.log.take(), Calls{});
    i.input.releaseEverything();
    EXPECT_EQ(i.log.take(), Calls{"give back"});
}

TEST(EventInput, ReleaseEverythingLetsGoOfAllHeldAndDropsWhatIsQueued) {
    Injector i;
    i.run({input::Key{"ShiftLeft", true}, input::Key{"KeyA", true}, input::Key{"ControlLeft", true},
           input::Button{0, true, 0.5, 0.5, 1}, input::Button{2, true, 0.5, 0.5, 2}, input::Move{0.1, 0.2},
           input::Scroll{0, 30}});
    i.input.releaseEverything();
    const Calls released = withoutGiveBack(i.log.take());
    ASSERT_EQ(released.size(), 5u);
    EXPECT_EQ(released[0], "key KeyA up");  // the ordinary key before its modifiers
    EXPECT_EQ((Calls{released[1], released[2]}), (Calls{"key ControlLeft up", "key ShiftLeft up"}));
    EXPECT_EQ(released[3], "up 0 100,100 x1");
    EXPECT_EQ(released[4], "up 2 100,100 x2");
    // The scroll remainder went too, and nothing is held any more.
    EXPECT_EQ(i.run({input::Scroll{0, 30}}), Calls{});
    i.input.handle(input::Key{"KeyB", true});  // accepted, not yet carried out: dropped
    i.input.releaseEverything();
    EXPECT_EQ(withoutGiveBack(i.log.take()), Calls{});
}

// A text keeps its pace from its start: a pause the machine overran is made
// up by the characters after it going sooner, but no more than a few at once.
TEST(EventInput, ATextOnABusyMachineTakesItsOwnTimeNotThatPlusEveryDelay) {
    struct Case {
        const char* name;
        std::int64_t overrun;  // ms, of the second character's pause
        std::int64_t took;     // from the first character to the last pause's end
    };
    const Case cases[] = {
        {"no overrun: a pause a character", 0, 14 * InputTuning::typingPauseMillis},
        {"a short overrun is made up wholly", 10, 14 * InputTuning::typingPauseMillis},
        {"a long one by a few characters at once", 100,
         100 + (14 - 1 - InputTuning::typingCatchUpCharacters) * InputTuning::typingPauseMillis},
    };
    for (const auto& c : cases) {
        BackendLog log;
        testing::ManualExecutor queue;
        std::int64_t now = 0;
        int pauses = 0;
        log.onPause = [&](int millis) { now += millis + (++pauses == 2 ? c.overrun : 0); };
        EventInput input{queue, std::make_unique<FakeBackend>(log), [] { return std::optional<Rect>{}; },
                         InputTuning::pixelsPerWheelStep, nullptr, nullptr, [&] { return now; }};
        input.handle(input::Text{std::string(14, 'x')});
        queue.runAll();
        EXPECT_EQ(now, c.took) << c.name;
    }
}

TEST(EventInput, AReleaseInTheMiddleOfALongTextStopsItBeforeItsNextCharacter) {
    Injector i;
    // The release comes while the first character's pause is under way.
    bool released = false;
    i.log.onPause = [&](int) {
        if (!std::exchange(released, true)) i.input.releaseEverything();
    };
    i.input.handle(input::Text{std::string(50, 'x')});
    i.input.handle(input::Key{"KeyB", true});  // queued behind the text: dropped
    i.queue.runAll();
    // What typing changed of the modifiers goes back even so.
    EXPECT_EQ(withoutGiveBack(i.log.take()), (Calls{"type 120", "end text"}));
}

TEST(EventInput, AFloodThatOutrunsTheQueueIsCutOffButReleasesStillGetThrough) {
    Injector i;
    // Each round floods while the queue does not run, then runs it.
    auto round = [&](const std::function<void()> flood) {
        flood();
        i.queue.runAll();
        return withoutGiveBack(i.log.take());
    };

    const Calls moves = round([&] {
        for (int n = 0; n < 5000; ++n) i.input.handle(input::Move{0.5, 0.5});
        i.input.handle(input::Text{"y"});
    });
    EXPECT_EQ(moves.size(), static_cast<std::size_t>(InputTuning::maxQueuedEvents));
    EXPECT_EQ(std::count(moves.begin(), moves.end(), "move 500,250"), InputTuning::maxQueuedEvents);

    const Calls texts = round([&] {
        for (int n = 0; n < 2; ++n) i.input.handle(input::Text{std::string(150'000, 'y')});
        i.input.handle(input::Key{"KeyA", true});
    });
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "type 121"), 150'000);
    EXPECT_EQ(texts.back(), "key KeyA down");

    // What the device let go of is let go of here too, flood or not:
    // nothing stays held for the rest of the session.
    EXPECT_EQ(i.run({input::Key{"ShiftLeft", true}, input::Button{0, true, 0, 0, 1}}),
              (Calls{"key ShiftLeft down", "down 0 0,0 x1"}));
    const Calls releases = round([&] {
        for (int n = 0; n < 5000; ++n) i.input.handle(input::Move{0.5, 0.5});
        i.input.handle(input::Key{"ShiftLeft", false});
        i.input.handle(input::Button{0, false, 0, 0, 1});
        i.input.handle(input::Key{"KeyA", true});  // a press still waits for room
    });
    ASSERT_GE(releases.size(), 2u);
    EXPECT_EQ(releases[releases.size() - 2], "key ShiftLeft up");
    EXPECT_EQ(releases.back(), "up 0 0,0 x1");

    // Once the queue has drained, events are taken again.
    EXPECT_EQ(i.run({input::Text{"z"}}), (Calls{"type 122", "end text"}));
}

// The locker is asked on a queue of its own: on the input queue a lock only
// lets go of what the device holds.
TEST(EventInput, LockLetsGoOfWhatIsHeldAndLeavesTheLockerToTheShell) {
    Injector i;
    EXPECT_EQ(i.run({input::Key{"MetaLeft", true}, input::Lock{}}), (Calls{"key MetaLeft down", "key MetaLeft up"}));
    EXPECT_EQ(i.run({input::Button{0, true, 0, 0, 1}, input::Lock{}}), (Calls{"down 0 0,0 x1", "up 0 0,0 x1"}));
}

// Time goes by as it does, beat by beat.
void pass(testing::ManualExecutor& queue, std::int64_t millis) {
    for (std::int64_t t = 0; t < millis; t += 10) queue.advance(10);
}

// The key that would wake a locked screen's dialog is not spent on it: the
// dialog is woken first, before a text's first key and before a key pressed,
// and what comes after waits with them until the dialog reads.
TEST(EventInput, KeysForALockedScreenWaitInOrderUntilItsDialogReads) {
    using News = LockScreenView::WindowNews;
    const std::vector<News> dialog = {{News::Kind::made, 1}, {News::Kind::shown, 1}};
    const Calls woken = {"watch windows", "nudge"};
    struct Row {
        const char* what;
        bool locked;
        std::vector<InputEvent> events;
        Calls before, after;  // the dialog read
    };
    const Row rows[] = {
        {"a text: before its first key, after its keys are bound", true, {input::Text{"Pw\n"}}, woken,
         {"type 80", "type 119", "tap Enter", "end text"}},
        {"a key pressed, not its repeat nor its release", true,
         {input::Key{"Enter", true}, input::Key{"Enter", true}, input::Key{"Enter", false}}, woken,
         {"key Enter down", "key Enter down repeat", "key Enter up"}},
        {"a modifier alone types nothing: the key it goes with wakes", true,
         {input::Key{"ShiftLeft", true}, input::Key{"KeyA", true}}, {"key ShiftLeft down", "watch windows", "nudge"},
         {"key KeyA down"}},
        {"a key that wakes holds the password after it", true,
         {input::Key{"ArrowDown", true}, input::Key{"ArrowDown", false}, input::Move{0.5, 0.5}, input::Text{"P"}},
         woken, {"key ArrowDown down", "key ArrowDown up", "move 500,250", "type 80", "end text"}},
        {"nothing to wake on an open screen", false, {input::Text{"Pw"}, input::Key{"KeyA", true}},
         {"type 80", "type 119", "end text", "key KeyA down"}, {}},
    };
    for (const auto& row : rows) {
        BackendLog log;
        log.windowNews = dialog;
        testing::ManualExecutor queue;
        EventInput input(queue, std::make_unique<FakeBackend>(log), nullptr, InputTuning::pixelsPerWheelStep,
                         [&] { return row.locked; }, nullptr, [&] { return queue.now(); });
        for (const auto& e : row.events) input.handle(e);
        queue.runAll();
        EXPECT_EQ(log.take(), row.before) << row.what;
        pass(queue, 500);
        EXPECT_EQ(log.take(), row.after) << row.what;
    }
}

// The phone locks the computer, and its password comes right after: the
// dialog of the lock before is gone, and the new one is woken and waited for.
TEST(EventInput, ALockForgetsTheDialogOfTheLockBefore) {
    using News = LockScreenView::WindowNews;
    BackendLog log;
    testing::ManualExecutor queue;
    EventInput input(queue, std::make_unique<FakeBackend>(log), nullptr, InputTuning::pixelsPerWheelStep,
                     [] { return true; }, nullptr, [&] { return queue.now(); });
    for (std::uint64_t dialog : {1, 2}) {
        log.windowNews = {{News::Kind::made, dialog}, {News::Kind::shown, dialog}};
        input.handle(input::Text{"P"});
        input.handle(input::Lock{});
        queue.runAll();
        EXPECT_EQ(withoutGiveBack(log.take()), (Calls{"watch windows", "nudge"}));
        pass(queue, 500);
        EXPECT_EQ(withoutGiveBack(log.take()), (Calls{"type 80", "end text", "watch no windows"}));
    }
}

// The device lets go while its password waits for the dialog: it is dropped
// as anything queued is, and what comes after it goes to the dialog found.
TEST(EventInput, AReleaseDropsWhatWaitsForALockedScreensDialog) {
    using News = LockScreenView::WindowNews;
    BackendLog log;
    log.windowNews = {{News::Kind::made, 1}, {News::Kind::shown, 1}};
    testing::ManualExecutor queue;
    EventInput input(queue, std::make_unique<FakeBackend>(log), nullptr, InputTuning::pixelsPerWheelStep,
                     [] { return true; }, nullptr, [&] { return queue.now(); });
    input.handle(input::Text{"P"});
    input.handle(input::Key{"KeyA", true});
    queue.runAll();
    EXPECT_EQ(log.take(), (Calls{"watch windows", "nudge"}));
    input.releaseEverything();
    input.handle(input::Text{"Q"});
    pass(queue, 500);
    EXPECT_EQ(withoutGiveBack(log.take()), (Calls{"type 81", "end text"}));
}

TEST(EventInput, DestroyingTheInjectorReleasesWhatIsHeldAndLeavesNothingBehindOnTheQueue) {
    BackendLog log;
    testing::ManualExecutor queue;
    {
        EventInput input(queue, std::make_unique<FakeBackend>(log), nullptr);
        input.handle(input::Key{"AltLeft", true});
        input.handle(input::Button{1, true, 0, 0, 1});
        input.handle(input::Text{"a"});
        queue.runAll();
        log.take();
        input.handle(input::Key{"KeyB", true});  // still queued: dropped
        log.giveBackWaits = {500};
    }
    EXPECT_EQ(withoutGiveBack(log.take()), (Calls{"key AltLeft up", "up 1 0,0 x1"}));
    // The queue outlives the injector; a give-back it had left waiting
    // must not reach the backend that went with it.
    queue.advance(60'000);
    EXPECT_EQ(log.take(), Calls{});
}

}  // namespace
}  // namespace morvane
