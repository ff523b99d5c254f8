#include <gtest/gtest.h>

#include "../app/manual_executor.h"
#include "capture/display_choice.h"
#include "server/clipboard_display_relay.h"
#include "server_fakes.h"
#include "transfer/clipboard_message.h"
#include "transfer/clipboard_text.h"

namespace morvane {
namespace {

using testing::Journal;
using testing::ManualExecutor;
using testing::RecordingLink;

nlohmann::json state(int id, const char* word) { return ClipboardMessage::state(id, word); }

DisplayListing twoDisplays(std::uint32_t current) {
    DisplayListing listing;
    listing.displays.push_back(DisplayInfo{1, "Built-in", 2560, 1600, Rect{0, 0, 1280, 800}, true, true});
    listing.displays.push_back(DisplayInfo{2, "Display 1", 1920, 1080, Rect{1280, 0, 1920, 1080}, false, false});
    listing.current = current;
    return listing;
}

struct DeskFixture : ::testing::Test {
    ManualExecutor queue;
    ManualExecutor main;
    Journal journal;
    testing::FakeFrameSource frames{journal};
    testing::FakeClipboard clipboard;
    bool paused = false;
    std::vector<ClipboardDirection> crossed;
    std::shared_ptr<ClipboardDisplayRelay> relay = ClipboardDisplayRelay::create(
        queue, main, &clipboard, frames, [this] { return paused; }, [this] { return queue.now(); });
    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();

