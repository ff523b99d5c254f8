// A flood of made-up sign-ins at morvane-relay, measured from outside: 400
// connections send `/v1/auth/verify` as fast as they are answered, each
// call under a new client key (X-Forwarded-For, which the relay believes
// from loopback as from a proxy in front of it) and a new address, while
// normal people sign in (a code, then the code from the relay's log) and
// a signed-in account goes on with its list, a ticket, a refresh and its
// computer's link dialled again. Once with the SQLite store, once with a
// PostgreSQL server the benchmark makes itself (initdb into a folder under
// /tmp, a unix socket only). Everything is on 127.0.0.1, bounded in time.
//
//   morvane_relay_flood [--seconds N] [--flooders N] [--sqlite-sign-ins N] [--postgres-sign-ins N]
//                       [--only sqlite|postgresql] [--relay PROGRAM]
//
// --relay runs another build of morvane-relay (an earlier one, to compare).
//
// It prints, for each store: the normal sign-ins completed, the signed-in
// account's calls that got through, the flood's answers by status, and the
// lines the relay logged during the flood (all of them, and those of the
// store queue's state).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_process.h"
#include "core/secure.h"
#include "postgres_test_cluster.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_store.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
using namespace morvane;
using namespace morvane::relay_service;
using morvane::bench::freePort;
using morvane::bench::startWithErrorsIn;
using morvane::bench::waitForPort;

namespace {

// One keep-alive HTTP connection to the relay, made again when it breaks.
class Caller {
public:
    explicit Caller(std::uint16_t port) : port_(port) {}
    // The status (0 when the connection failed) and the body.
    std::pair<int, json> call(const std::string& method, const std::string& target, const json& body,
                              const std::string& client, const std::string& bearer = "") {
        beast::error_code ec;
        if (!stream_) {
            stream_ = std::make_unique<beast::tcp_stream>(io_);
            stream_->connect(tcp::endpoint{asio::ip::make_address("127.0.0.1"), port_}, ec);
            if (ec) {
                stream_.reset();
                return {0, json()};
            }
        }
        http::request<http::string_body> request{http::string_to_verb(method), target, 11};
        request.set(http::field::host, "127.0.0.1");
        request.set("X-Forwarded-For", client);
        if (!bearer.empty()) request.set(http::field::authorization, "Bearer " + bearer);
        if (!body.is_null()) {
            request.set(http::field::content_type, "application/json");
            request.body() = body.dump();
        }
        request.keep_alive(true);
        request.prepare_payload();
        stream_->expires_after(std::chrono::seconds(20));
        http::write(*stream_, request, ec);
        http::response<http::string_body> response;
        beast::flat_buffer buffer;
        if (!ec) http::read(*stream_, buffer, response, ec);
        if (ec) {
            stream_.reset();
            return {0, json()};
        }
        if (!response.keep_alive()) stream_.reset();
        return {static_cast<int>(response.result_int()), json::parse(response.body(), nullptr, false)};
    }

private:
    asio::io_context io_;
    std::uint16_t port_;
    std::unique_ptr<beast::tcp_stream> stream_;
};

// The code the relay wrote to its log for an address, waiting up to 10 s.
std::string codeInLog(const std::filesystem::path& log, const std::string& email) {
    const std::string mark = "Sign-in code for " + email + ": ";
    for (int i = 0; i < 200; ++i) {
        std::ifstream in(log);
        std::string line, code;
        while (std::getline(in, line))
            if (const auto at = line.find(mark); at != std::string::npos) code = line.substr(at + mark.size(), 6);
        if (!code.empty()) return code;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
}

// A computer's link, dialled and proved: whether the relay welcomed it.
bool dialLink(std::uint16_t port, const RelayIdentity& identity) {
    try {
        asio::io_context io;
        ws::stream<beast::tcp_stream> socket(io);
        socket.next_layer().expires_after(std::chrono::seconds(20));
        socket.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
        const auto hello = identity.helloHeader(static_cast<std::uint64_t>(std::time(nullptr)), Secure::randomBytes(16));
        socket.set_option(ws::stream_base::decorator([hello](ws::request_type& r) {
            r.set(http::field::sec_websocket_protocol, "morvane.v1");
            r.set("X-Morvane-Host-Auth", hello);
        }));
        socket.handshake("127.0.0.1", "/relay/v1/host/" + RelayBytes::hex(identity.roomID()));
        beast::flat_buffer buffer;
        socket.read(buffer);
        const auto challenge = json::parse(beast::buffers_to_string(buffer.data()));
        buffer.consume(buffer.size());
        const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
        socket.text(true);
        socket.write(asio::buffer(R"({"t":"prove","sig":")" + identity.proveSignature(*nonce) + "\"}"));
        socket.read(buffer);
        const bool welcomed = json::parse(beast::buffers_to_string(buffer.data()))["t"] == "welcome";
        beast::error_code ec;
        socket.close(ws::close_code::normal, ec);
        return welcomed;
    } catch (const std::exception&) {
        return false;
    }
}

struct Tally {
    int tried = 0, through = 0;
    std::string text() const { return std::to_string(through) + " of " + std::to_string(tried); }
};

struct Result {
    Tally signIns, lists, tickets, refreshes, links;
    std::map<int, long> flood;
    long logLines = 0, queueLines = 0;
};

// A signed-in account made in the store beforehand: its tokens and its
// registered computer.
struct Known {
    RelayIdentity computer{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    std::string room, access, refresh;
};

Known prepare(RelayStore& store) {
    Known known;
    known.room = RelayBytes::hex(known.computer.roomID());
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    const auto owner = store.accountForEmail("known@example.com", now);
    store.addHost(HostRecord{known.room, known.computer.hostPublicKeyText(), "Known", owner.userId, now}, 10);
    const auto session = RelayBytes::b64u(Secure::randomBytes(16));
    known.access = session + RelayBytes::b64u(Secure::randomBytes(32));
    known.refresh = session + RelayBytes::b64u(Secure::randomBytes(32));
    store.putTokens({Token{Secure::sha256Hex(known.access), TokenKind::access, owner.userId, "web", "", now + 3600},
                     Token{Secure::sha256Hex(known.refresh), TokenKind::refresh, owner.userId, "web", "", now + 86400}});
    return known;
}

long countLines(const std::filesystem::path& log, std::streamoff from, long* queue) {
    std::ifstream in(log);
    in.seekg(from);
    long lines = 0;
    for (std::string line; std::getline(in, line);) {
        ++lines;
        if (line.find("the store ") != std::string::npos || line.find(" for the store ") != std::string::npos) ++*queue;
    }
    return lines;
}

Result flood(const std::vector<std::string>& relayCommand, std::uint16_t port, const std::filesystem::path& log,
             Known known, int seconds, int flooders, int signIns) {
    const pid_t relay = startWithErrorsIn(relayCommand, log);
    waitForPort(port, "morvane-relay", relay);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto logFrom = static_cast<std::streamoff>(std::filesystem::file_size(log));
    Result result;
    std::mutex lock;
    std::atomic<bool> stop{false};
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);

