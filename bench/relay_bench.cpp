// morvane-relay on loopback, measured from outside as a host and a device
// see it, beside a plain WebSocket reverse proxy (Debian's nginx, set up as
// the README sets it in front of the relay) and a direct WebSocket, all in
// one run: the time a small record takes from a device to its host and back,
// the rate one stream of whole fragments (240,026-byte records) reaches a
// device, and the relay's memory per idle host link at 1,000 proved links.
// The relay runs as its own process with a SQLite store the benchmark fills
// beforehand; nginx as its own process (one worker, as the relay has one
// network thread) in front of a Beast WebSocket server in this process that
// plays the host: it echoes each message, or streams records when asked.
// Everything is plain HTTP on 127.0.0.1.
//
//   morvane_relay_bench [--links N] [--rounds N] [--records N] [--record-bytes N] [--repeats N]
//                       [--window BYTES] [--no-nginx] [--wrap "COMMAND ARGS"]
//                       [--stalled N] [--stall-bytes N] [--relay PATH]
//
// A stream keeps at most the host's credit window (1 MiB) ahead of what the
// device has read, as a host does; --window 0 writes as fast as each road
// takes the records (the relay closes a device with more than 4 MiB queued, by default).
// --stalled N: then N devices of other accounts (one computer each, as free
// accounts are) stop reading while each is sent more than one connection
// may have waiting, and the measured phone streams once more beside them:
// the kernel's TCP memory (/proc/net/sockstat) with them stalled and after
// their slow close, and whether the phone was left alone. --relay runs
// another build of morvane-relay (an older one, for a figure before).
// --wrap starts the relay under another program (a profiler), e.g.
// --wrap "valgrind --tool=callgrind --callgrind-out-file=/tmp/relay.cg" or
// --wrap "perf record -e cpu-clock -g -o /tmp/relay.perf --".
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_process.h"
#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_store.h"
#include "secure/secure_channel.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace morvane;
using namespace morvane::relay_service;
using morvane::bench::freePort;
using morvane::bench::startWithErrorsIn;
using morvane::bench::waitForPort;

namespace {

using Socket = ws::stream<beast::tcp_stream>;

// How many records a stream may have on the way: a host sends a device no
// more than its credit window ahead of what the device has read, so the
// sender waits for the reader, whichever road the records take. Without a
// window (0) the sender writes as fast as the road takes them.
class Window {
public:
    void open(std::size_t recordBytes, std::size_t windowBytes) {
        std::lock_guard lock(m_);
        limit_ = windowBytes == 0 ? 0 : std::max<std::size_t>(1, windowBytes / recordBytes);
        sent_ = read_ = 0;
    }
    void beforeSending() {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return limit_ == 0 || sent_ - read_ < limit_; });
        ++sent_;
    }
    void afterReading() {
        {
            std::lock_guard lock(m_);
            ++read_;
        }
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::size_t limit_ = 0, sent_ = 0, read_ = 0;
};

long rssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// The programs this benchmark started, ended when it gives up.
std::vector<pid_t> children;

// Runs a program with its standard error kept in a file, to be ended if the benchmark gives up.
pid_t start(const std::vector<std::string>& command, const std::filesystem::path& errors) {
    const pid_t pid = startWithErrorsIn(command, errors);
    children.push_back(pid);
    return pid;
}

// The program a wrapper runs (the wrapper's only child, followed down).
pid_t innermost(pid_t pid) {
    for (;;) {
        std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
        pid_t child = 0;
        if (!(children >> child)) return pid;
        pid = child;
    }
}

