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
//   morvane_relay_conn_flood held [--accounts N (4)] [--phones N (16)] [--seconds N (45)] [--rate B (40000)]
//                                 [--burst B (0)] [--downloads] [--relay PROGRAM]
//     What the relay's kernel holds for accounts of the attacker's own (as
//     free accounts are) whose senders it holds back. Uploads: each
//     account's computer reads its link at a steady --rate bytes a second,
//     above the floor asked of a peer, so it is never closed as slow and
//     its queue stays full; its 16 phones (all one account may have) each
//     send records of 60,000 bytes at 1 MB/s (the first --burst bytes of
//     each connection at once). --downloads: each account's ten computers
//     (all it may have) send records as fast as the relay takes them, past
//     any credits, to a phone each that reads --rate bytes a second, so
//     that the links are held back. Whatever the relay closes dials again
//     a second later. Prints, at 5, 15, 30 and the last second, what the
//     kernel holds for each account's sockets at the relay's end (`ss -tm`:
//     received, queued to send and reserved), the machine's TCP memory,
//     how the connections ended (1008 "slow", another close, or cut) and
//     the pace the readers kept.
//
//   morvane_relay_conn_flood tls [--connections N (10000)] [--addresses N (101)] [--complete] [--rsa]
//                                [--hold N (20)] [--visitors] [--spread] [--settle N (30)] [--tls12]
//                                [--no-nginx] [--relay PROGRAM] [--hellos N] [--known] [--slow MS]
//     TLS connections that each send a ClientHello and then nothing (with
//     --complete: that complete their handshake and then say nothing),
//     from N loopback addresses, against morvane-relay terminating TLS
//     itself and then against nginx terminating it for the same
//     connections (one worker, no master), each with a certificate made
//     here (ECDSA P-256; --rsa: RSA 2048). What a server closes dials
//     again, so that the number stays while they are held (--hold
//     seconds once all are open). A newcomer opens the page over TLS
//     every half second meanwhile. Prints each server's resident memory
//     before, at the peak and 30 s (--settle) after the connections
//     closed, how many newcomers had the page within 2 s and how long they
//     took, and the most connections its listen queue held (sampled). --visitors: each half second a fresh visitor from an address
//     of its own loads the page over 4 connections at once, as a browser
//     does, in place of one connection from 127.0.0.1. --spread: each of
//     the strangers' addresses in a /24 of its own. --tls12: the strangers
//     speak TLS 1.2 and take no session tickets, so that a server that
//     keeps sessions keeps theirs. --hellos N: in place of the held
//     connections, N ClientHellos a second for the hold, each on a
//     connection of its own from the addresses in turn, kept until the
//     server closes it or 3 s pass. --known: each address completes one
//     handshake first. --slow MS: each visitor's Finished leaves MS after
//     the server's flight (a phone on a slow network); its page counts
//     within 2 s plus that.
//
// --relay runs another build of morvane-relay (an earlier one, to compare).
// Everything is on loopback, bounded in time.
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
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
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_process.h"
#include "tls_flood.h"
#include "core/secure.h"
#include "paced_reader.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_store.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using morvane::bench::freePort;
using morvane::bench::makeCertificate;
using morvane::bench::newcomer;
using morvane::bench::pagesLine;
using morvane::bench::startNginx;
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

