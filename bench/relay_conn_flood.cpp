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
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "bench_process.h"

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

// What the kernel holds for the relay's own sockets (`ss -tm`: received,
// queued to send, and reserved), apart from the rest of the machine's.
double relaySocketsMiB(std::uint16_t port) {
    const auto command = "ss -tmnH '( sport = :" + std::to_string(port) + " )' 2>/dev/null";
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return 0;
    char line[1024];
    long bytes = 0;
    while (std::fgets(line, sizeof line, out)) {
        const char* at = std::strstr(line, "skmem:(");
        long r = 0, rb = 0, t = 0, tb = 0, f = 0, w = 0;
        if (at && std::sscanf(at, "skmem:(r%ld,rb%ld,t%ld,tb%ld,f%ld,w%ld", &r, &rb, &t, &tb, &f, &w) == 6)
            bytes += r + t + f + w;
    }
    ::pclose(out);
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

Relay startRelay(const std::string& program, const std::string& limits) {
    Relay relay;
    relay.folder = std::filesystem::temp_directory_path() / ("relay-conn-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(relay.folder / "data");
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

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        std::cerr << "usage: morvane_relay_conn_flood junk|unread-total|unread [--total N] [--connections N] [--addresses N] "
                     "[--tries N] [--each N] [--relay PROGRAM]\n";
        return 2;
    }
    const std::string mode = argv[1];
    std::string program = MORVANE_RELAY_PROGRAM;
    int total = 400, connections = 300, addresses = mode == "unread" ? 3 : 8, tries = 10, each = 60;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--relay") program = value;
        else if (name == "--total") total = std::stoi(value);
        else if (name == "--connections") connections = std::stoi(value);
        else if (name == "--addresses") addresses = std::stoi(value);
        else if (name == "--tries") tries = std::stoi(value);
        else if (name == "--each") each = std::stoi(value);
    }
    if (mode == "junk") return junk(program, total, addresses, tries, each, false);
    if (mode == "unread-total") return junk(program, total, addresses, tries, each, true);
    if (mode == "unread") return unread(program, connections, addresses);
    std::cerr << "junk, unread-total or unread\n";
    return 2;
}
