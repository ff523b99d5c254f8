// The listener: connections counted per client address and in all, with
// each run of refusals told once, and accepting that pauses instead of
// spinning when the process has no descriptor left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay_service/client_address.h"
#include "relay_service/connection_counts.h"
#include "relay_service/relay_listener.h"

namespace morvane::relay_service {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

TEST(RelayListener, ConnectionsAreCountedPerNetworkAndInAll) {
    using Verdict = ConnectionCounts::Verdict;
    struct Step {
        bool open;  // else the connection ends
        const char* name;
        std::vector<std::string> networks = {};  // none: a trusted proxy's
        Verdict verdict = Verdict::admitted;
    };
    const std::vector<std::string> a = {"a"}, b = {"b"}, c = {"c"}, d = {"d"}, proxy = {};
    const std::vector<Step> steps = {
        {true, "a1", a},
        {true, "a2", a},
        {true, "a3", a, Verdict::addressFull},
        {true, "a4", a, Verdict::addressFull},
        {true, "b1", b},
        // A proxy's connections carry many clients: only the total counts them.
        {true, "p1", proxy},
        {true, "p2", proxy},
        {true, "c1", c, Verdict::relayFull},
        {true, "p3", proxy, Verdict::relayFull},
        {false, "a1"},
        {true, "c2", c},
        {false, "c2"},
        {true, "a5", a},
        {true, "d1", d, Verdict::relayFull},
        {false, "b1"},
        // Still full though it fell below its limit since.
        {true, "a7", a, Verdict::addressFull},
    };
    ConnectionCounts counts({2, 5});
    std::map<std::string, ConnectionCounts::Id> ids;
    for (const auto& step : steps) {
        if (!step.open) {
            counts.release(ids.at(step.name), 0);
            continue;
        }
        const auto admission = counts.admit(step.networks, 0);
        EXPECT_EQ(admission.verdict, step.verdict) << step.name;
        EXPECT_TRUE(admission.shed.empty()) << step.name;
        ids[step.name] = admission.id;
        // Answering a request: never shed.
        if (admission.verdict == Verdict::admitted) counts.busy(admission.id);
    }
    EXPECT_EQ(counts.open(), 4);
    EXPECT_EQ(counts.openFrom("a"), 2);

    // One customer's IPv6 networks: a /64 counts as one address, its /56
    // four times that and its /48 sixteen times.
    const auto at = [](const char* text) { return clientNetworks(asio::ip::make_address(text)); };
    EXPECT_EQ(at("2001:db8:1:2a3:4:5:6:7"),
              (std::vector<std::string>{"2001:db8:1:2a3::/64", "2001:db8:1:200::/56", "2001:db8:1::/48"}));
    EXPECT_EQ(at("::ffff:192.0.2.7"), std::vector<std::string>{"192.0.2.7"});
    ConnectionCounts sites({2, 1000});
    int admitted = 0;
    // Two connections from each of eight /64s of each /56 of one /48.
    for (int site = 0; site < 256; ++site) {
        for (int net = 0; net < 8; ++net) {
            char address[64];
            std::snprintf(address, sizeof address, "2001:db8:1:%x::1", (site << 8) | net);
            for (int i = 0; i < 2; ++i) {
                const auto admission = sites.admit(at(address), 0);
                if (admission.verdict != Verdict::admitted) continue;
                sites.busy(admission.id);
                ++admitted;
            }
        }
    }
    EXPECT_EQ(sites.openFrom("2001:db8:1:100::/56"), 8);
    EXPECT_EQ(sites.openFrom("2001:db8:1::/48"), 32);
    EXPECT_EQ(admitted, 32);
    const auto refused = sites.admit(at("2001:db8:1:ff00::9"), 0);
    EXPECT_EQ(refused.verdict, Verdict::addressFull);
    EXPECT_EQ(refused.network, "2001:db8:1::/48");
    EXPECT_EQ(sites.admit(at("2001:db8:2::1"), 0).verdict, Verdict::admitted);

    // The descriptors may leave room for fewer.
    ConnectionCounts capped({100, 20'000});
    capped.capTotal(connectionsWithin(1024));
    EXPECT_EQ(capped.limits().connections, 960);
    capped.capTotal(connectionsWithin(65'536));
    EXPECT_EQ(capped.limits().connections, 960);
    EXPECT_EQ(connectionsWithin(10), 1);
}

TEST(RelayListener, SilentAndIdleConnectionsMakeRoomForNewcomersOldestFirst) {
    using Verdict = ConnectionCounts::Verdict;
    // At most 6 open, 3 of them yet to complete a request.
    ConnectionCounts counts({100, 6});
    std::vector<ConnectionCounts::Id> shed;
    const auto open = [&](const std::string& from, std::int64_t now) {
        const auto admission = counts.admit({from}, now);
        EXPECT_EQ(admission.verdict, Verdict::admitted) << from << " at " << now;
        shed.insert(shed.end(), admission.shed.begin(), admission.shed.end());
        counts.onShed(admission.id, [] {});
        return admission.id;
    };
    const auto link = open("host", 0);
    counts.upgraded(link);
    const auto answering = open("phone", 1);
    counts.busy(answering);
    const auto kept = open("browser", 2);
    counts.busy(kept);
    counts.idle(kept, 50);  // answered, waiting for its next request
    const auto silent1 = open("flood", 10), silent2 = open("flood", 11), silent3 = open("flood", 12);
    EXPECT_TRUE(shed.empty());
    EXPECT_EQ(counts.fresh(), 3);

    // Past their share, the silent make room among themselves, oldest first.
    const auto silent4 = open("flood", 20);
    EXPECT_EQ(shed, std::vector<ConnectionCounts::Id>{silent1});
    EXPECT_TRUE(counts.takeShed(silent1));
    EXPECT_FALSE(counts.takeShed(silent1));
    counts.release(silent1, 30);  // its socket ends later: counted once
    EXPECT_EQ(counts.open(), 6);
    // A newcomer that completes a request leaves the share; the relay is
    // full, and whoever has been idle longest goes: the browser's kept
    // connection is younger than the silent ones.
    const auto newcomer = open("newcomer", 30);
    EXPECT_EQ(shed, (std::vector<ConnectionCounts::Id>{silent1, silent2}));
    counts.busy(newcomer);
    counts.busy(open("another", 40));
    EXPECT_EQ(shed, (std::vector<ConnectionCounts::Id>{silent1, silent2, silent3}));
    counts.busy(open("third", 60));
    EXPECT_EQ(shed, (std::vector<ConnectionCounts::Id>{silent1, silent2, silent3, silent4}));
    open("fourth", 70);
    EXPECT_EQ(shed.back(), kept);
    EXPECT_EQ(counts.open(), 6);

    // Nothing idle: a link and requests being answered are never shed.
    ConnectionCounts busy({100, 3});
    busy.busy(busy.admit({"x"}, 0).id);
    busy.busy(busy.admit({"x"}, 0).id);
    busy.upgraded(busy.admit({"y"}, 0).id);
    const auto refused = busy.admit({"z"}, 1);
    EXPECT_EQ(refused.verdict, Verdict::relayFull);
    EXPECT_TRUE(refused.shed.empty());

    // An upgraded socket the relay is closing (a made-up ticket, a room
    // with no computer) keeps nothing worth its place: it goes before a
    // newcomer is refused, while live upgraded sockets stay.
    ConnectionCounts junk({100, 3});
    const auto live = junk.admit({"host"}, 0).id;
    junk.upgraded(live);
    const auto refusedDevice = junk.admit({"x"}, 1).id;
    junk.upgraded(refusedDevice);
    junk.onShed(refusedDevice, [] {});
    const auto joined = junk.admit({"x"}, 2).id;
    junk.upgraded(joined);
    junk.closing(refusedDevice, 5);
    EXPECT_EQ(junk.fresh(), 1);
    const auto arrival = junk.admit({"n"}, 10);
    EXPECT_EQ(arrival.verdict, Verdict::admitted);
    EXPECT_EQ(arrival.shed, std::vector<ConnectionCounts::Id>{refusedDevice});
    junk.busy(arrival.id);
    EXPECT_EQ(junk.admit({"m"}, 11).verdict, Verdict::relayFull);
    // Many closing at once past the share of those yet to complete a
    // request: the next arrival brings them back within it.
    ConnectionCounts many({100, 8});
    std::vector<ConnectionCounts::Id> closing;
    for (int i = 0; i < 7; ++i) {
        closing.push_back(many.admit({"x"}, i).id);
        many.busy(closing.back());
        many.upgraded(closing.back());
    }
    for (const auto id : closing) many.closing(id, 10);
    EXPECT_EQ(many.fresh(), 7);
    const auto next = many.admit({"n"}, 20);
    EXPECT_EQ(next.shed, std::vector<ConnectionCounts::Id>(closing.begin(), closing.begin() + 4));
    EXPECT_EQ(many.fresh(), many.freshLimit());
}

// What a client has been answered and not yet taken is counted per network
// and in all; an answer past its network's share or the relay's waits for
// earlier ones to be written, so a client that asks and never reads holds
// no buffer beyond its share.
TEST(RelayListener, AnswersWaitTheirTurnWhileTheirNetworkHasTooManyUnsent) {
    enum Action { answer, answered, end };
    struct Step {
        const char* who;
        Action action;
        std::size_t bytes;
        std::vector<std::string> started;  // the answers that start with this step
    };
    // 100 bytes per address (400 per /56), 1,000 in all.
    ConnectionCounts counts({100, 100, 100, 1000});
    const auto six = [](int net) {
        return std::vector<std::string>{"s" + std::to_string(net) + "/64", "s/56", "s/48"};
    };
    const std::map<std::string, std::vector<std::string>> from = {
        {"a1", {"a"}}, {"a2", {"a"}}, {"a3", {"a"}}, {"b1", {"b"}}, {"s1", six(1)}, {"s2", six(2)},
        {"s3", six(3)}, {"s4", six(4)}, {"s5", six(5)}, {"p1", {}}, {"p2", {}}};
    const std::vector<Step> steps = {
        {"a1", answer, 80, {"a1"}},
        {"a2", answer, 80, {}},
        // A smaller one that fits goes ahead.
        {"a3", answer, 20, {"a3"}},
        // Nothing unsent from its network: room even past the share.
        {"b1", answer, 150, {"b1"}},
        {"s1", answer, 100, {"s1"}},
        {"s2", answer, 100, {"s2"}},
        {"s3", answer, 100, {"s3"}},
        {"s4", answer, 100, {"s4"}},
        // Its own /64 is empty, its /56 full.
        {"s5", answer, 100, {}},
        // A proxy's clients count only in all.
        {"p1", answer, 300, {"p1"}},
        {"p2", answer, 100, {}},
        // Room for a2 in its network and in all; s5's /56 is still full,
        // and p2 does not fit in all.
        {"a1", answered, 0, {"a2"}},
        {"s1", end, 0, {"s5"}},
        // Gone while it waited: it never starts.
        {"p2", end, 0, {}},
        {"b1", answered, 0, {}},
    };
    std::map<std::string, ConnectionCounts::Id> ids;
    for (const auto& [name, networks] : from) {
        ids[name] = counts.admit(networks, 0).id;
        counts.busy(ids[name]);
    }
    std::vector<std::string> started;
    for (const auto& step : steps) {
        started.clear();
        const auto id = ids.at(step.who);
        if (step.action == answer) {
            counts.answer(id, step.bytes, [&started, who = std::string(step.who)] { started.push_back(who); }, 0);
        } else if (step.action == answered) {
            counts.answered(id, 0);
        } else {
            counts.release(id, 0);
        }
        EXPECT_EQ(started, step.started) << step.who << " " << step.action;
    }
    EXPECT_EQ(counts.waitingAnswers(), 0u);
    EXPECT_EQ(counts.unsentFrom("a"), 100u);
    EXPECT_EQ(counts.unsentFrom("s/56"), 400u);
    EXPECT_EQ(counts.unsentFrom("s/48"), 400u);
    EXPECT_EQ(counts.unsent(), 800u);
}

// An answer that waits its turn is shed as a connection yet to complete a
// request is; answers being written only once nothing else is left, the one
// whose client took nothing for longest first. What a shed answer counted
// leaves with it.
TEST(RelayListener, AnswersWaitingTheirTurnOrNeverTakenMakeRoomForNewcomers) {
    // At most 6 open (3 yet to complete a request); 100 bytes unsent per address.
    ConnectionCounts counts({100, 6, 100, 1000});
    std::vector<ConnectionCounts::Id> shed;
    std::vector<std::string> started;
    std::map<std::string, ConnectionCounts::Id> ids;
    const auto open = [&](const std::string& who, const std::string& from, std::int64_t now) {
        const auto admission = counts.admit({from}, now);
        EXPECT_EQ(admission.verdict, ConnectionCounts::Verdict::admitted) << who;
        shed.insert(shed.end(), admission.shed.begin(), admission.shed.end());
        counts.onShed(admission.id, [] {});
        counts.busy(admission.id);
        ids[who] = admission.id;
    };
    const auto answer = [&](const std::string& who, std::int64_t now) {
        return counts.answer(ids.at(who), 100, [&started, who] { started.push_back(who); }, now);
    };
    // A stranger's address: one answer written and never taken, two
    // waiting behind it. A phone taking its answer slowly, and another
    // address's answer never taken.
    open("a1", "a", 0), open("a2", "a", 0), open("a3", "a", 0), open("phone", "p", 0);
    EXPECT_FALSE(answer("a1", 1));
    EXPECT_TRUE(answer("a2", 5));
    EXPECT_TRUE(answer("a3", 6));
    EXPECT_FALSE(answer("phone", 2));
    EXPECT_EQ(counts.fresh(), 2);
    counts.took(ids.at("phone"), 20);
    open("b1", "b", 3);
    EXPECT_FALSE(answer("b1", 3));
    EXPECT_EQ(counts.open(), 5);
    EXPECT_EQ(started, (std::vector<std::string>{"a1", "phone", "b1"}));
    started.clear();

    struct Step {
        const char* newcomer;
        std::int64_t at;
        const char* shed;  // "" for none
        std::size_t waiting, unsentFromA;
    };
    const std::vector<Step> steps = {
        {"n1", 30, "", 2, 100},
        // The waiting answers go first, oldest first, and never start.
        {"n2", 31, "a2", 1, 100},
        {"n3", 32, "a3", 0, 100},
        // Only answers being written are left: the one taken least lately.
        {"n4", 40, "a1", 0, 0},
        {"n5", 41, "b1", 0, 0},
    };
    for (const auto& step : steps) {
        const auto before = shed.size();
        open(step.newcomer, "n", step.at);
        EXPECT_EQ(shed.size() - before, std::string(step.shed).empty() ? 0u : 1u) << step.newcomer;
        if (shed.size() > before) {
            EXPECT_EQ(shed.back(), ids.at(step.shed)) << step.newcomer;
        }
        EXPECT_EQ(counts.waitingAnswers(), step.waiting) << step.newcomer;
        EXPECT_EQ(counts.unsentFrom("a"), step.unsentFromA) << step.newcomer;
    }
    // A connection idle since goes before the phone still taking its answer.
    counts.answered(ids.at("n1"), 50);
    counts.idle(ids.at("n1"), 50);
    open("n6", "n", 60);
    EXPECT_EQ(shed.back(), ids.at("n1"));
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(counts.unsent(), 100u);
    EXPECT_EQ(counts.open(), 6);
    for (const auto id : shed) EXPECT_TRUE(counts.takeShed(id));
    // The phone's answer written, an answer of the stranger's address no
    // longer waits on the ones shed.
    counts.answered(ids.at("phone"), 70);
    counts.release(ids.at("phone"), 70);
    open("a4", "a", 71);
    EXPECT_FALSE(answer("a4", 71));
    EXPECT_EQ(started, std::vector<std::string>{"a4"});
}

double threadSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Takes every descriptor the process may still open, under a soft limit
// lowered for the purpose; gives them back and the limit with them.
class Starvation {
public:
    Starvation() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(highest + 32);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0) taken_.push_back(null);
        for (int fd; null >= 0 && (fd = ::fcntl(null, F_DUPFD_CLOEXEC, 0)) >= 0;) taken_.push_back(fd);
        failure_ = errno;
    }
    ~Starvation() { end(); }
    void end() {
        for (const int fd : taken_) ::close(fd);
        taken_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    bool starved() const { return failure_ == EMFILE && !taken_.empty(); }

private:
    rlimit saved_{};
    std::vector<int> taken_;
    int failure_ = 0;
};

// Every connection waiting in the kernel's queue is taken in within one
// turn, not one a turn behind whatever else the loop has queued; a relay
// full of busy connections stops at the first it refuses.
TEST(RelayListener, EveryConnectionWaitingIsTakenInWithinOneTurnUpToTheTotal) {
    for (const int most : {20'000, 5}) {
        asio::io_context io;
        RelayListener::Acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
        const auto at = acceptor.local_endpoint();
        std::vector<ConnectionSlot> slots;
        auto listener = std::make_shared<RelayListener>(
            std::move(acceptor), RelayListener::Options{nullptr, RelayLog([](const std::string&) {})},
            std::make_shared<ConnectionCounts>(ListenLimits{100, most}), [&](RelayListener::Socket, ConnectionSlot slot) {
                slot.busy();
                slots.push_back(std::move(slot));
            });
        listener->start();
        std::vector<tcp::socket> clients;
        for (int i = 0; i < 12; ++i) clients.emplace_back(io).connect(at);
        ASSERT_EQ(io.run_one(), 1u);
        EXPECT_EQ(slots.size(), std::min<std::size_t>(12, most)) << most;
        EXPECT_EQ(listener->counts().open(), std::min(12, most)) << most;
        if (most == 5) {
            // The sixth was refused; the next turn refuses the next.
            ASSERT_EQ(io.run_one(), 1u);
            EXPECT_EQ(slots.size(), 5u);
            EXPECT_EQ(listener->counts().open(), 5);
        }
        listener->stop();
    }
}

TEST(RelayListener, OutOfDescriptorsItPausesSaysSoOnceAndAcceptsAgain) {
    asio::io_context io;
    RelayListener::Acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    const auto at = acceptor.local_endpoint();
    std::vector<std::string> lines;
    int accepted = 0;
    auto listener = std::make_shared<RelayListener>(
        std::move(acceptor), RelayListener::Options{nullptr, RelayLog([&](const std::string& l) { lines.push_back(l); })},
        std::make_shared<ConnectionCounts>(ListenLimits{}), [&](RelayListener::Socket, ConnectionSlot) { ++accepted; });
    listener->start();
    // A timer goes off once first: the sanitizers' type checks need a
    // descriptor of their own the first time they see one.
    asio::steady_timer warm(io, 1ms);
    warm.async_wait([](boost::system::error_code) {});
    io.run_one();
    // A client waits to be accepted while no descriptor is left for it.
    tcp::socket client(io);
    client.connect(at);
    Starvation starvation;
    ASSERT_TRUE(starvation.starved());
    const auto before = threadSeconds();
    io.run_for(500ms);
    EXPECT_LT(threadSeconds() - before, 0.1) << "the listener spun";
    EXPECT_EQ(accepted, 0);
    const auto told = [&](const std::string& part) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
    };
    EXPECT_EQ(told("out of file descriptors"), 1);

    starvation.end();
    for (int turns = 0; turns < 50 && accepted == 0; ++turns) io.run_for(20ms);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(told("accepting connections again"), 1);
    listener->stop();
}

}  // namespace
}  // namespace morvane::relay_service