// How many connections wait in the kernel's queue of the server listening
// on `port`, not yet accepted (`ss -ltn`'s Recv-Q); -1 when unknown.
int listenQueue(std::uint16_t port) {
    const auto command = "ss -ltnH '( sport = :" + std::to_string(port) + " )' 2>/dev/null";
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return -1;
    char line[512];
    int waiting = -1;
    char state[32];
    if (std::fgets(line, sizeof line, out) && std::sscanf(line, "%31s %d", state, &waiting) != 2) waiting = -1;
    ::pclose(out);
    return waiting;
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
                 const std::function<void(const std::filesystem::path&)>& prepare = {}, const std::string& more = "") {
    Relay relay;
    relay.folder = std::filesystem::temp_directory_path() / ("relay-conn-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(relay.folder / "data");
    if (prepare) prepare(relay.folder / "data");
    relay.port = freePort();
    relay.log = relay.folder / "relay.log";
    std::ofstream(relay.folder / "relay.json")
        << "{\"listen\":\"127.0.0.1:" << relay.port << "\",\"data_dir\":\"" << (relay.folder / "data").string()
        << "\",\"trusted_proxies\":[],\"limits\":" << limits << more << "}";
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
using Reader = morvane::testing::PacedReader<Socket>;
using namespace morvane;
using namespace morvane::relay_service;

constexpr std::size_t recordBytes = 60'000;
inline bool stopping = false;

struct Computer {
    RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    std::string room = RelayBytes::hex(identity.roomID());
    std::vector<std::string> tickets;
    std::size_t used = 0;
};

// How the connections of one kind ended.
struct Ends {
    int slow = 0, other = 0, cut = 0;  // read a close with 1008, read another close, reset or ended without one
    void add(const beast::error_code& ec, const Socket& socket, const char* what) {
        if (ec == ws::error::closed) {
            ++(socket.reason().code == 1008 ? slow : other);
        } else if (cut++ == 0) {
            std::fprintf(stderr, "  %s was cut: %s\n", what, ec.message().c_str());
        }
    }
};

struct Account {
    std::vector<Computer> computers;
    std::string from;  // its own loopback address: a hundred connections at most come from one
    std::set<std::uint16_t> ports;  // its sockets' ends, at the client
    std::vector<std::shared_ptr<Reader>> readers;
    Ends phones, links;
    std::uint64_t read() const {
        std::uint64_t all = 0;
        for (const auto& reader : readers) all += reader->total();
        return all;
    }
};

// Its own send buffer small: what waits is the attacker's memory, and on
// one machine the benchmark's own would hide the relay's.
std::unique_ptr<Socket> dial(asio::io_context& io, std::uint16_t port, Account& account, int receiveBuffer) {
    auto socket = std::make_unique<Socket>(io);
    auto& raw = socket->next_layer().socket();
    raw.open(tcp::v4());
    raw.bind({asio::ip::make_address(account.from), 0});
    raw.set_option(asio::socket_base::send_buffer_size(128 << 10));
    if (receiveBuffer > 0) raw.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket->next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    account.ports.insert(raw.local_endpoint().port());
    return socket;
}

std::string readText(Socket& socket) {
    beast::flat_buffer buffer;
    socket.read(buffer);
    return beast::buffers_to_string(buffer.data());
}

// A computer's link, proved and welcomed.
std::unique_ptr<Socket> link(asio::io_context& io, std::uint16_t port, Account& account, const Computer& computer,
                             int receiveBuffer) {
    auto socket = dial(io, port, account, receiveBuffer);
    const auto hello = computer.identity.helloHeader(static_cast<std::uint64_t>(std::time(nullptr)), Secure::randomBytes(16));
    socket->set_option(ws::stream_base::decorator([hello](ws::request_type& r) {
        r.set(beast::http::field::sec_websocket_protocol, "morvane.v1");
        r.set("X-Morvane-Host-Auth", hello);
    }));
    socket->handshake("127.0.0.1", "/relay/v1/host/" + computer.room);
    const auto challenge = nlohmann::json::parse(readText(*socket));
    const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
    socket->text(true);
    socket->write(asio::buffer(R"({"t":"prove","sig":")" + computer.identity.proveSignature(*nonce) + "\"}"));
    readText(*socket);  // welcome
    socket->binary(true);
    return socket;
}

// A device's socket in the computer's room, with the next of its tickets.
std::unique_ptr<Socket> device(asio::io_context& io, std::uint16_t port, Account& account, Computer& computer,
                               int receiveBuffer) {
    if (computer.used >= computer.tickets.size()) throw std::runtime_error("no tickets left");
    auto socket = dial(io, port, account, receiveBuffer);
    socket->set_option(ws::stream_base::decorator(
        [](ws::request_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
    socket->handshake("127.0.0.1", "/relay/v1/device/" + computer.room + "?ticket=" + computer.tickets[computer.used++]);
    socket->binary(true);
    return socket;
}

// Runs `again` a second from now, as the page dials again.
void later(asio::io_context& io, std::function<void()> again) {
    if (stopping) return;
    auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::seconds(1));
    timer->async_wait([timer, again = std::move(again)](beast::error_code) {
        if (!stopping) again();
    });
}

// A phone sending records at 1 MB/s, within the relay's rate (the first
// `burst` bytes at once), as long as its connection lasts; it reads only
// the relay's close.
class Uploader : public std::enable_shared_from_this<Uploader> {
public:
    Uploader(asio::io_context& io, std::uint16_t port, Account& account, std::uint64_t burst)
        : io_(io), port_(port), account_(account), burst_(burst), pace_(io), record_(recordBytes, 'u') {}
    void dial() {
        try {
            socket_ = device(io_, port_, account_, account_.computers.front(), 0);
        } catch (const std::exception&) {
            ++account_.phones.cut;
            return later(io_, [self = shared_from_this()] { self->dial(); });
        }
        begun_ = std::chrono::steady_clock::now();
        sent_ = 0;
        listen();
        send();
    }

private:
    void listen() {
        socket_->async_read(heard_, [self = shared_from_this(), socket = socket_.get()](beast::error_code ec, std::size_t) {
            if (socket != self->socket_.get()) return;
            self->heard_.consume(self->heard_.size());
            if (!ec) return self->listen();
            self->account_.phones.add(ec, *socket, "a phone");
            self->dropped_.push_back(std::move(self->socket_));
            later(self->io_, [self] { self->dial(); });
        });
    }
    void send() {
        pace_.expires_at(begun_ + std::chrono::microseconds(sent_ - std::min(sent_, burst_)));  // 1 byte a microsecond
        pace_.async_wait([self = shared_from_this(), socket = socket_.get()](beast::error_code ec) {
            if (ec || socket != self->socket_.get() || stopping) return;
            socket->async_write(asio::buffer(self->record_), [self, socket](beast::error_code ec, std::size_t) {
                if (ec || socket != self->socket_.get()) return;
                self->sent_ += recordBytes;
                self->send();
            });
        });
    }

    asio::io_context& io_;
    std::uint16_t port_;
    Account& account_;
    std::uint64_t burst_;
    asio::steady_timer pace_;
    std::string record_;
    std::unique_ptr<Socket> socket_;
    std::vector<std::unique_ptr<Socket>> dropped_;  // a write may still be on its way
    beast::flat_buffer heard_;
    std::chrono::steady_clock::time_point begun_;
    std::uint64_t sent_ = 0;
};

// A computer sending records as fast as the relay takes them, past any
// credits, to its one phone, which reads them at a steady pace through a
// small receive buffer: never slow enough to be closed, it holds its
// computer's link back. Either dials again a second after it ends.
class Downloader : public std::enable_shared_from_this<Downloader> {
public:
    Downloader(asio::io_context& io, std::uint16_t port, Account& account, Computer& computer, double rate)
        : io_(io), port_(port), account_(account), computer_(computer), rate_(rate), record_(4 + recordBytes, 'd') {}
    void start() {
        relink();
        redial();
    }

private:
    void relink() {
        try {
            link_ = link(io_, port_, account_, computer_, 0);
        } catch (const std::exception&) {
            ++account_.links.cut;
            return later(io_, [self = shared_from_this()] { self->relink(); });
        }
        id_ = 0;
        listen();
    }
    void listen() {
        link_->async_read(heard_, [self = shared_from_this(), socket = link_.get()](beast::error_code ec, std::size_t) {
            if (socket != self->link_.get()) return;
            if (ec) {
                self->account_.links.add(ec, *socket, "a link");
                self->dropped_.push_back(std::move(self->link_));
                return later(self->io_, [self] { self->relink(); });
            }
            const auto said = nlohmann::json::parse(beast::buffers_to_string(self->heard_.data()), nullptr, false);
            self->heard_.consume(self->heard_.size());
            const bool first = self->id_ == 0;
            if (said.is_object() && said.value("t", "") == "joined") self->id_ = said.value("c", 0u);
            if (said.is_object() && said.value("t", "") == "left" && said.value("c", 0u) == self->id_) self->id_ = 0;
            if (first && self->id_) self->send();
            self->listen();
        });
    }
    void send() {
        if (!link_ || !id_ || stopping) return;
        const auto id = RelayBytes::u32(id_);
        std::copy(id.begin(), id.end(), record_.begin());
        link_->async_write(asio::buffer(record_), [self = shared_from_this(), socket = link_.get()](beast::error_code ec, std::size_t) {
            if (!ec && socket == self->link_.get()) self->send();
        });
    }
    void redial() {
        std::unique_ptr<Socket> socket;
        try {
            socket = device(io_, port_, account_, computer_, 16 << 10);
        } catch (const std::exception&) {
            ++account_.phones.cut;
            return later(io_, [self = shared_from_this()] { self->redial(); });
        }
        account_.readers.push_back(std::make_shared<Reader>(
            std::move(socket), morvane::testing::ReadingPace{rate_},
            [self = shared_from_this()](const beast::error_code& ec, const Socket& s) {
                self->account_.phones.add(ec, s, "a phone");
                later(self->io_, [self] { self->redial(); });
            }));
        account_.readers.back()->start();
    }

    asio::io_context& io_;
    std::uint16_t port_;
    Account& account_;
    Computer& computer_;
    double rate_;
    std::string record_;
    std::unique_ptr<Socket> link_;
    std::vector<std::unique_ptr<Socket>> dropped_;
    beast::flat_buffer heard_;
    std::uint32_t id_ = 0;
};

struct Options {
    int accounts = 4, phones = 16, seconds = 45;
    double rate = 40'000;
    std::uint64_t burst = 0;
    bool downloads = false;
};

int run(const std::string& program, const Options& o) {
    std::vector<std::unique_ptr<Account>> all;
    // Downloads: each account's ten computers (all it may have) with a
    // phone each; uploads: one computer and its phones.
    const int computers = o.downloads ? RelayLimits::hostsPerAccount : 1;
    for (int a = 0; a < o.accounts; ++a) {
        all.push_back(std::make_unique<Account>());
        all.back()->from = "127.0." + std::to_string(4 + a / 250) + "." + std::to_string(a % 250 + 1);
        all.back()->computers.resize(static_cast<std::size_t>(computers));
    }
    auto relay = startRelay(program, "{}", [&](const std::filesystem::path& data) {
        auto store = openRelayStore(RelayStoreConfig{"sqlite", data.string(), ""});
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        for (std::size_t a = 0; a < all.size(); ++a) {
            const auto owner = store->accountForEmail("free" + std::to_string(a) + "@example.com", now);
            for (auto& computer : all[a]->computers) {
                store->addHost(HostRecord{computer.room, computer.identity.hostPublicKeyText(), "Desk", owner.userId, now},
                               RelayLimits::hostsPerAccount);
                std::vector<Token> tokens;
                for (int t = 0; t < 200; ++t) {
                    const auto ticket = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
                    tokens.push_back(Token{Secure::sha256Hex(ticket), TokenKind::ticket, owner.userId, "web", computer.room,
                                           now + 3600});
                    computer.tickets.push_back(ticket);
                }
                store->putTokens(tokens);
            }
        }
    });
    asio::io_context io;
    const auto quiet = sockstat();
    std::vector<std::shared_ptr<Uploader>> uploaders;
    std::vector<std::shared_ptr<Downloader>> downloaders;
    for (auto& account : all) {
        if (o.downloads) {
            for (auto& computer : account->computers) {
                downloaders.push_back(std::make_shared<Downloader>(io, relay.port, *account, computer, o.rate));
                downloaders.back()->start();
            }
            continue;
        }
        account->readers.push_back(std::make_shared<Reader>(link(io, relay.port, *account, account->computers.front(), 16 << 10),
                                                            morvane::testing::ReadingPace{o.rate},
                                                            [](const beast::error_code&, const Socket&) {}));
        account->readers.back()->start();
        for (int p = 0; p < o.phones; ++p) {
            uploaders.push_back(std::make_shared<Uploader>(io, relay.port, *account, o.burst));
            uploaders.back()->dial();
        }
    }
    const auto begun = std::chrono::steady_clock::now();
    if (o.downloads) {
        std::printf("%d accounts, each ten computers sending records as fast as the relay takes them to a phone each "
                    "reading %.0f KB/s, against morvane-relay with its default limits:\n",
                    o.accounts, o.rate / 1000);
    } else {
        std::printf("%d accounts, each a computer reading its link at %.0f KB/s and %d phones sending 1 MB/s (the first "
                    "%llu bytes at once), against morvane-relay with its default limits:\n",
                    o.accounts, o.rate / 1000, o.phones, static_cast<unsigned long long>(o.burst));
    }
    std::set<int> moments = {o.seconds};
    for (const int at : {5, 15, 30})
        if (at < o.seconds) moments.insert(at);
    for (const int at : moments) {
        io.run_until(begun + std::chrono::seconds(at));
        const auto held = relaySockets(relay.port);
        std::vector<double> each;
        Ends phones, links;
        std::uint64_t read = 0;
        for (const auto& account : all) {
            long bytes = 0;
            for (const auto port : account->ports)
                if (const auto found = held.find(port); found != held.end()) bytes += found->second;
            each.push_back(static_cast<double>(bytes) / (1 << 20));
            phones.slow += account->phones.slow, phones.other += account->phones.other, phones.cut += account->phones.cut;
            links.slow += account->links.slow, links.other += account->links.other, links.cut += account->links.cut;
            read += account->read();
        }
        std::sort(each.begin(), each.end());
        std::printf("  at %2d s: the relay's sockets hold %.1f-%.1f MiB an account (median %.1f); kernel TCP memory "
                    "%+.1f MiB; phones closed %d times with 1008, %d with another code, %d cut",
                    at, each.front(), each.back(), each[each.size() / 2], sockstat().mib() - quiet.mib(), phones.slow,
                    phones.other, phones.cut);
        if (o.downloads) std::printf("; links closed %d times with 1008, %d with another code, %d cut", links.slow,
                                     links.other, links.cut);
        std::printf("; each %s read %.0f KB/s\n", o.downloads ? "phone" : "computer",
                    static_cast<double>(read) / (o.accounts * computers) / at / 1000);
    }
    stopping = true;
    io.stop();
    uploaders.clear();
    downloaders.clear();
    for (auto& account : all) account->readers.clear();
    stopRelay(relay, {"held back", "waited unread", "reset", "refus"});
    return 0;
}

}  // namespace held

namespace tlsflood {

namespace beast = boost::beast;
namespace http = beast::http;

struct Options {
    int connections = 10'000, addresses = 101, hold = 20, settle = 30, hellos = 0, slow = 0;
    bool complete = false, rsa = false, nginx = true, visitors = false, spread = false, tls12 = false, known = false;
};

// --hellos: ClientHellos at a steady pace, each on a connection of its
// own, the addresses in turn, kept until the server closes it or 3 s pass.
class Hellos : public std::enable_shared_from_this<Hellos> {
public:
    Hellos(asio::io_context& io, tcp::endpoint server, std::vector<asio::ip::address> from, const std::string& hello,
           int rate)
        : io_(io), server_(server), from_(std::move(from)), hello_(hello), rate_(rate), pace_(io) {}
    void start() {
        begun_ = std::chrono::steady_clock::now();
        tick();
    }
    void stop() {
        stopped_ = true;
        pace_.cancel();
    }
    long sent = 0;

private:
    void tick() {
        if (stopped_) return;
        const std::chrono::duration<double> gone = std::chrono::steady_clock::now() - begun_;
        for (const auto due = static_cast<long>(gone.count() * rate_); sent < due;) one(from_[sent++ % from_.size()]);
        pace_.expires_after(10ms);
        pace_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (!ec) self->tick();
        });
    }
    void one(const asio::ip::address& from) {
        auto socket = std::make_shared<tcp::socket>(io_);
        auto end = std::make_shared<asio::steady_timer>(io_, 3s);
        boost::system::error_code ec;
        socket->open(tcp::v4(), ec);
        if (!ec) socket->bind({from, 0}, ec);
        if (ec) return;
        end->async_wait([socket](boost::system::error_code) {
            boost::system::error_code ignored;
            socket->close(ignored);
        });
        socket->async_connect(server_, [self = shared_from_this(), socket, end](boost::system::error_code ec) {
            if (ec) {
                end->cancel();
                return;
            }
            asio::async_write(*socket, asio::buffer(self->hello_), [socket, end](boost::system::error_code ec, std::size_t) {
                if (ec) {
                end->cancel();
                return;
            }
                drain(socket, end);
            });
        });
    }
    static void drain(std::shared_ptr<tcp::socket> socket, std::shared_ptr<asio::steady_timer> end) {
        auto scratch = std::make_shared<std::array<char, 4096>>();
        socket->async_read_some(asio::buffer(*scratch), [socket, end, scratch](boost::system::error_code ec, std::size_t) {
            if (ec) {
                end->cancel();
                return;
            }
            drain(socket, end);
        });
    }
    asio::io_context& io_;
    tcp::endpoint server_;
    std::vector<asio::ip::address> from_;
    const std::string& hello_;
    int rate_;
    asio::steady_timer pace_;
    std::chrono::steady_clock::time_point begun_;
    bool stopped_ = false;
};

// --known: one handshake completed from `from`, so that the server knows
// the address.
bool completeOnce(std::uint16_t port, const asio::ip::address& from, SSL_CTX* context) {
    asio::io_context io;
    tcp::socket socket(io);
    boost::system::error_code ec;
    socket.open(tcp::v4(), ec);
    if (!ec) socket.bind({from, 0}, ec);
    if (!ec) socket.connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec) return false;
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, socket.native_handle());
    const bool done = SSL_connect(ssl) == 1;
    SSL_free(ssl);
    return done;
}

