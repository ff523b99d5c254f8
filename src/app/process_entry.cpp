#include "app/process_entry.h"

#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>

#include "app/build_version.h"
#include "app/code_identity.h"
#include "app/instance_lock.h"
#include "app/shell_lines.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/loop_executor.h"
#include "core/paths.h"
#include "core/session_log.h"
#include "devices/device_store.h"
#include "devices/keychain_device_storage.h"
#include "devices/refusing_device_storage.h"
#include "platform/linux/tailscale_cli.h"
#include "server/remote_server.h"
#include "protocol/static_site.h"
#include "tailnet/tailscale_self_check.h"

namespace morvane::ProcessEntry {
namespace {

std::optional<StaticSite> buildSite(std::span<const EmbeddedFile> rows) {
    try {
        return StaticSite::fromEmbedded(rows);
    } catch (const std::exception&) {
        return std::nullopt;  // damaged; the caller reports it in its own words
    }
}

// Stand-ins until capture and input injection are wired: the server runs,
// pairs and holds sessions, but shows and moves nothing.
class NoCapture final : public FrameSource {
public:
    std::string state() const override { return "error: capture is not available in this build"; }
    void start(const std::shared_ptr<FrameObserver>&) override {}
    void stop() override {}
    void setQuality(FrameQuality) override {}
    void requestFrame() override {}
};

class NoInput final : public InputSink {
public:
    void handle(const InputEvent&) override {}
    void releaseEverything() override {}
};

}  // namespace

Mode mode(const std::vector<std::string>& arguments) {
    if (arguments.size() <= 1) return Mode::application;
    if (arguments.size() > 2) return Mode::usageError;
    const std::string& option = arguments[1];
    if (option == "--web-hashes") return Mode::webHashes;
    if (option == "--self-check") return Mode::selfCheck;
    if (option == "--help" || option == "-h") return Mode::help;
    if (option == "--version") return Mode::version;
    return Mode::usageError;
}

std::string usage() {
    return "Usage: morvane-host [OPTION]\n"
           "Lets your own paired devices see and control this computer. Without an option it starts the\n"
           "host on this desktop: its menu is in the tray, and the page is at http://127.0.0.1:8722/.\n"
           "\n"
           "  --web-hashes   print the hashes of the built-in web files, then exit\n"
           "  --self-check   check this build's hardening and built-in web client, then exit\n"
           "  --version      print the version, then exit\n"
           "  -h, --help     print this help, then exit\n";
}

SelfCheckProbes SelfCheckProbes::system() {
    return SelfCheckProbes{[] { return CodeIdentity::hardenedRuntime(); }, [] { return CodeIdentity::describe(); },
                           [] { return selfCheckPlumbing(); },
                           [] { return tailscaleSelfCheckLines(*makeLinuxTrustedCLI()); }};
}

int webHashes(std::span<const EmbeddedFile> rows, std::ostream& out, std::ostream& err) {
    auto site = buildSite(rows);
    if (!site) {
        err << "the built-in web client is damaged\n";
        err.flush();
        return 1;
    }
    std::string text;
    for (const auto& line : site->hashLines()) text += line + "\n";
    out << text;
    out.flush();
    return 0;
}

int selfCheck(std::span<const EmbeddedFile> rows, const SelfCheckProbes& probes, std::ostream& out) {
    auto site = buildSite(rows);
    bool hardened = probes.hardenedRuntime();
    out << "program: " << probes.describeCode() << "\n";
    out << "hardened: " << (hardened ? "yes" : "NO - the paired-devices list will not be opened") << "\n";
    out << "built-in web client: "
        << (site ? "ok, " + std::to_string(site->files.size()) + " files" : std::string("DAMAGED")) << "\n";
    out << "child process plumbing: " << (probes.childProcessPlumbing() ? "ok" : "FAILED") << "\n";
    for (const auto& line : probes.tailscaleLines()) out << line << "\n";
    out.flush();
    return hardened && site ? 0 : 1;
}

int runApplication(std::span<const EmbeddedFile> rows) {
    auto site = buildSite(rows);
    if (!site) {
        std::cerr << "the built-in web client is damaged\n";
        return 1;
    }
    std::shared_ptr<DeviceStorage> storage;
    if (CodeIdentity::hardenedRuntime())
        storage = std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                          KeychainDeviceStorage::defaultAccount);
    else
        storage = std::make_shared<RefusingDeviceStorage>(RefusingDeviceStorage::notHardenedReason);
    if (auto folder = appSupportFolder()) createFolders(*folder);
    LoopExecutor saveQueue("morvane.device-store.save");
    DeviceStore store(storage, &saveQueue);

