// TLS 1.3 KeyUpdates against morvane-relay terminating TLS itself, and
// against nginx terminating it for the same flood (one worker, no master):
//
//   morvane_relay_key_update_flood [--connections N (16)] [--updates N (20000)] [--busy N (0)]
//                                  [--no-nginx] [--relay PROGRAM]
//
// N connections from one loopback address (127.0.4.1), no account, each
// completes its handshake and then sends --updates KeyUpdates that each
// ask for one back, made ahead and written as fast as the server takes
// them, never waiting for its answers (read and dropped unread). The relay
// runs as its unit would, with a watchdog of 8 s: its NOTIFY_SOCKET is a
// socket of this program, which keeps the time of each WATCHDOG=1. A
// newcomer opens the page over TLS from 127.0.0.1 every half second while
// the flood lasts, ten at least. Prints the longest gap between the relay's
// watchdog pings (past 8 s systemd would have killed it), how many
// newcomers had the page within 2 s, and how each flooding connection
// ended. --busy runs N busy loops meanwhile (a loaded machine).
//
// Everything is on loopback, bounded in time.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "bench_process.h"
#include "tls_flood.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using morvane::bench::freePort;
using morvane::bench::makeCertificate;
using morvane::bench::newcomer;
using morvane::bench::pagesLine;
using morvane::bench::startNginx;
using morvane::bench::startWithErrorsIn;
using morvane::bench::waitForPort;

namespace {

struct Options {
    int connections = 16, updates = 20'000, busy = 0;
    bool nginx = true;
    std::string program = MORVANE_RELAY_PROGRAM;
};

// The socket systemd would read the relay's notices from: the time of each
// WATCHDOG=1, on a thread of its own.
class FakeNotify {
public:
    explicit FakeNotify(const std::filesystem::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot make a notify socket");
        timeval wait{0, 200'000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        reader_ = std::thread([this] {
            char text[256];
            while (!stop_) {
                const auto got = ::recv(fd_, text, sizeof text - 1, 0);
                if (got <= 0) continue;
                if (std::string(text, static_cast<std::size_t>(got)).find("WATCHDOG=1") == std::string::npos) continue;
                std::lock_guard lock(mutex_);
                pings_.push_back(Clock::now());
            }
        });
    }
    ~FakeNotify() {
        stop_ = true;
        reader_.join();
        ::close(fd_);
        std::filesystem::remove(path_);
    }
    // The longest time without a ping from `from` to `to`.
    double longestGapSeconds(Clock::time_point from, Clock::time_point to) {
        std::lock_guard lock(mutex_);
        auto last = from;
        double longest = 0;
        for (const auto at : pings_) {
            if (at < from || at > to) continue;
            longest = std::max(longest, std::chrono::duration<double>(at - last).count());
            last = at;
        }
        return std::max(longest, std::chrono::duration<double>(to - last).count());
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    std::atomic<bool> stop_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Clock::time_point> pings_;
};


// How one flooding connection went.
struct Flooder {
    std::size_t made = 0;      // KeyUpdates made
    std::size_t bytes = 0;     // of them, bytes the server took
    std::size_t total = 0;     // bytes made
    double seconds = 0;        // from the first byte sent to the end
    std::string end = "sent";  // how it ended
};

// Connects from 127.0.4.1, completes the handshake over the socket, then
// makes every KeyUpdate into memory and writes it all without waiting,
// dropping what comes back unread.
Flooder flood(std::uint16_t port, SSL_CTX* context, int updates, Clock::time_point until) {
    Flooder out;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7f000401);
    to.sin_addr.s_addr = htonl(0x7f000001);
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        out.end = "not connected";
        return out;
    }
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
        out.end = "handshake failed";
        SSL_free(ssl);
        ::close(fd);
        return out;
    }
    BIO* made = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ssl, made);
    for (int i = 0; i < updates; ++i) {
        if (SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED) != 1 || SSL_do_handshake(ssl) != 1) break;
        ++out.made;
    }
    char* data = nullptr;
    out.total = static_cast<std::size_t>(BIO_get_mem_data(made, &data));
    const auto begun = Clock::now();
    char dropped[65'536];
    while (out.bytes < out.total) {
        if (Clock::now() > until) {
            out.end = "time up";
            break;
        }
        pollfd wait{fd, POLLIN | POLLOUT, 0};
        ::poll(&wait, 1, 200);
        if (wait.revents & POLLIN) {
            const auto got = ::recv(fd, dropped, sizeof dropped, MSG_DONTWAIT);
            if (got == 0) {
                out.end = "closed by the server";
                break;
            }
            if (got < 0 && errno != EAGAIN) {
                out.end = std::string("cut: ") + std::strerror(errno);
                break;
            }
        }
        if (wait.revents & (POLLOUT | POLLERR | POLLHUP)) {
            const auto sent = ::send(fd, data + out.bytes, out.total - out.bytes, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN) {
                out.end = std::string("cut: ") + std::strerror(errno);
                break;
            }
            if (sent > 0) out.bytes += static_cast<std::size_t>(sent);
        }
    }
    // All written: hold the connection while the server works through it.
    while (out.bytes == out.total && Clock::now() < until) {
        const auto got = ::recv(fd, dropped, sizeof dropped, 0);
        if (got == 0) {
            out.end = "sent, then closed by the server";
            break;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            out.end = std::string("sent, then cut: ") + std::strerror(errno);
            break;
        }
    }
    out.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    SSL_free(ssl);
    ::close(fd);
    return out;
}

