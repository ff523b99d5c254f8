#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "../app/manual_executor.h"
#include "tailnet/tailscale_control.h"

namespace morvane {
namespace {

using testing::ManualExecutor;
using namespace tailnet_decision;

const std::string path = "/usr/bin/tailscale";
const TailnetAccess ownerAccess{"studio.tail1234.ts.net", "owner@example.com"};

std::string statusJson(const std::string& login = "owner@example.com", bool certificates = true) {
    return R"({"BackendState":"Running","Self":{"DNSName":"studio.tail1234.ts.net.","UserID":7},"CertDomains":[)" +
           std::string(certificates ? R"("studio.tail1234.ts.net")" : "") + R"(],"User":{"7":{"LoginName":")" + login +
           R"("}}})";
}
const std::string published =
    R"({"TCP":{"443":{"HTTPS":true}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"}}}}})";
const std::string publishedTwice =
    R"({"TCP":{"443":{"HTTPS":true}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"},"/x":{"Proxy":"http://127.0.0.1:9"}}}}})";

TrustedCLI::RunResult ok(std::string output) { return {0, std::move(output), false, std::nullopt}; }

// Answers each command from what the test set; records every run.
struct FakeCLI : TrustedCLI::Tool {
    Lookup lookup = cli_lookup::Found{path, "checked"};
    std::map<std::string, RunResult> answers;
    std::map<std::string, std::deque<RunResult>> once;  // used before `answers`
    std::vector<std::string> runs;

    static std::string key(const std::vector<std::string>& args) {
        std::string k;
        for (const auto& a : args) k += (k.empty() ? "" : " ") + a;
        return k;
    }
    void answer(const std::vector<std::string>& args, RunResult result) { answers[key(args)] = std::move(result); }
    Lookup find() override { return lookup; }
    RunResult run(const std::string& p, const std::vector<std::string>& args, double timeout, bool merge) override {
        const auto k = key(args);
        runs.push_back(p + " " + k + (merge ? " (merged)" : "") + " " + std::to_string(static_cast<int>(timeout)));
        if (auto it = once.find(k); it != once.end() && !it->second.empty()) {
            auto r = it->second.front();
            it->second.pop_front();
            return r;
        }
        if (auto it = answers.find(k); it != answers.end()) return it->second;
        return {1, "unknown command", false, std::nullopt};
    }
};

struct Rig {
    ManualExecutor main, queue;
    std::shared_ptr<FakeCLI> cli = std::make_shared<FakeCLI>();
    std::vector<std::optional<TailnetAccess>> given;
    std::vector<std::string> lines;
    int changes = 0;
    std::shared_ptr<TailscaleControl> control;

    Rig() {
        cli->answer(TailscaleCommand::status(), ok(statusJson()));
        cli->answer(TailscaleCommand::serveStatus(), ok(published));
        TailscaleControl::Setup setup;
        setup.port = 8722;
        setup.setAccess = [this](std::optional<TailnetAccess> a) { given.push_back(std::move(a)); };
        setup.log = [this](const std::string& tag, const std::string& text) { lines.push_back(tag + "  " + text); };
        setup.main = &main;
        setup.queue = &queue;
        setup.cli = cli;
        control = TailscaleControl::create(std::move(setup));
        control->onChange = [this] { ++changes; };
    }
    void settle() {
        while (queue.runOneTurn() + main.runOneTurn() > 0) {
        }
    }
    void refresh() {
        control->refresh();
        settle();
    }
    const TailscaleControl::Snapshot& snap() const { return control->snapshot(); }
    std::vector<std::string> takeLines() { return std::exchange(lines, {}); }
};