    // SIGINT and SIGTERM end the run; they are taken by sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    LoopExecutor mainQueue("main");
    NoCapture frames;
    frames.setMainQueue(&mainQueue);
    NoInput input;
    RemoteServer::Setup setup;
    setup.port = 8722;
    setup.site = std::move(*site);
    setup.store = &store;
    setup.frames = &frames;
    setup.input = &input;
    setup.mainQueue = &mainQueue;
    auto server = RemoteServer::create(std::move(setup));
    server->onListenerFailure = [](const std::string&) { std::cerr << "Not running: the server stopped\n"; };
    try {
        server->start();
    } catch (const RemoteServer::StartError& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->stop();
    mainQueue.drain();
    store.waitForSaves();
    return 0;
}

Session Session::current() {
    const auto read = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    return {read("DISPLAY"), read("XDG_SESSION_TYPE"), read("WAYLAND_DISPLAY")};
}

std::optional<Refusal> sessionRefusal(const Session& session) {
    if (session.sessionType == "wayland" || (session.sessionType != "x11" && !session.waylandDisplay.empty()))
        return Refusal{waylandMessage, true};
    if (session.display.empty()) return Refusal{noDisplayMessage, false};
    return std::nullopt;
}

std::string systemText() {
    std::string pretty = "Linux";
    std::ifstream in("/etc/os-release");
    std::string text(4096, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (const auto name = ShellLines::prettyName(text)) pretty = *name;
    struct utsname u {};
    if (::uname(&u) == 0) pretty += std::string(", kernel ") + u.release;
    return pretty;
}

int refuse(const Refusal& refusal, const Session& session, const std::optional<std::filesystem::path>& logFile,
           std::ostream& err, const std::function<void(const std::string&)>& show) {
    err << refusal.text << "\n";
    err.flush();
    if (!refusal.toThePerson) return 1;
    if (logFile) {
        LoopExecutor queue("morvane.log");
        SessionLog log(*logFile, queue);
        log.write("app", ShellLines::startLine(programVersionText(), systemText(), static_cast<long>(::getpid())));
        log.write("error", refusal.text);
        log.flush();
    }
    if (!session.display.empty() && show) show(refusal.text);
    return 1;
}

int main(int argc, char** argv, std::span<const EmbeddedFile> rows, std::function<int()> application,
         const std::filesystem::path& lockPath, std::ostream& out, std::ostream& err) {
    // Without this the process does not count as hardened.
    CodeIdentity::makeNonDumpable();
    std::vector<std::string> arguments(argv, argv + argc);
    switch (mode(arguments)) {
        case Mode::webHashes: return webHashes(rows, out, err);
        case Mode::selfCheck: return selfCheck(rows, SelfCheckProbes::system(), out);
        case Mode::help:
            out << usage();
            out.flush();
            return 0;
        case Mode::version:
            out << "Morvane " << programVersionText() << "\n";
            out.flush();
            return 0;
        case Mode::usageError:
            err << (arguments.size() > 2 ? std::string("morvane-host: one option at most")
                                         : "morvane-host: unknown option '" + arguments[1] + "'")
                << "\n" << usage();
            err.flush();
            return 2;
        case Mode::application: break;
    }
    // Held until the process ends.
    InstanceLock lock(lockPath);
    if (lock.take() == InstanceLock::Outcome::heldElsewhere) {
        err << alreadyRunning << "\n";
        err.flush();
        return 1;
    }
    if (::geteuid() == 0) {
        err << rootWarning << "\n";
        err.flush();
    }
    return application ? application() : runApplication(rows);
}

int main(int argc, char** argv, std::span<const EmbeddedFile> rows, std::function<int()> application) {
    return main(argc, argv, rows, std::move(application), InstanceLock::standardPath(), std::cout, std::cerr);
}

}  // namespace morvane::ProcessEntry