// Ends the program itself, so that a profiler wrapped around it writes its
// figures and ends too.
void stop(pid_t pid) {
    ::kill(innermost(pid), SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

std::string readText(Socket& socket) {
    beast::flat_buffer buffer;
    socket.read(buffer);
    return beast::buffers_to_string(buffer.data());
}

// A host's link, proved and welcomed.
std::unique_ptr<Socket> link(asio::io_context& io, std::uint16_t port, const RelayIdentity& identity) {
    auto socket = std::make_unique<Socket>(io);
    socket->next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    const auto seconds = static_cast<std::uint64_t>(std::time(nullptr));
    const auto hello = identity.helloHeader(seconds, Secure::randomBytes(16));
    socket->set_option(ws::stream_base::decorator([hello](ws::request_type& r) {
        r.set(beast::http::field::sec_websocket_protocol, "morvane.v1");
        r.set("X-Morvane-Host-Auth", hello);
    }));
    socket->handshake("127.0.0.1", "/relay/v1/host/" + RelayBytes::hex(identity.roomID()));
    const auto challenge = nlohmann::json::parse(readText(*socket));
    const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
    socket->text(true);
    socket->write(asio::buffer(R"({"t":"prove","sig":")" + identity.proveSignature(*nonce) + "\"}"));
    const auto welcome = nlohmann::json::parse(readText(*socket));
    if (welcome["t"] != "welcome") throw std::runtime_error("no welcome");
    return socket;
}

// A WebSocket client at a path of a loopback port, binary.
std::unique_ptr<Socket> client(asio::io_context& io, std::uint16_t port, const std::string& target) {
    auto socket = std::make_unique<Socket>(io);
    socket->next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    socket->set_option(ws::stream_base::decorator(
        [](ws::request_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
    socket->handshake("127.0.0.1:" + std::to_string(port), target);
    socket->binary(true);
    return socket;
}

// The host behind nginx, and the direct peer: a plain Beast WebSocket
// server, a thread per connection, that echoes each message, or streams
// `records` messages of `size` bytes when a message says "stream".
class PeerServer {
public:
    PeerServer(asio::io_context& io, int records, std::size_t size, Window& window)
        : acceptor_(io, {asio::ip::make_address("127.0.0.1"), 0}), records_(records), size_(size), window_(window) {
        thread_ = std::thread([this] {
            for (;;) {
                tcp::socket raw(acceptor_.get_executor());
                beast::error_code ec;
                acceptor_.accept(raw, ec);
                if (ec || stopping_) return;
                serving_.emplace_back([this, raw = std::move(raw)]() mutable { serve(std::move(raw)); });
            }
        });
    }
    ~PeerServer() {
        stopping_ = true;
        // Wakes the accept with a connection of its own.
        asio::io_context io;
        tcp::socket poke(io);
        beast::error_code ec;
        poke.connect(acceptor_.local_endpoint(), ec);
        thread_.join();
        for (auto& t : serving_) t.join();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    void serve(tcp::socket raw) {
        Socket socket(std::move(raw));
        beast::error_code ec;
        socket.set_option(ws::stream_base::decorator(
            [](ws::response_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
        socket.accept(ec);
        if (ec) return;
        socket.binary(true);
        beast::flat_buffer buffer;
        const std::string record(size_, 'r');
        while (!ec) {
            socket.read(buffer, ec);
            if (ec) break;
            if (beast::buffers_to_string(buffer.data()) == "stream") {
                for (int i = 0; i < records_ && !ec; ++i) {
                    window_.beforeSending();
                    socket.write(asio::buffer(record), ec);
                }
            } else {
                socket.write(buffer.data(), ec);
            }
            buffer.consume(buffer.size());
        }
    }

    tcp::acceptor acceptor_;
    int records_;
    std::size_t size_;
    Window& window_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<std::thread> serving_;
};

// nginx with the README's location lines in front of the peer server: one
// worker process and no master, so its pid is the process that forwards.
pid_t startNginx(const std::filesystem::path& folder, std::uint16_t port, std::uint16_t upstream) {
    const auto prefix = folder / "nginx";
    std::filesystem::create_directories(prefix / "temp");
    std::ofstream(prefix / "nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << (prefix / "nginx.pid").string() << ";\nerror_log " << (prefix / "error.log").string()
        << " warn;\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << (prefix / "temp").string() << ";\n  proxy_temp_path "
        << (prefix / "temp").string() << ";\n  fastcgi_temp_path " << (prefix / "temp").string()
        << ";\n  uwsgi_temp_path " << (prefix / "temp").string() << ";\n  scgi_temp_path "
        << (prefix / "temp").string() << ";\n  server {\n    listen 127.0.0.1:" << port
        << ";\n    location / {\n      proxy_pass http://127.0.0.1:" << upstream
        << ";\n      proxy_http_version 1.1;\n      proxy_set_header Upgrade $http_upgrade;\n"
        << "      proxy_set_header Connection \"upgrade\";\n      proxy_set_header Host $host;\n"
        << "      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n      proxy_read_timeout 120s;\n"
        << "    }\n  }\n}\n";
    return start({"nginx", "-p", prefix.string(), "-c", (prefix / "nginx.conf").string(), "-e",
                  (prefix / "error.log").string()},
                 prefix / "stderr.log");
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

std::string range(std::vector<double> values, const char* format) {
    std::sort(values.begin(), values.end());
    char low[32], high[32];
    std::snprintf(low, sizeof low, format, values.front());
    std::snprintf(high, sizeof high, format, values.back());
    return values.front() == values.back() ? std::string(low) : std::string(low) + "-" + high;
}

// Round trips of a small record, in microseconds: `out` sends it, `back`
// answers it as the host does.
std::vector<double> roundTrips(int rounds, Socket& device, Socket* host) {
    const std::string record(100, 'x');
    std::vector<double> times;
    beast::flat_buffer buffer;
    for (int i = 0; i < rounds; ++i) {
        const auto begun = Clock::now();
        device.write(asio::buffer(record));
        if (host) {
            host->read(buffer);
            host->write(buffer.data());  // the same id, back to the device
            buffer.consume(buffer.size());
        }
        device.read(buffer);
        buffer.consume(buffer.size());
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
    }
    return times;
}

// Seconds until the device has read `records` messages; `send` starts the
// stream. A stream that stops for 20 s ends the benchmark with the reason:
// a side that dropped the device is no figure.
double streamSeconds(int records, Socket& device, Window& window, const std::function<void()>& send,
                     const std::string& what) {
    beast::flat_buffer buffer;
    std::atomic<int> read{0};
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        int last = -1;
        for (int idle = 0; !done; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
            const int now = read;
            idle = now == last ? idle + 1 : 0;
            last = now;
            if (idle < 200) continue;
            std::fprintf(stderr, "the stream %s stopped after %d records of %d\n", what.c_str(), now, records);
            for (const pid_t child : children) ::kill(innermost(child), SIGTERM);
            std::_Exit(1);
        }
    });
    const auto begun = Clock::now();
    std::thread sender(send);
    for (int i = 0; i < records; ++i) {
        device.read(buffer);
        buffer.consume(buffer.size());
        window.afterReading();
        ++read;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    done = true;
    sender.join();
    watchdog.join();
    return seconds;
}

struct Side {
    std::vector<double> p50, p95, mbps;
};

}  // namespace

// The kernel's TCP sockets: in use, orphaned, and the pages they hold.
struct SockStat {
    long inUse = 0, orphans = 0, pages = 0;
};
SockStat sockStat() {
    std::ifstream file("/proc/net/sockstat");
    SockStat out;
    for (std::string word; file >> word;) {
        if (word != "TCP:") continue;
        for (std::string name; file >> name && name != "UDP:";) {
            long value = 0;
            file >> value;
            if (name == "inuse") out.inUse = value;
            if (name == "orphan") out.orphans = value;
            if (name == "mem") out.pages = value;
        }
        break;
    }
    return out;
}
double mebibytes(long pages) { return static_cast<double>(pages) * 4096.0 / 1048576.0; }

int main(int argc, char** argv) {
    int links = 1000, rounds = 2000, records = 1000, repeats = 3, stalled = 0;
    std::string relayProgram = MORVANE_RELAY_PROGRAM;
    std::size_t stallBytes = 5u << 20;
    std::size_t recordBytes = 240'026;
    std::size_t windowBytes = SecureChannel::creditWindow;
    bool nginx = true;
    std::vector<std::string> wrap;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--no-nginx") {
            nginx = false;
            continue;
        }
        if (i + 1 >= argc) break;
        const std::string value = argv[++i];
        if (name == "--links") links = std::stoi(value);
        if (name == "--rounds") rounds = std::stoi(value);
        if (name == "--records") records = std::stoi(value);
        if (name == "--repeats") repeats = std::max(1, std::stoi(value));
        if (name == "--record-bytes") recordBytes = std::stoul(value);
        if (name == "--window") windowBytes = std::stoul(value);
        if (name == "--stalled") stalled = std::stoi(value);
        if (name == "--stall-bytes") stallBytes = std::stoul(value);
        if (name == "--relay") relayProgram = value;
        if (name == "--wrap") {
            std::istringstream words(value);
            for (std::string word; words >> word;) wrap.push_back(word);
        }
    }
    const auto folder = std::filesystem::temp_directory_path() / ("morvane-relay-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    // The store: one account with the measured computer and a device's
    // tickets, and enough accounts of ten computers for the idle links.
    std::vector<RelayIdentity> idle;
    const RelayIdentity measured{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    const auto room = RelayBytes::hex(measured.roomID());
    std::vector<std::string> tickets, idleTickets;
    {
        auto store = openRelayStore(RelayStoreConfig{"sqlite", folder.string(), ""});
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        const auto owner = store->accountForEmail("owner@example.com", now);
        store->addHost(HostRecord{room, measured.hostPublicKeyText(), "Measured", owner.userId, now}, 10);
        for (int i = 0; i < 2; ++i) {
            const auto ticket = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
            store->putToken(Token{Secure::sha256Hex(ticket), TokenKind::ticket, owner.userId, "web", room, now + 3600});
            tickets.push_back(ticket);
        }
        for (int i = 0; i < links; ++i) {
            idle.push_back(RelayIdentity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0});
            // The stalled devices' computers each on an account of its own.
            const auto account =
                store->accountForEmail("owner" + std::to_string(i < stalled ? i : i / 10 + links) + "@example.com", now);
            const auto idleRoom = RelayBytes::hex(idle.back().roomID());
            store->addHost(HostRecord{idleRoom, idle.back().hostPublicKeyText(), "Idle", account.userId, now}, 10);
            if (i < stalled) {
                const auto ticket = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
                store->putToken(Token{Secure::sha256Hex(ticket), TokenKind::ticket, account.userId, "web", idleRoom, now + 3600});
                idleTickets.push_back(ticket);
            }
        }
    }

    asio::io_context io;
    const auto port = freePort();
    std::vector<std::string> command = wrap;
    for (const std::string& word : {relayProgram, std::string("--listen"),
                                   "127.0.0.1:" + std::to_string(port), std::string("--data"), folder.string(),
                                   std::string("--codes-in-log")})
        command.push_back(word);
    const pid_t relay = start(command, folder / "relay.log");
    waitForPort(port, "morvane-relay", relay);
    Window window;
    PeerServer peer(io, records, recordBytes, window);
    pid_t proxy = -1;
    const auto proxyPort = freePort();
    if (nginx) {
        proxy = startNginx(folder, proxyPort, peer.port());
        waitForPort(proxyPort, "nginx", proxy);
    }

    auto host = link(io, port, measured);
    auto phone = client(io, port, "/relay/v1/device/" + room + "?ticket=" + tickets[0]);
    const auto joined = nlohmann::json::parse(readText(*host));
    const std::uint32_t id = joined["c"].get<std::uint32_t>();
    host->binary(true);
    auto direct = client(io, peer.port(), "/");
    auto proxied = nginx ? client(io, proxyPort, "/") : nullptr;

    // The host's frames: the device's id, then a whole record.
    std::string frame(4 + recordBytes, 'y');
    const auto idBytes = RelayBytes::u32(id);
    std::copy(idBytes.begin(), idBytes.end(), frame.begin());
    const auto streamFromPeer = [&](Socket& device) {
        device.write(asio::buffer(std::string("stream")));
    };

    Side viaRelay, viaDirect, viaNginx;
    const double megabytes = static_cast<double>(records) * static_cast<double>(recordBytes) / 1e6;
    auto measure = [&](Side& side, Socket& device, Socket* answering, const std::function<void()>& stream,
                       const std::string& what) {
        const auto times = roundTrips(rounds, device, answering);
        side.p50.push_back(percentile(times, 0.5));
        side.p95.push_back(percentile(times, 0.95));
        window.open(recordBytes, windowBytes);
        side.mbps.push_back(megabytes / streamSeconds(records, device, window, stream, what));
    };
    // Turns alternate, so that a change of load falls on every side alike.
    for (int r = 0; r < repeats; ++r) {
        measure(
            viaRelay, *phone, host.get(),
            [&] {
                for (int i = 0; i < records; ++i) {
                    window.beforeSending();
                    host->write(asio::buffer(frame));
                }
            },
            "through morvane-relay (its log: " + (folder / "relay.log").string() + ")");
        measure(viaDirect, *direct, nullptr, [&] { streamFromPeer(*direct); }, "over the direct WebSocket");
        if (proxied) measure(viaNginx, *proxied, nullptr, [&] { streamFromPeer(*proxied); }, "through nginx");
    }

    if (stalled > 0) {
        const auto quiet = sockStat();
        std::vector<std::unique_ptr<Socket>> stalledHosts, stalledDevices;
        std::vector<std::string> frames;
        for (int i = 0; i < stalled && i < static_cast<int>(idle.size()); ++i) {
            stalledHosts.push_back(link(io, port, idle[i]));
            auto device = std::make_unique<Socket>(io);
            device->next_layer().socket().open(tcp::v4());
            device->next_layer().socket().set_option(asio::socket_base::receive_buffer_size(4096));
            device->next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
            device->set_option(ws::stream_base::decorator(
                [](ws::request_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
            device->handshake("127.0.0.1", "/relay/v1/device/" + RelayBytes::hex(idle[i].roomID()) + "?ticket=" + idleTickets[i]);
            stalledDevices.push_back(std::move(device));
            const auto stalledID = nlohmann::json::parse(readText(*stalledHosts.back()))["c"].get<std::uint32_t>();
            std::string stalledFrame(4 + recordBytes, 's');
            const auto bytes = RelayBytes::u32(stalledID);
            std::copy(bytes.begin(), bytes.end(), stalledFrame.begin());
            frames.push_back(std::move(stalledFrame));
            stalledHosts.back()->binary(true);
        }
        // Each is sent --stall-bytes (5 MiB: more than one connection may
        // have waiting and the kernel's buffer together; less fills the
        // relay's total with many queues each under its own limit). The
        // phone streams meanwhile.
        const int perDevice = static_cast<int>(stallBytes / recordBytes) + 1;
        std::thread stalling([&] {
            for (int k = 0; k < perDevice; ++k)
                for (std::size_t i = 0; i < stalledHosts.size(); ++i) {
                    beast::error_code ec;
                    stalledHosts[i]->write(asio::buffer(frames[i]), ec);
                }
        });
        Side during;
        measure(
            during, *phone, host.get(),
            [&] {
                for (int i = 0; i < records; ++i) {
                    window.beforeSending();
                    host->write(asio::buffer(frame));
                }
            },
            "through morvane-relay beside the stalled devices (its log: " + (folder / "relay.log").string() + ")");
        stalling.join();
        const auto held = sockStat();
        const long heldRss = rssKiB(innermost(relay));
        // Past the slow close's grace.
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const auto after = sockStat();
        std::ifstream log(folder / "relay.log");
        int closed = 0, reset = 0, phoneClosed = 0;
        for (std::string line; std::getline(log, line);) {
            if (line.find("closed ") != std::string::npos && line.find("(slow)") != std::string::npos) {
                ++closed;
                if (line.find("of room " + room) != std::string::npos) ++phoneClosed;
            }
            if (line.find("reset ") != std::string::npos) ++reset;
        }
        std::printf("%d devices of other accounts stalled, each sent %d records of %zu bytes, beside the phone's stream:\n",
                    static_cast<int>(stalledDevices.size()), perDevice, recordBytes);
        std::printf("  the phone's stream %.0f MB/s, the phone closed as slow %d times; %d closed as slow, %d reset\n",
                    median(during.mbps), phoneClosed, closed, reset);
        std::printf("  kernel TCP memory %.1f MiB before, %.1f MiB with them stalled (+%.1f), %.1f MiB 5 s later; "
                    "orphans %ld, %ld, %ld; relay RSS %ld KiB\n",
                    mebibytes(quiet.pages), mebibytes(held.pages), mebibytes(held.pages - quiet.pages),
                    mebibytes(after.pages), quiet.orphans, held.orphans, after.orphans, heldRss);
    }

    // Memory per idle link.
    phone.reset();
    host.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = rssKiB(innermost(relay));
    std::vector<std::unique_ptr<Socket>> open;
    for (const auto& identity : idle) open.push_back(link(io, port, identity));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long after = rssKiB(innermost(relay));

    const double direct50 = median(viaDirect.p50);
    std::printf("round trip of a %d-byte record, %d rounds, %d turns (medians of the turns' p50 and p95, us):\n", 100,
                rounds, repeats);
    std::printf("  direct WebSocket echo     p50 %7.1f  p95 %7.1f  (p50 %s)\n", direct50, median(viaDirect.p95),
                range(viaDirect.p50, "%.1f").c_str());
    const double relayAdded = median(viaRelay.p50) - direct50;
    std::printf("  through morvane-relay     p50 %7.1f  p95 %7.1f  (p50 %s)  added %.1f\n", median(viaRelay.p50),
                median(viaRelay.p95), range(viaRelay.p50, "%.1f").c_str(), relayAdded);
    double nginxAdded = 0;
    if (nginx) {
        nginxAdded = median(viaNginx.p50) - direct50;
        std::printf("  through nginx             p50 %7.1f  p95 %7.1f  (p50 %s)  added %.1f\n", median(viaNginx.p50),
                    median(viaNginx.p95), range(viaNginx.p50, "%.1f").c_str(), nginxAdded);
        std::printf("  added round trip, relay / nginx: %.2fx (at most 1x is the goal)\n", relayAdded / nginxAdded);
    }
    std::printf("one stream of %d records of %zu bytes, host -> device, %s, %d turns (median, MB/s):\n",
                records, recordBytes,
                windowBytes ? ("at most " + std::to_string(windowBytes) + " bytes on the way").c_str()
                            : "as fast as each road takes them",
                repeats);
    std::printf("  direct WebSocket          %7.0f  (%s)\n", median(viaDirect.mbps), range(viaDirect.mbps, "%.0f").c_str());
    std::printf("  through morvane-relay     %7.0f  (%s)\n", median(viaRelay.mbps), range(viaRelay.mbps, "%.0f").c_str());
    if (nginx) {
        std::printf("  through nginx             %7.0f  (%s)\n", median(viaNginx.mbps), range(viaNginx.mbps, "%.0f").c_str());
        std::printf("  relay / nginx: %.2fx (at least 0.8x is the goal)\n",
                    median(viaRelay.mbps) / median(viaNginx.mbps));
    }
    if (!open.empty())
        std::printf("idle host links: %zu proved; relay RSS %ld KiB before, %ld KiB after: %.1f KiB a link\n",
                    open.size(), before, after, static_cast<double>(after - before) / static_cast<double>(open.size()));

    open.clear();
    direct.reset();
    proxied.reset();
    if (proxy > 0) stop(proxy);
    stop(relay);
    std::filesystem::remove_all(folder);
    return 0;
}
