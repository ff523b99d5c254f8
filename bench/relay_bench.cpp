// morvane-relay on loopback, measured from outside as a host and a device
// see it, beside a plain WebSocket reverse proxy (Debian's nginx, set up as
// the README sets it in front of the relay) and a direct WebSocket, all in
// one run: the time a small record takes from a device to its host and back,
// the rate one stream of whole fragments (240,026-byte records) reaches a
// device, and the relay's memory per idle host link at 1,000 proved links.
// The relay runs as its own process with a SQLite store the benchmark fills
// beforehand; nginx as its own process (one worker, as the relay has one
// network thread, tunnelling through 64 KiB as the relay reads, or
// --nginx-buffer) in front of a Beast WebSocket server in this process that
// plays the host: it echoes each message, or streams records when asked.
// Everything is plain HTTP on 127.0.0.1. The host writes a record as
// morvane-host does, one frame masked 64 KiB at a time (--beast-frames:
// Beast's 4 KiB frames). The roads take --repeats short turns (16), the
// relay and nginx each first every other turn, and each turn's ratio of
// the relay to nginx is reported, their median and spread beside the
// machine's load and the processor time each spent a MB (and the road's
// ends in this process, and how often each forwarding thread waited and
// for how long it waited for a core): run it pinned (`taskset -c 0-5 …`),
// and the relay and nginx inherit the same cores; run_relay_placements runs
// it on several pairs of loaded cores.
//
//   morvane_relay_bench [--links N] [--rounds N] [--records N] [--record-bytes N] [--repeats N]
//                       [--window BYTES] [--no-nginx] [--beast-frames] [--wrap "COMMAND ARGS"]
//                       [--stalled N] [--stall-bytes N] [--relay PATH] [--nginx-buffer SIZE|default]
//   morvane_relay_bench --slow-readers SECONDS [--strangers N] [--stranger-devices N] [--stranger-rate B]
//                       [--total BYTES] [--relay PATH]
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
// --slow-readers SECONDS measures only this: at a total of --total bytes
// (16 MiB) that may wait to be written, --strangers accounts (3) each with
// --stranger-devices devices (5) reading --stranger-rate bytes a second
// (16,000) while their computers send as fast as the relay takes it, and
// beside them a phone reading a steady 200 KB/s, one reading 200 KB/s that
// stops 2.5 s every 8 s, a computer's link reading 200 KB/s from its phone,
// a phone reading 24 KB/s whose computer sends past its credits and one
// reading 20 KB/s whose computer keeps within them: how often each was
// closed, and whether it read the relay's 1008 or was cut.
// --wrap starts the relay under another program (a profiler), e.g.
// --wrap "valgrind --tool=callgrind --callgrind-out-file=/tmp/relay.cg" or
// --wrap "perf record -e cpu-clock -g -o /tmp/relay.perf --".
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_process.h"
#include "paced_reader.h"
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

// Connects to a loopback port, with a small receive buffer when one is
// given, so that the reader's pace reaches the sender's kernel.
void dial(Socket& socket, std::uint16_t port, int receiveBuffer) {
    auto& raw = socket.next_layer().socket();
    raw.open(tcp::v4());
    if (receiveBuffer > 0) raw.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
}

// Writes as morvane-host's link does: a record as one frame, masked (by a
// client) 64 KiB at a time, not Beast's 4 KiB frames, each a write and a
// read of its own for whoever forwards them.
// --beast-frames keeps Beast's defaults, as this benchmark's host wrote
// before, for figures to compare with.
bool beastFrames = false;
void writeAsTheHost(Socket& socket) {
    if (beastFrames) return;
    socket.auto_fragment(false);
    socket.write_buffer_bytes(64 * 1024);
}

// A host's link, proved and welcomed.
std::unique_ptr<Socket> link(asio::io_context& io, std::uint16_t port, const RelayIdentity& identity, int receiveBuffer = 0) {
    auto socket = std::make_unique<Socket>(io);
    dial(*socket, port, receiveBuffer);
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
    writeAsTheHost(*socket);
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
        writeAsTheHost(socket);
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
// What nginx tunnels an upgraded connection through (proxy_buffer_size):
// 64 KiB, what the relay reads at once, unless --nginx-buffer says
// otherwise; "default" leaves nginx's own, one memory page.
std::string nginxBuffer = "64k";
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
        << (nginxBuffer == "default" ? ""
                                : "      proxy_buffer_size " + nginxBuffer + ";\n      proxy_buffers 4 " + nginxBuffer +
                                      ";\n      proxy_busy_buffers_size " + nginxBuffer + ";\n")
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

// How often a process's main thread (the relay's network thread, nginx's
// worker) gave up its core to wait, and was made to give it up.
struct Switches {
    double waited = 0, preempted = 0;
    double queuedSeconds = 0;  // runnable, waiting for a core
};
Switches switches(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    Switches counted;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) counted.waited = std::stod(line.substr(24));
        if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) counted.preempted = std::stod(line.substr(27));
    }
    // Nanoseconds on a core, waiting for one, and turns.
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double onCore = 0, queued = 0;
    if (schedstat >> onCore >> queued) counted.queuedSeconds = queued / 1e9;
    return counted;
}

