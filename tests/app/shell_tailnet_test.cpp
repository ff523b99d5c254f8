#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "app/shell.h"
#include "idle_server.h"
#include "manual_executor.h"

namespace morvane {
namespace {

using namespace tailnet_decision;

struct TailnetCLI final : TrustedCLI::Tool {
    Lookup lookup = cli_lookup::Found{"/usr/bin/tailscale", "checked"};
    std::string status = R"({"BackendState":"Running","Self":{"DNSName":"studio.tail1234.ts.net.","UserID":7},)"
                         R"("CertDomains":["studio.tail1234.ts.net"],"User":{"7":{"LoginName":"owner@example.com"}}})";
    std::string serve = "null";
    std::vector<std::string> runs;
    Lookup find() override { return lookup; }
    RunResult run(const std::string&, const std::vector<std::string>& args, double, bool) override {
        std::string k;
        for (const auto& a : args) k += (k.empty() ? "" : " ") + a;
        runs.push_back(k);
        if (args == TailscaleCommand::status()) return {0, status, false, std::nullopt};
        if (args == TailscaleCommand::serveStatus()) return {0, serve, false, std::nullopt};
        return {0, "", false, std::nullopt};
    }
};

using NoServer = testing::IdleServer;

struct CopyingUi final : ShellUi {
    void showIcon(const IconState&) override {}
    ModalResponse runModal(const AlertText& alert) override {
        alerts.push_back(alert);
        return ModalResponse::abort;
    }
    void abortAlert() override {}
    void showNotice(const AlertText&) override {}
    std::vector<std::filesystem::path> chooseFiles() override { return {}; }
    void copyText(const std::string& text) override { copied.push_back(text); }
    void openLocation(const std::string&) override {}
    void quit() override {}
    std::vector<std::string> copied;
    std::vector<AlertText> alerts;
};

struct YesPrompt final : OwnerPrompt {
    void ask(const std::string& reason, std::function<void(bool)> done) override {
        reasons.push_back(reason);
        done(answer);
    }
    void cancel() override {}
    bool answer = true;
    std::vector<std::string> reasons;
};

struct TailnetShell {
    testing::ManualExecutor main, queue;
    std::shared_ptr<TailnetCLI> cli = std::make_shared<TailnetCLI>();
    NoServer server;
    CopyingUi ui;
    YesPrompt prompt;
    std::vector<std::optional<TailnetAccess>> given;
    std::shared_ptr<TailscaleControl> control;
    std::shared_ptr<Shell> shell;

    TailnetShell() {
        TailscaleControl::Setup setup;
        setup.setAccess = [this](std::optional<TailnetAccess> a) { given.push_back(std::move(a)); };
        setup.main = &main;
        setup.queue = &queue;
        setup.cli = cli;
        control = TailscaleControl::create(std::move(setup));
        ShellDeps d;
        d.main = &main;
        d.clock = [this] { return main.now() + 1'000'000; };
        d.server = &server;
        d.ui = &ui;
        d.prompt = &prompt;
        shell = Shell::create(std::move(d));
        shell->setTailscale(control.get());
    }
    void settle() {
        while (queue.runOneTurn() + main.runOneTurn() > 0) {
        }
    }
    void refresh() {
        control->refresh();
        settle();
    }
    // The titles between the section header and the next separator.
    std::vector<std::string> section() {
        const auto menu = shell->menu();
        std::vector<std::string> titles;
        bool in = false;
        for (const auto& item : menu) {
            if (item.kind == MenuItem::Kind::header) in = item.title == "Direct Over Tailscale (Advanced)";
            else if (item.kind == MenuItem::Kind::separator) in = false;
            else if (in) titles.push_back(item.title + (item.enabled ? "" : " (off)"));
        }
        return titles;
    }
    bool hasItem(const std::string& title) {
        const auto menu = shell->menu();
        return std::any_of(menu.begin(), menu.end(), [&](const MenuItem& i) { return i.title == title; });
    }
};

const std::string published =
    R"({"TCP":{"443":{"HTTPS":true}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:8722"}}}}})";