    std::vector<std::thread> threads;
    for (int f = 0; f < flooders; ++f)
        threads.emplace_back([&, f] {
            Caller caller(port);
            std::mt19937 random(static_cast<unsigned>(f) * 7919u + 17u);
            std::map<int, long> statuses;
            while (!stop) {
                // A new client key and a new address for every call.
                const auto client = "10." + std::to_string(random() % 256) + "." + std::to_string(random() % 256) + "." +
                                    std::to_string(random() % 256);
                const auto email = "x" + std::to_string(random()) + "@example.com";
                const auto [status, body] = caller.call(
                    "POST", "/v1/auth/verify",
                    json{{"email", email}, {"login_id", "flood"}, {"code", "123456"}, {"client", "web"}}, client);
                ++statuses[status];
                if (status == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::lock_guard guard(lock);
            for (const auto& [status, count] : statuses) result.flood[status] += count;
        });

    // Give the flood a second to fill the relay, then sign people in, one
    // after another across the flood, each trying once as the host does.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto spacing = std::chrono::milliseconds(std::max(50, (seconds - 4) * 1000 / std::max(1, signIns)));
    for (int i = 0; i < signIns; ++i)
        threads.emplace_back([&, i] {
            std::this_thread::sleep_for(spacing * i);
            Caller caller(port);
            const auto email = "person" + std::to_string(i) + "@example.com";
            const auto client = "192.0.2." + std::to_string(1 + i);
            const auto login = "login-" + std::to_string(i);
            bool done = false;
            if (caller.call("POST", "/v1/auth/code", json{{"email", email}, {"login_id", login}}, client).first == 200) {
                const auto code = codeInLog(log, email);
                done = !code.empty() &&
                       caller.call("POST", "/v1/auth/verify",
                                   json{{"email", email}, {"login_id", login}, {"code", code}, {"client", "mac"}}, client)
                               .first == 200;
            }
            std::lock_guard guard(lock);
            ++result.signIns.tried;
            result.signIns.through += done;
        });

    // The signed-in account, once a second: its list, a ticket, a refresh
    // and its computer dialling its link again.
    threads.emplace_back([&] {
        Caller caller(port);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        while (Clock::now() < deadline - std::chrono::seconds(2)) {
            const auto client = "198.51.100.7";
            const auto list = caller.call("GET", "/v1/hosts", json(), client, known.access).first;
            const auto ticket =
                caller.call("POST", "/v1/hosts/" + known.room + "/ticket", json::object(), client, known.access).first;
            const auto [refreshed, body] =
                caller.call("POST", "/v1/auth/refresh", json{{"refresh_token", known.refresh}}, client);
            if (refreshed == 200) {
                known.refresh = body["refresh_token"].get<std::string>();
                known.access = body["access_token"].get<std::string>();
            }
            const bool linked = dialLink(port, known.computer);
            {
                std::lock_guard guard(lock);
                ++result.lists.tried, result.lists.through += list == 200;
                ++result.tickets.tried, result.tickets.through += ticket == 200;
                ++result.refreshes.tried, result.refreshes.through += refreshed == 200;
                ++result.links.tried, result.links.through += linked;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });

    std::this_thread::sleep_until(deadline);
    stop = true;
    for (auto& thread : threads) thread.join();
    result.logLines = countLines(log, logFrom, &result.queueLines);
    ::kill(relay, SIGTERM);
    ::waitpid(relay, nullptr, 0);
    return result;
}

void print(const char* store, const Result& r, int seconds, int flooders) {
    long calls = 0;
    std::string statuses;
    for (const auto& [status, count] : r.flood) {
        calls += count;
        statuses += (statuses.empty() ? "" : ", ") + std::to_string(count) + " × " + std::to_string(status);
    }
    std::printf("%s: %d connections sending verify for %d s (%ld calls: %s)\n", store, flooders, seconds, calls,
                statuses.c_str());
    std::printf("  normal sign-ins completed: %s\n", r.signIns.text().c_str());
    std::printf("  signed-in account: list %s, ticket %s, refresh %s, link dialled again %s\n", r.lists.text().c_str(),
                r.tickets.text().c_str(), r.refreshes.text().c_str(), r.links.text().c_str());
    std::printf("  relay log during the flood: %ld lines, %ld of them on the store queue's state\n", r.logLines,
                r.queueLines);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 20, flooders = 400, sqliteSignIns = 12, postgresSignIns = 27;
    std::string only, program = MORVANE_RELAY_PROGRAM;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--seconds") seconds = std::max(6, std::stoi(value));
        if (name == "--flooders") flooders = std::stoi(value);
        if (name == "--sqlite-sign-ins") sqliteSignIns = std::stoi(value);
        if (name == "--postgres-sign-ins") postgresSignIns = std::stoi(value);
        if (name == "--only") only = value;
        if (name == "--relay") program = value;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const auto folder = std::filesystem::temp_directory_path() / ("morvane-relay-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    try {
        if (only.empty() || only == "sqlite") {
            const auto data = folder / "sqlite";
            std::filesystem::create_directories(data);
            Known known;
            {
                auto store = openRelayStore(RelayStoreConfig{"sqlite", data.string(), ""});
                known = prepare(*store);
            }
            const auto port = freePort();
            const auto result = flood({program, "--listen", "127.0.0.1:" + std::to_string(port), "--data",
                                       data.string(), "--codes-in-log"},
                                      port, folder / "sqlite.log", known, seconds, flooders, sqliteSignIns);
            print("SQLite", result, seconds, flooders);
        }
        if (only.empty() || only == "postgresql") {
            auto& cluster = testing::PostgresTestCluster::shared();
            const auto url = cluster.connectionString(cluster.createDatabase());
            Known known;
            {
                auto store = openRelayStore(RelayStoreConfig{"postgresql", "", url});
                known = prepare(*store);
            }
            const auto port = freePort();
            const auto data = folder / "postgres";
            std::filesystem::create_directories(data);
            std::ofstream(folder / "postgres.json")
                << json{{"store", {{"kind", "postgresql"}, {"postgres_url", url}}}}.dump();
            const auto result = flood({program, "--config", (folder / "postgres.json").string(), "--listen",
                                       "127.0.0.1:" + std::to_string(port), "--data", data.string(), "--codes-in-log"},
                                      port, folder / "postgres.log", known, seconds, flooders, postgresSignIns);
            print("PostgreSQL", result, seconds, flooders);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "morvane_relay_flood: %s\n", error.what());
        return 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