// --slow: the client's side of a connection on a slow network: its second
// write, the handshake's Finished, leaves `late` after it is asked for.
class LateFinished {
public:
    using executor_type = tcp::socket::executor_type;
    using lowest_layer_type = tcp::socket::lowest_layer_type;
    LateFinished(asio::io_context& io, std::chrono::milliseconds late) : socket_(io), timer_(io), late_(late) {}
    executor_type get_executor() { return socket_.get_executor(); }
    lowest_layer_type& lowest_layer() { return socket_.lowest_layer(); }
    tcp::socket& socket() { return socket_; }
    void close() {
        boost::system::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
    }
    template <class Buffers, class Handler>
    void async_read_some(const Buffers& buffers, Handler&& handler) {
        socket_.async_read_some(buffers, std::forward<Handler>(handler));
    }
    template <class Buffers, class Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler) {
        if (writes_++ != 1 || late_.count() == 0) return socket_.async_write_some(buffers, std::forward<Handler>(handler));
        timer_.expires_after(late_);
        timer_.async_wait([this, buffers, handler = std::forward<Handler>(handler)](boost::system::error_code) mutable {
            socket_.async_write_some(buffers, std::move(handler));
        });
    }

private:
    tcp::socket socket_;
    asio::steady_timer timer_;
    std::chrono::milliseconds late_;
    int writes_ = 0;
};