struct Figures {
    std::vector<Flooder> flooders;
    std::vector<std::optional<double>> newcomers;
    double floodSeconds = 0;
};

Figures attack(std::uint16_t port, SSL_CTX* context, const Options& o) {
    Figures figures;
    figures.flooders.resize(static_cast<std::size_t>(o.connections));
    const auto until = Clock::now() + 60s;
    std::atomic<int> left = o.connections;
    std::vector<std::thread> threads;
    const auto begun = Clock::now();
    for (int i = 0; i < o.connections; ++i)
        threads.emplace_back([&, i] {
            figures.flooders[static_cast<std::size_t>(i)] = flood(port, context, o.updates, until);
            --left;
        });
    while (left > 0 || figures.newcomers.size() < 10) {
        const auto next = Clock::now() + 500ms;
        figures.newcomers.push_back(newcomer(port));
        std::this_thread::sleep_until(next);
    }
    for (auto& thread : threads) thread.join();
    figures.floodSeconds = std::chrono::duration<double>(Clock::now() - begun).count();
    return figures;
}

void print(const char* name, const Figures& f) {
    std::printf("  %-14s newcomers' pages %s; flood and newcomers %.1f s\n", name, pagesLine(f.newcomers).c_str(),
                f.floodSeconds);
    std::map<std::string, int> ends;
    std::size_t taken = 0, made = 0;
    double longest = 0;
    for (const auto& flooder : f.flooders) {
        ++ends[flooder.end];
        taken += flooder.bytes;
        made += flooder.total;
        longest = std::max(longest, flooder.seconds);
    }
    std::printf("  %-14s the server took %zu of %zu bytes of KeyUpdates; connections:", "", taken, made);
    for (const auto& [end, count] : ends) std::printf(" %d %s;", count, end.c_str());
    std::printf(" the longest lasted %.1f s\n", longest);
}

int run(const Options& o) {
    const auto folder = std::filesystem::temp_directory_path() / ("relay-key-update-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder / "data");
    makeCertificate(folder);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    std::printf("%d TLS 1.3 connections from 127.0.4.1, each %d KeyUpdates asking for one back, %d busy loops:\n",
                o.connections, o.updates, o.busy);
    std::atomic<bool> busy = true;
    std::vector<std::thread> loops;
    for (int i = 0; i < o.busy; ++i)
        loops.emplace_back([&] {
            std::uint64_t spin = 0;
            while (busy.load(std::memory_order_relaxed)) spin = spin * 3 + 1;
            if (spin == 42) std::printf(" ");
        });

    const auto port = freePort();
    std::ofstream(folder / "relay.json")
        << "{\"listen\":\"127.0.0.1:" << port << "\",\"data_dir\":\"" << (folder / "data").string()
        << "\",\"trusted_proxies\":[],\"tls\":{\"certificate\":\"" << (folder / "cert.pem").string()
        << "\",\"key\":\"" << (folder / "key.pem").string() << "\"}}";
    std::optional<FakeNotify> notify;
    notify.emplace(folder / "notify");
    // As the unit runs it: WatchdogSec=8s.
    ::setenv("NOTIFY_SOCKET", (folder / "notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "8000000", 1);
    const auto relay = startWithErrorsIn({o.program, "--config", (folder / "relay.json").string()}, folder / "relay.log");
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    waitForPort(port, "morvane-relay", relay);
    std::this_thread::sleep_for(2s);
    const auto begun = Clock::now();
    const auto ofRelay = attack(port, context, o);
    const auto gap = notify->longestGapSeconds(begun, Clock::now());
    print("morvane-relay", ofRelay);
    const bool alive = ::waitpid(relay, nullptr, WNOHANG) == 0;
    std::printf("  %-14s longest gap between watchdog pings %.2f s (%s); the relay %s\n", "", gap,
                gap > 8 ? "systemd would have killed it" : "within WatchdogSec=8s",
                alive ? "still runs" : "ended during the flood");
    ::kill(relay, SIGTERM);
    ::waitpid(relay, nullptr, 0);
    notify.reset();
    {
        std::ifstream log(folder / "relay.log");
        std::string line;
        int shown = 0;
        while (std::getline(log, line) && shown < 4)
            if (line.find("TLS") != std::string::npos || line.find("KeyUpdate") != std::string::npos) {
                std::printf("  relay: %s\n", line.c_str());
                ++shown;
            }
    }
    if (o.nginx) {
        const auto nginxPort = freePort();
        const auto nginx = startNginx(folder, nginxPort);
        waitForPort(nginxPort, "nginx", nginx);
        print("nginx", attack(nginxPort, context, o));
        ::kill(nginx, SIGTERM);
        ::waitpid(nginx, nullptr, 0);
    }
    busy = false;
    for (auto& loop : loops) loop.join();
    SSL_CTX_free(context);
    std::filesystem::remove_all(folder);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--no-nginx") {
            o.nginx = false;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "usage: morvane_relay_key_update_flood [--connections N] [--updates N] [--busy N] [--no-nginx] "
                         "[--relay PROGRAM]\n";
            return 2;
        }
        const std::string value = argv[++i];
        if (flag == "--connections") o.connections = std::stoi(value);
        else if (flag == "--updates") o.updates = std::stoi(value);
        else if (flag == "--busy") o.busy = std::stoi(value);
        else if (flag == "--relay") o.program = value;
    }
    return run(o);
}
