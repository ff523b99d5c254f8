// Strangers against morvane-relay's connections, measured from outside,
// with no account:
//
//   morvane_relay_conn_flood junk [--total N (400)] [--addresses N (8)] [--tries N (10)] [--each N (60)]
//                                 [--relay PROGRAM]
//     Device upgrades with made-up tickets, from N loopback addresses (60
//     at a time from each, within the 100 one address may have; --each
//     past it keeps that address refused as its connections end), keep the
//     relay's connection total full: each reads the relay's close and
//     never answers it, and dials again once its connection ends. A
//     newcomer asks for the page every half second; prints how many were
//     answered within 3 s.
//
//   morvane_relay_conn_flood unread-total [--total N (400)] [--addresses N (8)] [--tries N (10)] [--relay PROGRAM]
//     The same with connections that each pipeline 64 `GET /app.js` and
//     read none of it (a 4 KiB receive buffer), dialling again once the
//     relay resets them.
//
//   morvane_relay_conn_flood unread [--connections N (300)] [--addresses N (3)] [--relay PROGRAM]
//     Each connection pipelines 64 `GET /app.js` (no gzip: the largest
//     answer) and never reads (a 4 KiB receive buffer, so that its own
//     kernel holds little). Prints the kernel's TCP memory and orphans
//     (/proc/net/sockstat, the whole machine's, and what `ss -tm` says of
//     the relay's own sockets) and the relay's resident
//     memory before, at the peak, 20 s after the relay's 15 s write
//     time-out, and 20 s after the connections are closed; and the relay's
//     log lines about them.
//
//   morvane_relay_conn_flood held [--accounts N (4)] [--phones N (16)] [--seconds N (45)] [--link-rate B (40000)]
//                                 [--burst B (0)] [--relay PROGRAM]
//     Uploads the relay has stopped reading, on accounts of the attacker's
//     own (as free accounts are): each account's computer reads its link
//     at a steady --link-rate bytes a second, above the floor asked of a
//     peer, so it is never closed as slow and its queue stays full; its
//     16 phones (all one account may have, --phones) each send records of 60,000
//     bytes at 1 MB/s (the first --burst bytes of each connection at
//     once, to fill the relay's receive buffer before it holds them back),
//     and dial again a second after the relay closes them. Prints, at 5, 15, 30 and the last second, what the kernel holds
//     for each account's sockets at the relay's end (`ss -tm`: received,
//     queued to send and reserved), the machine's TCP memory, and how the
//     phones' connections ended (1008 "slow", another close, or cut).
//
// --relay runs another build of morvane-relay (an earlier one, to compare).
// Everything is on loopback, bounded in time.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_process.h"
#include "core/secure.h"
#include "paced_reader.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_store.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using morvane::bench::freePort;
using morvane::bench::startWithErrorsIn;
using morvane::bench::waitForPort;

namespace {

struct Sockstat {
    long memPages = 0;
    long orphans = 0;
    double mib() const { return static_cast<double>(memPages) * 4096.0 / (1 << 20); }
};

Sockstat sockstat() {
    std::ifstream file("/proc/net/sockstat");
    std::string line;
    Sockstat out;
    while (std::getline(file, line)) {
        if (!line.starts_with("TCP:")) continue;
        std::istringstream words(line.substr(4));
        std::string name;
        long value = 0;
        while (words >> name >> value) {
            if (name == "mem") out.memPages = value;
            if (name == "orphan") out.orphans = value;
        }
    }
    return out;
}

// What the kernel holds for each of the relay's own sockets (`ss -tm`:
// received, queued to send, and reserved), by the client's port, apart
// from the rest of the machine's.
std::map<std::uint16_t, long> relaySockets(std::uint16_t port) {
    const auto command = "ss -tmnH '( sport = :" + std::to_string(port) + " )' 2>/dev/null";
    std::map<std::uint16_t, long> held;
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return held;
    char line[1024];
    std::uint16_t client = 0;
    while (std::fgets(line, sizeof line, out)) {
        // A socket's line (state, receive and send queues, the relay's end,
        // the client's end), then its memory on a line of its own.
        char state[32], local[64], peer[64];
        long receiving = 0, sending = 0;
        if (std::sscanf(line, "%31s %ld %ld %63s %63s", state, &receiving, &sending, local, peer) == 5) {
            const char* colon = std::strrchr(peer, ':');
            client = colon ? static_cast<std::uint16_t>(std::atoi(colon + 1)) : 0;
        }
        const char* at = std::strstr(line, "skmem:(");
        long r = 0, rb = 0, t = 0, tb = 0, f = 0, w = 0;
        // Each figure is the kernel's 32-bit one (forward allocation may be
        // below nothing, printed unsigned).
        const auto signed32 = [](long value) { return static_cast<long>(static_cast<std::int32_t>(value)); };
        if (at && std::sscanf(at, "skmem:(r%ld,rb%ld,t%ld,tb%ld,f%ld,w%ld", &r, &rb, &t, &tb, &f, &w) == 6)
            held[client] += signed32(r) + signed32(t) + signed32(f) + signed32(w);
    }
    ::pclose(out);
    return held;
}

double relaySocketsMiB(std::uint16_t port) {
    long bytes = 0;
    for (const auto& [client, held] : relaySockets(port)) bytes += held;
    return static_cast<double>(bytes) / (1 << 20);
}

double residentMB(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line))
        if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1000.0;
    return 0;
}

