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

TEST_F(Exchange, TextsCrossBothWaysAndTheShellHearsOfEach) {
    admit();
    put(1, "to the computer");
    EXPECT_EQ(clipboard.writes(), std::vector<std::string>{"to the computer"});
    EXPECT_TRUE(eventuallySent(ClipboardMessage::putResult(1, std::nullopt)));
    EXPECT_TRUE(eventually([&] { return shell.contains("to mac"); }));

    clipboard.setNext(clipboard_read::Text{"hello"});
    get(2);
    EXPECT_TRUE(sentText(2, "hello", false));
    EXPECT_TRUE(eventually([&] { return shell.contains("from mac"); }));
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
    frames.observer()->onDisplaysChanged(twoDisplays(2));
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

}  // namespace
}  // namespace morvane
