// The display effects of the test host on a real X server that can change
// modes (Xorg with the dummy driver): whatever ends the host, the display is
// put back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "../support/eventually.h"
#include "../support/xorg_dummy.h"
#include "harness_process.h"
#include "paired_session.h"
#include "ws_client.h"
#include "platform/linux/display_effects_x11.h"

namespace morvane::testing {
namespace {

namespace fs = std::filesystem;

struct Screen {
    std::unique_ptr<DisplayModeBackend> backend = makeRandrBackend();
    std::uint32_t display() { return backend->topology().main; }
    std::optional<DisplayModeInfo> mode(int w, int h) {
        for (const auto& m : backend->allModes(display()).value_or(std::vector<DisplayModeInfo>{}))
            if (m.width == w && m.height == h) return m;
        return std::nullopt;
    }
    std::string size() {
        const auto m = backend->currentMode(display());
        return m ? std::to_string(m->width) + "x" + std::to_string(m->height) : "none";
    }
};

class EffectsSession : public ::testing::Test {
protected:
    void SetUp() override {
        dataHome = fs::temp_directory_path() /
                   ("morvane-fx-" + std::to_string(getpid()) + "-" +
                    std::to_string(Clock::now().time_since_epoch().count()));
        fs::create_directories(dataHome / "Morvane");
    }
    void TearDown() override {
        host.reset();
        fs::remove_all(dataHome);
    }
    fs::path record() const { return dataHome / "Morvane" / "display-change.json"; }
    void start() {
        host = std::make_unique<HarnessProcess>(dataHome, freePort(), std::vector<std::string>{"--x11"});
        ASSERT_TRUE(host->waitLine("listening ", 15'000));
    }
    // The texts of the "display" lines the host printed so far.
    std::vector<std::string> displayLines() {
        std::vector<std::string> out;
        for (const auto& line : host->lines())
            if (line.rfind(R"({"event":"display")", 0) == 0)
                out.push_back(nlohmann::json::parse(line, nullptr, false).value("line", ""));
        return out;
    }

    // Pairs a device and opens its controlling session.
    std::unique_ptr<WebSocket> connect() {
        auto ws = pairedSession(*host, "Viewer");
        if (ws->nextText() != R"({"device":"Viewer","t":"ready","version":1})") return nullptr;
        return ws;
    }
    // The next message of type `t`, skipping everything else.
    static std::optional<nlohmann::json> nextOfType(WebSocket& ws, const std::string& t, int millis = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(millis);
        while (Clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            auto f = ws.next(static_cast<int>(std::max<long>(left, 1)));
            if (!f) return std::nullopt;
            if (f->opcode != 0x1) continue;
            auto j = nlohmann::json::parse(f->payload, nullptr, false);
            if (j.is_object() && j.value("t", "") == t) return j;
        }
        return std::nullopt;
    }
    // Polls the display until it has the size, or the time is up.
    static bool becomes(Screen& screen, const std::string& size, int millis = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(millis);
        while (Clock::now() < deadline) {
            if (screen.size() == size) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return screen.size() == size;
    }

    XorgDummy xorg{MORVANE_XORG_CONFIG};
    fs::path dataHome;
    std::unique_ptr<HarnessProcess> host;
};

TEST_F(EffectsSession, LaunchUndoesOnlyWhatAnEarlierRunOfThisBootLeftChanged) {
    struct Case {
        std::string boot;
        std::string after;
        bool putBack;
    };
    for (const Case& c : {Case{readBootId(), "1920x1080", true}, Case{"an-earlier-boot", "1440x900", false}}) {
        SCOPED_TRACE(c.boot);
        Screen screen;
        const auto own = screen.mode(1920, 1080);
        const auto set = screen.mode(1440, 900);
        ASSERT_TRUE(own && set);
        // An earlier host changed the mode, wrote its record and was killed.
        ASSERT_TRUE(screen.backend->apply(screen.display(), *set));
        ASSERT_EQ(screen.size(), "1440x900");
        std::ofstream(record()) << nlohmann::json{{"boot", c.boot},
                                                  {"changed",
                                                   {{{"display", screen.display()},
                                                     {"original", own->id},
                                                     {"applied", set->id}}}}}
                                       .dump();
        start();
        // Displays are named in the log as xrandr names their outputs.
        const std::string name = "display " + screen.backend->name(screen.display());
        // All before the server listens.
        const auto expected =
            c.putBack ? std::vector<std::string>{name + ": a resolution change is left from the last run",
                                                 "resolution of " + name + " put back to 1920x1080 pt"}
                      : std::vector<std::string>{"a resolution change from before the last restart needs no undoing"};
        EXPECT_EQ(displayLines(), expected);
        EXPECT_EQ(screen.size(), c.after);
        EXPECT_FALSE(fs::exists(record()));
        host->command("quit");
        EXPECT_EQ(host->waitExit(), 0);
        host.reset();
        ASSERT_TRUE(screen.backend->apply(screen.display(), *own));
    }
}

TEST_F(EffectsSession, AMatchAskedByTheDeviceChangesTheModeAndEndingTheSessionPutsItBack) {
    Screen screen;
    ASSERT_EQ(screen.size(), "1920x1080");
    start();
    auto ws = connect();
    ASSERT_TRUE(ws);
    ws->sendText(R"({"t":"fx-hello","v":1})");
    ASSERT_TRUE(nextOfType(*ws, "fx-state"));
    ws->sendText(R"({"t":"fx-match","id":1,"w":1440,"h":900,"scale":1})");
    auto result = nextOfType(*ws, "fx-result");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->value("ok", false), true) << result->dump();
    EXPECT_NE(screen.size(), "1920x1080");
    EXPECT_TRUE(fs::exists(record())) << "the undo record is written before the change";

    ws.reset();  // the device goes away without a word
    EXPECT_TRUE(becomes(screen, "1920x1080"));
    // Removed once the mode is back: a moment after the display shows it.
    EXPECT_TRUE(eventually([&] { return !fs::exists(record()); }));
    host->command("quit");
    EXPECT_EQ(host->waitExit(), 0);
}

}  // namespace
}  // namespace morvane::testing
