#include "app/process_entry.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "server/static_site.h"
#include "web/embedded_web.h"

namespace morvane {
namespace {

using ProcessEntry::Mode;

std::vector<EmbeddedFile> damagedRows() {
    auto rows = EmbeddedWeb::files();
    std::vector<EmbeddedFile> copy(rows.begin(), rows.end());
    // One recorded digest that cannot match.
    copy[1].sha256 = "0000000000000000000000000000000000000000000000000000000000000000";
    return copy;
}

ProcessEntry::SelfCheckProbes probes(bool hardened, bool plumbing, std::vector<std::string> tailscale) {
    return {[hardened] { return hardened; }, [] { return std::string("unsigned, hardened runtime"); },
            [plumbing] { return plumbing; }, [tailscale] { return tailscale; }};
}

struct Run {
    std::string out;
    int status = -1;
};

Run runHost(const std::string& argument) {
    std::string command = std::string(MORVANE_HOST_PATH) + " " + argument + " 2>/dev/null";
    Run run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) run.out.append(buf.data(), n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(ProcessEntry, OnlyOneExactModeNameSelectsAMode) {
    EXPECT_EQ(ProcessEntry::mode({"host", "--web-hashes"}), Mode::webHashes);
    EXPECT_EQ(ProcessEntry::mode({"host", "--self-check"}), Mode::selfCheck);
    EXPECT_EQ(ProcessEntry::mode({"host"}), Mode::application);
    EXPECT_EQ(ProcessEntry::mode({"host", "--WEB-HASHES"}), Mode::application);
    EXPECT_EQ(ProcessEntry::mode({"host", "--web-hashes", "--self-check"}), Mode::application);
    EXPECT_EQ(ProcessEntry::mode({"host", "--web-hashes "}), Mode::application);

    char program[] = "host", upper[] = "--SELF-CHECK";
    char* argv[] = {program, upper, nullptr};
    int started = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ProcessEntry::main(2, argv, EmbeddedWeb::files(), [&] { return ++started, 42; }), 42);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(started, 1);
}

TEST(ProcessEntry, WebHashesPrintsTheSevenLinesOrReportsDamage) {
    std::ostringstream out, err;
    EXPECT_EQ(ProcessEntry::webHashes(EmbeddedWeb::files(), out, err), 0);
    EXPECT_EQ(err.str(), "");
    std::string expected;
    for (auto& line : StaticSite::fromEmbedded(EmbeddedWeb::files()).hashLines()) expected += line + "\n";
    EXPECT_EQ(out.str(), expected);

    auto host = runHost("--web-hashes");
    EXPECT_EQ(host.status, 0);
    EXPECT_EQ(host.out, expected);
    std::vector<std::string> names;
    std::istringstream lines(host.out);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_GT(line.size(), 66u);
        EXPECT_EQ(line.substr(64, 2), "  ");
        names.push_back(line.substr(66));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"app.js", "apple-touch-icon.png", "audio-worklet.js", "icon.svg",
                                               "index.html", "manifest.webmanifest", "style.css"}));

    std::ostringstream damagedOut, damagedErr;
    auto rows = damagedRows();
    EXPECT_EQ(ProcessEntry::webHashes(rows, damagedOut, damagedErr), 1);
    EXPECT_EQ(damagedOut.str(), "");
    EXPECT_EQ(damagedErr.str(), "the built-in web client is damaged\n");
}

TEST(ProcessEntry, SelfCheckSucceedsOnlyHardenedWithAnIntactClient) {
    std::ostringstream ok;
    EXPECT_EQ(ProcessEntry::selfCheck(EmbeddedWeb::files(), probes(true, false, {"Tailscale: not installed"}), ok), 0);
    EXPECT_EQ(ok.str(),
              "code identity: unsigned, hardened runtime\n"
              "hardened runtime: yes\n"
              "built-in web client: ok, 7 files\n"
              "child process plumbing: FAILED\n"
              "Tailscale: not installed\n");

    std::ostringstream soft;
    EXPECT_EQ(ProcessEntry::selfCheck(EmbeddedWeb::files(),
                                      probes(false, true, {"Tailscale: /x passed the signature check",
                                                           "Tailscale: the started process passed the check; version no output"}),
                                      soft),
              1);
    std::istringstream lines(soft.str());
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[1], "hardened runtime: NO - the paired-devices list will not be opened");
    EXPECT_EQ(all[3], "child process plumbing: ok");

    std::ostringstream damaged;
    auto rows = damagedRows();
    EXPECT_EQ(ProcessEntry::selfCheck(rows, probes(true, true, {"Tailscale: not installed"}), damaged), 1);
    EXPECT_NE(damaged.str().find("built-in web client: DAMAGED\n"), std::string::npos);

    auto host = runHost("--self-check");
    EXPECT_EQ(host.out.rfind("code identity: ", 0), 0u) << host.out;
    EXPECT_NE(host.out.find("built-in web client: ok, 7 files\n"), std::string::npos);
    bool hardened = host.out.find("hardened runtime: yes\n") != std::string::npos;
    EXPECT_EQ(host.status, hardened ? 0 : 1);
}

}  // namespace
}  // namespace morvane