TEST(TailscaleControl, StartsCheckingAndRefreshesEveryThirtySeconds) {
    Rig rig;
    EXPECT_EQ(rig.snap(), TailscaleControl::Snapshot{});
    EXPECT_EQ(rig.snap().decision, TailnetDecision(Unreadable{"Checking Tailscale\u2026"}));
    rig.control->start();
    rig.settle();
    EXPECT_EQ(rig.snap().decision, TailnetDecision(On{ownerAccess}));
    EXPECT_EQ(rig.snap().access, ownerAccess);
    EXPECT_TRUE(rig.snap().published);
    EXPECT_EQ(rig.cli->runs, (std::vector<std::string>{path + " status --json 8", path + " serve status --json 8"}));

    rig.cli->answer(TailscaleCommand::status(), ok(statusJson("new-owner@example.com")));
    rig.main.advance(TailscaleControl::refreshMillis - 1);
    rig.settle();
    EXPECT_EQ(rig.snap().access, ownerAccess);
    rig.main.advance(1);
    rig.settle();
    EXPECT_EQ(rig.snap().access, (TailnetAccess{"studio.tail1234.ts.net", "new-owner@example.com"}));
    // The server hears every verdict; it ignores an unchanged one itself.
    ASSERT_EQ(rig.given.size(), 2u);
    EXPECT_EQ(rig.given.back()->ownerLogin, "new-owner@example.com");
    rig.main.advance(TailscaleControl::refreshMillis);
    rig.settle();
    EXPECT_EQ(rig.cli->runs.size(), 6u);

    // Gone with the control: the timer does nothing.
    rig.control.reset();
    rig.main.advance(TailscaleControl::refreshMillis);
    rig.settle();
    EXPECT_EQ(rig.cli->runs.size(), 6u);
}

TEST(TailscaleControl, ASteadyStateIsLoggedOnce) {
    Rig rig;
    for (int i = 0; i < 10; ++i) rig.refresh();
    EXPECT_EQ(rig.takeLines(), (std::vector<std::string>{
                                   "tailscale  state: tailnet access on: https://studio.tail1234.ts.net, owner "
                                   "owner@example.com",
                                   "tailscale  CLI: /usr/bin/tailscale"}));
    EXPECT_EQ(rig.changes, 10);
}

TEST(TailscaleControl, AccessSurvivesTwoUnreadableReadsAndGoesAtTheThird) {
    Rig rig;
    rig.refresh();
    rig.takeLines();
    rig.cli->answer(TailscaleCommand::serveStatus(), {1, "", false, std::nullopt});
    rig.refresh();
    EXPECT_EQ(rig.snap().access, ownerAccess);
    EXPECT_EQ(rig.takeLines(), (std::vector<std::string>{"tailscale  state: unreadable: Tailscale serve status could "
                                                         "not be read (keeping the current origin)"}));
    rig.refresh();
    EXPECT_EQ(rig.snap().access, ownerAccess);
    EXPECT_TRUE(rig.takeLines().empty());
    rig.refresh();
    EXPECT_EQ(rig.snap().access, std::nullopt);
    EXPECT_EQ(rig.given.back(), std::nullopt);
    EXPECT_EQ(rig.takeLines(),
              (std::vector<std::string>{"tailscale  state: unreadable: Tailscale serve status could not be read"}));

    // A good read in between starts the count again.
    rig.cli->answer(TailscaleCommand::serveStatus(), ok(published));
    rig.refresh();
    rig.cli->answer(TailscaleCommand::serveStatus(), {0, "", true, std::nullopt});  // timed out
    rig.refresh();
    rig.cli->answer(TailscaleCommand::serveStatus(), ok(published));
    rig.refresh();
    rig.cli->answer(TailscaleCommand::status(), ok("not json"));
    rig.refresh();
    rig.refresh();
    EXPECT_EQ(rig.snap().access, ownerAccess);
}