TEST(ShellTailnet, TheMenuSectionFollowsTheControlsSnapshot) {
    struct Case {
        const char* name;
        std::function<void(TailnetCLI&)> setUp;
        std::vector<std::string> section;
    };
    const Case cases[] = {
        {"not installed", [](TailnetCLI& c) { c.lookup = cli_lookup::NotInstalled{}; },
         {"Tailscale is not installed (off)"}},
        {"untrusted", [](TailnetCLI& c) { c.lookup = cli_lookup::Untrusted{"/usr/bin/tailscale: " + std::string(200, 'x')}; },
         {"The Tailscale app on this computer did not pass the trust check (off)",
          // Its middle gives way, not the end that says why.
          ("/usr/bin/tailscale: " + std::string(44, 'x') + "\u2026" + std::string(45, 'x')) + " (off)",
          "Morvane did not run it. Access from other devices is off (off)"}},
        {"off", [](TailnetCLI&) {}, {"Access from my devices: off (off)", "Turn On Access From My Devices…"}},
        {"on", [](TailnetCLI& c) { c.serve = published; },
         {"Access from my devices: on (tailnet only) (off)", "https://studio.tail1234.ts.net (off)",
          "Only devices signed in as owner@example.com (off)", "Copy Tailnet Address",
          "Turn Off Access From My Devices", "Pair a Device Over Tailscale…"}},
        {"funnel", [](TailnetCLI& c) { c.serve = R"({"AllowFunnel":{"a:443":true}})"; },
         {"PUBLIC EXPOSURE: Tailscale Funnel is on for this computer (off)",
          "Morvane refuses all tailnet sessions while it is on (off)",
          "To turn it off, run in Terminal: tailscale funnel reset (off)"}},
        {"signed out", [](TailnetCLI& c) { c.status = R"({"BackendState":"NeedsLogin"})"; },
         {"Tailscale is not signed in (off)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TailnetShell t;
        c.setUp(*t.cli);
        t.refresh();
        EXPECT_EQ(t.section(), c.section);
        EXPECT_EQ(t.hasItem("Pair a Browser on This Computer…"), std::string(c.name) != "on");
    }
}

TEST(ShellTailnet, AKeptAccessAndAFailedCommandShowInTheSection) {
    TailnetShell t;
    t.cli->serve = published;
    t.refresh();
    t.cli->serve = "not json";
    t.refresh();
    EXPECT_EQ(t.section(), (std::vector<std::string>{"Tailscale serve status could not be read (off)",
                                                     "Still on: https://studio.tail1234.ts.net (off)",
                                                     "Pair a Device Over Tailscale…"}));
    t.cli->serve = "null";
    t.refresh();
    t.refresh();
    t.shell->perform(MenuAction::turnOffTailnet);
    EXPECT_EQ(t.section(), (std::vector<std::string>{"Access from my devices: off (off)",
                                                     "Turn On Access From My Devices… (off)",
                                                     "Talking to Tailscale… (off)"}));
    t.settle();
    EXPECT_EQ(t.section(), (std::vector<std::string>{
                               "Access from my devices: off (off)", "Turn On Access From My Devices…",
                               "Could not turn off: port 443 is not serving Morvane alone; nothing was removed (off)"}));
}

TEST(ShellTailnet, TurningOnAsksTheOwnerFirstAndTurningOffDoesNot) {
    TailnetShell t;
    t.refresh();
    t.prompt.answer = false;
    t.shell->perform(MenuAction::turnOnTailnet);
    t.settle();
    EXPECT_EQ(t.prompt.reasons, (std::vector<std::string>{"let your Tailscale devices reach Morvane"}));
    EXPECT_EQ(std::count(t.cli->runs.begin(), t.cli->runs.end(), "serve --bg --https=443 http://127.0.0.1:8722"), 0);

    t.prompt.answer = true;
    t.shell->perform(MenuAction::turnOnTailnet);
    t.settle();
    EXPECT_EQ(std::count(t.cli->runs.begin(), t.cli->runs.end(), "serve --bg --https=443 http://127.0.0.1:8722"), 1);

    t.shell->setStartError("Not running: the server stopped");
    t.shell->perform(MenuAction::turnOnTailnet);
    t.settle();
    EXPECT_EQ(t.prompt.reasons.size(), 2u);

    t.cli->serve = published;
    t.refresh();
    t.shell->perform(MenuAction::turnOffTailnet);
    t.settle();
    EXPECT_EQ(t.prompt.reasons.size(), 2u);
    EXPECT_EQ(std::count(t.cli->runs.begin(), t.cli->runs.end(), "serve --https=443 http://127.0.0.1:8722 off"), 1);
}

TEST(ShellTailnet, TheTailnetAddressIsCopiedOnlyWhileTheRouteIsOn) {
    TailnetShell t;
    t.refresh();
    t.shell->perform(MenuAction::copyTailnetAddress);
    EXPECT_TRUE(t.ui.copied.empty());
    t.cli->serve = published;
    t.refresh();
    t.shell->perform(MenuAction::copyTailnetAddress);
    EXPECT_EQ(t.ui.copied, (std::vector<std::string>{"https://studio.tail1234.ts.net"}));
}

}  // namespace
}  // namespace morvane
