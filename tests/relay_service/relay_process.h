// One morvane-relay process of the build, started with a config the test
// writes, and the lines of its log; stopped as systemd stops it (SIGTERM)
// or killed outright. One that needs a hook the installed program does not
// have is morvane-test-relay instead: the same body, with the tests' hooks.
#pragma once

#include <signal.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../harness/harness_process.h"
#include "service_rig.h"

namespace morvane::relay_service::testing {

// What a test has an instance do that a relay never does by itself.
struct RelayHooks {
    // Its wall clock this many seconds off the machine's (negative: behind).
    int clockOffsetSeconds = 0;
    // Added to the test's own ("NAME=value"): what a service manager gives
    // it, such as the socket its watchdog listens on.
    std::vector<std::string> environment;

    std::string program() const { return clockOffsetSeconds != 0 ? MORVANE_TEST_RELAY_PROGRAM : MORVANE_RELAY_PROGRAM; }
    // The program's arguments before the relay's own.
    std::vector<std::string> arguments() const {
        if (clockOffsetSeconds == 0) return {};
        return {"--clock-offset-seconds", std::to_string(clockOffsetSeconds), "--"};
    }
};

class RelayProcess {
public:
    // `config` without "listen": a free port on 127.0.0.1 (another is
    // tried should something take it first). With it: that address only.
    RelayProcess(const std::string& folder, const std::string& name, nlohmann::json config, const RelayHooks& hooks = {}) {
        std::vector<std::string> log;
        const bool chosen = config.contains("listen");
        for (int attempt = 0; attempt < 3 && origin_.empty(); ++attempt) {
            if (!chosen) config["listen"] = "127.0.0.1:" + std::to_string(morvane::testing::freePort());
            const std::string listen = config["listen"];
            const auto file = folder + "/" + name + ".json";
            writeFile(file, config.dump());
            auto arguments = hooks.environment;
            arguments.push_back(hooks.program());
            const auto own = hooks.arguments();
            arguments.insert(arguments.end(), own.begin(), own.end());
            arguments.insert(arguments.end(), {"--config", file});
            // env execs the relay in its own place: signals reach the relay.
            process_ = std::make_unique<morvane::testing::HarnessProcess>("/usr/bin/env", arguments, folder,
                                                                          /*errorsToo=*/true);
            // Long enough for a store that is slow to answer on a busy machine,
            // or whose database is away a while yet.
            const auto started = waitFor("listening on http://" + listen, std::chrono::seconds(70));
            if (started.empty()) {
                log = lines();
                stop();
                if (chosen) break;
            } else {
                origin_ = "http://" + listen;
                instance_ = started.substr(started.rfind(' ') + 1);
            }
        }
        if (origin_.empty()) throw std::runtime_error(name + " did not start: " + nlohmann::json(log).dump());
    }
    // On PostgreSQL with codes in the log, at a free port on 127.0.0.1.
    RelayProcess(const std::string& folder, const std::string& name, const std::string& postgresUrl,
                 const nlohmann::json& moreStoreKeys = nlohmann::json::object())
        : RelayProcess(folder, name, postgresConfig(postgresUrl, moreStoreKeys)) {}
    ~RelayProcess() { stop(); }
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    static nlohmann::json postgresConfig(const std::string& url, const nlohmann::json& moreStoreKeys = nlohmann::json::object()) {
        nlohmann::json store{{"kind", "postgresql"}, {"postgres_url", url}};
        store.update(moreStoreKeys);
        return nlohmann::json{{"store", store}, {"codes_in_log", true}};
    }

    const std::string& origin() const { return origin_; }
    // The name it gives itself in the store's presence rows.
    const std::string& instance() const { return instance_; }

    // The next line holding `part`, or "" when none came in time or the
    // process ended first.
    std::string waitFor(const std::string& part, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
        return process_->waitLineWith(part, static_cast<int>(wait.count())).value_or("");
    }
    // Those of a stopped process stay.
    std::vector<std::string> lines() { return process_ ? process_->lines() : lines_; }
    // Sends it a signal and goes on (SIGSTOP, SIGCONT, SIGHUP).
    void signal(int signal) {
        if (process_) process_->signal(signal);
    }
    // Ends it with the signal and answers its exit status (-1 when it did
    // not exit by itself).
    int stop(int signal = SIGTERM) {
        if (!process_) return -1;
        process_->signal(signal);
        const int status = process_->waitExit();
        lines_ = process_->lines();
        process_.reset();
        return status;
    }

private:
    std::string origin_;
    std::string instance_;
    std::unique_ptr<morvane::testing::HarnessProcess> process_;
    std::vector<std::string> lines_;
};

}  // namespace morvane::relay_service::testing
