// The listener: connections counted per client address and in all, with
// each run of refusals told once, and accepting that pauses instead of
// spinning when the process has no descriptor left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay_service/connection_counts.h"
#include "relay_service/relay_listener.h"

namespace morvane::relay_service {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

TEST(RelayListener, ConnectionsAreCountedPerAddressAndInAllAndEachRunOfRefusalsIsToldOnce) {
    using Verdict = ConnectionCounts::Verdict;
    struct Step {
        bool open;  // else the connection ends
        const char* address;
        bool trusted;
        ConnectionCounts::Admission expected = {};
    };
    const std::vector<Step> steps = {
        {true, "a", false, {Verdict::admitted, false}},
        {true, "a", false, {Verdict::admitted, false}},
        {true, "a", false, {Verdict::addressFull, true}},
        {true, "a", false, {Verdict::addressFull, false}},
        {true, "b", false, {Verdict::admitted, false}},
        // A proxy's connections carry many clients: only the total counts them.
        {true, "proxy", true, {Verdict::admitted, false}},
        {true, "proxy", true, {Verdict::admitted, false}},
        {true, "c", false, {Verdict::relayFull, true}},
        {true, "proxy", true, {Verdict::relayFull, false}},
        {false, "a", false},
        {true, "c", false, {Verdict::admitted, false}},
        {false, "c", false},
        {true, "a", false, {Verdict::admitted, false}},
        {true, "a", false, {Verdict::relayFull, true}},
        {false, "b", false},
        // It fell below its limit since: a new run of refusals.
        {true, "a", false, {Verdict::addressFull, true}},
    };
    ConnectionCounts counts({2, 5});
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& step = steps[i];
        if (!step.open) {
            counts.release(step.address, !step.trusted);
            continue;
        }
        EXPECT_EQ(counts.admit(step.address, !step.trusted), step.expected) << "step " << i;
    }
    EXPECT_EQ(counts.open(), 4);
    EXPECT_EQ(counts.openFrom("a"), 2);
    EXPECT_EQ(counts.openFrom("proxy"), 0);

    // The descriptors may leave room for fewer.
    ConnectionCounts capped({100, 20'000});
    capped.capTotal(connectionsWithin(1024));
    EXPECT_EQ(capped.limits().connections, 960);
    capped.capTotal(connectionsWithin(65'536));
    EXPECT_EQ(capped.limits().connections, 960);
    EXPECT_EQ(connectionsWithin(10), 1);
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

TEST(RelayListener, OutOfDescriptorsItPausesSaysSoOnceAndAcceptsAgain) {
    asio::io_context io;
    RelayListener::Acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    const auto at = acceptor.local_endpoint();
    std::vector<std::string> lines;
    int accepted = 0;
    auto listener = std::make_shared<RelayListener>(
        std::move(acceptor), RelayListener::Options{{}, nullptr, RelayLog([&](const std::string& l) { lines.push_back(l); })},
        [&](RelayListener::Socket, ConnectionSlot) { ++accepted; });
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
