// The control driving the stand-in tool through the Linux checks and
// process runner: the road a real install takes, minus Tailscale itself.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "../app/manual_executor.h"
#include "fake_tool.h"
#include "platform/linux/tailscale_cli.h"
#include "tailnet/tailscale_control.h"
#include "tailnet/tailscale_self_check.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using testing::FakeTool;
using testing::ManualExecutor;
using namespace tailnet_decision;

const TailnetAccess signedInOwner{"studio.tail1234.ts.net", "owner@example.com"};

struct ToolRig {
    FakeTool fake;
    ManualExecutor main, queue;
    std::vector<std::optional<TailnetAccess>> given;
    std::vector<std::string> lines;
    std::shared_ptr<TailscaleControl> control;

    // `deadline`: how long the control lets the tool run, in seconds. Long
    // where the tool behaves, so a busy machine never makes its answer late.
    explicit ToolRig(double deadline = 20) {
        TailscaleControl::Setup setup;
        setup.setAccess = [this](std::optional<TailnetAccess> a) { given.push_back(std::move(a)); };
        setup.log = [this](const std::string& tag, const std::string& text) { lines.push_back(tag + "  " + text); };
        setup.main = &main;
        setup.queue = &queue;
        setup.cli = std::shared_ptr<TrustedCLI::Tool>(makeLinuxTrustedCLI(fake.places()));
        setup.statusTimeoutSeconds = deadline;
        setup.actionTimeoutSeconds = deadline;
        control = TailscaleControl::create(std::move(setup));
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
};

TEST(TailscaleToolControl, TurningOnPublishesOn443AndGivesTheServerTheOwnersLogin) {
    ToolRig rig;
    rig.refresh();
    EXPECT_EQ(rig.snap().decision, TailnetDecision(Off{}));
    EXPECT_EQ(rig.given.back(), std::nullopt);
    rig.control->turnOn();
    rig.settle();
    EXPECT_EQ(rig.snap().actionError, std::nullopt);
    EXPECT_NE(rig.fake.calls().find("serve\n--bg\n--https=443\nhttp://127.0.0.1:8722\n"), std::string::npos);
    EXPECT_EQ(rig.snap().decision, TailnetDecision(On{signedInOwner}));
    EXPECT_TRUE(rig.snap().published);
    EXPECT_EQ(rig.given.back(), signedInOwner);

    // Another owner signs in: the server is told the new login.
    rig.fake.setStatus(FakeTool::statusJson("new@example.com"));
    rig.refresh();
    EXPECT_EQ(rig.given.back(), (TailnetAccess{"studio.tail1234.ts.net", "new@example.com"}));

    rig.control->turnOff();
    rig.settle();
    EXPECT_EQ(rig.snap().actionError, std::nullopt);
    EXPECT_EQ(rig.fake.serve(), "null\n");
    EXPECT_EQ(rig.snap().decision, TailnetDecision(Off{}));
    EXPECT_EQ(rig.given.back(), std::nullopt);
}

TEST(TailscaleToolControl, AToolThatStopsBeingTrustworthyLosesAccessAtOnce) {
    const std::pair<const char*, std::function<void(FakeTool&)>> cases[] = {
        {"made group-writable", [](FakeTool& f) { ::chmod(f.tool().c_str(), 0775); }},
        {"replaced by a symbolic link",
         [](FakeTool& f) {
             fs::rename(f.tool(), f.root() / "elsewhere");
             fs::create_symlink(f.root() / "elsewhere", f.tool());
         }},
        {"owned by another user", [](FakeTool& f) { ASSERT_EQ(::chown(f.tool().c_str(), 65534, 0), 0); }},
        {"content changed", [](FakeTool& f) { testing::writeText(f.tool(), f.script() + "# changed\n"); }},
    };
    for (const auto& [name, tamper] : cases) {
        SCOPED_TRACE(name);
        ToolRig rig;
        rig.fake.setServe(FakeTool::publishedJson());
        rig.refresh();
        ASSERT_EQ(rig.snap().access, signedInOwner);
        tamper(rig.fake);
        const auto callsBefore = rig.fake.calls();
        rig.refresh();
        EXPECT_TRUE(std::holds_alternative<cli_lookup::Untrusted>(rig.snap().cli));
        EXPECT_EQ(rig.snap().access, std::nullopt);
        EXPECT_EQ(rig.given.back(), std::nullopt);
        EXPECT_EQ(rig.lines.back().rfind("error  the Tailscale tool found on this computer was NOT run: " +
                                             rig.fake.tool().string() + ": ",
                                         0),
                  0u)
            << rig.lines.back();
        EXPECT_EQ(rig.fake.calls(), callsBefore);  // never ran
        // And no command runs while it stays so.
        rig.control->turnOff();
        rig.settle();
        EXPECT_EQ(rig.fake.calls(), callsBefore);
    }
}

TEST(TailscaleToolControl, AMisbehavingToolNeverHangsTheControl) {
    for (const char* behaviour : {"hang", "fork", "endless"}) {
        SCOPED_TRACE(behaviour);
        // Short, so the tool that never ends is given up soon; while it
        // still behaves, a read a busy machine made late is read again.
        ToolRig rig(0.5);
        rig.fake.setServe(FakeTool::publishedJson());
        for (int read = 0; read < 20 && rig.snap().access != signedInOwner; ++read) rig.refresh();
        ASSERT_EQ(rig.snap().access, signedInOwner);
        rig.fake.setBehaviour(behaviour);
        rig.refresh();
        EXPECT_EQ(rig.snap().decision, TailnetDecision(Unreadable{"Tailscale status could not be read"}));
        EXPECT_EQ(rig.snap().access, signedInOwner);  // kept through a passing failure
        rig.control->turnOff();
        rig.settle();
        EXPECT_FALSE(rig.snap().busy);
        EXPECT_EQ(rig.snap().actionError,
                  "Could not turn off: port 443 is not serving Morvane alone; nothing was removed");
        EXPECT_EQ(rig.snap().access, signedInOwner);  // the second unreadable read applied
        rig.refresh();
        EXPECT_EQ(rig.snap().access, std::nullopt);  // the third in a row
    }
}

}  // namespace
}  // namespace morvane

namespace morvane {
namespace {

TEST(TailscaleSelfCheck, LinesNameTheToolTheFactsAndTheVersion) {
    FakeTool fake;
    auto cli = makeLinuxTrustedCLI(fake.places());
    auto lines = tailscaleSelfCheckLines(*cli);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Tailscale: " + fake.tool().string() +
                            " passed the trust check (a root-owned file that group and others cannot change, in "
                            "folders of the same kind from " +
                            fake.root().string() + ", content matching package fake-tailscale)");
    EXPECT_EQ(lines[1], "Tailscale: the started process passed the check; version 1.76.1");

    fake.setBehaviour("fail");
    EXPECT_EQ(tailscaleSelfCheckLines(*cli)[1], "Tailscale: the started process passed the check; version no output");

    ::chmod(fake.tool().c_str(), 0777);
    lines = tailscaleSelfCheckLines(*cli);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Tailscale: found but NOT trusted - " + fake.tool().string() +
                            ": the file is writable by group or others");

    TailscaleToolPlaces nowhere = fake.places();
    nowhere.candidates = {fake.root() / "bin" / "missing"};
    EXPECT_EQ(tailscaleSelfCheckLines(*makeLinuxTrustedCLI(nowhere)),
              (std::vector<std::string>{"Tailscale: not installed"}));
}

}  // namespace
}  // namespace morvane