// A ClientHello, made once: every stranger that stops after it sends the
// same bytes, and the server answers each alike.
std::string clientHello(SSL_CTX* context) {
    SSL* ssl = SSL_new(context);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
    SSL_do_handshake(ssl);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string hello(data, static_cast<std::size_t>(size));
    SSL_free(ssl);
    return hello;
}

// The strangers' side: how many hold a connection now and at most, and
// the dials not yet begun, begun at most `window` at a time.
struct Tally {
    int holding = 0, most = 0, inFlight = 0;
    std::atomic<int> reached = 0;  // read by the thread that samples
    long dials = 0;
    bool stopping = false;
    std::deque<std::function<void()>> pending;
    void launch() {
        while (inFlight < 256 && !pending.empty()) {
            ++inFlight;
            auto next = std::move(pending.front());
            pending.pop_front();
            next();
        }
    }
};

// One stranger's connection: a ClientHello and silence, or a whole
// handshake and silence, dialled again whenever the server ends it. What
// the server sends is read and dropped; the client keeps no TLS state once
// its handshake is done.
class Stranger : public std::enable_shared_from_this<Stranger> {
public:
    Stranger(asio::io_context& io, tcp::endpoint server, asio::ip::address from, SSL_CTX* context,
             const std::string* hello, Tally& tally)
        : io_(io), server_(server), from_(from), context_(context), hello_(hello), tally_(tally), socket_(io), pause_(io) {}
    ~Stranger() {
        if (ssl_) SSL_free(ssl_);
    }
    void dial() {
        boost::system::error_code ec;
        socket_ = tcp::socket(io_);
        socket_.open(tcp::v4(), ec);
        if (!ec) socket_.bind({from_, 0}, ec);
        if (ec) return later();
        socket_.async_connect(server_, [self = shared_from_this()](boost::system::error_code ec) {
            if (ec || self->tally_.stopping) return self->later();
            if (!self->hello_) {
                self->socket_.native_non_blocking(true, ec);
                self->ssl_ = SSL_new(self->context_);
                SSL_set_fd(self->ssl_, self->socket_.native_handle());
                SSL_set_connect_state(self->ssl_);
                return self->shake();
            }
            asio::async_write(self->socket_, asio::buffer(*self->hello_), [self](boost::system::error_code ec, std::size_t) {
                if (ec) return self->later();
                self->hold();
            });
        });
    }
    void close() {
        boost::system::error_code ignored;
        pause_.cancel();
        socket_.close(ignored);
    }

private:
    void shake() {
        if (tally_.stopping) return later();
        const int done = SSL_do_handshake(ssl_);
        if (done == 1) {
            SSL_free(ssl_);
            ssl_ = nullptr;
            return hold();
        }
        const int error = SSL_get_error(ssl_, done);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return later();
        socket_.async_wait(error == SSL_ERROR_WANT_READ ? tcp::socket::wait_read : tcp::socket::wait_write,
                           [self = shared_from_this()](boost::system::error_code ec) {
                               if (ec) return self->later();
                               self->shake();
                           });
    }
    void hold() {
        held_ = true;
        tally_.most = std::max(tally_.most, ++tally_.holding);
        firstDone();
        drain();
    }
    void drain() {
        socket_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
            if (ec) return self->later();
            self->drain();
        });
    }
    void firstDone() {
        if (first_) return;
        first_ = true;
        ++tally_.reached;
        --tally_.inFlight;
        tally_.launch();
    }
    void later() {
        if (held_) --tally_.holding;
        held_ = false;
        if (ssl_) SSL_free(ssl_);
        ssl_ = nullptr;
        boost::system::error_code ignored;
        socket_.close(ignored);
        if (!first_) {
            first_ = true;
            --tally_.inFlight;
            tally_.launch();
        }
        if (tally_.stopping) return;
        ++tally_.dials;
        pause_.expires_after(100ms);
        pause_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (!ec && !self->tally_.stopping) self->dial();
        });
    }

    asio::io_context& io_;
    tcp::endpoint server_;
    asio::ip::address from_;
    SSL_CTX* context_;
    const std::string* hello_;  // null: the whole handshake
    Tally& tally_;
    tcp::socket socket_;
    asio::steady_timer pause_;
    SSL* ssl_ = nullptr;
    bool held_ = false, first_ = false;
    char scratch_[4096];
};


