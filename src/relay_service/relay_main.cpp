// morvane-relay: the relay service a person runs where their devices and
// their computers can both reach it.
#include <malloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <filesystem>

#include "core/clock.h"
#include "relay_service/code_mailer.h"
#include "relay_service/relay_config.h"
#include "relay_service/relay_service.h"
#include "relay_service/relay_store.h"

#ifndef MORVANE_VERSION
#define MORVANE_VERSION "0"
#endif
// Where the package or `cmake --install` puts docs/relay.md, and where it
// lies in the tree this program was built from.
#ifndef MORVANE_RELAY_GUIDE
#define MORVANE_RELAY_GUIDE "docs/relay.md"
#endif
#ifndef MORVANE_RELAY_SOURCE_GUIDE
#define MORVANE_RELAY_SOURCE_GUIDE "docs/relay.md"
#endif
#ifndef MORVANE_RELAY_BUILD_DIR
#define MORVANE_RELAY_BUILD_DIR ""
#endif

using namespace morvane;
using namespace morvane::relay_service;

namespace {

// One line an event, written whole.
void writeLine(Severity severity, const std::string& line) {
    static const bool journal = stderrIsJournal();
    std::cerr << logLine(severity, line, journal, systemWallMillis()) + '\n' << std::flush;
}

void info(const std::string& line) { writeLine(Severity::info, line); }

// For tests only: MORVANE_RELAY_TEST_CLOCK_OFFSET_SECONDS moves this
// process's wall clock by that many seconds (negative: behind), as a
// machine whose clock is off would, so that a fleet's tests can show that
// instances do not judge each other by their own clocks. Never set it on a
// real relay.
WallClock wallClock() {
    const char* offset = std::getenv("MORVANE_RELAY_TEST_CLOCK_OFFSET_SECONDS");
    if (!offset || !*offset) return systemWallMillis;
    const std::int64_t millis = std::strtoll(offset, nullptr, 10) * 1000;
    return [millis] { return systemWallMillis() + millis; };
}

// For tests only: MORVANE_RELAY_TEST_CARRIED_FILE names a file that every
// record the rooms carry, either way, is written to as it goes, so that a
// test can show none of it is plaintext. Never set it on a real relay.
std::function<void(std::span<const std::uint8_t>)> carriedRecords() {
    const char* file = std::getenv("MORVANE_RELAY_TEST_CARRIED_FILE");
    if (!file || !*file) return {};
    auto out = std::make_shared<std::ofstream>(file, std::ios::binary | std::ios::trunc);
    return [out](std::span<const std::uint8_t> record) {
        out->write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
        out->flush();
    };
}

int fail(const std::string& line, int status) {
    std::cerr << "morvane-relay: " << line << '\n';
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Records of up to 240 KB are read, queued and freed many times a
    // second: their blocks stay in the heap for the next ones rather than
    // being mapped, faulted in and unmapped each time.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 32 << 20);
    const auto parsed = parseCommand(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<CommandError>(&parsed)) {
        if (error->usage) {
            std::cerr << "morvane-relay: " << error->text << "\nTry morvane-relay --help.\n";
            return 2;
        }
        return fail(error->text, 1);
    }
    const auto& command = std::get<RelayCommand>(parsed);
    if (command.action == RelayCommand::Action::help) {
        // A relay tried from its build folder has nothing installed: the guide
        // it names is the one beside its sources. Told by where this program
        // lies, as an installed copy names its own guide wherever it is.
        std::error_code ignored;
        const auto self = std::filesystem::canonical("/proc/self/exe", ignored).parent_path();
        const auto build = std::filesystem::canonical(MORVANE_RELAY_BUILD_DIR, ignored);
        const bool inTree = !build.empty() && self == build && std::filesystem::exists(MORVANE_RELAY_SOURCE_GUIDE, ignored);
        std::cout << usageText(inTree ? MORVANE_RELAY_SOURCE_GUIDE : MORVANE_RELAY_GUIDE);
        return 0;
    }
    if (command.action == RelayCommand::Action::version) {
        std::cout << "morvane-relay " << MORVANE_VERSION << '\n';
        return 0;
    }
    const auto& config = command.config;
    if (config.storeKind == "sqlite") {
        // The store makes the folder, with any missing parents, and keeps it private.
        if (config.dataDir.empty()) return fail("no data folder: give --data DIR or data_dir in the config", 1);
    }

    // How codes reach people.
    CodeSender sender;
    std::string mailDescription = "none (sign-in is not configured)";
    std::shared_ptr<CodeMailer> mailer;
    if (config.codesInLog) {
        mailer = makeLogMailer(info);
        mailDescription = "codes in this log";
    } else if (!config.smtp.url.empty()) {
        mailer = makeSmtpMailer(SmtpConfig{config.smtp.url, config.smtp.from, config.smtp.user, config.smtp.password,
                                           config.smtp.startTls});
        mailDescription = "e-mail through " + config.smtp.url;
    }
    if (mailer) sender = [mailer](const std::string& email, const std::string& code) { return mailer->send(email, code); };

    std::unique_ptr<RelayStore> store;
    try {
        store = openRelayStore(RelayStoreConfig{config.storeKind, config.dataDir, config.postgresUrl}, config.storeTimeouts);
    } catch (const std::exception& error) {
        return fail(std::string("cannot open the store: ") + error.what(), 1);
    }

    boost::asio::io_context io;
    RelayServiceOptions options;
    options.server = RelayServerOptions{config.listenAddress, config.listenPort, config.certificateFile, config.keyFile};
    options.server.trustedProxies = config.trustedProxies;
    options.server.queues = config.queues;
    options.server.listen = config.listen;
    options.limits = config.limits;
    options.storeQueue = config.storeQueue;
    options.sender = sender;
    options.accounts = config.accounts;
    options.log = RelayLog(writeLine);
    options.wallMillis = wallClock();
    options.carried = carriedRecords();
    if (!config.peerAddress.empty()) {
        const auto at = parseListen(config.peerAddress);
        boost::system::error_code ec;
        const auto address = boost::asio::ip::make_address(at->first, ec);
        if (ec) return fail("store.peer_address must be a numeric address, not " + at->first, 1);
        options.peerEndpoint = boost::asio::ip::udp::endpoint(address, at->second);
    }
    RelayService service(io, *store, std::move(options));
    try {
        service.start();
    } catch (const std::exception& error) {
        return fail(error.what(), 1);
    }
    const bool secure = !config.certificateFile.empty();
    const auto host = config.listenAddress.find(':') != std::string::npos ? "[" + config.listenAddress + "]"
                                                                          : config.listenAddress;
    info(std::string("morvane-relay ") + MORVANE_VERSION + " listening on " + (secure ? "https://" : "http://") + host +
            ":" + std::to_string(service.port()) + "; store " + store->describe() + "; sign-in codes: " + mailDescription +
            "; " + signInText(config.accounts) + "; instance " + service.instance());

    boost::asio::signal_set stopSignals(io, SIGINT, SIGTERM);
    boost::asio::signal_set reloadSignal(io, SIGHUP);
    boost::asio::steady_timer grace(io);
    boost::asio::steady_timer limit(io);
    // Both the close frames' moment and the service's stop (the rows
    // written, bounded by the store queue's wait; the requests under way
    // answered) before the end, though never longer than a request may
    // wait for the store and be written.
    int stopping = 2;
    const auto stopped = [&] {
        if (--stopping == 0) io.stop();
    };
    stopSignals.async_wait([&](boost::system::error_code ec, int) {
        if (ec) return;
        info("stopping");
        service.stop(stopped);
        reloadSignal.cancel();
        grace.expires_after(std::chrono::milliseconds(500));
        grace.async_wait([&](boost::system::error_code) { stopped(); });
        limit.expires_after(std::chrono::milliseconds(config.storeQueue.maxWaitMillis) + std::chrono::seconds(5));
        limit.async_wait([&](boost::system::error_code ec) {
            if (ec) return;
            info("stopping without waiting longer for requests under way");
            io.stop();
        });
    });
    std::function<void()> waitReload = [&] {
        reloadSignal.async_wait([&](boost::system::error_code ec, int) {
            if (ec) return;
            service.reloadCertificate();
            waitReload();
        });
    };
    waitReload();
    io.run();
    return 0;
}