struct Side {
    std::vector<double> p50, p95, mbps;
    double cpuSeconds = 0;  // the forwarding process's, over its streams
    // This process's over the same streams: the road's ends, the host (or
    // the peer) writing and the device reading.
    double endsCpuSeconds = 0;
    Switches switched;  // the forwarding process's, over its streams
};

// What a process has used of the processors, user and system, in seconds:
// under load it moves far less than the rate it reaches.
double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is the 3rd field, utime the 14th, stime the 15th.
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The machine's load over the last minute, as `uptime` says it.
double loadAverage() {
    std::ifstream file("/proc/loadavg");
    double load = 0;
    file >> load;
    return load;
}

// The cores this process may run on, as taskset writes them ("0-5"); the
// relay and nginx inherit them, so both are pinned alike.
std::string allowedCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return "?";
    std::string out;
    for (int cpu = 0; cpu < CPU_SETSIZE;) {
        if (!CPU_ISSET(cpu, &set)) {
            ++cpu;
            continue;
        }
        int last = cpu;
        while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &set)) ++last;
        out += (out.empty() ? "" : ",") + std::to_string(cpu) + (last > cpu ? "-" + std::to_string(last) : "");
        cpu = last + 1;
    }
    return out;
}

// A ratio's median and its spread over the turns: the middle half and the extremes.
std::string spread(const std::vector<double>& ratios) {
    char text[160];
    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    std::snprintf(text, sizeof text, "median %.2fx, middle half %.2f-%.2fx, all %.2f-%.2fx", percentile(sorted, 0.5),
                  percentile(sorted, 0.25), percentile(sorted, 0.75), sorted.front(), sorted.back());
    return text;
}

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

// Readers slower than the relay's sender, beside devices of strangers that
// read slowly but steadily (--slow-readers SECONDS): everything on one
// thread, each reader taking at most 16 KiB at a time at its own pace, with
// a small receive buffer so that the relay's kernel sees that pace.
namespace slow {

using testing::PacedReader;
using Pace = testing::ReadingPace;

// How the connections of one kind ended.
struct Ends {
    int slow = 0;   // read a close with 1008
    int other = 0;  // read another close
    int cut = 0;    // reset or ended without a close
    std::uint64_t bytes = 0;
    int count() const { return slow + other + cut; }
    void add(const beast::error_code& ec, const Socket& socket) {
        if (ec == ws::error::closed)
            ++(socket.reason().code == 1008 ? slow : other);
        else
            ++cut;
    }
};

// A computer's link that sends whole records to its devices: an honest one
// at most a credit window ahead of what the device read, a stranger's as
// fast as the relay takes them. It hears who joined and left.
class Sender : public std::enable_shared_from_this<Sender> {
public:
    Sender(std::unique_ptr<Socket> link, std::size_t recordBytes, std::size_t window)
        : link_(std::move(link)), record_(4 + recordBytes, 'r'), window_(window), poll_(link_->get_executor()) {}
    // What its device has read, for the window (an honest computer has one).
    std::function<std::uint64_t()> readBy;
    void start() {
        listen();
        send();
    }

private:
    void listen() {
        link_->async_read(in_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return;
            const auto message = nlohmann::json::parse(beast::buffers_to_string(self->in_.data()), nullptr, false);
            self->in_.consume(self->in_.size());
            if (message.is_object() && message.value("t", "") == "joined")
                self->sent_[message.value("c", 0u)] = 0;
            if (message.is_object() && message.value("t", "") == "left") self->sent_.erase(message.value("c", 0u));
            self->listen();
        });
    }
    void send() {
        std::optional<std::uint32_t> to;
        for (std::size_t i = 0; i < sent_.size() && !to; ++i) {
            auto it = sent_.upper_bound(last_);
            if (it == sent_.end()) it = sent_.begin();
            last_ = it->first;
            if (window_ == 0 || it->second < readBy() + window_) to = it->first;
        }
        if (!to) {
            poll_.expires_after(std::chrono::milliseconds(10));
            poll_.async_wait([self = shared_from_this()](beast::error_code ec) {
                if (!ec) self->send();
            });
            return;
        }
        const auto bytes = RelayBytes::u32(*to);
        std::copy(bytes.begin(), bytes.end(), record_.begin());
        sent_[*to] += record_.size() - 4;
        link_->binary(true);
        link_->async_write(asio::buffer(record_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec) self->send();
        });
    }

    std::unique_ptr<Socket> link_;
    std::string record_;
    std::size_t window_;
    asio::steady_timer poll_;
    beast::flat_buffer in_;
    std::map<std::uint32_t, std::uint64_t> sent_;  // to each device that joined
    std::uint32_t last_ = 0;
};