std::string hex(std::mt19937_64& random, int bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < bytes * 2; ++i) out += digits[random() % 16];
    return out;
}

// One attacker's connection that dials again whenever the relay ends it.
// It reads whatever comes and never answers, or (`reads` false) reads
// nothing at all through a 4 KiB receive buffer and only notices the
// relay's reset.
class JunkDevice : public std::enable_shared_from_this<JunkDevice> {
public:
    JunkDevice(asio::io_context& io, tcp::endpoint relay, asio::ip::address from, std::string request, bool reads = true)
        : io_(io), relay_(relay), from_(from), request_(std::move(request)), reads_(reads), socket_(io), pause_(io) {}
    void dial() {
        boost::system::error_code ec;
        socket_ = tcp::socket(io_);
        socket_.open(tcp::v4(), ec);
        if (!ec && !reads_) socket_.set_option(asio::socket_base::receive_buffer_size(4096), ec);
        if (!ec) socket_.bind({from_, 0}, ec);
        if (ec) return later();
        socket_.async_connect(relay_, [self = shared_from_this()](boost::system::error_code ec) {
            if (ec) return self->later();
            asio::async_write(self->socket_, asio::buffer(self->request_),
                              [self](boost::system::error_code ec, std::size_t) {
                                  if (ec) return self->later();
                                  self->drain();
                              });
        });
    }
    int dials = 0;
    static inline bool stopping = false;

private:
    void drain() {
        if (!reads_) {
            socket_.async_wait(tcp::socket::wait_error, [self = shared_from_this()](boost::system::error_code) {
                self->later();
            });
            return;
        }
        socket_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
            if (ec) return self->later();
            self->drain();
        });
    }
    void later() {
        boost::system::error_code ignored;
        socket_.close(ignored);
        if (stopping) return;
        ++dials;
        pause_.expires_after(20ms);
        pause_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (!ec && !stopping) self->dial();
        });
    }
    asio::io_context& io_;
    tcp::endpoint relay_;
    asio::ip::address from_;
    std::string request_;
    bool reads_;
    tcp::socket socket_;
    asio::steady_timer pause_;
    char scratch_[512];
};

bool pageAnswered(std::uint16_t port) {
    asio::io_context io;
    tcp::socket socket(io);
    std::string answer;
    char chunk[4096];
    bool done = false;
    std::function<void()> read = [&] {
        socket.async_read_some(asio::buffer(chunk), [&](boost::system::error_code ec, std::size_t n) {
            answer.append(chunk, n);
            if (ec) {
                done = true;
                return;
            }
            read();
        });
    };
    socket.async_connect({asio::ip::make_address("127.0.0.1"), port}, [&](boost::system::error_code ec) {
        if (ec) return;
        static const std::string request = "GET / HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n";
        asio::write(socket, asio::buffer(request), ec);
        read();
    });
    io.run_for(3s);
    return done && answer.starts_with("HTTP/1.1 200");
}

struct Relay {
    pid_t pid = 0;
    std::uint16_t port = 0;
    std::filesystem::path folder, log;
};

