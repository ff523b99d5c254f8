// A device through the relay against the real server: an in-memory relay
// carries records between the test device and the relay host on the
// server's own queue, and keeps every byte it forwarded.
#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <mutex>

#include "../server/server_fakes.h"
#include "../transfer/memory_files.h"
#include "relay/relay_host.h"
#include "server/remote_server.h"
#include "sealed_records.h"
#include "test_device.h"

namespace morvane {
namespace {

using testing::eventually;
using testing::TestDevice;

// The relay: device records go to the host on the session queue, host
// records land in the device's inbox, and every byte is kept.
class LoopbackRelay final : public RelayLinkTransport {
public:
    explicit LoopbackRelay(Executor& queue) : queue_(queue) {}

    std::weak_ptr<RelayLinkDelegate> delegate() const override { return delegate_; }
    void setDelegate(std::weak_ptr<RelayLinkDelegate> delegate) override { delegate_ = std::move(delegate); }
    bool isUp() const override { return true; }
    void send(RelayConnectionID, std::span<const std::uint8_t> record, std::function<void(bool)> completion) override {
        {
            std::lock_guard lock(m_);
            forwarded_.emplace_back(record.begin(), record.end());
            inbox_.emplace_back(record.begin(), record.end());
        }
        queue_.post([completion = std::move(completion)] { completion(true); });
    }
    void drop(RelayConnectionID id) override {
        std::lock_guard lock(m_);
        dropped_.push_back(id);
    }
    std::string pageOrigin() const override { return "https://relay.example.org/"; }

    void fromDevice(RelayConnectionID id, Bytes record) {
        {
            std::lock_guard lock(m_);
            forwarded_.push_back(record);
        }
        queue_.post([this, id, record = std::move(record)]() mutable {
            if (auto d = delegate_.lock()) d->relayLinkReceived(id, std::move(record));
        });
    }
    std::optional<Bytes> next() {
        std::lock_guard lock(m_);
        if (inbox_.empty()) return std::nullopt;
        Bytes record = std::move(inbox_.front());
        inbox_.pop_front();
        return record;
    }
    // Where a record carries its sealed part (sealed_records.h).
    bool forwardedContains(const std::string& text) const {
        std::lock_guard lock(m_);
        return testing::sealedPartsContain(forwarded_, text);
    }
    bool dropped(RelayConnectionID id) const {
        std::lock_guard lock(m_);
        return std::find(dropped_.begin(), dropped_.end(), id) != dropped_.end();
    }

private:
    Executor& queue_;
    std::weak_ptr<RelayLinkDelegate> delegate_;
    mutable std::mutex m_;
    std::deque<Bytes> inbox_;
    std::vector<Bytes> forwarded_;
    std::vector<RelayConnectionID> dropped_;
};

class RelayedSession : public ::testing::Test {
protected:
    void SetUp() override {
        folder = testing::temporaryFolder();
        store = std::make_unique<DeviceStore>(folder / "devices.json");
        RemoteServer::Setup setup;
        setup.port = testing::freePort();
        setup.store = store.get();
        setup.frames = &frames;
        setup.input = &input;
        setup.mainQueue = &main;
        setup.status = [] { return HostStatus{true}; };
        setup.files = &files;
        setup.fileQueue = &disk;
        server = RemoteServer::create(std::move(setup));
        server->start();
        relay = std::make_shared<LoopbackRelay>(server->sessionQueue());
        RelayHost::Setup h;
        h.server = std::make_shared<RemoteServerRelayPort>(server);
        h.store = store.get();
        h.staticKey = macKey;
        h.roomID = roomID;
        h.link = relay;
        h.mainQueue = &main;
        host = RelayHost::create(std::move(h));
        host->onEnrolmentRequest = [this](const std::string& name, const std::string& code) {
            std::lock_guard lock(m);
            shownName = name;
            shownCode = code;
        };
        host->start();
        runSync(server->sessionQueue(), [this] { host->relayLinkUp({7}); });
    }
    void TearDown() override {
        // The goodbye timer holds the host, and through it the server, on the
        // server's queue: what the server uses goes only once the timer let
        // go of both. Asked on the queue, so the timer holds the last of the
        // host however slowly this thread goes on.
        auto left = std::make_shared<std::promise<bool>>();
        auto leftAlone = left->get_future();
        std::weak_ptr<RelayHost> watched = host;
        runSync(server->sessionQueue(), [&] {
            host->shutDown([left, watched] { left->set_value(watched.expired()); });
            host.reset();
        });
        EXPECT_TRUE(leftAlone.get()) << "the owner is told while the queue still holds the host";
        server->stop();
        main.drain();
        server.reset();
        std::filesystem::remove_all(folder);
    }