// A fresh visitor: an address never seen before (127.2.x.y, apart from the
// strangers') loads the page as a browser does, over 4 connections at
// once. Milliseconds until all four had their answer, or nothing within
// 5 s. Each visitor runs on `io` beside the others.
class Visitor : public std::enable_shared_from_this<Visitor> {
public:
    static constexpr int connections = 4;
    Visitor(asio::io_context& io, std::uint16_t port, asio::ip::address from, std::optional<double>& took,
            std::chrono::milliseconds late = {})
        : io_(io), port_(port), from_(from), took_(took), context_(asio::ssl::context::tls_client), timer_(io), late_(late) {}
    void start() {
        begun_ = std::chrono::steady_clock::now();
        timer_.expires_after(5s + late_);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->give();
        });
        for (int i = 0; i < connections; ++i) open(i);
    }

private:
    struct Connection {
        Connection(asio::io_context& io, asio::ssl::context& context, std::chrono::milliseconds late)
            : stream(LateFinished(io, late), context) {}
        beast::ssl_stream<LateFinished> stream;
        http::request<http::empty_body> request{http::verb::get, "/", 11};
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
    };
    void open(int i) {
        auto& c = *connections_.emplace_back(std::make_unique<Connection>(io_, context_, late_));
        auto& socket = c.stream.next_layer().socket();
        beast::error_code ec;
        socket.open(tcp::v4(), ec);
        if (!ec) socket.bind({from_, 0}, ec);
        if (ec) return;
        c.request.set(http::field::host, "relay");
        c.request.keep_alive(false);
        (void)i;
        socket.async_connect({asio::ip::make_address("127.0.0.1"), port_}, [self = shared_from_this(), &c](beast::error_code ec) {
            if (ec) return;
            c.stream.async_handshake(asio::ssl::stream_base::client, [self, &c](beast::error_code ec) {
                if (ec) return;
                http::async_write(c.stream, c.request, [self, &c](beast::error_code ec, std::size_t) {
                    if (ec) return;
                    http::async_read(c.stream, c.buffer, c.response, [self, &c](beast::error_code ec, std::size_t) {
                        if (ec || c.response.result_int() != 200) return;
                        if (++self->answered_ == connections) {
                            self->took_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                                                    self->begun_).count();
                            self->give();
                        }
                    });
                });
            });
        });
    }
    void give() {
        timer_.cancel();
        for (auto& c : connections_) c->stream.next_layer().close();
    }
    asio::io_context& io_;
    std::uint16_t port_;
    asio::ip::address from_;
    std::optional<double>& took_;
    asio::ssl::context context_;
    asio::steady_timer timer_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::chrono::milliseconds late_;
    std::chrono::steady_clock::time_point begun_;
    int answered_ = 0;
};

