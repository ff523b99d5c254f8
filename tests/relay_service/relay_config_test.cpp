// The command line and the config file: what is taken, what overrides
// what, and the one-line refusals a person reads; and the program's exits.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <boost/asio/ip/tcp.hpp>
#include <regex>

#include "relay_service/relay_config.h"
#include "relay_service/relay_log.h"
#include "service_rig.h"

namespace morvane::relay_service::testing {
namespace {

TEST(RelayConfig, ConfigKeysAreReadAndMistakesNamed) {
    RelayConfig config;
    ASSERT_EQ(applyConfigText(R"({"listen":"[::]:8443","data_dir":"/var/lib/r","codes_in_log":true,
        "tls":{"certificate":"/c.pem","key":"/k.pem"},"store":{"kind":"postgresql","postgres_url":"host=db",
        "connect_timeout_seconds":3,"statement_timeout_seconds":7,"keepalive_seconds":20},
        "smtp":{"url":"smtps://mail.example.com:465","from":"relay@example.com","user":"u","password":"p","starttls":false},
        "limits":{"connections_per_account":5,"connections_per_device":2,"device_bytes_per_second":1000,
                  "queued_bytes_per_connection":3000000,"queued_bytes_per_account":8000000,"queued_bytes":90000000,
                  "connections_per_address":50,"connections":1000}})",
                              config),
              std::nullopt);
    EXPECT_EQ(config.listenAddress, "::");
    EXPECT_EQ(config.listenPort, 8443);
    EXPECT_EQ(config.dataDir, "/var/lib/r");
    EXPECT_TRUE(config.codesInLog);
    EXPECT_EQ(config.certificateFile, "/c.pem");
    EXPECT_EQ(config.storeKind, "postgresql");
    EXPECT_EQ(config.postgresUrl, "host=db");
    EXPECT_EQ(config.storeTimeouts, (StoreTimeouts{.connectSeconds = 3, .statementSeconds = 7, .keepaliveSeconds = 20}));
    EXPECT_EQ(RelayConfig().storeTimeouts, (StoreTimeouts{.connectSeconds = 5, .statementSeconds = 5, .keepaliveSeconds = 10}));
    EXPECT_EQ(config.smtp.url, "smtps://mail.example.com:465");
    EXPECT_FALSE(config.smtp.startTls);
    EXPECT_EQ(config.limits.connectionsPerAccount, 5);
    EXPECT_EQ(config.limits.bytesPerSecond, 1000);
    EXPECT_EQ(config.queues.perConnection, 3'000'000u);
    EXPECT_EQ(config.queues.perAccount, 8'000'000u);
    EXPECT_EQ(config.queues.total, 90'000'000u);
    EXPECT_EQ(config.listen.connectionsPerAddress, 50);
    EXPECT_EQ(config.listen.connections, 1000);
    EXPECT_FALSE(config.trustedProxies) << "none named: the listen address decides";
    EXPECT_EQ(config.storeQueue.maxWaiting, 256u);
    EXPECT_EQ(config.storeQueue.maxWaitMillis, 5'000);

    RelayConfig fleet;
    ASSERT_EQ(applyConfigText(R"({"listen":"10.0.0.1:8080","trusted_proxies":["10.0.0.10","fd00::/8"],
        "store":{"kind":"postgresql","max_waiting":64,"max_wait_seconds":3}})",
                              fleet),
              std::nullopt);
    EXPECT_EQ(fleet.trustedProxies, (std::vector<std::string>{"10.0.0.10", "fd00::/8"}));
    EXPECT_EQ(fleet.storeQueue.maxWaiting, 64u);
    EXPECT_EQ(fleet.storeQueue.maxWaitMillis, 3000);

    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"{", "not valid JSON"},
        {"[]", "the file must hold one JSON object"},
        {R"({"listn":"x"})", "unknown key listn"},
        {R"({"smtp":{"url":"smtp://m","from":"a@b","pasword":"x"}})", "unknown key smtp.pasword"},
        {R"({"listen":"8080"})", "listen must be host:port, as 127.0.0.1:8080 or [::]:443"},
        {R"({"listen":"a:0"})", "listen must be host:port, as 127.0.0.1:8080 or [::]:443"},
        {R"({"data_dir":5})", "data_dir must be a text"},
        {R"({"codes_in_log":"yes"})", "codes_in_log must be true or false"},
        {R"({"tls":{"certificate":"/c.pem"}})", "tls needs both certificate and key"},
        {R"({"store":{"kind":"mysql"}})", "store.kind must be \"sqlite\" or \"postgresql\""},
        {R"({"store":{"statement_timeout_seconds":0}})", "store.statement_timeout_seconds must be a whole number above 0"},
        {R"({"store":{"connect_timeout_seconds":"5"}})", "store.connect_timeout_seconds must be a whole number above 0"},
        {R"({"store":{"keepalive_seconds":301}})", "store.keepalive_seconds must be at most 300"},
        {R"({"store":{"timeout":5}})", "unknown key store.timeout"},
        {R"({"smtp":{"url":"http://m","from":"a@b"}})", "smtp.url must begin with smtp:// or smtps://"},
        {R"({"smtp":{"url":"smtp://m"}})", "smtp.from must name the sender's address"},
        {R"({"limits":{"connections_per_device":0}})", "limits.connections_per_device must be a whole number above 0"},
        {R"({"tls":[]})", "tls must be an object"},
        {R"({"trusted_proxies":"10.0.0.10"})",
         "trusted_proxies must be a list of addresses or prefixes, as [\"10.0.0.10\", \"fd00::/8\"]"},
        {R"({"trusted_proxies":[10]})",
         "trusted_proxies must be a list of addresses or prefixes, as [\"10.0.0.10\", \"fd00::/8\"]"},
        {R"({"trusted_proxies":["nginx.local"]})",
         "trusted_proxies: nginx.local is not an address or a prefix such as 10.0.0.0/24"},
        {R"({"store":{"max_waiting":0}})", "store.max_waiting must be a whole number above 0"},
        {R"({"store":{"max_wait_seconds":601}})", "store.max_wait_seconds: at most 600"},
        // A connection has room for what an honest computer may send a
        // device before it hears back; the wider limits hold the narrower.
        {R"({"limits":{"queued_bytes_per_connection":1048576}})",
         "limits.queued_bytes_per_connection must be at least 2097152"},
        {R"({"limits":{"queued_bytes_per_account":3000000}})",
         "limits.queued_bytes_per_account must be at least limits.queued_bytes_per_connection"},
        {R"({"limits":{"queued_bytes":10000000}})", "limits.queued_bytes must be at least limits.queued_bytes_per_account"},
        {R"({"limits":{"connections":10,"connections_per_address":20}})",
         "limits: at most 1000000 connections, and no more per address than in all"},
        {R"({"limits":{"connections":0}})", "limits.connections must be a whole number above 0"},
        {R"({"accounts":"you@example.org"})",
         "accounts must be a list of e-mail addresses and \"@domain\" entries, as [\"you@example.org\", \"@example.org\"]"},
        {R"({"accounts":[7]})",
         "accounts must be a list of e-mail addresses and \"@domain\" entries, as [\"you@example.org\", \"@example.org\"]"},
        {R"({"accounts":[]})",
         "accounts must name at least one address or \"@domain\" (leave it out to let anyone sign in)"},
        {R"({"accounts":["you"]})", "accounts: \"you\" is not an e-mail address, as \"you@example.org\""},
        {R"({"accounts":["you@localhost"]})", "accounts: \"you@localhost\" is not an e-mail address, as \"you@example.org\""},
        {R"({"accounts":["@"]})", "accounts: \"@\" is not \"@\" and a domain, as \"@example.org\""},
        {R"({"accounts":["@a@example.org"]})", "accounts: \"@a@example.org\" is not \"@\" and a domain, as \"@example.org\""},
    };
    for (const auto& c : cases) {
        RelayConfig fresh;
        EXPECT_EQ(applyConfigText(c.text, fresh), c.error) << c.text;
    }
}

struct TempFolder {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("relay-config-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
    TempFolder() { std::filesystem::create_directories(path); }
    ~TempFolder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name, const std::string& text, mode_t mode) {
        const auto full = (path / name).string();
        writeFile(full, text);
        ::chmod(full.c_str(), mode);
        return full;
    }
};

TEST(RelayConfig, SwitchesOverrideTheFileAndAPasswordNeedsAPrivateFile) {
    TempFolder folder;
    const auto config = folder.file("relay.json", R"({"listen":"127.0.0.1:9000","data_dir":"/from-file"})", 0644);
    const auto parsed = parseCommand({"--data", "/from-switch", "--config", config, "--codes-in-log"});
    ASSERT_TRUE(std::holds_alternative<RelayCommand>(parsed));
    const auto& command = std::get<RelayCommand>(parsed);
    EXPECT_EQ(command.config.dataDir, "/from-switch");
    EXPECT_EQ(command.config.listenPort, 9000);
    EXPECT_TRUE(command.config.codesInLog);

    const std::string secret = R"({"smtp":{"url":"smtp://m:587","from":"r@example.com","user":"u","password":"pw"}})";
    const auto open = folder.file("open.json", secret, 0640);
    const auto refused = parseCommand({"--config", open});
    ASSERT_TRUE(std::holds_alternative<CommandError>(refused));
    EXPECT_EQ(std::get<CommandError>(refused).text,
              open + ": holds smtp.password but others may read it (run: chmod 600 " + open + ")");
    EXPECT_FALSE(std::get<CommandError>(refused).usage);
    EXPECT_TRUE(std::holds_alternative<RelayCommand>(parseCommand({"--config", folder.file("private.json", secret, 0600)})));

    struct Case {
        std::vector<std::string> arguments;
        bool usage;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, true},
        {{"--listen"}, true},
        {{"--listen", "localhost"}, true},
        {{"--data"}, true},
        {{"--config"}, true},
        {{"--config", (folder.path / "missing.json").string()}, false},
        {{"--config", folder.path.string()}, false},
    };
    for (const auto& c : cases) {
        const auto result = parseCommand(c.arguments);
        ASSERT_TRUE(std::holds_alternative<CommandError>(result)) << c.arguments[0];
        EXPECT_EQ(std::get<CommandError>(result).usage, c.usage) << c.arguments[0];
        EXPECT_EQ(std::get<CommandError>(result).text.find('\n'), std::string::npos);
    }
}

