// Fakes for the relay link's tests: a socket factory whose sockets record
// what the link sends and let the test play the relay's side, and a
// delegate that keeps a journal of what the link reported.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "relay/relay_link_transport.h"
#include "relay/relay_socket.h"

namespace morvane::testing {

class FakeRelaySocket final : public RelaySocket {
public:
    RelaySocketRequest request;
    RelaySocketHandlers handlers;
    std::vector<std::string> texts;
    std::vector<Bytes> binaries;
    std::vector<std::function<void(bool)>> pings;
    std::vector<std::function<void(bool)>> pendingSends;
    bool cancelled = false;

    void sendText(std::string text, std::function<void(bool)> done) override {
        texts.push_back(std::move(text));
        pendingSends.push_back(std::move(done));
    }
    void sendBinary(Bytes data, std::function<void(bool)> done) override {
        binaries.push_back(std::move(data));
        pendingSends.push_back(std::move(done));
    }
    void ping(std::function<void(bool)> pong) override { pings.push_back(std::move(pong)); }
    void cancel() override { cancelled = true; }

    // Completes every pending send with the given result.
    void completeSends(bool sent) {
        auto sends = std::move(pendingSends);
        pendingSends.clear();
        for (auto& s : sends) s(sent);
    }
};

class FakeRelaySocketFactory final : public RelaySocketFactory {
public:
    std::vector<std::shared_ptr<FakeRelaySocket>> sockets;
    std::shared_ptr<RelaySocket> open(const RelaySocketRequest& request, RelaySocketHandlers handlers) override {
        auto socket = std::make_shared<FakeRelaySocket>();
        socket->request = request;
        socket->handlers = std::move(handlers);
        sockets.push_back(socket);
        return socket;
    }
    FakeRelaySocket& last() { return *sockets.back(); }
};

class RecordingLinkDelegate final : public RelayLinkDelegate {
public:
    std::vector<std::string> journal;
    void relayLinkUp(const std::vector<RelayConnectionID>& devices) override {
        std::string line = "up";
        for (auto d : devices) line += " " + std::to_string(d);
        journal.push_back(line);
    }
    void relayLinkDown() override { journal.push_back("down"); }
    void relayLinkJoined(RelayConnectionID id) override { journal.push_back("joined " + std::to_string(id)); }
    void relayLinkLeft(RelayConnectionID id) override { journal.push_back("left " + std::to_string(id)); }
    void relayLinkReceived(RelayConnectionID id, Bytes record) override {
        journal.push_back("record " + std::to_string(id) + " " + std::to_string(record.size()));
    }
    void relayLinkQuotaReached() override { journal.push_back("quota"); }
};

class FakePathMonitor final : public NetworkPathMonitor {
public:
    std::function<void(bool)>* sink;
    bool* cancelledFlag;
    FakePathMonitor(std::function<void(bool)>* sink, bool* cancelled) : sink(sink), cancelledFlag(cancelled) {}
    void start(std::function<void(bool)> handler) override { *sink = std::move(handler); }
    void cancel() override { *cancelledFlag = true; }
};

}  // namespace morvane::testing