struct Figures {
    double before = 0, peak = 0, held = 0, after = 0;
    int most = 0;
    // The server's listen queue, sampled every 100 ms while the flood
    // lasts: the most, and how many samples held more than 100.
    int queueMost = 0, queueSamples = 0, queueOver100 = 0;
    long dials = 0;
    std::vector<std::optional<double>> newcomers;
};

Figures attack(pid_t pid, std::uint16_t port, const Options& o, SSL_CTX* context, const std::string* hello) {
    Figures figures;
    std::this_thread::sleep_for(1s);
    figures.before = figures.peak = residentMB(pid);
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    Tally tally;
    std::vector<std::shared_ptr<Stranger>> strangers;
    std::vector<asio::ip::address> addresses;
    for (int a = 0; a < o.addresses; ++a) {
        // --spread: each address in a /24 of its own.
        addresses.push_back(asio::ip::make_address(
            o.spread ? "127." + std::to_string(10 + a / 256) + "." + std::to_string(a % 256) + ".1"
                     : "127.1." + std::to_string(a / 250) + "." + std::to_string(a % 250 + 1)));
        if (o.known && !completeOnce(port, addresses.back(), context))
            std::fprintf(stderr, "no handshake completed from %s\n", addresses.back().to_string().c_str());
    }
    const tcp::endpoint server{asio::ip::make_address("127.0.0.1"), port};
    std::shared_ptr<Hellos> hellos;
    if (o.hellos > 0) {
        hellos = std::make_shared<Hellos>(io, server, addresses, *hello, o.hellos);
        asio::post(io, [&] { hellos->start(); });
    } else {
        for (int i = 0; i < o.connections; ++i) {
            strangers.push_back(std::make_shared<Stranger>(io, server, addresses[i % o.addresses], context, hello, tally));
            tally.pending.push_back([s = strangers.back()] { s->dial(); });
        }
        asio::post(io, [&] { tally.launch(); });
    }
    std::thread flood([&] { io.run(); });
    std::atomic<bool> attacking = true;
    // Each visitor's figure, kept in place while the later ones are added.
    std::deque<std::optional<double>> visits;
    std::thread newcomers([&] {
        if (!o.visitors) {
            while (attacking) {
                const auto next = std::chrono::steady_clock::now() + 500ms;
                figures.newcomers.push_back(newcomer(port));
                std::this_thread::sleep_until(next);
            }
            return;
        }
        asio::io_context visiting;
        auto busy = asio::make_work_guard(visiting);
        std::thread running([&] { visiting.run(); });
        for (int n = 0; attacking; ++n) {
            const auto next = std::chrono::steady_clock::now() + 500ms;
            const auto from = asio::ip::make_address("127.2." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1));
            asio::post(visiting, [&, from] {
                std::make_shared<Visitor>(visiting, port, from, visits.emplace_back(), std::chrono::milliseconds(o.slow))
                    ->start();
            });
            std::this_thread::sleep_until(next);
        }
        busy.reset();
        running.join();
        figures.newcomers.assign(visits.begin(), visits.end());
    });
    std::thread queue([&] {
        while (attacking) {
            const auto next = std::chrono::steady_clock::now() + 100ms;
            if (const auto waiting = listenQueue(port); waiting >= 0) {
                figures.queueMost = std::max(figures.queueMost, waiting);
                ++figures.queueSamples;
                figures.queueOver100 += waiting > 100;
            }
            std::this_thread::sleep_until(next);
        }
    });
    const auto begun = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> allOpen;
    while (true) {
        std::this_thread::sleep_for(250ms);
        const auto now = std::chrono::steady_clock::now();
        figures.peak = std::max(figures.peak, residentMB(pid));
        if (!allOpen && (hellos || tally.reached >= o.connections || now - begun > 60s)) allOpen = now;
        if (allOpen && now - *allOpen > std::chrono::seconds(o.hold)) break;
    }
    figures.held = residentMB(pid);
    attacking = false;
    newcomers.join();
    queue.join();
    asio::post(io, [&] {
        tally.stopping = true;
        figures.most = tally.most;
        figures.dials = hellos ? hellos->sent : tally.dials;
        if (hellos) hellos->stop();
        for (const auto& stranger : strangers) stranger->close();
    });
    guard.reset();
    flood.join();
    strangers.clear();
    std::this_thread::sleep_for(std::chrono::seconds(o.settle));
    figures.after = residentMB(pid);
    return figures;
}