// `prepare` fills the relay's store before it starts.
Relay startRelay(const std::string& program, const std::string& limits,
                 const std::function<void(const std::filesystem::path&)>& prepare = {}) {
    Relay relay;
    relay.folder = std::filesystem::temp_directory_path() / ("relay-conn-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(relay.folder / "data");
    if (prepare) prepare(relay.folder / "data");
    relay.port = freePort();
    relay.log = relay.folder / "relay.log";
    std::ofstream(relay.folder / "relay.json")
        << "{\"listen\":\"127.0.0.1:" << relay.port << "\",\"data_dir\":\"" << (relay.folder / "data").string()
        << "\",\"trusted_proxies\":[],\"limits\":" << limits << "}";
    relay.pid = startWithErrorsIn({program, "--config", (relay.folder / "relay.json").string()}, relay.log);
    waitForPort(relay.port, "morvane-relay", relay.pid);
    return relay;
}

void stopRelay(Relay& relay, const std::vector<std::string>& about) {
    ::kill(relay.pid, SIGTERM);
    ::waitpid(relay.pid, nullptr, 0);
    std::ifstream log(relay.log);
    std::string line;
    int shown = 0, matching = 0;
    while (std::getline(log, line)) {
        bool wanted = false;
        for (const auto& word : about) wanted = wanted || line.find(word) != std::string::npos;
        if (!wanted) continue;
        ++matching;
        if (shown < 6) {
            std::printf("  relay: %s\n", line.c_str());
            ++shown;
        }
    }
    std::printf("  (%d such lines in the relay's log)\n", matching);
    std::filesystem::remove_all(relay.folder);
}

// `pipelined`: each connection asks for the largest file 64 times ahead
// and reads none of it, in place of a made-up ticket's upgrade.
int junk(const std::string& program, int total, int addresses, int tries, int each, bool pipelined) {
    auto relay = startRelay(program, "{\"connections\":" + std::to_string(total) + "}");
    asio::io_context io;
    std::mt19937_64 random(7);
    std::vector<std::shared_ptr<JunkDevice>> attackers;
    std::string unread;
    for (int i = 0; i < 64; ++i) unread += "GET /app.js HTTP/1.1\r\nHost: relay\r\n\r\n";
    for (int a = 0; a < addresses; ++a) {
        for (int i = 0; i < each; ++i) {
            const auto request = pipelined ? unread
                                           : "GET /relay/v1/device/" + hex(random, 16) + "?ticket=" + hex(random, 24) +
                                                 " HTTP/1.1\r\nHost: relay\r\nUpgrade: websocket\r\nConnection: "
                                                 "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                                 "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: morvane.v1\r\n\r\n";
            attackers.push_back(std::make_shared<JunkDevice>(
                io, tcp::endpoint{asio::ip::make_address("127.0.0.1"), relay.port},
                asio::ip::make_address("127.0." + std::to_string(2 + a / 250) + "." + std::to_string(a % 250 + 1)),
                request, !pipelined));
            attackers.back()->dial();
        }
    }
    std::thread flood([&] { io.run(); });
    std::this_thread::sleep_for(3s);
    int answered = 0;
    for (int t = 0; t < tries; ++t) {
        if (pageAnswered(relay.port)) ++answered;
        std::this_thread::sleep_for(500ms);
    }
    asio::post(io, [&] {
        JunkDevice::stopping = true;
        io.stop();
    });
    flood.join();
    long dials = 0;
    for (const auto& attacker : attackers) dials += attacker->dials;
    std::printf("%d %s at a time from %d addresses against limits.connections %d "
                "(%ld dials again in all): %d of %d newcomers answered\n",
                addresses * each, pipelined ? "connections pipelining unread GET /app.js" : "junk-ticket device upgrades",
                addresses, total, dials, answered, tries);
    attackers.clear();
    stopRelay(relay, {"device", "connection", "answer"});
    return 0;
}

int unread(const std::string& program, int connections, int addresses) {
    auto relay = startRelay(program, "{}");
    std::this_thread::sleep_for(1s);
    const auto before = sockstat();
    const auto rssBefore = residentMB(relay.pid);
    asio::io_context io;
    std::vector<tcp::socket> sockets;
    std::string pipelined;
    for (int i = 0; i < 64; ++i) pipelined += "GET /app.js HTTP/1.1\r\nHost: relay\r\n\r\n";
    for (int i = 0; i < connections; ++i) {
        tcp::socket socket(io);
        socket.open(tcp::v4());
        socket.set_option(asio::socket_base::receive_buffer_size(4096));
        socket.bind({asio::ip::make_address("127.0.3." + std::to_string(i % addresses + 1)), 0});
        boost::system::error_code ec;
        socket.connect({asio::ip::make_address("127.0.0.1"), relay.port}, ec);
        if (ec) continue;
        socket.non_blocking(true);
        socket.write_some(asio::buffer(pipelined), ec);
        sockets.push_back(std::move(socket));
    }
    const auto started = std::chrono::steady_clock::now();
    Sockstat peak = before, at5;
    double rssPeak = rssBefore, rssAt5 = 0, relayPeak = 0, relayAt5 = 0;
    for (int s = 1; s <= 35; ++s) {
        std::this_thread::sleep_until(started + std::chrono::seconds(s));
        const auto now = sockstat();
        peak.memPages = std::max(peak.memPages, now.memPages);
        peak.orphans = std::max(peak.orphans, now.orphans);
        rssPeak = std::max(rssPeak, residentMB(relay.pid));
        const auto held = relaySocketsMiB(relay.port);
        relayPeak = std::max(relayPeak, held);
        if (s == 5) {
            at5 = now;
            rssAt5 = residentMB(relay.pid);
            relayAt5 = held;
        }
    }
    const auto at35 = sockstat();
    const auto rssAt35 = residentMB(relay.pid);
    for (auto& socket : sockets) {
        boost::system::error_code ignored;
        socket.close(ignored);
    }
    std::this_thread::sleep_for(20s);
    const auto after = sockstat();
    std::printf("%zu connections from %d addresses pipelining GET /app.js, never reading:\n", sockets.size(), addresses);
    std::printf("  kernel TCP memory %.1f MiB before, %.1f at 5 s (%+.1f), peak %.1f (%+.1f), %.1f at 35 s, "
                "%.1f 20 s after they closed\n",
                before.mib(), at5.mib(), at5.mib() - before.mib(), peak.mib(), peak.mib() - before.mib(), at35.mib(),
                after.mib());
    std::printf("  of it the relay's own sockets: %.1f MiB at 5 s, peak %.1f MiB\n", relayAt5, relayPeak);
    std::printf("  orphans %ld before, %ld at 5 s, most %ld, %ld at 35 s (20 s after the write time-out), "
                "%ld 20 s after they closed\n",
                before.orphans, at5.orphans, peak.orphans, at35.orphans, after.orphans);
    std::printf("  relay RSS %.1f MB before, %.1f at 5 s, peak %.1f (%+.1f), %.1f at 35 s, %.1f after\n", rssBefore,
                rssAt5, rssPeak, rssPeak - rssBefore, rssAt35, residentMB(relay.pid));
    stopRelay(relay, {"answer", "reset", "connection"});
    return 0;
}

namespace held {

namespace beast = boost::beast;
namespace ws = beast::websocket;
using Socket = ws::stream<beast::tcp_stream>;
using namespace morvane;
using namespace morvane::relay_service;

constexpr std::size_t recordBytes = 60'000;

struct Account {
    RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    std::string room = RelayBytes::hex(identity.roomID());
    std::vector<std::string> tickets;
    std::size_t used = 0;
    std::shared_ptr<testing::PacedReader<Socket>> link;
    std::set<std::uint16_t> ports;  // its sockets' ends, at the client
    std::string from;
    int slow = 0, otherClose = 0, cut = 0;
};

// From the account's own loopback address: a hundred connections at most
// come from one.
// Its own send buffer small: what waits is the attacker's memory, and on
// one machine the benchmark's own would hide the relay's.
std::unique_ptr<Socket> dial(asio::io_context& io, std::uint16_t port, const Account& account, int receiveBuffer) {
    auto socket = std::make_unique<Socket>(io);
    auto& raw = socket->next_layer().socket();
    raw.open(tcp::v4());
    raw.bind({asio::ip::make_address(account.from), 0});
    raw.set_option(asio::socket_base::send_buffer_size(128 << 10));
    if (receiveBuffer > 0) raw.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket->next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    return socket;
}

std::string readText(Socket& socket) {
    beast::flat_buffer buffer;
    socket.read(buffer);
    return beast::buffers_to_string(buffer.data());
}

// The account's computer, proved, reading its link at a steady pace
// through a small receive buffer, so that the relay's kernel sees it.
void openLink(asio::io_context& io, std::uint16_t port, Account& account, double rate) {
    auto socket = dial(io, port, account, 16 << 10);
    const auto hello = account.identity.helloHeader(static_cast<std::uint64_t>(std::time(nullptr)), Secure::randomBytes(16));
    socket->set_option(ws::stream_base::decorator([hello](ws::request_type& r) {
        r.set(beast::http::field::sec_websocket_protocol, "morvane.v1");
        r.set("X-Morvane-Host-Auth", hello);
    }));
    socket->handshake("127.0.0.1", "/relay/v1/host/" + account.room);
    const auto challenge = nlohmann::json::parse(readText(*socket));
    const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
    socket->text(true);
    socket->write(asio::buffer(R"({"t":"prove","sig":")" + account.identity.proveSignature(*nonce) + "\"}"));
    readText(*socket);  // welcome
    account.ports.insert(socket->next_layer().socket().local_endpoint().port());
    account.link = std::make_shared<testing::PacedReader<Socket>>(std::move(socket), testing::ReadingPace{rate},
                                                                 [](const beast::error_code&, const Socket&) {});
    account.link->start();
}

// A phone sending records at 1 MB/s, within the relay's rate, as long as
// its connection lasts; it reads only the relay's close, and dials again
// a second after it.
class Phone : public std::enable_shared_from_this<Phone> {
public:
    Phone(asio::io_context& io, std::uint16_t port, Account& account)
        : io_(io), port_(port), account_(account), pace_(io), record_(recordBytes, 'u') {}
    void dial() {
        if (stopping || account_.used >= account_.tickets.size()) return;
        try {
            socket_ = held::dial(io_, port_, account_, 0);
            socket_->set_option(ws::stream_base::decorator(
                [](ws::request_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
            socket_->handshake("127.0.0.1", "/relay/v1/device/" + account_.room + "?ticket=" +
                                                account_.tickets[account_.used++]);
        } catch (const std::exception& e) {
            if (account_.cut++ == 0) std::fprintf(stderr, "  a phone could not dial: %s\n", e.what());
            return later();
        }
        socket_->binary(true);
        account_.ports.insert(socket_->next_layer().socket().local_endpoint().port());
        begun_ = std::chrono::steady_clock::now();
        sent_ = 0;
        listen();
        send();
    }
    static inline bool stopping = false;
    static inline std::uint64_t burst = 0;

private:
    void listen() {
        socket_->async_read(heard_, [self = shared_from_this(), socket = socket_.get()](beast::error_code ec, std::size_t) {
            if (socket != self->socket_.get()) return;
            self->heard_.consume(self->heard_.size());
            if (!ec) return self->listen();
            if (ec == ws::error::closed) {
                ++(socket->reason().code == 1008 ? self->account_.slow : self->account_.otherClose);
            } else {
                if (self->account_.cut++ == 0) std::fprintf(stderr, "  a phone was cut: %s\n", ec.message().c_str());
            }
            self->later();
        });
    }
    void send() {
        // 1 byte a microsecond, the first `burst` at once.
        const auto due = begun_ + std::chrono::microseconds(sent_ - std::min(sent_, burst));
        pace_.expires_at(due);
        pace_.async_wait([self = shared_from_this(), socket = socket_.get()](beast::error_code ec) {
            if (ec || socket != self->socket_.get() || stopping) return;
            socket->async_write(asio::buffer(self->record_), [self, socket](beast::error_code ec, std::size_t) {
                if (ec || socket != self->socket_.get()) return;
                self->sent_ += recordBytes;
                self->send();
            });
        });
    }
    void later() {
        if (stopping) return;
        dropped_.push_back(std::move(socket_));
        auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::seconds(1));
        timer->async_wait([self = shared_from_this(), timer](beast::error_code) { self->dial(); });
    }

    asio::io_context& io_;
    std::uint16_t port_;
    Account& account_;
    asio::steady_timer pace_;
    std::string record_;
    std::unique_ptr<Socket> socket_;
    std::vector<std::unique_ptr<Socket>> dropped_;  // a write may still be on its way
    beast::flat_buffer heard_;
    std::chrono::steady_clock::time_point begun_;
    std::uint64_t sent_ = 0;
};

int run(const std::string& program, int accounts, int phonesPerAccount, int seconds, double linkRate, std::uint64_t burst) {
    Phone::burst = burst;
    std::vector<std::unique_ptr<Account>> all;
    for (int a = 0; a < accounts; ++a) {
        all.push_back(std::make_unique<Account>());
        all.back()->from = "127.0." + std::to_string(4 + a / 250) + "." + std::to_string(a % 250 + 1);
    }
    auto relay = startRelay(program, "{}", [&](const std::filesystem::path& data) {
        auto store = openRelayStore(RelayStoreConfig{"sqlite", data.string(), ""});
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        for (std::size_t a = 0; a < all.size(); ++a) {
            const auto owner = store->accountForEmail("free" + std::to_string(a) + "@example.com", now);
            store->addHost(HostRecord{all[a]->room, all[a]->identity.hostPublicKeyText(), "Desk", owner.userId, now}, 10);
            for (int t = 0; t < 400; ++t) {
                const auto ticket = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
                store->putToken(Token{Secure::sha256Hex(ticket), TokenKind::ticket, owner.userId, "web", all[a]->room, now + 3600});
                all[a]->tickets.push_back(ticket);
            }
        }
    });
    asio::io_context io;
    const auto quiet = sockstat();
    std::vector<std::shared_ptr<Phone>> phones;
    for (auto& account : all) {
        openLink(io, relay.port, *account, linkRate);
        for (int p = 0; p < phonesPerAccount; ++p) {
            phones.push_back(std::make_shared<Phone>(io, relay.port, *account));
            phones.back()->dial();
        }
    }
    const auto begun = std::chrono::steady_clock::now();
    std::printf("%d accounts, each a computer reading its link at %.0f KB/s and %d phones sending 1 MB/s (the first "
                "%llu bytes at once), against morvane-relay with its default limits:\n",
                accounts, linkRate / 1000, phonesPerAccount, static_cast<unsigned long long>(burst));
    std::set<int> moments = {seconds};
    for (const int at : {5, 15, 30})
        if (at < seconds) moments.insert(at);
    for (const int at : moments) {
        io.run_until(begun + std::chrono::seconds(at));
        const auto held = relaySockets(relay.port);
        std::vector<double> each;
        for (const auto& account : all) {
            long bytes = 0;
            for (const auto port : account->ports)
                if (const auto found = held.find(port); found != held.end()) bytes += found->second;
            each.push_back(static_cast<double>(bytes) / (1 << 20));
        }
        std::sort(each.begin(), each.end());
        int slow = 0, other = 0, cut = 0;
        for (const auto& account : all) slow += account->slow, other += account->otherClose, cut += account->cut;
        const auto now = sockstat();
        std::uint64_t read = 0;
        for (const auto& account : all) read += account->link->total();
        std::printf("  at %2d s: the relay's sockets hold %.1f-%.1f MiB an account (median %.1f); kernel TCP memory "
                    "%+.1f MiB; phones closed %d times with 1008, %d with another code, %d cut; each computer read "
                    "%.0f KB/s\n",
                    at, each.front(), each.back(), each[each.size() / 2], now.mib() - quiet.mib(), slow, other, cut,
                    static_cast<double>(read) / accounts / at / 1000);
    }
    Phone::stopping = true;
    io.stop();
    phones.clear();
    for (auto& account : all) account->link.reset();
    stopRelay(relay, {"waited unread", "reset", "refus"});
    return 0;
}

}  // namespace held

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        std::cerr << "usage: morvane_relay_conn_flood junk|unread-total|unread|held [--accounts N] [--phones N] [--seconds N] [--link-rate B] [--burst B] [--total N] [--connections N] [--addresses N] "
                     "[--tries N] [--each N] [--relay PROGRAM]\n";
        return 2;
    }
    const std::string mode = argv[1];
    std::string program = MORVANE_RELAY_PROGRAM;
    int total = 400, connections = 300, addresses = mode == "unread" ? 3 : 8, tries = 10, each = 60, accounts = 4,
        phones = 16, seconds = 45;
    double linkRate = 40'000;
    std::uint64_t burst = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--relay") program = value;
        else if (name == "--total") total = std::stoi(value);
        else if (name == "--connections") connections = std::stoi(value);
        else if (name == "--addresses") addresses = std::stoi(value);
        else if (name == "--tries") tries = std::stoi(value);
        else if (name == "--each") each = std::stoi(value);
        else if (name == "--accounts") accounts = std::stoi(value);
        else if (name == "--phones") phones = std::stoi(value);
        else if (name == "--burst") burst = std::stoull(value);
        else if (name == "--seconds") seconds = std::stoi(value);
        else if (name == "--link-rate") linkRate = std::stod(value);
    }
    if (mode == "junk") return junk(program, total, addresses, tries, each, false);
    if (mode == "unread-total") return junk(program, total, addresses, tries, each, true);
    if (mode == "unread") return unread(program, connections, addresses);
    if (mode == "held") return held::run(program, accounts, phones, seconds, linkRate, burst);
    std::cerr << "junk, unread-total, unread or held\n";
    return 2;
}
