#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "../support/sanitizer_slowdown.h"
#include "fake_tool.h"
#include "platform/linux/tailscale_cli.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using testing::FakeTool;

std::string untrustedReason(const TrustedCLI::Lookup& lookup) {
    const auto* u = std::get_if<cli_lookup::Untrusted>(&lookup);
    return u ? u->reason : "(not untrusted)";
}

TEST(TrustedToolLookup, AnUntouchedPackagedToolIsFoundWithTheFactsChecked) {
    FakeTool fake;
    const auto lookup = makeLinuxTrustedCLI(fake.places())->find();
    const auto* found = std::get_if<cli_lookup::Found>(&lookup);
    ASSERT_TRUE(found) << untrustedReason(lookup);
    EXPECT_EQ(found->path, fake.tool().string());
    EXPECT_NE(found->facts.find("root-owned"), std::string::npos);
    EXPECT_NE(found->facts.find("content matching package fake-tailscale"), std::string::npos);

    fake.installScript(fake.script(), /*recordChecksum=*/false);
    const auto unpackaged = makeLinuxTrustedCLI(fake.places())->find();
    ASSERT_TRUE(std::holds_alternative<cli_lookup::Found>(unpackaged));
    EXPECT_NE(std::get<cli_lookup::Found>(unpackaged).facts.find("not part of a package"), std::string::npos);
}

TEST(TrustedToolLookup, EveryWayOfTamperingMakesTheToolUntrusted) {
    struct Case {
        const char* name;
        std::function<void(FakeTool&)> tamper;
        const char* reason;
    };
    const Case cases[] = {
        {"group-writable file", [](FakeTool& f) { ::chmod(f.tool().c_str(), 0775); }, "writable by group or others"},
        {"world-writable file", [](FakeTool& f) { ::chmod(f.tool().c_str(), 0757); }, "writable by group or others"},
        {"writable folder", [](FakeTool& f) { ::chmod((f.root() / "bin").c_str(), 0777); },
         "folder " },
        {"owned by another user", [](FakeTool& f) { ASSERT_EQ(::chown(f.tool().c_str(), 65534, 65534), 0); },
         "owned by user 65534"},
        {"folder owned by another user",
         [](FakeTool& f) { ASSERT_EQ(::chown((f.root() / "bin").c_str(), 65534, 65534), 0); }, "owned by user 65534"},
        {"replaced by a symbolic link",
         [](FakeTool& f) {
             fs::rename(f.tool(), f.root() / "real-tailscale");
             fs::create_symlink(f.root() / "real-tailscale", f.tool());
         },
         "symbolic link"},
        {"folder replaced by a symbolic link",
         [](FakeTool& f) {
             fs::rename(f.root() / "bin", f.root() / "real-bin");
             fs::create_directory_symlink(f.root() / "real-bin", f.root() / "bin");
         },
         "not a plain folder"},
        {"content changed",
         [](FakeTool& f) { testing::writeText(f.tool(), f.script() + "echo extra\n"); },
         "does not match the checksum recorded by package fake-tailscale"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTool fake;
        c.tamper(fake);
        const auto lookup = makeLinuxTrustedCLI(fake.places())->find();
        ASSERT_TRUE(std::holds_alternative<cli_lookup::Untrusted>(lookup));
        const auto reason = untrustedReason(lookup);
        EXPECT_EQ(reason.rfind(fake.tool().string() + ": ", 0), 0u) << reason;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        // The run checks again and never starts what failed.
        const auto run = makeLinuxTrustedCLI(fake.places())->run(fake.tool(), {"version"}, 5, true);
        EXPECT_TRUE(run.refused);
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(fake.calls(), "");
    }
}

TEST(TrustedToolLookup, CandidatesAreTriedInOrder) {
    FakeTool first, second;
    ::chmod(first.tool().c_str(), 0777);
    TailscaleToolPlaces places{{first.tool(), second.tool()}, "/tmp", second.root() / "dpkg"};
    // /tmp is writable by all: trust has to start below it.
    EXPECT_NE(untrustedReason(makeLinuxTrustedCLI(places)->find()).find("folder /tmp"), std::string::npos);

    places.trustRoot = "/";
    places.candidates = {second.root() / "missing", second.tool()};
    places.trustRoot = second.root();
    EXPECT_TRUE(std::holds_alternative<cli_lookup::Found>(makeLinuxTrustedCLI(places)->find()));

    // Not there, or not executable: not installed, said nowhere.
    ::chmod(second.tool().c_str(), 0644);
    EXPECT_EQ(makeLinuxTrustedCLI(places)->find(), TrustedCLI::Lookup(cli_lookup::NotInstalled{}));
    places.candidates = {second.root() / "bin" / "nothing"};
    EXPECT_EQ(makeLinuxTrustedCLI(places)->find(), TrustedCLI::Lookup(cli_lookup::NotInstalled{}));
    // Outside the trust root is refused, not looked at.
    places.candidates = {first.tool()};
    EXPECT_NE(untrustedReason(makeLinuxTrustedCLI(places)->find()).find("lies outside"), std::string::npos);
}

TEST(TrustedToolRun, ArgumentsEnvironmentAndOutputsAreExactlyAsGiven) {
    FakeTool fake;
    auto cli = makeLinuxTrustedCLI(fake.places());
    const auto status = cli->run(fake.tool(), {"status", "--json"}, 5, false);
    EXPECT_EQ(status.status, 0);
    EXPECT_FALSE(status.timedOut);
    EXPECT_FALSE(status.refused);
    EXPECT_EQ(status.output, FakeTool::statusJson("owner@example.com"));

    // No shell in between: words stay whole and nothing is expanded.
    cli->run(fake.tool(), {"odd arg", "$(touch /tmp/x)", "*"}, 5, false);
    EXPECT_NE(fake.calls().find("odd arg\n$(touch /tmp/x)\n*\n"), std::string::npos);

    fake.setBehaviour("stderr");
    const auto separate = cli->run(fake.tool(), {"x"}, 5, false);
    EXPECT_EQ(separate.output, "out\n");
    EXPECT_EQ(separate.status, 3);
    EXPECT_EQ(cli->run(fake.tool(), {"x"}, 5, true).output, "out\nerr\n");

    ::setenv("MORVANE_SHOULD_NOT_LEAK", "1", 1);
    fake.setBehaviour("env");
    const auto env = cli->run(fake.tool(), {}, 5, false).output;
    ::unsetenv("MORVANE_SHOULD_NOT_LEAK");
    EXPECT_NE(env.find("PATH=/usr/bin:/bin:/usr/sbin:/sbin\n"), std::string::npos);
    EXPECT_NE(env.find("TAILSCALE_BE_CLI=1\n"), std::string::npos);
    EXPECT_NE(env.find("USER=root\n"), std::string::npos);
    EXPECT_EQ(env.find("MORVANE_SHOULD_NOT_LEAK"), std::string::npos);
}

bool killPending(const std::string& status, const std::string& field) {
    const auto at = status.find(field);
    if (at == std::string::npos) return false;
    const auto mask = std::stoull(status.substr(at + field.size()), nullptr, 16);
    return mask & (1ull << (SIGKILL - 1));
}

TEST(TrustedToolRun, MisbehavingToolsEndAtTheDeadlineOrOnTheirOwn) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* behaviour;
        bool timedOut;
        int status;
        double deadline;  // seconds: long for a tool that ends, as a busy machine may start it late
    };
    const Case cases[] = {
        {"hang", true, -1, 0.5},
        {"fork", true, -1, 2},  // the child it leaves holds the pipe open; what it wrote first is kept
        {"endless", true, -1, 0.5},
        {"signal", false, -1, 20},
        {"fail", false, 1, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        FakeTool fake;
        fake.setBehaviour(c.behaviour);
        const auto start = Clock::now();
        const auto result =
            makeLinuxTrustedCLI(fake.places())->run(fake.tool(), {"status", "--json"}, c.deadline, true);
        const auto took = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(result.timedOut, c.timedOut);
        EXPECT_EQ(result.status, c.status);
        EXPECT_FALSE(result.refused);
        // Ended soon after the deadline, however much it wrote meanwhile.
        if (c.timedOut) {
            EXPECT_LT(took, (c.deadline + 4.5) * testing::sanitizerSlowdown);
        }
        EXPECT_LE(result.output.size(), TrustedCLI::maxOutputBytes + TrustedCLI::readBlockBytes);
        if (std::string(c.behaviour) == "fork") {
            EXPECT_EQ(result.output, "partial\n");
            const int child = std::atoi(testing::readText(fake.root() / "state" / "child").c_str());
            ASSERT_GT(child, 0);
            // Killed with its group: gone, a zombie, or with the kill pending.
            const std::string status = testing::readText("/proc/" + std::to_string(child) + "/status");
            EXPECT_TRUE(status.empty() || status.find("State:\tZ") != std::string::npos ||
                        killPending(status, "ShdPnd:") || killPending(status, "SigPnd:"))
                << status;
        }
    }
}

