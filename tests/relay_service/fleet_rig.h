// What the fleet tests share: several morvane-relay processes on one
// PostgreSQL database behind nginx, set up as docs/relay.md says: each
// instance on an address of its own (127.0.0.2, .3, .4, standing for a
// private network) taking plain HTTP from the proxy alone and reaching the
// database by a road of its own the test can break, twenty computers
// linked with the host's own link code and twenty phones using the device
// side as the page does.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "postgres_test_cluster.h"
#include "relay/beast_relay_socket.h"
#include "relay/host_relay_link.h"
#include "relay/relay_bytes.h"
#include "relay/relay_counter_storage.h"
#include "../support/eventually.h"
#include "../support/sanitizer_slowdown.h"
#include "relay_test_device.h"
#include "relay_process.h"
#include "relay_service/relay_limits.h"
#include "server/server_queue.h"
#include "stalling_proxy.h"

namespace morvane::relay_service::testing {

using json = nlohmann::json;
using morvane::testing::RelayTestDevice;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point from, Clock::time_point to = Clock::now()) {
    return std::chrono::duration<double>(to - from).count();
}

inline std::string findProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin";
    for (std::size_t from = 0; from <= path.size();) {
        const auto end = std::min(path.find(':', from), path.size());
        const auto candidate = path.substr(from, end - from) + "/" + name;
        if (end > from && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        from = end + 1;
    }
    return "";
}

// A port free on every one of the addresses: drawn at random below the
// kernel's ephemeral ports, so that fleets started at the same moment by
// tests run side by side do not draw the same one, nor a port a connection
// of theirs is using.
inline std::uint16_t portFreeOn(const std::vector<std::string>& addresses) {
    boost::asio::io_context io;
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 50; ++attempt) {
        const auto port = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(20'000, 32'767)(random));
        bool free = true;
        for (const auto& address : addresses) {
            boost::asio::ip::tcp::acceptor probe(io);
            boost::system::error_code ec;
            const boost::asio::ip::tcp::endpoint at(boost::asio::ip::make_address(address), port);
            probe.open(at.protocol(), ec);
            if (!ec) probe.bind(at, ec);
            free = free && !ec;
        }
        if (free) return port;
    }
    throw std::runtime_error("no port free on every instance's address");
}

// Debian's nginx as the test's child, in a folder of its own, with the
// lines of docs/relay.md: the map, the two upstreams (every server with
// max_fails=0, so that nginx never leaves one out for a while after failing
// to reach it) and the locations, whose time-outs pass the page and the
// account calls on past an instance that does not answer within seconds.
class Nginx {
public:
    Nginx(const std::string& folder, std::uint16_t port) : folder_(folder + "/nginx"), port_(port) {
        program_ = findProgram("nginx");
        if (program_.empty()) throw std::runtime_error("nginx is missing: scripts/setup installs Debian's nginx");
        std::filesystem::create_directories(folder_ + "/temp");
    }
    ~Nginx() {
        if (process_) {
            process_->signal(SIGTERM);
            process_->waitExit();
        }
    }

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

    void start(const std::vector<std::string>& instances) {
        write(instances);
        process_ = std::make_unique<morvane::testing::HarnessProcess>(
            program_, std::vector<std::string>{"-p", folder_, "-c", folder_ + "/nginx.conf", "-e", folder_ + "/error.log"},
            folder_, true);
        const bool listening = morvane::testing::eventually([&] {
            try {
                exchange(origin(), "GET", "/");
                return true;
            } catch (const std::exception&) {
                return false;
            }
        });
        if (listening) return;
        throw std::runtime_error("nginx did not start: " + read(folder_ + "/error.log"));
    }

