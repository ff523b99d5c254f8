// What the tests of the host's link and account client against a relay
// share: a link on its own queue with a network path the test switches,
// everything it reports kept for the test thread, one account call awaited,
// and the throw-away CA the host trusts.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "relay/beast_relay_socket.h"
#include "relay/host_relay_link.h"
#include "relay/relay_account.h"
#include "relay/relay_bytes.h"
#include "server/server_queue.h"
#include "test_certificates.h"

namespace morvane::link_rig {

using Kind = HostRelayLink::State::Kind;
using namespace std::chrono_literals;

inline testing::TestCertificateAuthority& authority() {
    static testing::TestCertificateAuthority ca;
    static const bool trusted = (ca.trustThroughEnvironment(), true);
    (void)trusted;
    return ca;
}

// Everything the link reports, kept for the test thread.
class Watch final : public RelayLinkDelegate {
public:
    void relayLinkUp(const std::vector<RelayConnectionID>& devices) override { add("up " + std::to_string(devices.size())); }
    void relayLinkDown() override { add("down"); }
    void relayLinkJoined(RelayConnectionID id) override { add("joined " + std::to_string(id)); }
    void relayLinkLeft(RelayConnectionID id) override { add("left " + std::to_string(id)); }
    void relayLinkReceived(RelayConnectionID id, Bytes record) override {
        // Its size and first bytes: records may be as long as a link takes.
        add("record " + std::to_string(id) + " " + std::to_string(record.size()) + " " +
            RelayBytes::hex(std::span(record).first(std::min<std::size_t>(record.size(), 4))));
    }
    void relayLinkQuotaReached() override { add("quota"); }
    void state(const HostRelayLink::Snapshot& s) { add("state " + std::string(s.state.word())); }
    void log(const std::string& line) { add(line); }

    // Waits until a line starting with `prefix` has been seen; returns it.
    std::optional<std::string> sawStarting(const std::string& prefix, std::chrono::milliseconds wait = 10s) {
        std::unique_lock guard(lock_);
        std::optional<std::string> found;
        changed_.wait_for(guard, wait, [&] {
            for (const auto& line : lines_)
                if (line.rfind(prefix, 0) == 0) found = line;
            return found.has_value();
        });
        return found;
    }

    // Waits until the line has been seen `count` times in all.
    bool saw(const std::string& line, int count = 1, std::chrono::milliseconds wait = 10s) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, wait, [&] { return std::count(lines_.begin(), lines_.end(), line) >= count; });
    }
    int count(const std::string& line) {
        std::lock_guard guard(lock_);
        return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
    }

private:
    void add(std::string line) {
        std::lock_guard guard(lock_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// Runs one account call and waits for its answer. The box is shared with
// the answering call, which may outlive this wait.
template <class T, class Call>
RelayAccountResult<T> await(Call call) {
    auto pending = std::make_shared<RelayPending<RelayAccountResult<T>>>();
    call([pending](RelayAccountResult<T> r) { pending->set(std::move(r)); });
    EXPECT_TRUE(pending->wait(20));
    return pending->value().value_or(RelayAccountFailure::of(RelayAccountFailure::Kind::cancelled));
}

// A network path the test switches, reporting on the link's queue.
struct SwitchedPath {
    ServerQueue* queue;
    std::function<void(bool)> handler;
    std::mutex lock;
    void report(bool satisfied) {
        queue->post([this, satisfied] {
            std::lock_guard guard(lock);
            if (handler) handler(satisfied);
        });
    }
};

class SwitchedPathMonitor final : public NetworkPathMonitor {
public:
    explicit SwitchedPathMonitor(SwitchedPath* path) : path_(path) {}
    void start(std::function<void(bool)> handler) override {
        std::lock_guard guard(path_->lock);
        path_->handler = std::move(handler);
    }
    void cancel() override {
        std::lock_guard guard(path_->lock);
        path_->handler = nullptr;
    }

private:
    SwitchedPath* path_;
};

// The names the tests use, answered without the machine's DNS, which may be
// slow or away: the loopback's names and addresses, and no other name.
inline void testNames(const std::string& host, std::uint16_t port,
                      std::function<void(boost::system::error_code, std::vector<boost::asio::ip::tcp::endpoint>)> done) {
    boost::system::error_code ec;
    auto address = boost::asio::ip::make_address(host == "localhost" ? "127.0.0.1" : host, ec);
    if (ec) return done(boost::asio::error::host_not_found, {});
    done({}, {boost::asio::ip::tcp::endpoint(address, port)});
}

struct LinkRig {
    ServerQueue queue{"relay-link-test"};
    std::shared_ptr<Watch> watch = std::make_shared<Watch>();
    SwitchedPath path{&queue, {}, {}};
    std::shared_ptr<HostRelayLink> link;

    LinkRig(const std::string& base, const RelayIdentity& identity, double connectSeconds = 15,
            double proveSeconds = 0.5) {
        HostRelayLink::Options o{.baseURL = base, .identity = identity, .queue = &queue};
        o.timing.connectSeconds = connectSeconds;
        o.counters = std::make_shared<MemoryCounterStorage>();
        o.sockets = std::make_shared<BeastRelaySocketFactory>(queue.context(), testNames);
        o.unit = 0.02;
        o.timing.wakeDelaySeconds = 0.05;
        o.timing.pathBackDelaySeconds = 0.05;
        o.timing.proveSeconds = proveSeconds;
        o.pathMonitor = [this] { return std::make_unique<SwitchedPathMonitor>(&path); };
        link = HostRelayLink::create(std::move(o));
        link->setDelegate(watch);
        link->log = [w = watch.get()](const std::string& line) { w->log(line); };
        link->onChange = [w = watch.get()](const HostRelayLink::Snapshot& s) { w->state(s); };
    }
    ~LinkRig() {
        runSync(queue, [this] { link->turnOffOnQueue(); });
        runSync(queue, [this] { link.reset(); });
        queue.shutdown();
    }
    void send(RelayConnectionID id, Bytes record) {
        queue.post([this, id, record] { link->send(id, record, [](bool) {}); });
    }
};

// One unmasked frame from the relay, built by hand: FIN, the opcode, the
// 64-bit length form, and a payload of that many bytes.
inline Bytes frame(std::uint8_t opcode, std::uint64_t length) {
    Bytes out{static_cast<std::uint8_t>(0x80 | opcode), 127};
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    out.resize(out.size() + length, 0x41);
    return out;
}

// A port on the loopback where nothing listens.
// A port that refuses connections for as long as this lives: bound, so
// that no other program takes it meanwhile, and never listening.
struct RefusingPort {
    RefusingPort() {
        socket.open(boost::asio::ip::tcp::v4());
        socket.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
    }
    std::string text() const { return std::to_string(socket.local_endpoint().port()); }
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket{io};
};

}  // namespace morvane::link_rig