TEST(TailscaleControl, EveryOtherVerdictWithdrawsAtOnceWithItsLogLine) {
    struct Case {
        const char* name;
        std::function<void(FakeCLI&)> change;
        std::string line;
    };
    const Case cases[] = {
        {"not installed", [](FakeCLI& c) { c.lookup = cli_lookup::NotInstalled{}; }, "tailscale  state: not installed"},
        {"untrusted on disk", [](FakeCLI& c) { c.lookup = cli_lookup::Untrusted{"/usr/bin/tailscale: bad\nthing"}; },
         "error  the Tailscale tool found on this computer was NOT run: /usr/bin/tailscale: bad thing"},
        {"refused on the status read",
         [](FakeCLI& c) { c.answer(TailscaleCommand::status(), {-1, "", false, "it is a symbolic link"}); },
         "error  the Tailscale tool found on this computer was NOT run: it is a symbolic link"},
        {"refused on the serve read",
         [](FakeCLI& c) { c.answer(TailscaleCommand::serveStatus(), {-1, "", false, "content changed"}); },
         "error  the Tailscale tool found on this computer was NOT run: content changed"},
        {"signed out",
         [](FakeCLI& c) { c.answer(TailscaleCommand::status(), ok(R"({"BackendState":"NeedsLogin"})")); },
         "tailscale  state: unavailable: Tailscale is not signed in"},
        {"unpublished", [](FakeCLI& c) { c.answer(TailscaleCommand::serveStatus(), ok("null")); },
         "tailscale  state: serve is off for Morvane"},
        {"unpublished without certificates",
         [](FakeCLI& c) {
             c.answer(TailscaleCommand::status(), ok(statusJson("owner@example.com", false)));
             c.answer(TailscaleCommand::serveStatus(), ok("null"));
         },
         "tailscale  state: serve is off for Morvane (HTTPS certificates are not enabled for this tailnet)"},
        {"port taken", [](FakeCLI& c) { c.answer(TailscaleCommand::serveStatus(), ok(publishedTwice)); },
         "tailscale  state: port 443 of the tailnet name is used by another serve entry; tailnet access off"},
        {"raw forward",
         [](FakeCLI& c) {
             c.answer(TailscaleCommand::serveStatus(), ok(R"({"TCP":{"22":{"TCPForward":"127.0.0.1:8722"}}})"));
         },
         "error  another serve entry leads to the Morvane port (a raw TCP forward cannot be refused by the server); "
         "tailnet access off"},
        {"other entries",
         [](FakeCLI& c) { c.answer(TailscaleCommand::serveStatus(), ok(R"({"TCP":{"22":{}}})")); },
         "tailscale  state: other serve entries exist; Morvane only turns on when it is the only one; tailnet access "
         "off"},
        {"funnel",
         [](FakeCLI& c) { c.answer(TailscaleCommand::serveStatus(), ok(R"({"AllowFunnel":{"x:443":true}})")); },
         "error  FUNNEL IS ON for this computer: public exposure is possible. Tailnet sessions refused."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.refresh();
        rig.takeLines();
        c.change(*rig.cli);
        rig.refresh();
        EXPECT_EQ(rig.snap().access, std::nullopt);
        ASSERT_FALSE(rig.given.empty());
        EXPECT_EQ(rig.given.back(), std::nullopt);
        const auto lines = rig.takeLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), c.line);
    }
}

TEST(TailscaleControl, TurningOnRunsTheToolOnlyWhenTheFreshReadAllowsIt) {
    struct Case {
        const char* name;
        std::string statusBefore;  // for the guard's fresh read
        std::string serveBefore;
        std::optional<std::string> error;
        bool runs;
    };
    const Case cases[] = {
        {"off, nothing blocks", statusJson(), "null", std::nullopt, true},
        {"off with a blocker", statusJson("owner@example.com", false), "null",
         "Could not turn on: HTTPS certificates are not enabled for this tailnet", false},
        {"changed to a conflict", statusJson(), publishedTwice, "Could not turn on: the state changed; nothing was done",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.cli->answer(TailscaleCommand::serveStatus(), ok("null"));
        rig.refresh();
        rig.cli->runs.clear();
        rig.takeLines();
        rig.cli->answer(TailscaleCommand::status(), ok(c.statusBefore));
        rig.cli->once[FakeCLI::key(TailscaleCommand::serveStatus())].push_back(ok(c.serveBefore));
        rig.cli->answer(TailscaleCommand::serveOn(8722), ok(""));
        rig.changes = 0;
        rig.control->turnOn();
        EXPECT_TRUE(rig.snap().busy);
        EXPECT_EQ(rig.changes, 1);
        rig.control->turnOn();  // ignored while busy
        rig.settle();
        EXPECT_FALSE(rig.snap().busy);
        EXPECT_EQ(rig.snap().actionError, c.error);
        const bool ran = std::find(rig.cli->runs.begin(), rig.cli->runs.end(),
                                   path + " serve --bg --https=443 http://127.0.0.1:8722 (merged) 20") !=
                         rig.cli->runs.end();
        EXPECT_EQ(ran, c.runs);
        const auto lines = rig.takeLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], "tailscale  turn on: running tailscale serve --bg --https=443 http://127.0.0.1:8722");
        EXPECT_EQ(lines[1], c.error ? "error  turn on failed: " + c.error->substr(std::string("Could not turn on: ").size())
                                    : "tailscale  turn on: command succeeded");
    }
}

