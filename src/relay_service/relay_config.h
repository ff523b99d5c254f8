// What morvane-relay is told to do: its command line and its JSON config
// file (every key is described in docs/relay.md). Pure
// reading; every refusal is one line a person can act on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "relay_service/connection_counts.h"
#include "relay_service/queue_budget.h"
#include "relay_service/relay_accounts.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_store.h"
#include "relay_service/work_queue.h"

namespace morvane::relay_service {

struct RelaySmtp {
    std::string url;  // smtp://host:port or smtps://host:port
    std::string from;
    std::string user;
    std::string password;
    bool startTls = true;
};

struct RelayConfig {
    std::string listenAddress = "127.0.0.1";
    std::uint16_t listenPort = 8080;
    std::string dataDir;
    std::string certificateFile;
    std::string keyFile;
    std::string storeKind = "sqlite";
    std::string postgresUrl;
    StoreTimeouts storeTimeouts;
    // "address:port" where the other instances reach this one's listener
    // to ask whether its store answers; empty: the listen address and port.
    std::string peerAddress;
    RelaySmtp smtp;
    bool codesInLog = false;
    // Who may sign in ("accounts"); anyone with an e-mail address without it.
    AccountList accounts;
    DeviceLimits limits;
    // Addresses and prefixes of the proxies whose X-Forwarded-For is
    // believed; absent: loopback when listening on loopback.
    std::optional<std::vector<std::string>> trustedProxies;
    WorkQueueLimits storeQueue;
    QueueLimits queues;
    ListenLimits listen;
};

struct RelayCommand {
    enum class Action { run, help, version } action = Action::run;
    RelayConfig config;
};

// "host:port", "[v6]:port"; absent for anything else or a port of 0.
std::optional<std::pair<std::string, std::uint16_t>> parseListen(const std::string& text);

// Applies a config document over `config`; the error names the key.
std::optional<std::string> applyConfigText(const std::string& text, RelayConfig& config);

// Reads the command line (without the program name), loading the config
// file it names before the switches that override it. The variant holds
// the command, or the error and whether it is a misuse of the command line
// (exit 2) rather than a bad config file (exit 1).
struct CommandError {
    std::string text;
    bool usage = true;
};
std::variant<RelayCommand, CommandError> parseCommand(const std::vector<std::string>& arguments);

// `guide` is where this program's page of every setting is installed.
std::string usageText(std::string_view guide);

// What the start line says of who may sign in.
std::string signInText(const AccountList& accounts);
// The keys whose values differ between the config a relay runs with and
// one read again, among those a reload does not take (all but "accounts";
// the certificate's files are read again, but not new names for them): a
// restart takes them. In the order of the guide's table.
std::vector<std::string> keysNeedingRestart(const RelayConfig& running, const RelayConfig& read);

// What to do about a listening socket that could not be made, for the line
// that says so: the port taken by another program, an address that is not
// this machine's, a port below 1024 without the right to it; empty for
// anything else. Another port is the business of whoever reaches the
// relay there: the proxies named in trusted_proxies; computers and phones
// for a relay serving TLS itself, which reach it on port 443 alone (a
// relay's address is a name, without a port); for a plain relay on
// loopback, a proxy on this machine or, on a trial, what names its origin.
std::string listenAdvice(const std::string& failure, const RelayConfig& config);

// The same command line's config read again (the file may have changed):
// the config, or the reason it cannot be used.
std::variant<RelayConfig, std::string> readConfigAgain(const std::vector<std::string>& arguments);

}  // namespace morvane::relay_service