// A device socket of the benchmark, with a small receive buffer.
std::unique_ptr<Socket> device(asio::io_context& io, std::uint16_t port, const std::string& room, const std::string& ticket,
                               int receiveBuffer) {
    auto socket = std::make_unique<Socket>(io);
    dial(*socket, port, receiveBuffer);
    socket->set_option(ws::stream_base::decorator(
        [](ws::request_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
    socket->handshake("127.0.0.1", "/relay/v1/device/" + room + "?ticket=" + ticket);
    socket->binary(true);
    return socket;
}

struct Computer {
    RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    std::string room = RelayBytes::hex(identity.roomID());
    std::vector<std::string> tickets;
    std::size_t used = 0;
    std::string ticket() { return used < tickets.size() ? tickets[used++] : ""; }
};

// A phone that reads its computer's records at a pace and dials again a
// second after its connection ends, as the page does.
struct Phone {
    Phone(std::string what, Computer* computer, Pace pace, int receiveBuffer, double redialSeconds = 1)
        : what(std::move(what)), computer(computer), pace(pace), receiveBuffer(receiveBuffer), redialSeconds(redialSeconds) {}
    std::string what;
    Computer* computer;
    Pace pace;
    int receiveBuffer;
    double redialSeconds;
    Ends ends;
    std::vector<std::shared_ptr<PacedReader<Socket>>> readers;  // every connection it made
    std::shared_ptr<PacedReader<Socket>> current;
};

struct Options {
    double seconds = 30;
    int attackers = 3, attackerDevices = 5;
    double attackerRate = 16'000;
    std::size_t total = 16u << 20, recordBytes = 240'026;
    std::string relayProgram;
};

int run(const Options& o) {
    const auto folder = std::filesystem::temp_directory_path() / ("morvane-relay-slow-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "relay.json") << R"({"limits":{"queued_bytes":)" << o.total
                                         << R"(,"queued_bytes_per_account":)" << o.total << "}}";
    // Each honest computer on an account of its own, and each stranger's.
    std::vector<std::unique_ptr<Computer>> computers;
    const int honest = 5;
    {
        auto store = openRelayStore(RelayStoreConfig{"sqlite", folder.string(), ""});
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        for (int i = 0; i < honest + o.attackers; ++i) {
            auto computer = std::make_unique<Computer>();
            const auto account = store->accountForEmail("owner" + std::to_string(i) + "@example.com", now);
            store->addHost(HostRecord{computer->room, computer->identity.hostPublicKeyText(), "Desk", account.userId, now}, 10);
            for (int t = 0; t < 400; ++t) {
                const auto ticket = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
                store->putToken(
                    Token{Secure::sha256Hex(ticket), TokenKind::ticket, account.userId, "web", computer->room, now + 3600});
                computer->tickets.push_back(ticket);
            }
            computers.push_back(std::move(computer));
        }
    }
    asio::io_context io;
    const auto port = freePort();
    const pid_t relay = start({o.relayProgram, "--config", (folder / "relay.json").string(), "--listen",
                               "127.0.0.1:" + std::to_string(port), "--data", folder.string(), "--codes-in-log"},
                              folder / "relay.log");
    waitForPort(port, "morvane-relay", relay);

    const double kb = 1000;
    std::vector<Phone> phones;
    phones.emplace_back("a phone reading a steady 200 KB/s", computers[0].get(), Pace{200 * kb}, 64 << 10);
    phones.emplace_back("a phone reading 200 KB/s that stops 2.5 s every 8 s", computers[1].get(), Pace{200 * kb, 8, 2.5},
                        64 << 10);
    // A computer that sends past its credits to a phone on a poor link:
    // the phone is slow, and is told so.
    phones.emplace_back("a phone reading 24 KB/s sent past its credits", computers[2].get(), Pace{24 * kb}, 64 << 10);
    // A phone on a link slower than the floor whose computer keeps within
    // its credits: its account holds no more than its share, so it is never
    // the one to make room, however slow.
    phones.emplace_back("a phone reading 20 KB/s within its credits", computers[4].get(), Pace{20 * kb}, 64 << 10);
    for (int a = 0; a < o.attackers; ++a)
        for (int d = 0; d < o.attackerDevices; ++d)
            phones.emplace_back("stranger", computers[honest + a].get(), Pace{o.attackerRate}, 4096, 0.2);

    std::vector<std::shared_ptr<Sender>> senders;
    for (std::size_t c = 0; c < computers.size(); ++c) {
        if (c == 3) continue;  // the computer whose link reads slowly
        const bool credits = c < 2 || c == 4;
        auto sender = std::make_shared<Sender>(link(io, port, computers[c]->identity), o.recordBytes,
                                               credits ? SecureChannel::creditWindow : 0);
        const auto room = computers[c]->room;
        sender->readBy = [&phones, room]() -> std::uint64_t {
            for (auto& phone : phones)
                if (phone.computer->room == room && phone.current) return phone.current->total();
            return 0;
        };
        senders.push_back(sender);
    }
    std::function<void(Phone&)> dial;
    dial = [&](Phone& phone) {
        const auto ticket = phone.computer->ticket();
        if (ticket.empty()) return;
        std::unique_ptr<Socket> socket;
        try {
            socket = device(io, port, phone.computer->room, ticket, phone.receiveBuffer);
        } catch (const std::exception&) {
            ++phone.ends.cut;
            return;
        }
        auto reader = std::make_shared<PacedReader<Socket>>(std::move(socket), phone.pace,
                                                    [&, p = &phone](const beast::error_code& ec, const Socket& s) {
                                                        p->ends.add(ec, s);
                                                        auto timer = std::make_shared<asio::steady_timer>(io);
                                                        timer->expires_after(std::chrono::milliseconds(
                                                            static_cast<int>(p->redialSeconds * 1000)));
                                                        timer->async_wait([&, p, timer](beast::error_code) { dial(*p); });
                                                    });
        phone.readers.push_back(reader);
        phone.current = reader;
        reader->start();
    };
    for (auto& sender : senders) sender->start();
    for (auto& phone : phones) dial(phone);

    // The computer whose link reads 200 KB/s, and its phone sending it
    // records of 60,000 bytes, at most a credit window ahead.
    Ends linkEnds, uploaderEnds;
    std::shared_ptr<PacedReader<Socket>> linkReader;
    std::function<void()> relink;
    std::function<void()> upload;
    std::unique_ptr<Socket> uploader;
    std::vector<std::unique_ptr<Socket>> dropped;  // kept until the run ends: a write may still be on its way
    std::uint64_t uploaded = 0;
    std::string upRecord(60'000, 'u');
    bool uploading = false;
    asio::steady_timer uploadPoll(io);
    relink = [&] {
        try {
            auto socket = link(io, port, computers[3]->identity, 64 << 10);
            linkReader = std::make_shared<PacedReader<Socket>>(std::move(socket), Pace{200 * kb},
                                                       [&](const beast::error_code& ec, const Socket& s) {
                                                           linkEnds.add(ec, s);
                                                           linkEnds.bytes += linkReader->total();
                                                           auto timer = std::make_shared<asio::steady_timer>(io);
                                                           timer->expires_after(std::chrono::seconds(1));
                                                           timer->async_wait([&, timer](beast::error_code) { relink(); });
                                                       });
            linkReader->start();
            if (uploader) dropped.push_back(std::move(uploader));
            uploader = device(io, port, computers[3]->room, computers[3]->ticket(), 1 << 20);
            uploaded = 0;
        } catch (const std::exception&) {
            ++linkEnds.cut;
        }
    };
    upload = [&] {
        if (uploader && linkReader && uploaded < linkReader->total() + SecureChannel::creditWindow && !uploading) {
            uploading = true;
            uploader->async_write(asio::buffer(upRecord), [&, on = uploader.get()](beast::error_code ec, std::size_t) {
                uploading = false;
                if (ec) {
                    if (uploader.get() == on) dropped.push_back(std::move(uploader));
                    return upload();
                }
                uploaded += upRecord.size();
                upload();
            });
            return;
        }
        uploadPoll.expires_after(std::chrono::milliseconds(10));
        uploadPoll.async_wait([&](beast::error_code ec) {
            if (!ec) upload();
        });
    };
    relink();
    upload();

    io.run_for(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds)));
    for (auto& phone : phones)
        for (auto& reader : phone.readers) phone.ends.bytes += reader->total();
    if (linkReader) linkEnds.bytes += linkReader->total();
    const auto logged = sockStat();
    stop(relay);

    std::ifstream log(folder / "relay.log");
    std::map<std::string, int> slowLines;  // closed as slow, by room
    for (std::string line; std::getline(log, line);)
        if (line.find("closed ") != std::string::npos && line.find("(slow)") != std::string::npos)
            for (const auto& computer : computers)
                if (line.find("of room " + computer->room) != std::string::npos) ++slowLines[computer->room];
    std::printf("%.0f s at a %s total beside %d devices of %d strangers' accounts each reading %.0f KB/s:\n", o.seconds,
                (std::to_string(o.total >> 20) + " MiB").c_str(), o.attackers * o.attackerDevices, o.attackers,
                o.attackerRate / kb);
    const auto report = [&](const std::string& what, const Ends& ends, int lines) {
        std::printf("  %-52s read %6.1f KB/s; closed %d times: 1008 read %d, other close %d, cut %d; logged as slow %d\n",
                    what.c_str(), static_cast<double>(ends.bytes) / kb / o.seconds, ends.count(), ends.slow, ends.other,
                    ends.cut, lines);
    };
    Ends strangers;
    for (const auto& phone : phones) {
        if (phone.what == "stranger") {
            strangers.slow += phone.ends.slow, strangers.other += phone.ends.other, strangers.cut += phone.ends.cut;
            strangers.bytes += phone.ends.bytes;
            continue;
        }
        report(phone.what, phone.ends, slowLines[phone.computer->room]);
    }
    report("a computer's link reading 200 KB/s", linkEnds, slowLines[computers[3]->room]);
    int strangerLines = 0;
    for (int a = 0; a < o.attackers; ++a) strangerLines += slowLines[computers[honest + a]->room];
    report("the strangers' devices", strangers, strangerLines);
    std::printf("  kernel TCP memory at the end %.1f MiB, orphans %ld; the relay's log: %s\n", mebibytes(logged.pages),
                logged.orphans, (folder / "relay.log").string().c_str());
    return 0;
}

}  // namespace slow


int main(int argc, char** argv) {
    // A benchmark that gives up (nginx would not start) leaves no relay behind.
    std::set_terminate([] {
        for (const pid_t child : children) ::kill(innermost(child), SIGTERM);
        std::abort();
    });
    int links = 1000, rounds = 500, records = 300, repeats = 16, stalled = 0;
    std::string relayProgram = MORVANE_RELAY_PROGRAM;
    std::size_t stallBytes = 5u << 20;
    std::size_t recordBytes = 240'026;
    std::size_t windowBytes = SecureChannel::creditWindow;
    bool nginx = true;
    std::vector<std::string> wrap;
    slow::Options slowReaders;
    slowReaders.seconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--no-nginx") {
            nginx = false;
            continue;
        }
        if (name == "--beast-frames") {
            beastFrames = true;
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
        if (name == "--nginx-buffer") nginxBuffer = value;
        if (name == "--slow-readers") slowReaders.seconds = std::stod(value);
        if (name == "--strangers") slowReaders.attackers = std::stoi(value);
        if (name == "--stranger-devices") slowReaders.attackerDevices = std::stoi(value);
        if (name == "--stranger-rate") slowReaders.attackerRate = std::stod(value);
        if (name == "--total") slowReaders.total = std::stoul(value);
        if (name == "--wrap") {
            std::istringstream words(value);
            for (std::string word; words >> word;) wrap.push_back(word);
        }
    }
    if (slowReaders.seconds > 0) {
        slowReaders.relayProgram = relayProgram;
        return slow::run(slowReaders);
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
                       const std::string& what, pid_t forwarding = -1) {
        const auto times = roundTrips(rounds, device, answering);
        side.p50.push_back(percentile(times, 0.5));
        side.p95.push_back(percentile(times, 0.95));
        window.open(recordBytes, windowBytes);
        const double cpuBefore = forwarding > 0 ? cpuSeconds(innermost(forwarding)) : 0;
        const double endsBefore = cpuSeconds(::getpid());
        const auto switchedBefore = forwarding > 0 ? switches(innermost(forwarding)) : Switches{};
        side.mbps.push_back(megabytes / streamSeconds(records, device, window, stream, what));
        side.endsCpuSeconds += cpuSeconds(::getpid()) - endsBefore;
        if (forwarding > 0) {
            side.cpuSeconds += cpuSeconds(innermost(forwarding)) - cpuBefore;
            const auto switchedAfter = switches(innermost(forwarding));
            side.switched.waited += switchedAfter.waited - switchedBefore.waited;
            side.switched.preempted += switchedAfter.preempted - switchedBefore.preempted;
            side.switched.queuedSeconds += switchedAfter.queuedSeconds - switchedBefore.queuedSeconds;
        }
    };
    // Many short turns, the relay and nginx in turn and each first every
    // other turn, with the direct road between them as the round trip's
    // baseline: a change of load on the shared machine falls on both alike,
    // and each turn gives a ratio of its own.
    const auto viaTheRelay = [&] {
        measure(
            viaRelay, *phone, host.get(),
            [&] {
                for (int i = 0; i < records; ++i) {
                    window.beforeSending();
                    host->write(asio::buffer(frame));
                }
            },
            "through morvane-relay (its log: " + (folder / "relay.log").string() + ")", relay);
    };
    const auto viaTheProxy = [&] {
        if (proxied) measure(viaNginx, *proxied, nullptr, [&] { streamFromPeer(*proxied); }, "through nginx", proxy);
    };
    std::vector<double> loads;
    for (int r = 0; r < repeats; ++r) {
        loads.push_back(loadAverage());
        if (r % 2 == 0) viaTheRelay(); else viaTheProxy();
        measure(viaDirect, *direct, nullptr, [&] { streamFromPeer(*direct); }, "over the direct WebSocket");
        if (r % 2 == 0) viaTheProxy(); else viaTheRelay();
    }
    loads.push_back(loadAverage());

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
        // Past the window that judges them and the slow close's grace.
        std::this_thread::sleep_for(std::chrono::seconds(12));
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
        std::printf("  kernel TCP memory %.1f MiB before, %.1f MiB with them stalled (+%.1f), %.1f MiB 12 s later; "
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
        // Each turn's ratio, relay against nginx measured beside it.
        std::vector<double> added, stream;
        for (int r = 0; r < repeats; ++r) {
            added.push_back((viaRelay.p50[r] - viaDirect.p50[r]) / (viaNginx.p50[r] - viaDirect.p50[r]));
            stream.push_back(viaRelay.mbps[r] / viaNginx.mbps[r]);
        }
        std::printf("relay / nginx (proxy_buffer_size %s) over %d turns, each turn's own ratio (cores %s, load %s, median %.1f):\n",
                    nginxBuffer.c_str(), repeats, allowedCores().c_str(), range(loads, "%.1f").c_str(), median(loads));
        std::printf("  stream                    %s (at least 1.2x is the goal)\n", spread(stream).c_str());
        std::printf("  added round trip, p50     %s (at most 1.15x is the goal)\n", spread(added).c_str());
        const double streamed = megabytes * repeats;
        std::printf("  processor time a MB streamed: relay %.0f us, nginx %.0f us (%.2fx)\n",
                    viaRelay.cpuSeconds / streamed * 1e6, viaNginx.cpuSeconds / streamed * 1e6,
                    viaRelay.cpuSeconds / viaNginx.cpuSeconds);
        std::printf("  and at the road's ends (the host or peer writing, the device reading): relay's road %.0f us, "
                    "nginx's %.0f us, direct %.0f us\n",
                    viaRelay.endsCpuSeconds / streamed * 1e6, viaNginx.endsCpuSeconds / streamed * 1e6,
                    viaDirect.endsCpuSeconds / streamed * 1e6);
        std::printf("  a MB, its forwarding thread waited for the network, was preempted, and waited for a core: relay "
                    "%.1f times, %.1f times, %.0f us; nginx %.1f, %.1f, %.0f us\n",
                    viaRelay.switched.waited / streamed, viaRelay.switched.preempted / streamed,
                    viaRelay.switched.queuedSeconds / streamed * 1e6, viaNginx.switched.waited / streamed,
                    viaNginx.switched.preempted / streamed, viaNginx.switched.queuedSeconds / streamed * 1e6);
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