// Runs the built program; its exit status and what it wrote.
std::pair<int, std::string> run(const std::string& arguments) {
    const std::string program = MORVANE_RELAY_PROGRAM;
    FILE* pipe = ::popen((program + " " + arguments + " 2>&1").c_str(), "r");
    std::string out;
    char chunk[512];
    while (pipe && std::fgets(chunk, sizeof chunk, pipe)) out += chunk;
    const int status = pipe ? ::pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(RelayProgram, ExitsAsAPersonAndAServiceManagerExpect) {
    TempFolder folder;
    const auto help = run("--help");
    EXPECT_EQ(help.first, 0);
    EXPECT_NE(help.second.find("--codes-in-log"), std::string::npos);
    // Run from its build folder, nothing installed: the guide it names is there.
    EXPECT_NE(help.second.find(MORVANE_SOURCE_DIR "/docs/relay.md"), std::string::npos) << help.second;
    EXPECT_EQ(run("--version").second.rfind("morvane-relay ", 0), 0u);
    const auto bad = run("--frobnicate");
    EXPECT_EQ(bad.first, 2);
    EXPECT_EQ(bad.second, "morvane-relay: unknown option --frobnicate\nTry morvane-relay --help.\n");
    const auto config = folder.file("bad.json", R"({"listen":"nowhere"})", 0600);
    const auto broken = run("--config " + config);
    EXPECT_EQ(broken.first, 1);
    EXPECT_EQ(broken.second,
              "morvane-relay: " + config + ": listen must be host:port, as 127.0.0.1:8080 or [::]:443\n");
    const auto noData = run("--listen 127.0.0.1:1");
    EXPECT_EQ(noData.first, 1);
    EXPECT_EQ(std::count(noData.second.begin(), noData.second.end(), '\n'), 1);
    // A port another program holds: the line says what to do about it.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const auto port = std::to_string(holder.local_endpoint().port());
    const auto taken = run("--listen 127.0.0.1:" + port + " --data " + folder.path.string() + "/data");
    EXPECT_EQ(taken.first, 1);
    EXPECT_NE(taken.second.find("cannot listen on 127.0.0.1:" + port + ": " + std::strerror(EADDRINUSE) +
                                ": another program listens there (an instance already running, or another server): "
                                "stop it (`ss -ltnp` names it), or give this one another port in listen"),
              std::string::npos)
        << taken.second;
    // An IPv6 address is written as listen takes it, in brackets.
    boost::asio::ip::tcp::acceptor holder6(io, {boost::asio::ip::make_address("::1"), 0});
    const auto port6 = std::to_string(holder6.local_endpoint().port());
    const auto taken6 = run("--listen [::1]:" + port6 + " --data " + folder.path.string() + "/data");
    EXPECT_NE(taken6.second.find("cannot listen on [::1]:" + port6 + ": " + std::strerror(EADDRINUSE)), std::string::npos)
        << taken6.second;
}

// A reload takes "accounts" (and the certificate's files again); every
// other key that changed is named as kept until a restart, and nothing when
// nothing else changed.
TEST(RelayConfig, AReloadNamesTheChangedKeysOnlyARestartTakes) {
    const auto read = [](const std::string& text) {
        RelayConfig config;
        EXPECT_EQ(applyConfigText(text, config), std::nullopt) << text;
        return config;
    };
    const auto running = read(R"({"listen":"127.0.0.1:8080","codes_in_log":true,"accounts":["a@example.org"]})");
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {R"({"listen":"127.0.0.1:8080","codes_in_log":true,"accounts":["b@example.org"]})", {}},
        {R"({"listen":"127.0.0.1:8081","codes_in_log":true})", {"listen"}},
        {R"({"listen":"127.0.0.1:8080","smtp":{"url":"smtp://mail:25","from":"r@example.org"}})",
         {"smtp", "codes_in_log"}},
        {R"({"listen":"127.0.0.1:8080","codes_in_log":true,"store":{"kind":"postgresql","postgres_url":"x",
            "statement_timeout_seconds":9,"peer_address":"10.0.0.1:8080"}})",
         {"store.kind", "store.postgres_url", "store.peer_address", "store time-outs"}},
        {R"({"listen":"127.0.0.1:8080","codes_in_log":true,"tls":{"certificate":"c.pem","key":"k.pem"},
            "limits":{"connections":500},"trusted_proxies":["10.0.0.10"],"data_dir":"/srv/relay"})",
         {"data_dir", "tls.certificate", "tls.key", "limits", "trusted_proxies"}},
    };
    for (const auto& [text, keys] : cases) EXPECT_EQ(keysNeedingRestart(running, read(text)), keys) << text;
}

