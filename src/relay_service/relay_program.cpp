#include "relay_service/relay_program.h"

#include <malloc.h>

#include <iostream>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/loop_executor.h"
#include "relay_service/code_mailer.h"
#include "relay_service/relay_log.h"
#include "relay_service/relay_service.h"

namespace morvane::relay_service {

namespace {

// One line an event, written whole.
void writeLine(Severity severity, const std::string& line) {
    static const bool journal = stderrIsJournal();
    std::cerr << logLine(severity, line, journal, systemWallMillis()) + '\n' << std::flush;
}

void info(const std::string& line) { writeLine(Severity::info, line); }

int fail(const std::string& line, int status) {
    std::cerr << "morvane-relay: " << line << '\n';
    return status;
}

}  // namespace

int runRelay(const RelayConfig& config, RelayProgramParts parts) {
    // Records of up to 240 KB are read, queued and freed many times a
    // second: their blocks stay in the heap for the next ones rather than
    // being mapped, faulted in and unmapped each time.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 32 << 20);
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
        store = parts.openStore(config, RelayLog(writeLine));
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
    options.log = RelayLog(writeLine);
    options.wallMillis = std::move(parts.wallMillis);
    options.carried = std::move(parts.carried);
    options.accounts = config.accounts;
    options.peerAddress = config.peerAddress;
    // The store's calls and the mail's may block: each has a queue of its
    // own, which outlives the service.
    LoopExecutor storeWorker("relay-store");
    LoopExecutor mailWorker("relay-mail");
    RelayService service(io, *store, RelayWorkers{storeWorker, mailWorker}, std::move(options));
    try {
        service.start();
    } catch (const std::exception& error) {
        const auto advice = listenAdvice(error.what(), config);
        return fail(error.what() + (advice.empty() ? "" : ": " + advice), 1);
    }
    const bool secure = !config.certificateFile.empty();
    const auto host = config.listenAddress.find(':') != std::string::npos ? "[" + config.listenAddress + "]"
                                                                          : config.listenAddress;
    info("morvane-relay " + parts.version + " listening on " + (secure ? "https://" : "http://") + host + ":" +
         std::to_string(service.port()) + "; store " + store->describe() + "; sign-in codes: " + mailDescription +
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
            service.readFleetAgain();
            if (parts.readConfigAgain) {
                // Only who may sign in is taken from it: the rest needs a
                // restart, which the log says key by key.
                const auto again = parts.readConfigAgain();
                if (const auto* read = std::get_if<RelayConfig>(&again)) {
                    service.setAccounts(read->accounts);
                    info("read the config again; " + signInText(read->accounts));
                    std::string kept;
                    for (const auto& key : keysNeedingRestart(config, *read)) kept += (kept.empty() ? "" : ", ") + key;
                    if (!kept.empty())
                        writeLine(Severity::warning, "changed in the config but kept as they were until a restart "
                                                     "(systemctl restart morvane-relay): " + kept);
                } else {
                    writeLine(Severity::warning, "could not read the config again (" + std::get<std::string>(again) +
                                                     "); who may sign in is unchanged");
                }
            } else {
                info(std::string("no config file to read again: this relay was started without --config") +
                     (secure ? "; the certificate's files were read again" : ""));
            }
            waitReload();
        });
    };
    waitReload();
    io.run();
    return 0;
}

}  // namespace morvane::relay_service
