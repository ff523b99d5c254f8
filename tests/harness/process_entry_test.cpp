#include "app/process_entry.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "app/build_version.h"
#include "app/instance_lock.h"
#include "protocol/static_site.h"
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
    return {[hardened] { return hardened; }, [] { return std::string("hardened (as checked)"); },
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

TEST(ProcessEntry, OnlyOneExactOptionSelectsAModeAndAnythingElseIsAUsageError) {
    const struct {
        std::vector<std::string> arguments;
        Mode mode;
    } table[] = {
        {{"host"}, Mode::application},
        {{"host", "--web-hashes"}, Mode::webHashes},
        {{"host", "--self-check"}, Mode::selfCheck},
        {{"host", "--help"}, Mode::help},
        {{"host", "-h"}, Mode::help},
        {{"host", "--version"}, Mode::version},
        {{"host", "--WEB-HASHES"}, Mode::usageError},
        {{"host", "--web-hashes "}, Mode::usageError},
        {{"host", "--web-hashes", "--self-check"}, Mode::usageError},
        {{"host", "--help", "--version"}, Mode::usageError},
        {{"host", "-x"}, Mode::usageError},
        {{"host", "start"}, Mode::usageError},
        {{"host", ""}, Mode::usageError},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.arguments.back());
        EXPECT_EQ(ProcessEntry::mode(row.arguments), row.mode);
    }
}

// A private runtime folder for the instance lock.
struct LockFolder {
    std::filesystem::path path;
    LockFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "morvane-lock-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~LockFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path lock() const { return path / "morvane.lock"; }
};

struct EntryRun {
    int status = -1;
    int started = 0;
    std::string out, err;
};

EntryRun runEntry(std::vector<std::string> arguments, const std::filesystem::path& lock) {
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    EntryRun run;
    std::ostringstream out, err;
    run.status = ProcessEntry::main(static_cast<int>(arguments.size()), argv.data(), EmbeddedWeb::files(),
                                    [&run] { return ++run.started, 42; }, lock, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

TEST(ProcessEntry, HelpAndVersionExitZeroAndAnUnknownOptionPrintsTheUsageAndExitsTwo) {
    LockFolder folder;
    const auto help = runEntry({"host", "--help"}, folder.lock());
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.started, 0);
    EXPECT_EQ(help.out, ProcessEntry::usage());
    EXPECT_EQ(help.err, "");
    for (const char* option : {"--web-hashes", "--self-check", "--version", "-h, --help"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(runEntry({"host", "-h"}, folder.lock()).out, ProcessEntry::usage());

    const auto version = runEntry({"host", "--version"}, folder.lock());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Morvane " + programVersionText() + "\n");

    const struct {
        std::vector<std::string> arguments;
        std::string firstLine;
    } refused[] = {
        {{"host", "--SELF-CHECK"}, "morvane-host: unknown option '--SELF-CHECK'"},
        {{"host", "--verbose"}, "morvane-host: unknown option '--verbose'"},
        {{"host", "--help", "--version"}, "morvane-host: one option at most"},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.firstLine);
        const auto run = runEntry(row.arguments, folder.lock());
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.started, 0) << "a usage error started the host";
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, row.firstLine + "\n" + ProcessEntry::usage());
    }
    EXPECT_FALSE(std::filesystem::exists(folder.lock())) << "an option that does not start the host took the lock";

    // The real program answers the same way.
    EXPECT_EQ(runHost("--help").status, 0);
    EXPECT_EQ(runHost("--help").out, ProcessEntry::usage());
    EXPECT_EQ(runHost("--bogus").status, 2);
    EXPECT_EQ(runHost("--bogus").out, "");
    EXPECT_EQ(runHost("--version").out, "Morvane " + programVersionText() + "\n");
}