void print(const char* name, const Figures& f, const Options& o) {
    std::printf("  %-14s RSS %.1f MB before, peak %.1f (%+.1f), %.1f at the end of the hold, %.1f %d s after they "
                "closed (%+.1f); most held at once %d, dialled again %ld times\n",
                name, f.before, f.peak, f.peak - f.before, f.held, f.after, o.settle, f.after - f.before, f.most, f.dials);
    if (!f.newcomers.empty())
        std::printf("  %-14s %s' pages %s\n", "", o.visitors ? "visitors" : "newcomers",
                    pagesLine(f.newcomers, 2000 + o.slow).c_str());
    std::printf("  %-14s listen queue: most %d, over 100 in %d of %d samples\n", "", f.queueMost, f.queueOver100,
                f.queueSamples);
}

int run(const std::string& program, const Options& o) {
    const auto folder = std::filesystem::temp_directory_path() / ("relay-tls-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    makeCertificate(folder, o.rsa);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    // --tls12: TLS 1.2 without tickets, so that a server that keeps
    // sessions keeps each stranger's.
    if (o.tls12) {
        SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
        SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    }
    const auto hello = clientHello(context);
    const std::string* sent = o.complete && o.hellos == 0 ? nullptr : &hello;
    std::printf("%d %s connections from %d addresses%s, each %s, %s certificate, held %d s once open:\n", o.connections,
                o.tls12 ? "TLS 1.2" : "TLS", o.addresses, o.spread ? " (each its own /24)" : "", o.complete ? "its handshake completed, then silent" : "a ClientHello, then silent",
                o.rsa ? "an RSA 2048" : "an ECDSA P-256", o.hold);
    auto relay = startRelay(program, "{}", {},
                            ",\"tls\":{\"certificate\":\"" + (folder / "cert.pem").string() + "\",\"key\":\"" +
                                (folder / "key.pem").string() + "\"}");
    const auto ofRelay = attack(relay.pid, relay.port, o, context, sent);
    print("morvane-relay", ofRelay, o);
    stopRelay(relay, {"connection", "handshake", "memory"});
    if (o.nginx) {
        const auto port = freePort();
        const auto nginx = startNginx(folder, port);
        waitForPort(port, "nginx", nginx);
        const auto ofNginx = attack(nginx, port, o, context, sent);
        print("nginx", ofNginx, o);
        ::kill(nginx, SIGTERM);
        ::waitpid(nginx, nullptr, 0);
        std::printf("  relay / nginx: %.2fx at the peak, %.2fx at the end of the hold, %.2fx of what each grew at the peak\n",
                    ofRelay.peak / ofNginx.peak, ofRelay.held / ofNginx.held,
                    (ofRelay.peak - ofRelay.before) / std::max(1.0, ofNginx.peak - ofNginx.before));
    }
    SSL_CTX_free(context);
    std::filesystem::remove_all(folder);
    return 0;
}

}  // namespace tlsflood

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        std::cerr << "usage: morvane_relay_conn_flood junk|unread-total|unread|held|tls [--complete] [--rsa] [--hold N] [--no-nginx] [--accounts N] [--phones N] [--seconds N] [--rate B] [--burst B] [--downloads] [--total N] [--connections N] [--addresses N] "
                     "[--tries N] [--each N] [--relay PROGRAM]\n";
        return 2;
    }
    const std::string mode = argv[1];
    std::string program = MORVANE_RELAY_PROGRAM;
    int total = 400, connections = 300, addresses = mode == "unread" ? 3 : 8, tries = 10, each = 60;
    held::Options holding;
    tlsflood::Options tls;
    for (int i = 2; i < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--downloads" || flag == "--complete" || flag == "--rsa" || flag == "--no-nginx" ||
            flag == "--visitors" || flag == "--spread" || flag == "--tls12" || flag == "--known") {
            if (flag == "--tls12") tls.tls12 = true;
            if (flag == "--known") tls.known = true;
            if (flag == "--visitors") tls.visitors = true;
            if (flag == "--spread") tls.spread = true;
            if (flag == "--downloads") holding.downloads = true;
            if (flag == "--complete") tls.complete = true;
            if (flag == "--rsa") tls.rsa = true;
            if (flag == "--no-nginx") tls.nginx = false;
            --i;
            continue;
        }
        if (i + 1 >= argc) break;
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--relay") program = value;
        else if (name == "--total") total = std::stoi(value);
        else if (name == "--connections") connections = tls.connections = std::stoi(value);
        else if (name == "--addresses") addresses = tls.addresses = std::stoi(value);
        else if (name == "--hold") tls.hold = std::stoi(value);
        else if (name == "--settle") tls.settle = std::stoi(value);
        else if (name == "--hellos") tls.hellos = std::stoi(value);
        else if (name == "--slow") tls.slow = std::stoi(value);
        else if (name == "--tries") tries = std::stoi(value);
        else if (name == "--each") each = std::stoi(value);
        else if (name == "--accounts") holding.accounts = std::stoi(value);
        else if (name == "--phones") holding.phones = std::stoi(value);
        else if (name == "--burst") holding.burst = std::stoull(value);
        else if (name == "--seconds") holding.seconds = std::stoi(value);
        else if (name == "--rate") holding.rate = std::stod(value);
    }
    if (mode == "junk") return junk(program, total, addresses, tries, each, false);
    if (mode == "unread-total") return junk(program, total, addresses, tries, each, true);
    if (mode == "unread") return unread(program, connections, addresses);
    if (mode == "held") return held::run(program, holding);
    if (mode == "tls") return tlsflood::run(program, tls);
    std::cerr << "junk, unread-total, unread, held or tls\n";
    return 2;
}
