// A stand-in between a store and the test cluster, on a unix socket in a
// folder of its own (libpq's host= and port 5432): it passes bytes both
// ways until told to swallow them, and then still takes new connections
// but passes nothing, as a database host that stopped answering does,
// without stopping the cluster the other tests share. It can also cut every
// connection it carries, and hold new ones (taken, but put through only
// once let go), as a short break in the network between them does; refuse
// (cut every connection and close new ones at once), as a firewall that
// rejects does; and swallow only the connections of one application (named
// in their first packet, as libpq's application_name), as a cut that only
// a long-lived connection meets.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "relay_store_backends.h"

namespace morvane::relay_service::testing {

class StallingProxy {
public:
    // `target`: the socket file of the server behind it.
    explicit StallingProxy(std::string target) : target_(std::move(target)) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto address = addressOf(folder_.path() + "/.s.PGSQL.5432");
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0)
            throw std::runtime_error(std::string("the proxy cannot listen: ") + std::strerror(errno));
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        nudge_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    ~StallingProxy() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
        thread_.join();
        for (const auto& pair : pairs_) closePair(pair);
        for (const int client : held_) ::close(client);
        ::close(listener_);
        ::close(wake_);
        ::close(nudge_);
    }
    StallingProxy(const StallingProxy&) = delete;
    StallingProxy& operator=(const StallingProxy&) = delete;

    // A connection string for `database` through the proxy.
    std::string connectionString(const std::string& database) const {
        return "host=" + folder_.path() + " port=5432 dbname=" + database + " user=postgres";
    }
    void swallow(bool on) { swallowing_ = on; }
    // "" for none.
    void swallowApplication(const std::string& name) {
        std::lock_guard lock(mutex_);
        swallowedApplication_ = name;
    }
    void refuse(bool on) {
        refusing_ = on;
        if (on) cutAll();
    }
    // Closes every connection it carries now.
    void cutAll() {
        cutting_ = true;
        nudge();
    }
    void hold(bool on) {
        holding_ = on;
        nudge();
    }
    int accepted() const { return accepted_; }

private:
    struct Pair {
        int client, server;
        std::string first;  // the client's first packet, which names its application
    };

    static sockaddr_un addressOf(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return address;
    }

    static void closePair(const Pair& pair) {
        ::close(pair.client);
        ::close(pair.server);
    }

    void nudge() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(nudge_, &one, sizeof one);
    }

    void accept() {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        ++accepted_;
        if (refusing_) {
            ::close(client);
            return;
        }
        if (holding_) {
            held_.push_back(client);
            return;
        }
        putThrough(client);
    }

    void putThrough(int client) {
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto address = addressOf(target_);
        if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(client);
            if (server >= 0) ::close(server);
            return;
        }
        pairs_.push_back({client, server, {}});
    }

    bool swallowed(const Pair& pair) {
        if (swallowing_) return true;
        std::lock_guard lock(mutex_);
        return !swallowedApplication_.empty() && pair.first.find(swallowedApplication_) != std::string::npos;
    }

    // False when either side has closed.
    bool pass(Pair& pair, bool fromClient) {
        const int from = fromClient ? pair.client : pair.server, to = fromClient ? pair.server : pair.client;
        char buffer[65536];
        const auto n = ::read(from, buffer, sizeof buffer);
        if (n <= 0) return false;
        if (fromClient && pair.first.empty()) pair.first.assign(buffer, static_cast<std::size_t>(n));
        if (swallowed(pair)) return true;
        for (ssize_t sent = 0; sent < n;) {
            // Not write(): a side that has gone (an instance stopped) would
            // end the test program with SIGPIPE.
            const auto w = ::send(to, buffer + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
            if (w <= 0) return false;
            sent += w;
        }
        return true;
    }

    void run() {
        for (;;) {
            if (cutting_.exchange(false)) {
                for (const auto& pair : pairs_) closePair(pair);
                pairs_.clear();
            }
            if (!holding_) {
                for (const int client : held_) putThrough(client);
                held_.clear();
            }
            std::vector<pollfd> fds{{wake_, POLLIN, 0}, {nudge_, POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const auto& pair : pairs_) {
                fds.push_back({pair.client, POLLIN, 0});
                fds.push_back({pair.server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            if (fds[0].revents) return;
            if (fds[1].revents) {
                std::uint64_t count;
                [[maybe_unused]] const auto read = ::read(nudge_, &count, sizeof count);
                continue;
            }
            // The pairs polled; one accepted now waits for the next round.
            const std::size_t polled = pairs_.size();
            if (fds[2].revents) accept();
            std::vector<Pair> open(pairs_.begin() + static_cast<std::ptrdiff_t>(polled), pairs_.end());
            for (std::size_t i = 0; i < polled; ++i) {
                auto& pair = pairs_[i];
                const bool fine = (!fds[3 + 2 * i].revents || pass(pair, true)) &&
                                  (!fds[4 + 2 * i].revents || pass(pair, false));
                if (fine)
                    open.push_back(pair);
                else
                    closePair(pair);
            }
            pairs_ = std::move(open);
        }
    }

    std::string target_;
    TempDir folder_;
    int listener_ = -1;
    int wake_ = -1;
    int nudge_ = -1;
    std::atomic<bool> swallowing_{false};
    std::atomic<bool> cutting_{false};
    std::atomic<bool> holding_{false};
    std::atomic<bool> refusing_{false};
    std::mutex mutex_;
    std::string swallowedApplication_;
    std::vector<int> held_;  // the proxy's thread only
    std::atomic<int> accepted_{0};
    std::vector<Pair> pairs_;  // the proxy's thread only
    std::thread thread_;
};

}  // namespace morvane::relay_service::testing