    // The next record from the host, opened by the device.
    std::optional<TestDevice::Received> receive(TestDevice& device) {
        std::optional<TestDevice::Received> got;
        eventually([&] {
            while (auto record = relay->next()) {
                if ((got = device.receive(*record))) return true;
            }
            return false;
        });
        return got;
    }
    // Reads until a text message containing `part` arrives; credits as it goes.
    bool receiveText(TestDevice& device, const std::string& part) {
        for (int i = 0; i < 50; ++i) {
            auto got = receive(device);
            if (!got) return false;
            relay->fromDevice(7, device.creditAll());
            if (got->kind == TestDevice::Received::Kind::text && got->text().find(part) != std::string::npos)
                return true;
        }
        return false;
    }
    // Reads until the session's close record.
    bool receiveClose(TestDevice& device) {
        for (int i = 0; i < 50; ++i) {
            auto got = receive(device);
            if (!got) return false;
            if (got->kind == TestDevice::Received::Kind::close) return true;
        }
        return false;
    }
    Bytes nextRecord() {
        std::optional<Bytes> record;
        eventually([&] { return (record = relay->next()).has_value(); });
        return record.value_or(Bytes{});
    }
    void enrol(TestDevice& device) {
        ASSERT_TRUE(host->openEnrolmentWindow());
        relay->fromDevice(7, device.enrolMessage1());
        relay->fromDevice(7, device.enrolMessage3(nextRecord()));
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lock(m);
            return shownCode.has_value();
        }));
        host->approveEnrolment();
        ASSERT_TRUE(device.readEnrolled(nextRecord()));
    }
    void connect(TestDevice& device) {
        relay->fromDevice(7, device.sessionMessage1());
        device.sessionMessage2(nextRecord());
        relay->fromDevice(7, device.hello());
    }

    std::filesystem::path folder;
    std::unique_ptr<DeviceStore> store;
    testing::Journal journal;
    testing::FakeFrameSource frames{journal};
    testing::FakeInput input{journal};
    LoopExecutor main{"main"};
    testing::MemoryFiles files;
    LoopExecutor disk{"disk"};
    std::shared_ptr<RemoteServer> server;
    std::shared_ptr<LoopbackRelay> relay;
    std::shared_ptr<RelayHost> host;
    P256PrivateKey macKey = P256PrivateKey::generate();
    Bytes roomID = Bytes(16, 0x5a);
    std::mutex m;
    std::optional<std::string> shownName, shownCode;
};