// What the line says to do about a listen that failed fits the operator's
// setup: another port is the proxy's business where trusted_proxies names
// one (plain or TLS); a relay serving TLS itself is reached on port 443
// alone, since a computer's relay address is a name without a port; a plain
// relay on loopback may have a proxy on the machine or be a trial.
TEST(RelayConfig, TheListenAdviceFitsTheSetup) {
    RelayConfig loopback, direct, passedThrough, behind, noneTrusted;
    direct.certificateFile = passedThrough.certificateFile = noneTrusted.certificateFile = "cert.pem";
    passedThrough.trustedProxies = behind.trustedProxies = std::vector<std::string>{"10.0.0.10"};
    noneTrusted.trustedProxies = std::vector<std::string>{};
    const auto failure = [](int error) { return "cannot listen on [::]:25443: " + std::string(std::strerror(error)); };
    const std::string taken =
        "another program listens there (an instance already running, or another server): stop it (`ss -ltnp` names "
        "it), or give this one another port in listen";
    const std::string low = "ports below 1024 need the right to bind them: run it as its unit does "
                            "(CAP_NET_BIND_SERVICE), or listen on a higher port";
    const std::string proxy = " and point the proxy at it";
    const std::string only443 =
        " with port 443 passed to it (a port forward): computers and phones reach a relay on port 443 alone";
    const std::string here = " and point what reaches it at that port (the proxy on this machine, or on a trial "
                             "MORVANE_RELAY_ORIGIN and the address the browser opens)";
    const struct {
        std::string failure;
        const RelayConfig* config;
        std::string advice;
    } cases[] = {
        {failure(EADDRINUSE), &loopback, taken + here},
        {failure(EADDRINUSE), &behind, taken + proxy},
        {failure(EADDRINUSE), &passedThrough, taken + proxy},
        {failure(EADDRINUSE), &direct, taken + only443},
        {failure(EADDRINUSE), &noneTrusted, taken + only443},
        {failure(EACCES), &loopback, low + here},
        {failure(EACCES), &behind, low + proxy},
        {failure(EACCES), &direct, low + only443},
        {failure(EADDRNOTAVAIL), &direct,
         "no network interface of this machine has that address: listen on one of its own, or [::]"},
        {"plain HTTP listens on loopback", &loopback, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(listenAdvice(c.failure, *c.config), c.advice) << c.failure;
}

// "accounts" names who may sign in, in any case and with blanks around an
// entry, and the start line says who: those listed, or anyone with an
// e-mail address and the key that would close it.
TEST(RelayConfig, AccountsNameWhoMaySignInAndTheStartLineSaysWho) {
    const struct {
        const char* text;
        const char* line;
        std::vector<std::string> admitted, refused;
    } cases[] = {
        {"{}", "who may sign in: anyone with an e-mail address (name who may in \"accounts\")", {"anyone@example.net"}, {}},
        {R"({"accounts":["Owner@Example.org", " ann@example.com ", "@Family.Example"]})",
         "who may sign in: the 2 addresses and 1 domain in \"accounts\"",
         {"owner@example.org", "ann@example.com", "kid@family.example"},
         {"eve@example.org", "kid@school.family.example"}},
        {R"({"accounts":["@example.org"]})", "who may sign in: the 1 domain in \"accounts\"", {"a@example.org"}, {"a@example.com"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        RelayConfig config;
        ASSERT_EQ(applyConfigText(c.text, config), std::nullopt);
        EXPECT_EQ(signInText(config.accounts), c.line);
        for (const auto& address : c.admitted) EXPECT_TRUE(config.accounts.admits(address)) << address;
        for (const auto& address : c.refused) EXPECT_FALSE(config.accounts.admits(address)) << address;
    }
}

// A flood of one kind of line writes its first line at once and then one
// every ten seconds at most, each saying how many like it it stands for; a
// clock stepped back does not keep it quiet.
TEST(ThrottledLine, AFloodWritesALineAtOnceThenOneEveryTenSecondsWithTheCountFolded) {
    std::vector<std::string> lines;
    const RelayLog log([&lines](const std::string& line) { lines.push_back(line); });
    ThrottledLine refused;
    constexpr std::int64_t start = 1'000'000;
    for (std::int64_t at = 0; at < 25'000; at += 10) refused.say(log, Severity::warning, "refused x", start + at);
    EXPECT_EQ(lines, (std::vector<std::string>{"refused x", "refused x (and 999 more like it in the last 10 s)",
                                               "refused x (and 999 more like it in the last 10 s)"}));
    refused.say(log, Severity::warning, "refused x", start + 60'000);
    EXPECT_EQ(lines.back(), "refused x (and 499 more like it in the last 40 s)");
    refused.say(log, Severity::warning, "refused x", start);
    EXPECT_EQ(lines.size(), 5u) << "the clock stepped back";

    ThrottledLine shed;
    EXPECT_EQ(shed.due(0, 3), 3);
    EXPECT_EQ(shed.due(9'999, 2), std::nullopt);
    EXPECT_EQ(shed.due(10'000), 3);
}

// journald reads the severity from the line's start and keeps the time
// itself; a terminal gets the time and no number it would show as noise.
TEST(RelayLog, TheJournalReadsTheSeverityAndATerminalTheTime) {
    const std::pair<Severity, std::string> journal[] = {
        {Severity::error, "<3>store failed"}, {Severity::warning, "<4>store failed"}, {Severity::info, "<6>store failed"}};
    for (const auto& [severity, line] : journal) EXPECT_EQ(logLine(severity, "store failed", true, 0), line);
    const auto terminal = logLine(Severity::error, "store failed", false, 1'700'000'000'123);
    EXPECT_TRUE(std::regex_match(terminal, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.123  store failed)"))) << terminal;
}

}  // namespace
}  // namespace morvane::relay_service::testing
