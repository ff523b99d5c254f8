// A server with one admitted relayed controller, fake screen, input and
// pasteboard, and a clock the test moves by hand.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "devices/device_store.h"
#include "protocol/http_response.h"
#include "server/remote_server.h"
#include "server_fakes.h"

namespace morvane::testing {

class MediaSession : public ::testing::Test {
protected:
    void SetUp() override {
        folder = temporaryFolder();
        store = std::make_unique<DeviceStore>(folder / "devices.json");
        Bytes key(65, 7);
        key[0] = 0x04;
        phone = *store->enrolRelayDevice(key, "Phone");
        frames.setMainQueue(&main);
        RemoteServer::Setup setup;
        setup.port = freePort();
        setup.store = store.get();
        setup.frames = &frames;
        setup.input = &input;
        setup.clipboard = &clipboard;
        setup.files = files;
        setup.fileQueue = &fileQueue;
        setup.mainQueue = &main;
        setup.status = [] { return HostStatus{true}; };
        setup.clock = [this] { return clock.load(); };
        server = RemoteServer::create(std::move(setup));
        server->onClipboardTransfer = [this](ClipboardDirection d) {
            shell.add(d == ClipboardDirection::toMac ? "to mac" : "from mac");
        };
        server->onFileTransfer = [this](const FileTransferReport& report) { shell.add(report.logLine()); };
    }
    void TearDown() override {
        if (server) server->stop();
        main.drain();
        server.reset();
        std::filesystem::remove_all(folder);
    }

    void start() {
        if (started) return;
        server->start();
        started = true;
    }
    // Starts the server and admits the phone; waits for its display list.
    void admit() {
        start();
        wire = std::make_shared<FakeWire>(server->sessionQueue());
        runSync(server->sessionQueue(), [&] { entries = server->acceptRelayed(wire, phone.id); });
        ASSERT_TRUE(entries);
        send(R"({"t":"hello","v":1})");
        ASSERT_TRUE(eventually([&] { return sentCount(R"("t":"disp-list")") == 1; }));
    }
    void send(const std::string& message) {
        Bytes data(message.begin(), message.end());
        runSync(server->sessionQueue(), [&] { entries->receive(WSOpcode::text, data); });
    }
    // Lets everything already posted to the main and server queues run.
    void settle() {
        for (int i = 0; i < 10; ++i) {
            runSync(server->sessionQueue(), [] {});
            main.drain();
        }
        runSync(server->sessionQueue(), [] {});
    }
    static std::string json(const nlohmann::json& j) {
        auto bytes = HTTPResponse::json(j);
        return std::string(bytes.begin(), bytes.end());
    }
    bool sent(const nlohmann::json& j) { return wire->sent.contains(json(j)); }
    bool eventuallySent(const nlohmann::json& j, int millis = 5000) {
        return eventually([&] { return sent(j); }, millis);
    }
    long sentCount(const std::string& fragment) {
        auto lines = wire->sent.lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
    }
    long journalCount(const std::string& line) {
        auto lines = journal.lines();
        return std::count(lines.begin(), lines.end(), line);
    }

    std::filesystem::path folder;
    std::unique_ptr<DeviceStore> store;
    PairedDevice phone;
    Journal journal;
    Journal shell;
    FakeFrameSource frames{journal};
    FakeInput input{journal};
    FakeClipboard clipboard;
    // A fixture that offers files sets this before SetUp.
    FileAccess* files = nullptr;
    LoopExecutor main{"main"};
    LoopExecutor fileQueue{"files"};
    std::atomic<std::int64_t> clock{1'000'000};
    std::shared_ptr<RemoteServer> server;
    std::shared_ptr<FakeWire> wire;
    std::optional<RelayedConnection> entries;
    bool started = false;
};

}  // namespace morvane::testing