TEST_F(RelayedSession, EnrolledDeviceControlsTheMachineAndTheRelaySeesOnlySealedRecords) {
    const std::string marker = "Phone-7f3a9c";
    TestDevice phone(marker, roomID);
    enrol(phone);
    {
        std::lock_guard lock(m);
        EXPECT_EQ(shownCode, phone.code());
        EXPECT_EQ(shownName, marker);
    }
    ASSERT_TRUE(store->relayDevice(phone.publicKey()));

    connect(phone);
    ASSERT_TRUE(receiveText(phone, R"("t":"ready")"));
    relay->fromDevice(7, phone.text(R"({"t":"mm","x":0.25,"y":0.5})"));
    EXPECT_TRUE(eventually([&] { return journal.contains("move 0.25 0.5") || journal.contains("move 0.250000 0.500000"); }))
        << ::testing::PrintToString(journal.lines());

    // A picture from the screen reaches the device whole.
    frames.picture(Bytes(300'000, 0xAB), 640, 480);
    bool pictured = false;
    for (int i = 0; i < 20 && !pictured; ++i) {
        auto got = receive(phone);
        if (!got) break;
        relay->fromDevice(7, phone.creditAll());
        pictured = got->kind == TestDevice::Received::Kind::binary && got->data.size() > 300'000;
    }
    EXPECT_TRUE(pictured);

    EXPECT_FALSE(relay->forwardedContains(marker));
    EXPECT_FALSE(relay->forwardedContains(R"("t":"hello")"));
    EXPECT_FALSE(relay->forwardedContains(R"("t":"ready")"));
    EXPECT_FALSE(relay->forwardedContains(R"("t":"enrolled")"));
    EXPECT_FALSE(relay->forwardedContains(R"("t":"mm")"));
}

// Not this computer's loopback page: the relay's, which the device is on.
TEST_F(RelayedSession, AFileFromTheRelayedDeviceIsMarkedWithTheRelaysPage) {
    TestDevice phone("Phone", roomID);
    enrol(phone);
    connect(phone);
    ASSERT_TRUE(receiveText(phone, R"("t":"ready")"));
    relay->fromDevice(7, phone.text(R"({"t":"file-put","id":1,"name":"note.txt","size":3})"));
    ASSERT_TRUE(receiveText(phone, R"("t":"file-put-ready")"));
    disk.drain();
    ASSERT_EQ(files.uploads.size(), 1u);
    EXPECT_EQ(files.uploads[0]->origin, "https://relay.example.org/");
}

TEST_F(RelayedSession, PausingEndsTheRelayedSessionWithItsWord) {
    TestDevice phone("Phone", roomID);
    enrol(phone);
    connect(phone);
    ASSERT_TRUE(receiveText(phone, R"("t":"ready")"));
    server->pause(PauseCause::menu);
    EXPECT_TRUE(receiveText(phone, R"({"reason":"paused","t":"bye"})"));
    EXPECT_TRUE(receiveClose(phone));
}

TEST_F(RelayedSession, RevokedDeviceIsRefusedAtItsNextHandshake) {
    TestDevice phone("Phone", roomID);
    enrol(phone);
    store->revoke(store->relayDevice(phone.publicKey())->id);
    relay->fromDevice(7, phone.sessionMessage1());
    EXPECT_TRUE(eventually([&] { return relay->dropped(7); }));
    EXPECT_FALSE(relay->next());
}

TEST_F(RelayedSession, LocalBrowserAndRelayedDeviceTakeEachOtherOver) {
    TestDevice phone("Phone", roomID);
    enrol(phone);
    const std::string code = store->openPairingWindow();
    const std::string token = store->pair(code, "Laptop")->token;

    connect(phone);
    ASSERT_TRUE(receiveText(phone, R"("t":"ready")"));
    testing::WebSocket browser(server->port());
    browser.sendText(R"({"t":"auth","token":")" + token + "\"}");
    ASSERT_TRUE(browser.nextText().value_or("").find(R"("t":"ready")") != std::string::npos);
    EXPECT_TRUE(receiveText(phone, R"({"reason":"taken-over","t":"bye"})"));
    ASSERT_TRUE(receiveClose(phone));

    // And back: the device opens a new session and the browser is told.
    connect(phone);
    ASSERT_TRUE(receiveText(phone, R"("t":"ready")"));
    bool told = false;
    for (int i = 0; i < 20 && !told; ++i) {
        auto text = browser.nextText();
        if (!text) break;
        told = text->find(R"({"reason":"taken-over","t":"bye"})") != std::string::npos;
    }
    EXPECT_TRUE(told);
    EXPECT_EQ(server->controllerName(), "Phone");
}

}  // namespace
}  // namespace morvane
