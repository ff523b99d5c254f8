// Several morvane-relay processes on one PostgreSQL database behind nginx,
// set up as docs/relay.md says: each instance on an address of its own (here
// 127.0.0.2, .3, .4, standing for a private network) taking plain HTTP from
// the proxy alone, twenty computers linked with the host's own link code
// and twenty phones using the device side as the page does. The list of
// computers must be true through any instance, and every phone must reach
// its computer again within seconds of an instance being killed and
// started, stopped and started as systemd restarts it, or added (its clock
// 20 s behind the others'), and through an instance cut from the database;
// a sign-out through one instance closes that sign-in's phones on another,
// and on one that was away from the bus when it was said.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
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
#include "relay_double.h"
#include "relay_process.h"
#include "relay_service/relay_limits.h"
#include "server/server_queue.h"
#include "stalling_proxy.h"

namespace morvane::relay_service::testing {
namespace {

using json = nlohmann::json;
using morvane::testing::RelayTestDevice;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point from, Clock::time_point to = Clock::now()) {
    return std::chrono::duration<double>(to - from).count();
}

std::string findProgram(const std::string& name) {
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

// A port free on every one of the addresses.
std::uint16_t portFreeOn(const std::vector<std::string>& addresses) {
    boost::asio::io_context io;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const auto port = morvane::testing::freePort();
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
// to reach it) and the location.
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
    // again (new workers take new connections; the old keep theirs).
    void reload(const std::vector<std::string>& instances) {
        const auto started = [&] {
            const auto log = read(folder_ + "/error.log");
            std::size_t count = 0;
            for (std::size_t at = 0; (at = log.find("start worker process ", at)) != std::string::npos; ++at) ++count;
            return count;
        };
        const auto before = started();
        write(instances);
        process_->signal(SIGHUP);
        if (morvane::testing::eventually([&] { return started() > before; })) return;
        throw std::runtime_error("nginx did not reload: " + read(folder_ + "/error.log"));
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
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
            << "    location / {\n"
            << "        proxy_pass http://$relay_pool;\n"
            << "        proxy_http_version 1.1;\n"
            << "        proxy_set_header Upgrade $http_upgrade;\n"
            << "        proxy_set_header Connection \"upgrade\";\n"
            << "        proxy_set_header Host $host;\n"
            << "        proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
            << "        proxy_read_timeout 120s;\n"
            << "    }\n  }\n}\n";
    }

    std::string folder_;
    std::uint16_t port_;
    std::string program_;
    std::unique_ptr<morvane::testing::HarnessProcess> process_;
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

    std::string log(std::size_t index) {
        std::lock_guard guard(computers_[index]->lock);
        std::string text;
        for (const auto& line : computers_[index]->lines) text += "  " + line + "\n";
        return text;
    }

private:
    struct Echo final : RelayLinkDelegate {
        HostRelayLink* link = nullptr;
        void relayLinkUp(const std::vector<RelayConnectionID>&) override {}
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

    void reopen() { reopen_ = true; }
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
            reopen_ = false;
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
                pause(attempt++);
                continue;
            }
            auto probe = Secure::randomBytes(16);
            auto sent = Clock::now();
            device->send(probe);
            while (!stop_ && !reopen_) {
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
            if (reopen_) continue;
            {
                std::lock_guard guard(lock_);
                closes_.push_back(device->closedWith().value_or(0));
            }
            device.reset();
            pause(attempt++);
        }
    }
    void pause(int attempt) {
        static constexpr int backOff[] = {1000, 2000, 5000, 10000};
        const auto until = Clock::now() + std::chrono::milliseconds(backOff[std::min(attempt, 3)]);
        while (!stop_ && !reopen_ && Clock::now() < until) std::this_thread::sleep_for(10ms);
    }

    std::string proxy_, room_, access_, address_;
    std::atomic<bool> stop_{false}, reopen_{false}, through_{false}, signedOut_{false};
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
constexpr double withinSeconds = 4 * RelayLimits::linkWaitSeconds;

class Fleet {
public:
    static constexpr int accounts = 10;  // two computers and two phones each

    Fleet()
        : proxy_(database_.cluster().folder() + "/.s.PGSQL.5432"),
          port_(portFreeOn({"127.0.0.2", "127.0.0.3", "127.0.0.4"})),
          nginx_(folder_.path(), morvane::testing::freePort()) {
        for (const auto* address : {"127.0.0.2", "127.0.0.3"}) instances_.push_back(start(address));
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

    // One instance, listening on its own address for the proxy alone, its
    // clock `clockOffset` seconds off the machine's. The first (127.0.0.2)
    // reaches the database through a proxy the test can cut.
    std::unique_ptr<RelayProcess> start(const std::string& address, int clockOffset = 0) {
        // What is tried here is the fleet, not the store's time-outs: a
        // machine busy with other tests may take seconds to connect.
        const auto url =
            address == "127.0.0.2" ? proxy_.connectionString(database_.database()) : database_.connectionString();
        auto config = RelayProcess::postgresConfig(url, {{"connect_timeout_seconds", 30}});
        config["listen"] = address + ":" + std::to_string(port_);
        config["trusted_proxies"] = json::array({"127.0.0.1"});
        std::vector<std::string> environment;
        if (clockOffset != 0)
            environment.push_back("MORVANE_RELAY_TEST_CLOCK_OFFSET_SECONDS=" + std::to_string(clockOffset));
        return std::make_unique<RelayProcess>(folder_.path(), address, config, environment);
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
        const auto before = codes().size();
        const auto asked = exchange(nginx_.origin(), "POST", "/v1/auth/code",
                                    json{{"email", email}, {"login_id", client}}.dump(), "", {}, from);
        EXPECT_EQ(asked.status, 200) << asked.body;
        std::vector<std::string> now;
        morvane::testing::eventually([&] { return (now = codes()).size() > before; });
        const auto verified = exchange(
            nginx_.origin(), "POST", "/v1/auth/verify",
            json{{"email", email}, {"login_id", client}, {"code", now.empty() ? "" : now.back()}, {"client", client}}.dump(), "",
            {}, from);
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
    // How many times each phone has been closed so far, and how many of
    // its closes since then had `code`.
    std::vector<std::size_t> closesNow() {
        std::vector<std::size_t> counts;
        for (auto& phone : phones) counts.push_back(phone->closes().size());
        return counts;
    }
    int closedSince(const std::vector<std::size_t>& before, int code) {
        int count = 0;
        for (std::size_t i = 0; i < phones.size(); ++i) {
            const auto codes = phones[i]->closes();
            count += static_cast<int>(std::count(codes.begin() + static_cast<std::ptrdiff_t>(before[i]), codes.end(), code));
        }
        return count;
    }
    // Every phone loads its page again; answers when it did.
    Clock::time_point reopenAll() {
        const auto now = Clock::now();
        for (auto& phone : phones) phone->reopen();
        return now;
    }
    // Of 200 lists through the proxy, how many said every computer of
    // their account online.
    int fullLists() {
        int full = 0;
        for (int i = 0; i < 200; ++i) full += listedOnline(i % accounts) == 2;
        return full;
    }
    // How many of the account's computers a list through the proxy says
    // are online.
    int listedOnline(int account) {
        const auto listed = exchange(nginx_.origin(), "GET", "/v1/hosts", "", phoneSessions[account]["access_token"], {},
                                     "127.0.2." + std::to_string(10 + account));
        const auto body = json::parse(listed.body, nullptr, false);
        int online = 0;
        if (body.contains("hosts"))
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
    StallingProxy proxy_;
    TempDir folder_;
    std::uint16_t port_;
    Nginx nginx_;
    std::vector<std::unique_ptr<RelayProcess>> instances_, retired_;
    std::unique_ptr<Computers> computers_;
    std::vector<json> phoneSessions;
    std::vector<std::string> rooms;
    std::vector<std::unique_ptr<Phone>> phones;
};

TEST(RelayFleet, BehindNginxEveryPhoneReachesItsComputerWhileInstancesRestartOrAreAdded) {
    Fleet fleet;
    fleet.populate();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(fleet.throughAgain("all linked", Clock::now() - 1s));

    // The list is true through either instance.
    int lists = fleet.fullLists();
    std::printf("[ fleet    ] %d of 200 lists said every computer online\n", lists);
    EXPECT_EQ(lists, 200);

    // Plain HTTP at an instance is for the proxy alone.
    auto& first = *fleet.instances_[0];
    EXPECT_THROW(exchange(first.origin(), "GET", "/", "", "", {}, "127.0.0.9"), std::exception);
    EXPECT_FALSE(first.waitFor("refused a connection from 127.0.0.9").empty());

    // Killed outright, then started again as systemd would (2 s later): the
    // phones it carried dial again and reach their computers elsewhere...
    const auto killed = Clock::now();
    first.stop(SIGKILL);
    std::this_thread::sleep_for(2s);
    fleet.restart(0, "127.0.0.2");
    ASSERT_TRUE(fleet.throughAgain("kill -9 and a start", killed));
    // ...and as the proxy sends its rooms to it again, phones opening their
    // pages there make their computers' links move to it.
    ASSERT_TRUE(fleet.throughAgain("kill -9, pages opened again on the restarted instance", fleet.reopenAll()));

    // Stopped and started as systemctl restart does: as it stops, its rows
    // are left to count a few seconds more, as its computers are moving to
    // another instance, not gone: a phone that dials one meanwhile waits
    // for it rather than hearing it is not connected.
    auto& second = *fleet.instances_[1];
    const auto stopping = second.instance();
    EXPECT_GT(fleet.presenceRows(stopping), 0);
    const auto closed = fleet.closesNow();
    const auto restarted = Clock::now();
    EXPECT_EQ(second.stop(SIGTERM), 0);
    EXPECT_GT(fleet.presenceRows(stopping), 0);
    EXPECT_EQ(fleet.presenceRows(stopping, RelayLimits::movingSeconds + 1), 0);
    fleet.restart(1, "127.0.0.3");
    ASSERT_TRUE(fleet.throughAgain("systemctl restart", restarted));
    ASSERT_TRUE(fleet.throughAgain("systemctl restart, pages opened again", fleet.reopenAll()));
    EXPECT_EQ(fleet.closedSince(closed, 4503), 0) << "told its computer is not connected\n" << fleet.stragglers({});

    // A third instance, its clock 20 s behind the others': nginx reloaded
    // with its line; a third of the rooms are its now, and their links move
    // to it as their phones come, the others judging its rows by the
    // database's clock, not by their own.
    fleet.instances_.push_back(fleet.start("127.0.0.4", -20));
    fleet.nginx_.reload(fleet.upstreams());
    ASSERT_TRUE(fleet.throughAgain("a third instance added", fleet.reopenAll()));
    lists = fleet.fullLists();
    std::printf("[ fleet    ] three instances: %d of 200 lists said every computer online\n", lists);
    EXPECT_EQ(lists, 200);

    // Cut from the database (nothing answers, as across a broken network),
    // an instance lets its links go and takes no connections, so that its
    // computers come back through the others within seconds and the lists
    // stay true through the proxy.
    auto& cut = *fleet.instances_[0];
    const auto cutAt = Clock::now();
    fleet.proxy_.swallow(true);
    ASSERT_FALSE(cut.waitFor("this instance lets its links go", 40s).empty()) << fleet.stragglers(cutAt);
    const auto aside = Clock::now();
    std::printf("[ fleet    ] cut from the database: it stood aside after %.1f s\n", secondsSince(cutAt));
    ASSERT_TRUE(fleet.throughAgain("one instance cut from the database", aside));
    lists = fleet.fullLists();
    std::printf("[ fleet    ] one instance cut: %d of 200 lists said every computer online\n", lists);
    EXPECT_EQ(lists, 200);

    // The database back, the instance answers within a couple of seconds (a
    // check finds it, rather than its calls waiting out a back-off that grew
    // while it was away) and takes connections again.
    fleet.proxy_.swallow(false);
    const auto back = Clock::now();
    const std::string access = fleet.phoneSessions[0]["access_token"];
    EXPECT_TRUE(morvane::testing::eventually(
        [&] {
            try {
                return exchange(cut.origin(), "GET", "/v1/hosts", "", access).status == 200;
            } catch (const std::exception&) {
                return false;  // not listening yet
            }
        },
        40'000))
        << fleet.logOf(cut);
    const double recovered = secondsSince(back);
    std::printf("[ fleet    ] the database back: the instance answered after %.2f s\n", recovered);
    // It takes connections again once its database has answered steadily
    // for 15 s; the bound leaves room for a busy machine.
    EXPECT_LT(recovered, 15.0 + 2.0 * RelayLimits::linkWaitSeconds) << "stood aside long after the database came back";
    EXPECT_FALSE(cut.waitFor("taking connections again").empty());
    ASSERT_TRUE(fleet.throughAgain("the database back, pages opened again", fleet.reopenAll()));

    // Its bus gone for good (the connection it listens on swallowed, and
    // every new one) while its statements work: it knows within seconds and
    // asks the store for what the bus would have said. A sign-out said
    // through another instance closes that sign-in's phones here...
    int account = -1;
    EXPECT_TRUE(morvane::testing::eventually([&] {
        for (int a = 1; a < Fleet::accounts; ++a)
            for (int c = 0; c < 2; ++c)
                if (fleet.holderOf(fleet.rooms[2 * a + c]) == cut.instance()) account = a;
        return account > 0;
    }));
    ASSERT_GT(account, 0);
    fleet.proxy_.swallowApplication("morvane-relay bus");
    const auto busCut = Clock::now();
    ASSERT_FALSE(cut.waitFor("bus: lost", 20s).empty()) << fleet.logOf(cut);
    std::printf("[ fleet    ] its bus cut: lost after %.2f s\n", secondsSince(busCut));
    const auto missed = exchange(fleet.instances_[1]->origin(), "POST", "/v1/auth/signout",
                                 json{{"refresh_token", fleet.phoneSessions[account]["refresh_token"]}}.dump());
    ASSERT_EQ(missed.status, 200) << missed.body;
    const auto missedAt = Clock::now();
    EXPECT_TRUE(morvane::testing::eventually(
        [&] { return !fleet.phones[2 * account]->through() && !fleet.phones[2 * account + 1]->through(); }, 15'000))
        << fleet.stragglers(missedAt);
    const double closedAfter = secondsSince(missedAt);
    std::printf("[ fleet    ] sign-out missed on the bus: both phones closed after %.2f s\n", closedAfter);
    EXPECT_LT(closedAfter, RelayLimits::linkWaitSeconds);
    EXPECT_FALSE(cut.waitFor("missed on the bus: 1 sign-ins connected here signed out").empty());
    for (int i = 2 * account; i < 2 * account + 2; ++i) {
        const auto codes = fleet.phones[i]->closes();
        EXPECT_FALSE(codes.empty() || codes.back() != 4401) << "phone " << i;
    }
    // ...and phones that come to the others for computers whose links it
    // holds get through as they would with its bus: the other two stopped
    // and started again, every computer links through it meanwhile, and
    // then every page is opened again, where the proxy now sends it.
    for (std::size_t i = 1; i < fleet.instances_.size(); ++i) EXPECT_EQ(fleet.instances_[i]->stop(SIGTERM), 0);
    fleet.restart(1, "127.0.0.3");
    fleet.restart(2, "127.0.0.4");
    const auto handOver = fleet.reopenAll();
    const auto took = fleet.everyPhoneThrough(handOver);
    std::printf("[ fleet    ] its bus cut, links handed over from it: every phone through after %s\n",
                took ? (std::to_string(*took).substr(0, 4) + " s").c_str() : "never");
    EXPECT_TRUE(took) << fleet.stragglers(handOver);
    EXPECT_LT(took.value_or(0), RelayLimits::linkWaitSeconds * morvane::testing::sanitizerSlowdown)
        << "a phone's wait ran out";
    EXPECT_GT(fleet.lines(cut, "missed on the bus: asked to let go of the link for room"), 0);
    fleet.proxy_.swallowApplication("");
    ASSERT_FALSE(cut.waitFor("bus: listening again", 20s).empty()) << fleet.logOf(cut);

    // A sign-out through one instance closes the sign-in's phones where
    // they are, on another.
    const auto holder = fleet.holderOf(fleet.rooms[0]);
    const auto other = std::find_if(fleet.instances_.begin(), fleet.instances_.end(),
                                    [&](const auto& instance) { return instance->instance() != holder; });
    ASSERT_NE(other, fleet.instances_.end());
    const auto out = exchange((*other)->origin(), "POST", "/v1/auth/signout",
                              json{{"refresh_token", fleet.phoneSessions[0]["refresh_token"]}}.dump());
    ASSERT_EQ(out.status, 200) << out.body;
    const auto signedOut = Clock::now();
    EXPECT_TRUE(morvane::testing::eventually([&] { return !fleet.phones[0]->through() && !fleet.phones[1]->through(); }, 5000));
    std::printf("[ fleet    ] sign-out: both phones of the sign-in closed after %.2f s\n", secondsSince(signedOut));
    for (int i = 0; i < 2; ++i) {
        const auto codes = fleet.phones[i]->closes();
        EXPECT_FALSE(codes.empty() || codes.back() != 4401) << "phone " << i;
    }
    // The page dials again after its back-off and then asks for a ticket:
    // seconds on a machine busy with other tests.
    EXPECT_TRUE(morvane::testing::eventually([&] { return fleet.phones[0]->signedOut() && fleet.phones[1]->signedOut(); },
                                             15'000))
        << "a new ticket is refused";
    for (int i = 2; i < static_cast<int>(fleet.phones.size()); ++i)
        EXPECT_TRUE(i / 2 == account || fleet.phones[i]->through()) << "phone " << i;
}

}  // namespace
}  // namespace morvane::relay_service::testing