    void SetUp() override {
        queue.advance(10'000);
        relay->setOnTransfer([this](ClipboardDirection d) { crossed.push_back(d); });
        relay->attach(link);
    }
    void settle() {
        for (int i = 0; i < 4; ++i) {
            queue.runAll();
            main.runAll();
        }
    }
    void get(int id) {
        relay->handleClipboard(clipboard_request::Get{id});
        settle();
    }
    void put(int id, const std::string& text) {
        relay->handleClipboard(clipboard_request::PutBegin{id, 1, static_cast<int>(text.size())});
        relay->handleClipboard(clipboard_request::PutChunk{id, 0, text});
        settle();
    }
    bool saidText(int id, const std::string& text, bool cut) {
        auto expected = ClipboardMessage::text(id, text, cut);
        auto at = std::find(link->sent.begin(), link->sent.end(), expected[0].dump());
        for (auto& m : expected) {
            if (at == link->sent.end() || *at != m.dump()) return false;
            ++at;
        }
        return true;
    }
};

TEST_F(DeskFixture, ClipboardReadsAreOneAtATimeSpacedAndAnsweredWhileTheOwnerIsAsked) {
    clipboard.setNext(clipboard_read::Text{"hello"}, /*hold=*/true);
    get(1);
    queue.advance(100);
    get(2);
    EXPECT_TRUE(link->said(state(2, "busy")));
    EXPECT_FALSE(link->said(state(1, "asking")));
    queue.advance(ClipboardLimits::askingAfterMillis - 100);
    EXPECT_TRUE(link->said(state(1, "asking"))) << "a read held by the system is reported";
    ASSERT_TRUE(clipboard.release(clipboard_read::Text{"hello"}));
    settle();
    EXPECT_TRUE(saidText(1, "hello", false));
    EXPECT_EQ(crossed, std::vector{ClipboardDirection::fromMac});

    clipboard.setNext(clipboard_read::Text{"again"});
    get(3);
    EXPECT_TRUE(saidText(3, "again", false));
    queue.advance(ClipboardLimits::minIntervalMillis - 1);
    get(4);
    EXPECT_TRUE(link->said(state(4, "too-soon")));
    queue.advance(1);
    get(5);
    EXPECT_TRUE(saidText(5, "again", false));

    struct Case {
        const char* why;
        ClipboardRead read;
        std::optional<std::string> word;  // else the text, cut as said
        std::string text;
        bool cut = false;
    };
    std::vector<Case> cases = {
        {"longer than the limit is cut and said so", clipboard_read::Text{std::string(100'001, 'a')}, std::nullopt,
         std::string(100'000, 'a'), true},
        {"blanks are text too", clipboard_read::Text{"  \n"}, std::nullopt, "  \n", false},
        {"a read the system cut", clipboard_read::Cut{"part"}, std::nullopt, "part", true},
        {"nothing", clipboard_read::Empty{}, "empty", "", false},
        {"an empty text", clipboard_read::Text{""}, "empty", "", false},
        {"marked private", clipboard_read::MarkedPrivate{}, "private", "", false},
        {"denied", clipboard_read::Denied{}, "denied", "", false},
        {"no permission", clipboard_read::NeedsPermission{}, "needs-permission", "", false},
    };
    int id = 10;
    for (auto& c : cases) {
        clipboard.setNext(c.read);
        queue.advance(ClipboardLimits::minIntervalMillis);
        get(id);
        if (c.word)
            EXPECT_TRUE(link->said(state(id, c.word->c_str()))) << c.why;
        else
            EXPECT_TRUE(saidText(id, c.text, c.cut)) << c.why;
        ++id;
    }
    EXPECT_FALSE(link->said(state(1, "needs-permission")));
}

TEST_F(DeskFixture, AReadTheSystemNeverAnswersIsGivenUpAndALateAnswerDropped) {
    clipboard.setNext(clipboard_read::Text{"late"}, /*hold=*/true);
    get(1);
    queue.advance(ClipboardLimits::readGiveUpMillis - 1);
    EXPECT_FALSE(link->said(state(1, "needs-permission")));
    queue.advance(1);
    EXPECT_TRUE(link->said(state(1, "needs-permission")));
    get(2);
    EXPECT_FALSE(link->said(state(2, "busy"))) << "the given-up read no longer blocks";
    ASSERT_TRUE(clipboard.release(clipboard_read::Text{"late"}));
    settle();
    EXPECT_FALSE(saidText(1, "late", false));
}

TEST_F(DeskFixture, AnswersForASessionThatLeftAreDropped) {
    frames.setListing(twoDisplays(1));
    clipboard.setNext(clipboard_read::Text{"late"}, /*hold=*/true);
    get(1);
    relay->handleClipboard(clipboard_request::PutBegin{2, 1, 3});
    relay->handleClipboard(clipboard_request::PutChunk{2, 0, "abc"});
    queue.advance(DisplayLimits::minSwitchIntervalMillis);
    relay->selectDisplay(2);
    relay->sendDisplays(link);
    auto before = link->sent.size();
    auto next = std::make_shared<RecordingLink>();
    relay->attach(next);
    ASSERT_TRUE(clipboard.release(clipboard_read::Text{"late"}));
    settle();
    queue.advance(ClipboardLimits::readGiveUpMillis);
    EXPECT_EQ(link->sent.size(), before) << "nothing reaches the session that left";
    EXPECT_TRUE(next->sent.empty()) << "nor the one that came";
    EXPECT_EQ(clipboard.writes(), std::vector<std::string>{"abc"}) << "the write itself was made";
    get(3);
    EXPECT_FALSE(next->said(state(3, "busy"))) << "the old read does not hold up the new session";
}

TEST_F(DeskFixture, ClipboardWritesAnswerThePasteboardsVerdictOrTheAssemblersWord) {
    put(1, "to the computer");
    EXPECT_EQ(clipboard.writes(), std::vector<std::string>{"to the computer"});
    EXPECT_TRUE(link->said(ClipboardMessage::putResult(1, std::nullopt)));
    EXPECT_EQ(crossed, std::vector{ClipboardDirection::toMac});

    clipboard.writable = false;
    queue.advance(ClipboardLimits::minIntervalMillis);
    put(2, "refused");
    EXPECT_TRUE(link->said(ClipboardMessage::putResult(2, "write-failed")));
    EXPECT_EQ(crossed.size(), 1u) << "a failed write is not reported as crossed";

    relay->handleClipboard(clipboard_request::PutChunk{77, 0, "stray"});
    EXPECT_EQ(link->sent.back(), ClipboardMessage::putResult(77, "unknown-transfer").dump())
        << "a chunk of no transfer is refused with the assembler's word";

    // A write still unfinished at its deadline fails on the tick.
    clipboard.writable = true;
    queue.advance(ClipboardLimits::minIntervalMillis);
    relay->handleClipboard(clipboard_request::PutBegin{4, 2, 4});
    relay->handleClipboard(clipboard_request::PutChunk{4, 0, "ab"});
    queue.advance(ClipboardLimits::transferMillis + 1);
    relay->tick();
    EXPECT_EQ(link->sent.back(), ClipboardMessage::putResult(4, "timeout").dump());

    // A write that reaches the pasteboard after the host paused is not made.
    queue.advance(ClipboardLimits::minIntervalMillis);
    relay->handleClipboard(clipboard_request::PutBegin{5, 1, 6});
    relay->handleClipboard(clipboard_request::PutChunk{5, 0, "paused"});
    paused = true;
    settle();
    EXPECT_EQ(clipboard.writes().size(), 2u);
    EXPECT_TRUE(link->said(ClipboardMessage::putResult(5, "write-failed")));
}

TEST_F(DeskFixture, PointerEventsWaitForASwitchOrASettlingModeAndKeysNever) {
    frames.setListing(twoDisplays(1));
    struct Case {
        const char* name;
        InputEvent event;
        bool switching;
        bool settling;
        bool held;
    };
    const std::vector<Case> cases = {
        {"a move, nothing pending", input::Move{0.5, 0.5}, false, false, false},
        {"a move during a switch", input::Move{0.5, 0.5}, true, false, true},
        {"a move while a mode settles", input::Move{0.5, 0.5}, false, true, true},
        {"a press while a mode settles", input::Button{0, true}, false, true, true},
        {"a key during both", input::Key{"KeyA", true}, true, true, false},
    };
    std::uint32_t shown = 1;
    for (const auto& c : cases) {
        std::uint32_t other = shown == 1 ? 2 : 1;
        if (c.switching) {
            queue.advance(DisplayLimits::minSwitchIntervalMillis);
            relay->selectDisplay(other);
            settle();
        }
        ASSERT_EQ(relay->switching(), c.switching) << c.name;
        EXPECT_EQ(relay->holdsBack(c.event, c.settling), c.held) << c.name;
        if (c.switching) {
            frames.setListing(twoDisplays(other));
            relay->displaysChanged(twoDisplays(other));
            shown = other;
        }
    }
}

TEST_F(DeskFixture, DisplaySwitchHoldsThePointerUntilTheCaptureHasMoved) {
    frames.setListing(twoDisplays(1));
    const InputEvent move = input::Move{0.5, 0.5};
    const InputEvent key = input::Key{"KeyA", true};

    relay->selectDisplay(1);
    settle();
    EXPECT_TRUE(link->said(DisplayMessage::result(1, std::nullopt)));
    EXPECT_TRUE(link->said(DisplayMessage::list(twoDisplays(1))));
    EXPECT_FALSE(relay->holdsBack(move)) << "the display already shown leaves nothing pending";

    queue.advance(DisplayLimits::minSwitchIntervalMillis - 1);
    relay->selectDisplay(2);
    EXPECT_TRUE(link->said(DisplayMessage::result(2, std::string("too-soon"))));

    queue.advance(1);
    relay->selectDisplay(2);
    settle();
    EXPECT_TRUE(link->said(DisplayMessage::result(2, std::nullopt)));
    EXPECT_TRUE(relay->holdsBack(move)) << "a move would land on the old display";
    EXPECT_FALSE(relay->holdsBack(key)) << "keys pass";

    frames.setListing(twoDisplays(2));
    relay->displaysChanged(twoDisplays(2));
    EXPECT_EQ(link->sent.back(), DisplayMessage::list(twoDisplays(2)).dump());
    EXPECT_FALSE(relay->holdsBack(move));

    queue.advance(DisplayLimits::minSwitchIntervalMillis);
    relay->selectDisplay(9);
    settle();
    EXPECT_TRUE(link->said(DisplayMessage::result(9, std::string("unknown-display"))));
    EXPECT_FALSE(relay->holdsBack(move)) << "a refused switch leaves nothing pending";

    // A switch the capture never completes is given up on the settle tick.
    queue.advance(DisplayLimits::minSwitchIntervalMillis);
    relay->selectDisplay(1);
    settle();
    for (int i = 1; i < DisplayLimits::switchSettleSeconds; ++i) relay->tick();
    EXPECT_TRUE(relay->holdsBack(move));
    relay->tick();
    EXPECT_FALSE(relay->holdsBack(move));

    // While paused the source is not asked and no answer comes.
    paused = true;
    queue.advance(DisplayLimits::minSwitchIntervalMillis);
    auto said = link->sent.size();
    relay->selectDisplay(2);
    settle();
    EXPECT_EQ(link->sent.size(), said);
    auto lines = journal.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "select 2"), 1);
}

}  // namespace
}  // namespace morvane