TEST(ProcessEntry, TheApplicationStartsOnlyWhileNoOtherHostHoldsTheUsersLock) {
    EXPECT_EQ(InstanceLock::standardPath("/run/user/1000", 1000), "/run/user/1000/morvane.lock");
    EXPECT_EQ(InstanceLock::standardPath("relative/dir", 1000), "/tmp/morvane-1000.lock");
    EXPECT_EQ(InstanceLock::standardPath("", 1000), "/tmp/morvane-1000.lock");
    EXPECT_EQ(InstanceLock::standardPath(nullptr, 7), "/tmp/morvane-7.lock");

    LockFolder folder;
    {
        InstanceLock other(folder.lock());
        ASSERT_EQ(other.take(), InstanceLock::Outcome::taken);
        const auto refused = runEntry({"host"}, folder.lock());
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.started, 0);
        EXPECT_EQ(refused.err, "Morvane is already running\n");
        EXPECT_EQ(InstanceLock(folder.lock()).take(), InstanceLock::Outcome::heldElsewhere);
    }
    // Released with its holder, as when a host ends or crashes.
    const auto started = runEntry({"host"}, folder.lock());
    EXPECT_EQ(started.status, 42);
    EXPECT_EQ(started.started, 1);

    // A lock file that is a link or not a regular file is not used, and
    // does not keep the host from starting.
    LockFolder odd;
    std::filesystem::create_symlink(odd.path / "elsewhere", odd.lock());
    EXPECT_EQ(InstanceLock(odd.lock()).take(), InstanceLock::Outcome::unusable);
    EXPECT_FALSE(std::filesystem::exists(odd.path / "elsewhere"));
    EXPECT_EQ(runEntry({"host"}, odd.lock()).started, 1);
    LockFolder dir;
    std::filesystem::create_directory(dir.lock());
    EXPECT_EQ(InstanceLock(dir.lock()).take(), InstanceLock::Outcome::unusable);
}

// Started from the desktop's menu or at login, nobody reads standard error:
// a refused desktop session is logged and shown in a window of its own, whose
// text is the refusal; a start with no display at all only says so.
TEST(ProcessEntry, ARefusedSessionIsLoggedAndShownWhereThereIsADisplay) {
    using ProcessEntry::Session;
    const std::string wayland = ProcessEntry::waylandMessage;
    const struct {
        const char* name;
        Session session;
        std::optional<std::string> refusal;
        bool logged;
        bool shown;
    } table[] = {
        {"X11", {":0", "x11", ""}, std::nullopt, false, false},
        {"X11 with a stray Wayland socket named", {":0", "x11", "wayland-0"}, std::nullopt, false, false},
        {"Debian's GNOME on Wayland, through Xwayland", {":0", "wayland", "wayland-0"}, wayland, true, true},
        {"Wayland, session type unset", {":0", "", "wayland-0"}, wayland, true, true},
        {"Wayland without Xwayland", {"", "wayland", "wayland-0"}, wayland, true, false},
        {"no display", {"", "tty", ""}, std::string(ProcessEntry::noDisplayMessage), false, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const auto refusal = ProcessEntry::sessionRefusal(row.session);
        ASSERT_EQ(refusal ? std::optional(refusal->text) : std::nullopt, row.refusal);
        if (!refusal) continue;
        LockFolder folder;
        const auto logFile = folder.path / "Morvane" / "host.log";
        std::ostringstream err;
        std::vector<std::string> shown;
        EXPECT_EQ(ProcessEntry::refuse(*refusal, row.session, logFile, err,
                                       [&](const std::string& text) { shown.push_back(text); }),
                  1);
        EXPECT_EQ(err.str(), *row.refusal + "\n");
        EXPECT_EQ(shown, row.shown ? std::vector<std::string>{*row.refusal} : std::vector<std::string>{});
        std::ifstream in(logFile);
        const std::string log{std::istreambuf_iterator<char>(in), {}};
        if (!row.logged) {
            EXPECT_EQ(log, "");
            continue;
        }
        EXPECT_NE(log.find("  app  start: Morvane " + programVersionText() + ", "), std::string::npos) << log;
        EXPECT_NE(log.find("  error  " + *row.refusal + "\n"), std::string::npos) << log;
    }
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
              "program: hardened (as checked)\n"
              "hardened: yes\n"
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
    EXPECT_EQ(all[1], "hardened: NO - the paired-devices list will not be opened");
    EXPECT_EQ(all[3], "child process plumbing: ok");

    std::ostringstream damaged;
    auto rows = damagedRows();
    EXPECT_EQ(ProcessEntry::selfCheck(rows, probes(true, true, {"Tailscale: not installed"}), damaged), 1);
    EXPECT_NE(damaged.str().find("built-in web client: DAMAGED\n"), std::string::npos);

    auto host = runHost("--self-check");
    EXPECT_EQ(host.out.rfind("program: ", 0), 0u) << host.out;
    EXPECT_NE(host.out.find("built-in web client: ok, 7 files\n"), std::string::npos);
    bool hardened = host.out.find("hardened: yes\n") != std::string::npos;
    EXPECT_EQ(host.status, hardened ? 0 : 1);
}

}  // namespace
}  // namespace morvane