    // Writes the upstreams for these instances and has nginx read them
    // again, and returns once only workers with the new lines take new
    // connections: nginx starts the new worker first and tells the old
    // ones to stop taking connections a tenth of a second later (they keep
    // the ones they have), so a connection made in between may still be
    // sent by the old lines, to the instance the test is moving away from.
    void reload(const std::vector<std::string>& instances) {
        const auto before = workers().size();
        write(instances);
        process_->signal(SIGHUP);
        if (morvane::testing::eventually([&] {
                const auto now = workers();
                if (now.size() <= before) return false;
                const auto log = read(folder_ + "/error.log");
                return std::all_of(now.begin(), now.end() - 1, [&](const std::string& pid) {
                    return log.find(pid + "#" + pid + ": gracefully shutting down") != std::string::npos ||
                           log.find("worker process " + pid + " exited") != std::string::npos;
                });
            }))
            return;
        throw std::runtime_error("nginx did not reload: " + read(folder_ + "/error.log"));
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    // The worker processes started so far, the newest last.
    std::vector<std::string> workers() const {
        const auto log = read(folder_ + "/error.log");
        static constexpr std::string_view started = "start worker process ";
        std::vector<std::string> pids;
        for (std::size_t at = 0; (at = log.find(started, at)) != std::string::npos;) {
            at += started.size();
            pids.push_back(log.substr(at, log.find_first_not_of("0123456789", at) - at));
        }
        return pids;
    }

    void write(const std::vector<std::string>& instances) {
        std::string servers;
        for (const auto& instance : instances) servers += " server " + instance + " max_fails=0;";
        const auto temp = folder_ + "/temp";
        std::ofstream(folder_ + "/nginx.conf")
            << "daemon off;\nworker_processes 1;\n" << (::geteuid() == 0 ? "user root;\n" : "")
            << "pid " << folder_ << "/nginx.pid;\nerror_log " << folder_ << "/error.log notice;\n"
            << "events { worker_connections 1024; }\nhttp {\n  access_log off;\n"
            << "  client_body_temp_path " << temp << ";\n  proxy_temp_path " << temp << ";\n  fastcgi_temp_path "
            << temp << ";\n  uwsgi_temp_path " << temp << ";\n  scgi_temp_path " << temp << ";\n"
            // The lines of docs/relay.md, but for the addresses.
            << "  map $uri $relay_room {\n"
            << "      \"~^/relay/v1/(host|device)/(?<room>[0-9a-f]{32})\" $room;\n"
            << "      default \"\";\n  }\n"
            << "  upstream relay_rooms { hash $relay_room consistent;" << servers << " }\n"
            << "  upstream relay_any {" << servers << " }\n"
            << "  map $relay_room $relay_pool { \"\" relay_any; default relay_rooms; }\n"
            << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
            << "    proxy_http_version 1.1;\n"
            << "    proxy_set_header Upgrade $http_upgrade;\n"
            << "    proxy_set_header Connection \"upgrade\";\n"
            << "    proxy_set_header Host $host;\n"
            << "    proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
            << "    proxy_connect_timeout 2s;\n"
            << "    location / {\n"
            << "        proxy_pass http://$relay_pool;\n"
            << "        proxy_read_timeout 3s;\n"
            << "    }\n"
            << "    location /v1/ {\n"
            << "        proxy_pass http://$relay_pool;\n"
            << "        proxy_read_timeout 8s;\n"
            << "        proxy_next_upstream error timeout non_idempotent;\n"
            << "    }\n"
            << "    location = /v1/auth/code {\n"
            << "        proxy_pass http://$relay_pool;\n"
            << "        proxy_read_timeout 20s;\n"
            << "    }\n"
            << "    location /relay/ {\n"
            << "        proxy_pass http://$relay_pool;\n"
            << "        proxy_read_timeout 120s;\n"
            << "    }\n"
            << "    location /fleet/ {\n"
            << "        return 404;\n"
            << "    }\n  }\n}\n";
    }

    std::string folder_;
    std::uint16_t port_;
    std::string program_;
    std::unique_ptr<morvane::testing::HarnessProcess> process_;
};

// systemd's side of the unit's watchdog, as the test plays it: the socket
// an instance tells it is alive on (NOTIFY_SOCKET), and when it last did.
// What the unit sets (WatchdogSec=, RestartSec=) is read from the unit
// itself, so that what is tried is what the package installs.
class Watchdog {
public:
    explicit Watchdog(std::string path) : path_(std::move(path)) {
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ::unlink(path_.c_str());
        const timeval tick{0, 50'000};
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
            throw std::runtime_error("the watchdog's socket cannot be made at " + path_);
        thread_ = std::thread([this] {
            std::array<char, 256> buffer;
            while (!stop_) {
                const auto n = ::recv(socket_, buffer.data(), buffer.size(), 0);
                if (n > 0 && std::string_view(buffer.data(), static_cast<std::size_t>(n)) == "WATCHDOG=1") {
                    std::lock_guard guard(lock_);
                    last_ = Clock::now();
                }
            }
        });
    }
    ~Watchdog() {
        stop_ = true;
        thread_.join();
        ::close(socket_);
        ::unlink(path_.c_str());
    }
    // A setting of the unit, in milliseconds ("WatchdogSec", "RestartSec").
    static std::chrono::milliseconds unitSetting(const std::string& key) {
        std::ifstream unit(std::string(MORVANE_SOURCE_DIR) + "/src/relay_service/systemd/morvane-relay.service.in");
        for (std::string line; std::getline(unit, line);)
            if (line.starts_with(key + "=")) return std::chrono::milliseconds(std::stoi(line.substr(key.size() + 1)) * 1000);
        throw std::runtime_error("the unit sets no " + key);
    }
    std::vector<std::string> environment() const {
        return {"NOTIFY_SOCKET=" + path_,
                "WATCHDOG_USEC=" + std::to_string(unitSetting("WatchdogSec").count() * 1000)};
    }
    // Whether it was told all is well within the unit's WatchdogSec.
    bool fine() {
        std::lock_guard guard(lock_);
        return last_ && Clock::now() - *last_ < unitSetting("WatchdogSec");
    }

private:
    std::string path_;
    int socket_ = -1;
    std::mutex lock_;
    std::optional<Clock::time_point> last_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The computers: the host's own link through nginx, backing off as the host
// does (a link that was up a while dials again after about a second), on
// one queue; each sends every record it gets back where it came from.
class Computers {
public:
    ~Computers() {
        for (auto& computer : computers_) runSync(queue_, [&] { computer->link->turnOffOnQueue(); });
        runSync(queue_, [&] { computers_.clear(); });
        queue_.shutdown();
    }

    void add(const RelayIdentity& identity, const std::string& origin) {
        auto computer = std::make_unique<Computer>();
        HostRelayLink::Options o{.baseURL = origin, .identity = identity, .queue = &queue_};
        o.counters = std::make_shared<MemoryCounterStorage>();
        o.sockets = std::make_shared<BeastRelaySocketFactory>(queue_.context());
        // The test's minutes are seconds: a link counts as stable sooner.
        o.timing.stableSeconds = 2;
        o.timing.wakeDelaySeconds = 0;
        computer->link = HostRelayLink::create(std::move(o));
        computer->echo = std::make_shared<Echo>();
        computer->echo->link = computer->link.get();
        computer->link->setDelegate(computer->echo);
        computer->link->log = [c = computer.get()](const std::string& line) { c->say(line); };
        computer->link->turnOn();
        computers_.push_back(std::move(computer));
    }

    bool allUp(std::chrono::milliseconds wait) {
        return morvane::testing::eventually(
            [&] {
                return std::all_of(computers_.begin(), computers_.end(), [](const auto& c) {
                    return c->link->snapshot().state.kind == HostRelayLink::State::Kind::up;
                });
            },
            static_cast<int>(wait.count()));
    }

    // Whether the computer's link is up now.
    bool up(std::size_t index) {
        return computers_[index]->link->snapshot().state.kind == HostRelayLink::State::Kind::up;
    }
    // Whether its link came up at some moment from `from` to `to`.
    bool cameUp(std::size_t index, Clock::time_point from, Clock::time_point to) {
        auto& echo = *computers_[index]->echo;
        std::lock_guard guard(echo.lock);
        return std::any_of(echo.ups.begin(), echo.ups.end(), [&](auto at) { return at >= from && at <= to; });
    }

    std::string log(std::size_t index) {
        std::lock_guard guard(computers_[index]->lock);
        std::string text;
        for (const auto& line : computers_[index]->lines) text += "  " + line + "\n";
        return text;
    }

private:
    struct Echo final : RelayLinkDelegate {
        HostRelayLink* link = nullptr;
        std::mutex lock;
        std::vector<Clock::time_point> ups;
        void relayLinkUp(const std::vector<RelayConnectionID>&) override {
            std::lock_guard guard(lock);
            ups.push_back(Clock::now());
        }
        void relayLinkDown() override {}
        void relayLinkJoined(RelayConnectionID) override {}
        void relayLinkLeft(RelayConnectionID) override {}
        void relayLinkReceived(RelayConnectionID id, Bytes record) override { link->send(id, record, [](bool) {}); }
        void relayLinkQuotaReached() override {}
    };
    struct Computer {
        std::shared_ptr<HostRelayLink> link;
        std::shared_ptr<Echo> echo;
        std::mutex lock;
        std::vector<std::string> lines;
        void say(const std::string& line) {
            std::lock_guard guard(lock);
            lines.push_back(line);
        }
    };
    ServerQueue queue_{"fleet-computers"};
    std::vector<std::unique_ptr<Computer>> computers_;
};

// A phone as the page uses the device side: a ticket for its computer's
// room, then the room's socket; every tenth of a second it sends a record
// of its own, which comes back from the computer while it gets through.
// Dropped, it dials again after the page's back-off (1, 2, 5, then 10 s);
// opened anew (a page loaded again), at once. A ticket refused 401 is a
// sign-out: it stops there, as the page shows sign-in.
class Phone {
public:
    Phone(std::string proxy, std::string room, std::string access, std::string address)
        : proxy_(std::move(proxy)), room_(std::move(room)), access_(std::move(access)), address_(std::move(address)),
          thread_([this] { run(); }) {}
    ~Phone() {
        stop_ = true;
        thread_.join();
    }

    void reopen() { ++reopens_; }
    // When a record it sent at or after `since` first came back.
    std::optional<Clock::time_point> reachedSince(Clock::time_point since) {
        std::lock_guard guard(lock_);
        const auto found = std::find_if(reaches_.begin(), reaches_.end(), [&](auto t) { return t.first >= since; });
        return found == reaches_.end() ? std::nullopt : std::optional(found->second);
    }
    bool through() const { return through_; }
    bool signedOut() const { return signedOut_; }
    std::vector<int> closes() {
        std::lock_guard guard(lock_);
        return closes_;
    }
    const std::string& room() const { return room_; }

private:
    void run() {
        int attempt = 0;
        while (!stop_) {
            // A page opened again after this try began dials at once.
            const int began = reopens_;
            Exchange answer;
            try {
                answer = exchange(proxy_, "POST", "/v1/hosts/" + room_ + "/ticket", "{}", access_, {}, address_);
            } catch (const std::exception&) {
                answer.status = 0;
            }
            if (answer.status == 401) {
                signedOut_ = true;
                return;
            }
            const auto body = json::parse(answer.body, nullptr, false);
            std::unique_ptr<RelayTestDevice> device;
            if (answer.status == 200 && body.contains("ticket")) {
                try {
                    device = std::make_unique<RelayTestDevice>(proxy_, room_ + "?ticket=" + body["ticket"].get<std::string>());
                } catch (const std::exception&) {
                    device.reset();
                }
            }
            if (!device) {
                pause(attempt++, began);
                continue;
            }
            // A page opened again while this one was on its way is this one.
            const int opened = reopens_;
            const auto reopened = [&] { return reopens_ != opened; };
            auto probe = Secure::randomBytes(16);
            auto sent = Clock::now();
            device->send(probe);
            while (!stop_ && !reopened()) {
                const auto record = device->receive(20ms);
                if (record && *record == probe) {
                    std::lock_guard guard(lock_);
                    reaches_.emplace_back(sent, Clock::now());
                    through_ = true;
                    attempt = 0;
                } else if (!record && device->ended()) {
                    break;
                }
                if (Clock::now() - sent >= 100ms) {
                    probe = Secure::randomBytes(16);
                    sent = Clock::now();
                    device->send(probe);
                }
            }
            through_ = false;
            if (reopened()) continue;
            {
                std::lock_guard guard(lock_);
                closes_.push_back(device->closedWith().value_or(0));
            }
            device.reset();
            pause(attempt++, began);
        }
    }
    void pause(int attempt, int began) {
        static constexpr int backOff[] = {1000, 2000, 5000, 10000};
        const auto until = Clock::now() + std::chrono::milliseconds(backOff[std::min(attempt, 3)]);
        while (!stop_ && reopens_ == began && Clock::now() < until) std::this_thread::sleep_for(10ms);
    }

    std::string proxy_, room_, access_, address_;
    std::atomic<bool> stop_{false}, through_{false}, signedOut_{false};
    std::atomic<int> reopens_{0};
    std::mutex lock_;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> reaches_;  // sent, came back
    std::vector<int> closes_;
    std::thread thread_;
};

// How soon every phone must be through again: a few seconds (under two,
// quiet). The slowest road is a phone that waits out its wait for a link
// that does not come, dials again after the page's back-off and then
// brings the link; the bound leaves room for a machine busy with other
// tests, where one more wait can pass.
inline constexpr double withinSeconds = 4 * RelayLimits::linkWaitSeconds;

class Fleet {
public:
    static constexpr int accounts = 10;  // two computers and two phones each

    // Where the instances listen, in the order they are started.
    static constexpr const char* addresses[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};

    explicit Fleet(std::size_t count = 2)
        : port_(portFreeOn({addresses[0], addresses[1], addresses[2]})), nginx_(folder_.path(), portFreeOn({"127.0.0.1"})) {
        for (std::size_t i = 0; i < count; ++i) instances_.push_back(start(addresses[i]));
        nginx_.start(upstreams());
    }
    ~Fleet() {
        phones.clear();
        computers_.reset();
    }

    // Starts the instance at `index` again, keeping the log of the old one.
    void restart(std::size_t index, const std::string& address) {
        retired_.push_back(std::move(instances_[index]));
        instances_[index] = start(address);
    }

    // The road from the instance at `address` to the database, which the
    // test can pause, cut or make refuse.
    Watchdog& watchdog(const std::string& address) { return *watchdogs_.at(address); }
    StallingProxy& road(const std::string& address) {
        auto& road = roads_[address];
        if (!road) road = std::make_unique<StallingProxy>(database_.cluster().folder() + "/.s.PGSQL.5432");
        return *road;
    }
    // The database itself paused (SIGSTOP) or let go on, its server
    // process and every process it started.
    void pauseDatabase(bool paused) {
        std::ifstream pidFile(database_.cluster().folder() + "/data/postmaster.pid");
        pid_t server = 0;
        pidFile >> server;
        if (server <= 0) throw std::runtime_error("the database's server process is not known");
        std::vector<pid_t> processes{server};
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
            std::istringstream fields(line.substr(line.rfind(')') + 2));
            char state = 0;
            pid_t parent = 0;
            fields >> state >> parent;
            if (parent == server) processes.push_back(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
        }
        for (const auto process : processes) ::kill(process, paused ? SIGSTOP : SIGCONT);
    }
    RelayProcess& instanceAt(const std::string& address) {
        const auto found = std::find_if(instances_.begin(), instances_.end(),
                                        [&](const auto& instance) { return instance->origin().find("//" + address + ":") != std::string::npos; });
        if (found == instances_.end()) throw std::runtime_error("no instance at " + address);
        return **found;
    }

    // One instance, listening on its own address for the proxy alone, its
    // clock `clockOffset` seconds off the machine's, reaching the database
    // by its road.
    std::unique_ptr<RelayProcess> start(const std::string& address, int clockOffset = 0) {
        // What is tried here is the fleet, not the store's time-outs: a
        // machine busy with other tests may take seconds to connect.
        const auto url = road(address).connectionString(database_.database());
        auto config = RelayProcess::postgresConfig(url, {{"connect_timeout_seconds", 30}});
        config["listen"] = address + ":" + std::to_string(port_);
        config["trusted_proxies"] = json::array({"127.0.0.1"});
        // Run as the unit runs it, its watchdog played by the test.
        auto& watchdog = watchdogs_[address];
        if (!watchdog) watchdog = std::make_unique<Watchdog>(folder_.path() + "/notify-" + address);
        return std::make_unique<RelayProcess>(folder_.path(), address, config,
                                              RelayHooks{clockOffset, watchdog->environment()});
    }
    std::vector<std::string> upstreams() const {
        std::vector<std::string> servers;
        for (const auto& instance : instances_) servers.push_back(instance->origin().substr(7));
        return servers;
    }

    // A sign-in through the proxy from its own address, the code read from
    // whichever instance's log it went to.
    json signIn(const std::string& email, const std::string& from, const std::string& client) {
        const std::string prefix = "Sign-in code for " + email + ": ";
        const auto codes = [&] {
            std::vector<std::string> found;
            for (auto& instance : instances_)
                for (const auto& line : instance->lines())
                    if (const auto at = line.find(prefix); at != std::string::npos) found.push_back(line.substr(at + prefix.size()));
            return found;
        };
        const auto before = codes();
        const auto asked = exchange(nginx_.origin(), "POST", "/v1/auth/code",
                                    json{{"email", email}, {"login_id", client}}.dump(), "", {}, from);
        EXPECT_EQ(asked.status, 200) << asked.body;
        // The new code, wherever it was logged: the instances' lines are
        // read one instance after another, not in the order they came.
        std::string code;
        morvane::testing::eventually([&] {
            auto found = codes();
            for (const auto& old : before)
                if (const auto at = std::find(found.begin(), found.end(), old); at != found.end()) found.erase(at);
            if (found.empty()) return false;
            code = found.back();
            return true;
        });
        const auto verified = exchange(nginx_.origin(), "POST", "/v1/auth/verify",
                                       json{{"email", email}, {"login_id", client}, {"code", code}, {"client", client}}.dump(),
                                       "", {}, from);
        EXPECT_EQ(verified.status, 200) << verified.body;
        return json::parse(verified.body, nullptr, false);
    }

    // Ten owners put two computers each on their accounts and link them;
    // each account's phones sign in once and open their computers.
    void populate() {
        computers_ = std::make_unique<Computers>();
        for (int a = 0; a < accounts; ++a) {
            const auto email = "owner" + std::to_string(a) + "@example.org";
            const auto owner = signIn(email, "127.0.1." + std::to_string(10 + a), "mac");
            ASSERT_TRUE(owner.contains("access_token"));
            const auto phone = signIn(email, "127.0.2." + std::to_string(10 + a), "web");
            ASSERT_TRUE(phone.contains("access_token"));
            phoneSessions.push_back(phone);
            for (int c = 0; c < 2; ++c) {
                const RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
                const auto ts = static_cast<std::uint64_t>(std::time(nullptr));
                const auto nonce = Secure::randomBytes(16);
                const json body{{"public_key", identity.hostPublicKeyText()},
                                {"name", "Desk " + std::to_string(2 * a + c)},
                                {"ts", ts},
                                {"nonce", RelayBytes::b64u(nonce)},
                                {"sig", identity.registerProof(owner["user"]["id"].get<std::string>(), ts, nonce)}};
                const auto registered = exchange(nginx_.origin(), "POST", "/v1/hosts", body.dump(),
                                                 owner["access_token"], {}, "127.0.1." + std::to_string(10 + a));
                ASSERT_EQ(registered.status, 201) << registered.body;
                rooms.push_back(RelayBytes::hex(identity.roomID()));
                computers_->add(identity, "ws://127.0.0.1:" + nginx_.origin().substr(nginx_.origin().rfind(':') + 1));
            }
        }
        ASSERT_TRUE(computers_->allUp(20s)) << computers_->log(0);
        for (int i = 0; i < 2 * accounts; ++i)
            phones.push_back(std::make_unique<Phone>(nginx_.origin(), rooms[i], phoneSessions[i / 2]["access_token"],
                                                     "127.0.2." + std::to_string(10 + i / 2)));
    }

    // Seconds from `since` until a record of every phone sent since then
    // had come back from its computer; absent past the wait.
    std::optional<double> everyPhoneThrough(Clock::time_point since, std::chrono::seconds wait = 20s) {
        Clock::time_point last = since;
        const bool all = morvane::testing::eventually(
            [&] {
                for (auto& phone : phones) {
                    if (phone->signedOut()) continue;
                    const auto reached = phone->reachedSince(since);
                    if (!reached || !phone->through()) return false;
                    last = std::max(last, *reached);
                }
                return true;
            },
            static_cast<int>(std::chrono::milliseconds(wait).count()));
        return all ? std::optional(secondsSince(since, last)) : std::nullopt;
    }
    std::string stragglers(Clock::time_point since) {
        std::string text;
        for (std::size_t i = 0; i < phones.size(); ++i) {
            if ((phones[i]->reachedSince(since) && phones[i]->through()) || phones[i]->signedOut()) continue;
            text += "phone " + std::to_string(i) + " (room " + phones[i]->room() + ") closes:";
            for (const auto code : phones[i]->closes()) text += " " + std::to_string(code);
            text += "\n" + computers_->log(i);
        }
        for (auto* group : {&retired_, &instances_})
            for (auto& instance : *group)
                for (const auto& line : instance->lines()) text += instance->origin() + " " + line + "\n";
        return text;
    }
    // Whether every phone got through within a few seconds of `since`,
    // said with the seconds it took.
    bool throughAgain(const char* what, Clock::time_point since) {
        const auto took = everyPhoneThrough(since);
        std::printf("[ fleet    ] %s: every phone through after %s\n", what,
                    took ? (std::to_string(*took).substr(0, 4) + " s").c_str() : "never");
        EXPECT_TRUE(took) << stragglers(since);
        EXPECT_LT(took.value_or(0), withinSeconds) << what;
        return took.has_value();
    }
    // Of a list through the proxy for each account in turn, for `length`:
    // how many were answered, how many called a computer offline whose link
    // was up all the while it was asked, and how many called one online
    // whose link was down all the while and not up again within the wait of
    // a phone dialling it then (a link moving to another instance is down
    // for a moment, and its row counts meanwhile, so that its phones wait);
    // and the seconds after which no list was wrong but for such a move.
    struct Lists {
        int answered = 0, offline = 0, online = 0;
        double rightAfter = 0;
    };
    Lists wrongLists(std::chrono::milliseconds length) {
        int answered = 0, wrong = 0, falselyOnline = 0;
        std::vector<std::pair<std::size_t, Clock::time_point>> listedDown;
        const auto began = Clock::now();
        auto lastAmiss = began;
        const auto until = began + length;
        for (int a = 0; Clock::now() < until; a = (a + 1) % accounts) {
            if (signedOut_.contains(a)) continue;
            // Each account's lists at the page's pace and more, within the
            // account calls a network may make.
            std::this_thread::sleep_for(50ms);
            const bool upBefore[] = {computers_->up(2 * a), computers_->up(2 * a + 1)};
            const auto answer = exchange(nginx_.origin(), "GET", "/v1/hosts", "", phoneSessions[a]["access_token"], {},
                                         "127.0.2." + std::to_string(10 + a));
            const auto body = json::parse(answer.body, nullptr, false);
            if (answer.status != 200 || !body.contains("hosts")) continue;
            ++answered;
            for (int c = 0; c < 2; ++c) {
                const bool upAfter = computers_->up(2 * a + c);
                if (upBefore[c] != upAfter) continue;
                for (const auto& host : body["hosts"])
                    if (host.value("room", "") == rooms[2 * a + c] && host.value("online", false) != upAfter) {
                        if (upAfter) {
                            ++wrong;
                            lastAmiss = Clock::now();
                        } else {
                            listedDown.emplace_back(2 * a + c, Clock::now());
                        }
                    }
            }
        }
        const auto wait = std::chrono::seconds(RelayLimits::linkWaitSeconds);
        if (!listedDown.empty()) std::this_thread::sleep_until(listedDown.back().second + wait);
        for (const auto& [computer, at] : listedDown) {
            if (computers_->cameUp(computer, at, at + wait)) continue;
            ++falselyOnline;
            lastAmiss = std::max(lastAmiss, at);
        }
        return {answered, wrong, falselyOnline, lastAmiss == began ? 0.0 : secondsSince(began, lastAmiss)};
    }
    // How many times each phone has been closed so far, and, for each, how
    // many of its closes since then had `code`.
    std::vector<std::size_t> closesNow() {
        std::vector<std::size_t> counts;
        for (auto& phone : phones) counts.push_back(phone->closes().size());
        return counts;
    }
    std::vector<int> closedSince(const std::vector<std::size_t>& before, int code) {
        std::vector<int> counts;
        for (std::size_t i = 0; i < phones.size(); ++i) {
            const auto codes = phones[i]->closes();
            counts.push_back(static_cast<int>(std::count(codes.begin() + static_cast<std::ptrdiff_t>(before[i]), codes.end(), code)));
        }
        return counts;
    }
    // Every phone loads its page again; answers when it did.
    Clock::time_point reopenAll() {
        const auto now = Clock::now();
        for (auto& phone : phones) phone->reopen();
        return now;
    }
    // Of `count` lists through the proxy, by the accounts still signed in,
    // how many said every computer of their account online.
    int fullLists(int count = 200) {
        std::vector<int> asking;
        for (int a = 0; a < accounts; ++a)
            if (!signedOut_.contains(a)) asking.push_back(a);
        int full = 0;
        for (int i = 0; i < count; ++i) full += listed(asking[static_cast<std::size_t>(i) % asking.size()]) == 2;
        return full;
    }
    // A link's coming up reaches the lists once its row is written, on the
    // store queue behind what else waits there: once one list per account
    // has said every computer online (within the bound a phone has to get
    // through), 200 more must all say so.
    void expectWholeLists(const char* what) {
        const auto since = Clock::now();
        const int asking = accounts - static_cast<int>(signedOut_.size());
        const bool whole = morvane::testing::eventually([&] { return fullLists(asking) == asking; },
                                                        static_cast<int>(withinSeconds * 1000));
        const double took = secondsSince(since);
        const int lists = fullLists();
        std::printf("[ fleet    ] %s: lists whole after %.2f s, then %d of 200 said every computer online\n", what,
                    whole ? took : -1.0, lists);
        EXPECT_TRUE(whole) << what;
        EXPECT_EQ(lists, 200) << what;
    }
    // The account's phones signed out through `via`: both are closed with
    // 4401 wherever they are and refused a new ticket as the page dials
    // again. Answers how soon both were closed; absent past the wait.
    std::optional<double> signOut(int account, RelayProcess& via) {
        const auto out = exchange(via.origin(), "POST", "/v1/auth/signout",
                                  json{{"refresh_token", phoneSessions[account]["refresh_token"]}}.dump());
        EXPECT_EQ(out.status, 200) << out.body;
        signedOut_.insert(account);
        const auto said = Clock::now();
        auto& first = *phones[2 * account];
        auto& second = *phones[2 * account + 1];
        const bool closed = morvane::testing::eventually([&] { return !first.through() && !second.through(); }, 15'000);
        EXPECT_TRUE(closed) << stragglers(said);
        const auto took = secondsSince(said);
        // The page dials again after its back-off (seconds on a busy
        // machine) and then asks for a ticket.
        EXPECT_TRUE(morvane::testing::eventually([&] { return first.signedOut() && second.signedOut(); }, 15'000))
            << "a new ticket is refused";
        for (auto* phone : {&first, &second}) {
            const auto codes = phone->closes();
            EXPECT_FALSE(codes.empty() || codes.back() != 4401) << "a phone of account " << account;
        }
        return closed ? std::optional(took) : std::nullopt;
    }
    // How many of the account's computers a list through the proxy says
    // are online; absent when it was not answered.
    std::optional<int> listed(int account) {
        const auto answer = exchange(nginx_.origin(), "GET", "/v1/hosts", "", phoneSessions[account]["access_token"], {},
                                     "127.0.2." + std::to_string(10 + account));
        const auto body = json::parse(answer.body, nullptr, false);
        if (answer.status != 200 || !body.contains("hosts")) return std::nullopt;
        int online = 0;
        for (const auto& host : body["hosts"]) online += host.value("online", false);
        return online;
    }
    // How many lines of the instance's log hold `part`.
    static int lines(RelayProcess& instance, const std::string& part) {
        int count = 0;
        for (const auto& line : instance.lines()) count += line.find(part) != std::string::npos;
        return count;
    }
    static std::string logOf(RelayProcess& instance) {
        std::string text;
        for (const auto& line : instance.lines()) text += instance.origin() + " " + line + "\n";
        return text;
    }
    // The instance's presence rows that count for `moreSeconds` more at
    // least.
    int presenceRows(const std::string& instance, std::int64_t moreSeconds = 0) {
        return std::stoi(database_.cluster().query(
            database_.database(), "SELECT count(*) FROM presence WHERE instance = '" + instance +
                                      "' AND seen_at >= CAST(EXTRACT(EPOCH FROM now()) AS BIGINT) - " +
                                      std::to_string(RelayLimits::presenceFreshSeconds - moreSeconds)));
    }
    std::string holderOf(const std::string& room) {
        return database_.cluster().query(database_.database(), "SELECT instance FROM presence WHERE room = '" + room + "'");
    }

    PostgresBackend database_;
    std::map<std::string, std::unique_ptr<StallingProxy>> roads_;
    TempDir folder_;
    std::uint16_t port_;
    Nginx nginx_;
    std::map<std::string, std::unique_ptr<Watchdog>> watchdogs_;
    std::vector<std::unique_ptr<RelayProcess>> instances_, retired_;
    std::unique_ptr<Computers> computers_;
    std::vector<json> phoneSessions;
    std::vector<std::string> rooms;
    std::vector<std::unique_ptr<Phone>> phones;

private:
    std::set<int> signedOut_;
};

}  // namespace morvane::relay_service::testing
