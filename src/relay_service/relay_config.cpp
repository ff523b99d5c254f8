#include "relay_service/relay_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "relay_service/client_address.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service {

using json = nlohmann::json;

namespace {

constexpr std::size_t maxConfigBytes = 65'536;

std::optional<std::string> textAt(const json& object, const char* key, std::string& out, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (!it->is_string()) return where + key + " must be a text";
    out = it->get<std::string>();
    return std::nullopt;
}

std::optional<std::string> flagAt(const json& object, const char* key, bool& out, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (!it->is_boolean()) return where + key + " must be true or false";
    out = it->get<bool>();
    return std::nullopt;
}

std::optional<std::string> countAt(const json& object, const char* key, std::int64_t& out, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (!it->is_number_integer() || it->get<std::int64_t>() < 1) return where + key + " must be a whole number above 0";
    out = it->get<std::int64_t>();
    return std::nullopt;
}

std::optional<std::string> onlyKeys(const json& object, const std::set<std::string>& known, const std::string& where) {
    for (const auto& [key, value] : object.items())
        if (!known.contains(key)) return "unknown key " + where + key;
    return std::nullopt;
}

// What may wait to be written and how many connections may be open. A
// connection must have room for what an honest host sends a device before
// it hears back: the secure channel's credit window and a record.
static_assert(QueueLimits{}.leastShare == RelayLimits::minQueuedBytesPerConnection);
std::optional<std::string> applyQueueAndListenLimits(const json& limits, RelayConfig& config) {
    std::int64_t connection = static_cast<std::int64_t>(config.queues.perConnection),
                 account = static_cast<std::int64_t>(config.queues.perAccount),
                 total = static_cast<std::int64_t>(config.queues.total), perAddress = config.listen.connectionsPerAddress,
                 connections = config.listen.connections;
    if (auto e = countAt(limits, "queued_bytes_per_connection", connection, "limits.")) return e;
    if (auto e = countAt(limits, "queued_bytes_per_account", account, "limits.")) return e;
    if (auto e = countAt(limits, "queued_bytes", total, "limits.")) return e;
    if (auto e = countAt(limits, "connections_per_address", perAddress, "limits.")) return e;
    if (auto e = countAt(limits, "connections", connections, "limits.")) return e;
    if (connection < static_cast<std::int64_t>(RelayLimits::minQueuedBytesPerConnection))
        return "limits.queued_bytes_per_connection must be at least " +
               std::to_string(RelayLimits::minQueuedBytesPerConnection);
    if (account < connection) return "limits.queued_bytes_per_account must be at least limits.queued_bytes_per_connection";
    if (total < account) return "limits.queued_bytes must be at least limits.queued_bytes_per_account";
    if (connections > 1'000'000 || perAddress > connections)
        return "limits: at most 1000000 connections, and no more per address than in all";
    config.queues = QueueLimits{static_cast<std::size_t>(connection), static_cast<std::size_t>(account),
                                static_cast<std::size_t>(total)};
    config.listen = ListenLimits{static_cast<int>(perAddress), static_cast<int>(connections)};
    return std::nullopt;
}

std::optional<std::string> section(const json& root, const char* key, const json*& out) {
    out = nullptr;
    const auto it = root.find(key);
    if (it == root.end()) return std::nullopt;
    if (!it->is_object()) return std::string(key) + " must be an object";
    out = &*it;
    return std::nullopt;
}

}  // namespace

