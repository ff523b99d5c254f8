#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "capture/display_choice.h"
#include "media_fixture.h"
#include "transfer/clipboard_message.h"

namespace morvane {
namespace {

using testing::eventually;
using testing::MediaSession;

nlohmann::json state(int id, const char* word) { return ClipboardMessage::state(id, word); }

class Exchange : public MediaSession {
protected:
    void get(int id) {
        send(nlohmann::json{{"t", "clip-get"}, {"id", id}}.dump());
        settle();
    }
    // Every message of a text answer is sent, in order, within a few seconds.
    bool sentText(int id, const std::string& text, bool cut) {
        return eventually([&] { return sentTextNow(id, text, cut); });
    }
    bool sentTextNow(int id, const std::string& text, bool cut) {
        auto lines = wire->sent.lines();
        auto expected = ClipboardMessage::text(id, text, cut);
        auto at = std::find(lines.begin(), lines.end(), json(expected[0]));
        for (auto& m : expected) {
            if (at == lines.end() || *at != json(m)) return false;
            ++at;
        }
        return true;
    }
    void put(int id, const std::string& text) {
        send(nlohmann::json{{"t", "clip-put"}, {"id", id}, {"n", 1}, {"len", text.size()}}.dump());
        send(nlohmann::json{{"t", "clip-chunk"}, {"id", id}, {"i", 0}, {"s", text}}.dump());
        settle();
    }
    DisplayListing twoDisplays(std::uint32_t current) {
        DisplayListing listing;
        listing.displays.push_back(DisplayInfo{1, "Built-in", 2560, 1600, Rect{0, 0, 1280, 800}, true, true});
        listing.displays.push_back(DisplayInfo{2, "Display 1", 1920, 1080, Rect{1280, 0, 1920, 1080}, false, false});
        listing.current = current;
        return listing;
    }
};

TEST_F(Exchange, ClipboardReadsAreOneAtATimeSpacedAndAnsweredWhileTheOwnerIsAsked) {
    admit();
    clipboard.setNext(clipboard_read::Text{"hello"}, /*hold=*/true);
    get(1);
    clock += 100;
    get(2);
    EXPECT_TRUE(eventuallySent(state(2, "busy")));
    EXPECT_TRUE(eventuallySent(state(1, "asking"), 3000)) << "a read held by the system is reported";
    ASSERT_TRUE(clipboard.release(clipboard_read::Text{"hello"}));
    settle();
    EXPECT_TRUE(sentText(1, "hello", false));
    EXPECT_TRUE(eventually([&] { return shell.contains("from mac"); }));

    clipboard.setNext(clipboard_read::Text{"again"});
    clock += 200;
    get(3);
    EXPECT_TRUE(eventuallySent(state(3, "too-soon")));
    clock += 1000;
    get(4);
    EXPECT_TRUE(sentText(4, "again", false));

    // Longer than the limit: cut, and said so. Blanks are text too.
    clipboard.setNext(clipboard_read::Text{std::string(100'001, 'a')});
    clock += 1000;
    get(5);
    EXPECT_TRUE(sentText(5, std::string(100'000, 'a'), true));
    clipboard.setNext(clipboard_read::Text{"  \n"});
    clock += 1000;
    get(6);
    EXPECT_TRUE(sentText(6, "  \n", false));

    struct Case {
        ClipboardRead read;
        const char* word;
    };
    std::vector<Case> cases = {{clipboard_read::Empty{}, "empty"},
                               {clipboard_read::Text{""}, "empty"},
                               {clipboard_read::MarkedPrivate{}, "private"},
                               {clipboard_read::Denied{}, "denied"},
                               {clipboard_read::NeedsPermission{}, "needs-permission"}};
    int id = 10;
    for (auto& c : cases) {
        clipboard.setNext(c.read);
        clock += 1000;
        get(id);
        EXPECT_TRUE(eventuallySent(state(id, c.word))) << c.word;
        ++id;
    }
    EXPECT_FALSE(sent(state(1, "needs-permission")));
}

TEST_F(Exchange, AReadAnsweredAfterTheControllerLeftIsDropped) {
    admit();
    clipboard.setNext(clipboard_read::Text{"late"}, /*hold=*/true);
    get(1);
    runSync(server->sessionQueue(), [&] { entries->peerClosed(); });
    settle();
    ASSERT_TRUE(clipboard.release(clipboard_read::Text{"late"}));
    settle();
    EXPECT_FALSE(sentTextNow(1, "late", false));
    EXPECT_FALSE(shell.contains("from mac"));
}

TEST_F(Exchange, ClipboardWritesAnswerThePasteboardsVerdictOrTheAssemblersWord) {
    admit();
    put(1, "to the mac");
    EXPECT_EQ(clipboard.writes(), std::vector<std::string>{"to the mac"});
    EXPECT_TRUE(eventuallySent(ClipboardMessage::putResult(1, std::nullopt)));
    EXPECT_TRUE(eventually([&] { return shell.contains("to mac"); }));

    clipboard.writable = false;
    clock += 1000;
    put(2, "refused");
    EXPECT_TRUE(eventuallySent(ClipboardMessage::putResult(2, "write-failed")));

    clock += 1000;
    send(R"({"t":"clip-chunk","id":77,"i":0,"s":"stray"})");
    settle();
    EXPECT_TRUE(sentCount(R"("id":77)") == 1 && sentCount(R"("ok":false)") == 2)
        << "a chunk of no transfer is refused with the assembler's word";

    // A write that reaches the pasteboard after the host paused is not made.
    clipboard.writable = true;
    clock += 1000;
    std::promise<void> gate;
    auto opened = gate.get_future().share();
    main.post([opened] { opened.wait(); });
    send(R"({"t":"clip-put","id":3,"n":1,"len":6})");
    send(R"({"t":"clip-chunk","id":3,"i":0,"s":"paused"})");
    std::thread pauser([&] { server->pause(PauseCause::menu); });
    pauser.join();
    gate.set_value();
    settle();
    EXPECT_EQ(clipboard.writes().size(), 2u);
}

TEST_F(Exchange, DisplaySwitchHoldsThePointerUntilTheCaptureHasMoved) {
    frames.setListing(twoDisplays(1));
    admit();
    EXPECT_TRUE(eventuallySent(DisplayMessage::list(twoDisplays(1))));

    // The display already shown: answered at once, nothing left pending.
    send(R"({"t":"disp-select","id":1})");
    settle();
    EXPECT_TRUE(eventuallySent(DisplayMessage::result(1, std::nullopt)));
    EXPECT_EQ(sentCount(R"("t":"disp-list")"), 2);
    send(R"({"t":"mm","x":0.5,"y":0.5})");
    settle();
    EXPECT_TRUE(journal.contains("move 0.500000 0.500000"));

    clock += 500;
    send(R"({"t":"disp-select","id":2})");
    settle();
    EXPECT_TRUE(eventuallySent(DisplayMessage::result(2, std::string("too-soon"))));

    clock += 1000;
    send(R"({"t":"disp-select","id":2})");
    settle();
    EXPECT_TRUE(eventuallySent(DisplayMessage::result(2, std::nullopt)));
    send(R"({"t":"mm","x":0.25,"y":0.25})");
    send(R"({"t":"mb","b":0,"d":true,"x":0.25,"y":0.25})");
    send(R"({"t":"mb","b":0,"d":false,"x":0.25,"y":0.25})");
    send(R"({"t":"k","code":"KeyA","d":true})");
    settle();
    EXPECT_FALSE(journal.contains("move 0.250000 0.250000")) << "a move would land on the old display";
    EXPECT_FALSE(journal.contains("press"));
    EXPECT_TRUE(journal.contains("release button"));
    EXPECT_TRUE(journal.contains("input")) << "keys pass";

    frames.setListing(twoDisplays(2));
    frames.onDisplaysChanged()(twoDisplays(2));
    settle();
    EXPECT_TRUE(eventuallySent(DisplayMessage::list(twoDisplays(2))));
    send(R"({"t":"mm","x":0.75,"y":0.75})");
    settle();
    EXPECT_TRUE(journal.contains("move 0.750000 0.750000"));

    clock += 1000;
    send(R"({"t":"disp-select","id":9})");
    settle();
    EXPECT_TRUE(eventuallySent(DisplayMessage::result(9, std::string("unknown-display"))));
    send(R"({"t":"mm","x":0.125,"y":0.125})");
    settle();
    EXPECT_TRUE(journal.contains("move 0.125000 0.125000")) << "a refused switch leaves nothing pending";
}

TEST_F(Exchange, ASwitchTheCaptureNeverCompletesIsGivenUpOnTheFifthTick) {
    frames.setListing(twoDisplays(1));
    admit();
    send(R"({"t":"disp-select","id":2})");
    settle();
    ASSERT_TRUE(sent(DisplayMessage::result(2, std::nullopt)));
    auto moved = [&] {
        send(R"({"t":"mm","x":0.5,"y":0.5})");
        settle();
        return journal.contains("move 0.500000 0.500000");
    };
    EXPECT_FALSE(moved());
    EXPECT_TRUE(eventually(moved, 8000));
}

}  // namespace
}  // namespace morvane
