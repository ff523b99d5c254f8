#include <gtest/gtest.h>

#include <filesystem>

#include "../app/manual_executor.h"
#include "devices/device_store.h"
#include "protocol/http_request.h"
#include "protocol/ws_codec.h"
#include "server/connection_host.h"
#include "server/remote_connection.h"
#include "server_fakes.h"

namespace morvane {
namespace {

using testing::FakeWire;
using testing::ManualExecutor;

// A deadline on the manual queue that lets go of its work when re-armed or
// cancelled, as the server queue's own does.
class ManualDeadline final : public Deadline {
public:
    explicit ManualDeadline(ManualExecutor& queue) : queue_(queue) {}
    void arm(std::int64_t delayMillis, std::function<void()> work) override {
        armed_ = std::make_shared<std::function<void()>>(std::move(work));
        queue_.postAfter(delayMillis, [weak = std::weak_ptr<std::function<void()>>(armed_)] {
            if (auto armed = weak.lock()) {
                auto work = *armed;  // the work may cancel this deadline
                work();
            }
        });
    }
    void cancel() override { armed_.reset(); }

private:
    ManualExecutor& queue_;
    std::shared_ptr<std::function<void()>> armed_;
};

// The server as a lone connection sees it, on the manual queue and clock.
class ManualHost final : public ConnectionHost {
public:
    ManualHost(ManualExecutor& queue, DeviceStore& store) : queue_(queue), store_(store) {}
    std::unique_ptr<Deadline> makeDeadline() override { return std::make_unique<ManualDeadline>(queue_); }
    std::int64_t now() const override { return queue_.now(); }
    const HostPolicy& policy() const override { return policy_; }
    const StaticSite& site() const override { return site_; }
    DeviceStore& store() override { return store_; }
    bool pausedNow() const override { return false; }
    void pairAttempted(bool, const PairAttempt&) override {}
    void admit(const std::shared_ptr<RemoteConnection>&, const PairedDevice&) override { ++admitted; }
    void received(const ClientMessage&, RemoteConnection&) override {}
    void receivedBinary(const Bytes&, RemoteConnection&) override {}
    void videoWritten(RemoteConnection&) override {}
    void fileChunkWritten(RemoteConnection&) override {}
    void stoppedServing(RemoteConnection&) override {}
    void finished(RemoteConnection&) override { ++finishedCount; }

    int admitted = 0;
    int finishedCount = 0;

private:
    ManualExecutor& queue_;
    DeviceStore& store_;
    HostPolicy policy_{8722};
    StaticSite site_;
};

constexpr auto authMillis = static_cast<std::int64_t>(WSLimits::authSeconds * 1000);
constexpr auto requestMillis = static_cast<std::int64_t>(HTTPLimits::requestSeconds * 1000);

TEST(ConnectionDeadline, ASilentOrTricklingPeerIsEndedAtItsPhasesLimitAndNotBefore) {
    struct Case {
        const char* name;
        bool relayed;
        std::int64_t limit;
        // Bytes that arrive a second before the limit without completing
        // anything: they must not buy the peer more time.
        std::string trickle;
        // What the peer hears when its time is up ("" for a plain drop).
        std::string word;
    };
    const Case cases[] = {
        {"relayed channel that never authenticates", true, authMillis, "", R"({"t":"denied"})"},
        {"local request never sent", false, requestMillis, "", ""},
        {"local request sent a line at a time", false, requestMillis, "GET / HTTP/1.1\r\n", ""},
    };
    const auto folder = testing::temporaryFolder();
    DeviceStore store(folder / "devices.json");
    for (const auto& c : cases) {
        ManualExecutor queue;
        queue.advance(12'345);  // the deadlines count from the connection's start, not from zero
        auto host = std::make_shared<ManualHost>(queue, store);
        auto wire = std::make_shared<FakeWire>(queue);
        auto connection = c.relayed ? std::make_shared<RemoteConnection>(wire, "device", host, 1, queue.now())
                                    : std::make_shared<RemoteConnection>(wire, host, 1, queue.now());
        connection->start();

        queue.advance(c.limit - 1000);
        if (!c.trickle.empty())
            connection->ingest(std::span(reinterpret_cast<const std::uint8_t*>(c.trickle.data()), c.trickle.size()));
        queue.advance(999);
        EXPECT_FALSE(wire->cancelled) << c.name << ": ended early";
        EXPECT_EQ(host->finishedCount, 0) << c.name;
        if (!c.word.empty()) {
            EXPECT_FALSE(wire->sent.contains(c.word)) << c.name;
        }

        queue.advance(1);
        if (!c.word.empty()) {
            EXPECT_TRUE(wire->sent.contains(c.word)) << c.name;
            EXPECT_TRUE(wire->sent.contains("close 1008")) << c.name;
        }
        // A denied peer is given a moment to read its close; after that
        // nothing of the connection is left.
        queue.advance(60'000);
        EXPECT_TRUE(wire->cancelled) << c.name;
        EXPECT_EQ(host->finishedCount, 1) << c.name;
        EXPECT_EQ(connection->phase(), ConnectionPhase::closed) << c.name;
        EXPECT_EQ(host->admitted, 0) << c.name;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace morvane