std::optional<std::pair<std::string, std::uint16_t>> parseListen(const std::string& text) {
    std::string host, port;
    if (text.starts_with("[")) {
        const auto close = text.find("]:");
        if (close == std::string::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const auto number = std::stoul(port);
    if (number == 0 || number > 65535) return std::nullopt;
    return std::pair{host, static_cast<std::uint16_t>(number)};
}

std::optional<std::string> applyConfigText(const std::string& text, RelayConfig& config) {
    const auto root = json::parse(text, nullptr, false);
    if (root.is_discarded()) return "not valid JSON";
    if (!root.is_object()) return "the file must hold one JSON object";
    if (auto e = onlyKeys(root,
                          {"listen", "data_dir", "tls", "store", "smtp", "codes_in_log", "limits", "trusted_proxies",
                           "accounts"},
                          ""))
        return e;
    std::string listen;
    if (auto e = textAt(root, "listen", listen, "")) return e;
    if (!listen.empty()) {
        const auto parsed = parseListen(listen);
        if (!parsed) return "listen must be host:port, as 127.0.0.1:8080 or [::]:443";
        config.listenAddress = parsed->first;
        config.listenPort = parsed->second;
    }
    if (auto e = textAt(root, "data_dir", config.dataDir, "")) return e;
    if (auto e = flagAt(root, "codes_in_log", config.codesInLog, "")) return e;
    const json* part = nullptr;
    if (auto e = section(root, "tls", part)) return e;
    if (part) {
        if (auto e = onlyKeys(*part, {"certificate", "key"}, "tls.")) return e;
        if (auto e = textAt(*part, "certificate", config.certificateFile, "tls.")) return e;
        if (auto e = textAt(*part, "key", config.keyFile, "tls.")) return e;
    }
    if (auto e = section(root, "store", part)) return e;
    if (part) {
        if (auto e = onlyKeys(*part,
                              {"kind", "postgres_url", "connect_timeout_seconds", "statement_timeout_seconds",
                               "keepalive_seconds", "max_waiting", "max_wait_seconds", "peer_address"},
                              "store."))
            return e;
        if (auto e = textAt(*part, "kind", config.storeKind, "store.")) return e;
        if (auto e = textAt(*part, "postgres_url", config.postgresUrl, "store.")) return e;
        if (auto e = textAt(*part, "peer_address", config.peerAddress, "store.")) return e;
        if (!config.peerAddress.empty() && !parseListen(config.peerAddress))
            return "store.peer_address must be address:port, as 10.0.0.1:8080 or [fd00::1]:8080";
        auto& timeouts = config.storeTimeouts;
        for (auto [key, seconds] : {std::pair{"connect_timeout_seconds", &timeouts.connectSeconds},
                                    std::pair{"statement_timeout_seconds", &timeouts.statementSeconds},
                                    std::pair{"keepalive_seconds", &timeouts.keepaliveSeconds}}) {
            std::int64_t value = *seconds;
            if (auto e = countAt(*part, key, value, "store.")) return e;
            if (value > 300) return std::string("store.") + key + " must be at most 300";
            *seconds = static_cast<int>(value);
        }
        std::int64_t waiting = static_cast<std::int64_t>(config.storeQueue.maxWaiting);
        std::int64_t waitSeconds = config.storeQueue.maxWaitMillis / 1000;
        if (auto e = countAt(*part, "max_waiting", waiting, "store.")) return e;
        if (auto e = countAt(*part, "max_wait_seconds", waitSeconds, "store.")) return e;
        if (waiting > 100'000) return "store.max_waiting: at most 100000 calls";
        if (waitSeconds > 600) return "store.max_wait_seconds: at most 600";
        config.storeQueue.maxWaiting = static_cast<std::size_t>(waiting);
        config.storeQueue.maxWaitMillis = waitSeconds * 1000;
        if (config.storeKind != "sqlite" && config.storeKind != "postgresql")
            return "store.kind must be \"sqlite\" or \"postgresql\"";
    }
    if (auto e = section(root, "smtp", part)) return e;
    if (part) {
        if (auto e = onlyKeys(*part, {"url", "from", "user", "password", "starttls"}, "smtp.")) return e;
        if (auto e = textAt(*part, "url", config.smtp.url, "smtp.")) return e;
        if (auto e = textAt(*part, "from", config.smtp.from, "smtp.")) return e;
        if (auto e = textAt(*part, "user", config.smtp.user, "smtp.")) return e;
        if (auto e = textAt(*part, "password", config.smtp.password, "smtp.")) return e;
        if (auto e = flagAt(*part, "starttls", config.smtp.startTls, "smtp.")) return e;
        if (!config.smtp.url.starts_with("smtp://") && !config.smtp.url.starts_with("smtps://"))
            return "smtp.url must begin with smtp:// or smtps://";
        if (config.smtp.from.empty()) return "smtp.from must name the sender's address";
    }
    if (auto e = section(root, "limits", part)) return e;
    if (part) {
        if (auto e = onlyKeys(*part,
                              {"connections_per_account", "connections_per_device", "device_bytes_per_second",
                               "queued_bytes_per_connection", "queued_bytes_per_account", "queued_bytes",
                               "connections_per_address", "connections"},
                              "limits."))
            return e;
        if (auto e = applyQueueAndListenLimits(*part, config)) return e;
        std::int64_t account = config.limits.connectionsPerAccount, device = config.limits.connectionsPerDevice;
        if (auto e = countAt(*part, "connections_per_account", account, "limits.")) return e;
        if (auto e = countAt(*part, "connections_per_device", device, "limits.")) return e;
        if (auto e = countAt(*part, "device_bytes_per_second", config.limits.bytesPerSecond, "limits.")) return e;
        if (account > 10'000 || device > 10'000) return "limits: at most 10000 connections";
        config.limits.connectionsPerAccount = static_cast<int>(account);
        config.limits.connectionsPerDevice = static_cast<int>(device);
    }
    if (const auto it = root.find("trusted_proxies"); it != root.end()) {
        const auto wrong = "trusted_proxies must be a list of addresses or prefixes, as [\"10.0.0.10\", \"fd00::/8\"]";
        if (!it->is_array() || it->size() > 1000) return wrong;
        std::vector<std::string> entries;
        for (const auto& entry : *it) {
            if (!entry.is_string()) return wrong;
            entries.push_back(entry.get<std::string>());
        }
        auto parsed = TrustedProxies::parse(entries);
        if (const auto* error = std::get_if<std::string>(&parsed)) return *error;
        config.trustedProxies = std::move(entries);
    }
    if (const auto it = root.find("accounts"); it != root.end()) {
        const auto wrong = "accounts must be a list of e-mail addresses and \"@domain\" entries, as "
                           "[\"you@example.org\", \"@example.org\"]";
        if (!it->is_array()) return wrong;
        // An empty list would let no one in, its owner neither.
        if (it->empty())
            return "accounts must name at least one address or \"@domain\" (leave it out to let anyone sign in)";
        std::vector<std::string> entries;
        for (const auto& entry : *it) {
            if (!entry.is_string()) return wrong;
            entries.push_back(entry.get<std::string>());
        }
        auto parsed = AccountList::parse(entries);
        if (const auto* error = std::get_if<std::string>(&parsed)) return "accounts: " + *error;
        config.accounts = std::move(std::get<AccountList>(parsed));
    }
    if (config.certificateFile.empty() != config.keyFile.empty()) return "tls needs both certificate and key";
    return std::nullopt;
}

namespace {

std::optional<std::string> loadConfigFile(const std::string& path, RelayConfig& config) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "cannot read it";
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    if (info.st_size > static_cast<off_t>(maxConfigBytes)) return "larger than 64 KiB";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read it";
    std::ostringstream text;
    text << in.rdbuf();
    if (auto error = applyConfigText(text.str(), config)) return error;
    // The mail password is a secret of the admin's: nobody else may read it.
    if (!config.smtp.password.empty() && (info.st_mode & 077) != 0)
        return "holds smtp.password but others may read it (run: chmod 600 " + path + ")";
    return std::nullopt;
}

}  // namespace

std::variant<RelayCommand, CommandError> parseCommand(const std::vector<std::string>& arguments) {
    RelayCommand command;
    // The config file comes first, so that switches override it.
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--config") {
            if (i + 1 >= arguments.size()) return CommandError{"--config needs a file"};
            const auto& path = arguments[i + 1];
            if (auto error = loadConfigFile(path, command.config)) return CommandError{path + ": " + *error, false};
            ++i;
        }
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        const auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= arguments.size()) return std::nullopt;
            (void)name;
            return arguments[++i];
        };
        if (argument == "--help" || argument == "-h") {
            command.action = RelayCommand::Action::help;
        } else if (argument == "--version") {
            command.action = RelayCommand::Action::version;
        } else if (argument == "--config") {
            ++i;
        } else if (argument == "--codes-in-log") {
            command.config.codesInLog = true;
        } else if (argument == "--listen") {
            const auto text = value("--listen");
            if (!text) return CommandError{"--listen needs host:port"};
            const auto parsed = parseListen(*text);
            if (!parsed) return CommandError{"--listen must be host:port, as 127.0.0.1:8080"};
            command.config.listenAddress = parsed->first;
            command.config.listenPort = parsed->second;
        } else if (argument == "--data") {
            const auto text = value("--data");
            if (!text || text->empty()) return CommandError{"--data needs a folder"};
            command.config.dataDir = *text;
        } else {
            return CommandError{"unknown option " + argument};
        }
    }
    return command;
}