TEST(TailscaleControl, CommandFailuresAreShownInTheToolsOwnFirstLine) {
    struct Case {
        const char* name;
        TrustedCLI::RunResult result;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"success", ok("Available within your tailnet"), std::nullopt},
        {"fails silently", {1, "", false, std::nullopt}, "Could not turn on: no output"},
        {"fails with words", {1, "\n  \r\n  error: serve config denied\nmore", false, std::nullopt},
         "Could not turn on: error: serve config denied"},
        {"outlives its time", {-1, "", true, std::nullopt}, "Could not turn on: Tailscale did not finish. no output"},
        {"outlives its time after a line", {-1, "waiting\n", true, std::nullopt},
         "Could not turn on: Tailscale did not finish. waiting"},
        {"refused at start", {-1, "", false, "it is a symbolic link"}, "Could not turn on: it is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.cli->answer(TailscaleCommand::serveStatus(), ok("null"));
        rig.refresh();
        rig.cli->answer(TailscaleCommand::serveOn(8722), c.result);
        rig.control->turnOn();
        rig.settle();
        EXPECT_EQ(rig.snap().actionError, c.error);
    }
}

TEST(TailscaleControl, CommandsAreIgnoredWhileBusyOrWithoutATrustedTool) {
    Rig rig;
    rig.cli->lookup = cli_lookup::NotInstalled{};
    rig.refresh();
    rig.changes = 0;
    rig.cli->runs.clear();
    rig.control->turnOn();
    rig.control->turnOff();
    rig.settle();
    EXPECT_EQ(rig.changes, 0);
    EXPECT_TRUE(rig.cli->runs.empty());
    EXPECT_FALSE(rig.snap().busy);
}

TEST(TailscaleControl, TurningOffRemovesOnlyThisHostsSolePublication) {
    Rig rig;
    rig.refresh();
    rig.cli->answer(TailscaleCommand::serveOff(8722), ok(""));
    rig.cli->answer(TailscaleCommand::serveStatus(), ok(publishedTwice));
    rig.control->turnOff();
    rig.settle();
    EXPECT_EQ(rig.snap().actionError,
              "Could not turn off: port 443 is not serving Morvane alone; nothing was removed");

    rig.cli->answer(TailscaleCommand::serveStatus(), ok(published));
    rig.cli->once[FakeCLI::key(TailscaleCommand::serveStatus())] = {ok(published), ok("null")};
    rig.cli->runs.clear();
    rig.control->turnOff();
    rig.settle();
    EXPECT_EQ(rig.snap().actionError, std::nullopt);
    EXPECT_EQ(rig.cli->runs[2], path + " serve --https=443 http://127.0.0.1:8722 off (merged) 20");
    EXPECT_FALSE(rig.snap().published);
    EXPECT_EQ(rig.snap().decision, TailnetDecision(Off{}));
    EXPECT_EQ(rig.snap().access, std::nullopt);
}

TEST(TailscaleControl, FirstLineIsTheFirstLineWorthShowing) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "no output"},
        {" \t\n\r\n", "no output"},
        {"one\ntwo", "one"},
        {"\r\n  \t \r  two  \n", "two"},
        {"\v\fthree", "three"},
        {"a\xC2\x85" "b", "a"},
        {"\xE2\x80\xA8x\xE2\x80\xA9y", "x"},
        {"\x1b[31mred", "[31mred"},
        {"\x01\x02", "no output"},
        {std::string(200, 'z'), std::string(160, 'z')},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(TailscaleControl::firstLine(in), out) << in;
}

}  // namespace
}  // namespace morvane