TEST(TrustedToolRun, OutputBeyondTheLimitIsReadAndDropped) {
    FakeTool fake;
    fake.setBehaviour("huge");
    const auto result = makeLinuxTrustedCLI(fake.places())->run(fake.tool(), {}, 20, false);
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(result.timedOut);
    EXPECT_GE(result.output.size(), TrustedCLI::maxOutputBytes);
    EXPECT_LT(result.output.size(), TrustedCLI::maxOutputBytes + TrustedCLI::readBlockBytes);
}

TEST(TrustedToolRun, ChildProcessesWorkAtAll) { EXPECT_TRUE(selfCheckPlumbing()); }

TEST(TrustedToolOutput, IllFormedUtf8IsReplaced) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},           // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xE2\x82", "\xEF\xBF\xBD"},                        // cut short
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(TrustedCLI::decodeOutput(in), out);
}

TEST(TrustedToolPackages, ChecksumIsTakenFromTheLineNamingThePath) {
    const std::string list = "d41d8cd98f00b204e9800998ecf8427e  usr/bin/tailscaled\n"
                             "0CC175B9C0F1B6A831C399E269772661  usr/bin/tailscale\n";
    EXPECT_EQ(recordedChecksum(list, "/usr/bin/tailscale"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(recordedChecksum(list, "/usr/bin/tailscaled"), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(recordedChecksum(list, "/usr/bin/tail"), std::nullopt);
    EXPECT_EQ(recordedChecksum(list, "usr/bin/tailscale"), std::nullopt);
    EXPECT_EQ(recordedChecksum("zz75b9c0f1b6a831c399e269772661zz  usr/bin/x\n", "/usr/bin/x"), std::nullopt);
}

}  // namespace
}  // namespace morvane