std::string usageText(std::string_view guide) {
    return "Usage: morvane-relay [--config FILE] [--listen HOST:PORT] [--data DIR] [--codes-in-log]\n"
           "       morvane-relay --help | --version\n"
           "\n"
           "The relay that lets devices reach Morvane hosts from anywhere. How to run it, and every\n"
           "key of its config file: " + std::string(guide) + "\n"
           "\n"
           "  --config FILE    read settings from a JSON file\n"
           "  --listen H:P     listen on this address and port (default 127.0.0.1:8080); plain HTTP\n"
           "                   is served on loopback, or on a private address to trusted_proxies;\n"
           "                   any other address needs tls in the config\n"
           "  --data DIR       keep the relay's store in this folder\n"
           "  --codes-in-log   write each sign-in code to the log instead of sending e-mail\n"
           "  --help           show this text\n"
           "  --version        show the version\n";
}

std::string signInText(const AccountList& accounts) {
    if (accounts.open()) return "who may sign in: anyone with an e-mail address (name who may in \"accounts\")";
    const auto count = [](std::size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string listed;
    if (accounts.addresses() > 0) listed = count(accounts.addresses(), "address", "addresses");
    if (accounts.domains() > 0)
        listed += (listed.empty() ? "" : " and ") + count(accounts.domains(), "domain", "domains");
    return "who may sign in: the " + listed + " in \"accounts\"";
}

std::vector<std::string> keysNeedingRestart(const RelayConfig& running, const RelayConfig& read) {
    const auto& a = running;
    const auto& b = read;
    const auto& qa = a.storeQueue;
    const auto& qb = b.storeQueue;
    const std::pair<const char*, bool> keys[] = {
        {"listen", a.listenAddress != b.listenAddress || a.listenPort != b.listenPort},
        {"data_dir", a.dataDir != b.dataDir},
        {"tls.certificate", a.certificateFile != b.certificateFile},
        {"tls.key", a.keyFile != b.keyFile},
        {"store.kind", a.storeKind != b.storeKind},
        {"store.postgres_url", a.postgresUrl != b.postgresUrl},
        {"store.peer_address", a.peerAddress != b.peerAddress},
        {"store time-outs", a.storeTimeouts != b.storeTimeouts},
        {"store.max_waiting", qa.maxWaiting != qb.maxWaiting},
        {"store.max_wait_seconds", qa.maxWaitMillis != qb.maxWaitMillis},
        {"smtp", a.smtp.url != b.smtp.url || a.smtp.from != b.smtp.from || a.smtp.user != b.smtp.user ||
                     a.smtp.password != b.smtp.password || a.smtp.startTls != b.smtp.startTls},
        {"codes_in_log", a.codesInLog != b.codesInLog},
        {"limits", a.limits.connectionsPerAccount != b.limits.connectionsPerAccount ||
                       a.limits.connectionsPerDevice != b.limits.connectionsPerDevice ||
                       a.limits.bytesPerSecond != b.limits.bytesPerSecond ||
                       a.queues.perConnection != b.queues.perConnection || a.queues.perAccount != b.queues.perAccount ||
                       a.queues.total != b.queues.total ||
                       a.listen.connectionsPerAddress != b.listen.connectionsPerAddress ||
                       a.listen.connections != b.listen.connections},
        {"trusted_proxies", a.trustedProxies != b.trustedProxies},
    };
    std::vector<std::string> changed;
    for (const auto& [key, differs] : keys)
        if (differs) changed.emplace_back(key);
    return changed;
}

std::string listenAdvice(const std::string& failure, const RelayConfig& config) {
    const auto says = [&](int error) { return failure.find(std::strerror(error)) != std::string::npos; };
    // Who reaches the relay at another port: the proxies it names; else, a
    // relay serving TLS itself is reached by computers and phones at its
    // name, on port 443 alone, and a plain one (on loopback) by a proxy on
    // this machine or, on a trial, by what names its origin.
    const std::string then =
        config.trustedProxies && !config.trustedProxies->empty() ? " and point the proxy at it"
        : !config.certificateFile.empty()
            ? " with port 443 passed to it (a port forward): computers and phones reach a relay on port 443 alone"
            : " and point what reaches it at that port (the proxy on this machine, or on a trial "
              "MORVANE_RELAY_ORIGIN and the address the browser opens)";
    if (says(EADDRINUSE))
        return "another program listens there (an instance already running, or another server): stop it "
               "(`ss -ltnp` names it), or give this one another port in listen" + then;
    if (says(EADDRNOTAVAIL))
        return "no network interface of this machine has that address: listen on one of its own, or [::]";
    if (says(EACCES))
        return "ports below 1024 need the right to bind them: run it as its unit does (CAP_NET_BIND_SERVICE), or "
               "listen on a higher port" + then;
    return "";
}

std::variant<RelayConfig, std::string> readConfigAgain(const std::vector<std::string>& arguments) {
    auto parsed = parseCommand(arguments);
    if (const auto* error = std::get_if<CommandError>(&parsed)) return error->text;
    return std::move(std::get<RelayCommand>(parsed).config);
}

}  // namespace morvane::relay_service
