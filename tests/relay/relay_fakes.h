// Fakes for the relay host's neighbours, recording journals of lines: a
// relay link whose sends complete on the manual queue, and a server that
// accepts or refuses relayed sessions and notes what the host tells it.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../app/manual_executor.h"
#include "relay/relay_link_transport.h"
#include "relay/relay_server_port.h"

namespace morvane::testing {

class FakeLink final : public RelayLinkTransport {
public:
    explicit FakeLink(ManualExecutor& queue) : queue_(queue) {}

    std::weak_ptr<RelayLinkDelegate> delegate() const override { return delegate_; }
    void setDelegate(std::weak_ptr<RelayLinkDelegate> delegate) override { delegate_ = std::move(delegate); }
    bool isUp() const override { return up; }
    void send(std::uint32_t id, std::span<const std::uint8_t> record, std::function<void(bool)> completion) override {
        sent.push_back({id, Bytes(record.begin(), record.end())});
        const bool ok = failSends == 0 ? true : (--failSends, false);
        queue_.post([completion = std::move(completion), ok] { completion(ok); });
    }
    void drop(std::uint32_t id) override { dropped.push_back(id); }

    // Records sent to one connection that the test has not taken yet.
    std::vector<Bytes> take(std::uint32_t id) {
        std::vector<Bytes> out;
        std::deque<std::pair<std::uint32_t, Bytes>> rest;
        for (auto& [to, record] : sent) (to == id ? out.push_back(std::move(record)) : rest.push_back({to, std::move(record)}));
        sent = std::move(rest);
        return out;
    }

    bool up = true;
    int failSends = 0;
    std::deque<std::pair<std::uint32_t, Bytes>> sent;
    std::vector<std::uint32_t> dropped;

private:
    ManualExecutor& queue_;
    std::weak_ptr<RelayLinkDelegate> delegate_;
};

class FakeServer final : public RelayServerPort {
public:
    explicit FakeServer(ManualExecutor& queue) : queue_(queue) {}

    Executor& sessionQueue() override { return queue_; }
    void setRelayObserver(std::function<void(RelayServerEvent)> observer) override { this->observer = std::move(observer); }
    std::optional<RelayedConnection> acceptRelayed(std::shared_ptr<ConnectionWire> wire,
                                                   const std::string& deviceID) override {
        if (refuse) return std::nullopt;
        const int n = ++accepted;
        wires[n] = wire;
        journal.push_back("accept " + std::to_string(n) + " " + deviceID);
        auto note = [this, n](std::string line) { journal.push_back(std::to_string(n) + " " + line); };
        RelayedConnection c;
        c.receive = [note](WSOpcode op, const Bytes& data) {
            note(std::string(op == WSOpcode::text ? "text " : "binary ") + std::string(data.begin(), data.end()));
        };
        c.peerClosed = [note] { note("peerClosed"); };
        c.transportLost = [note] { note("transportLost"); };
        c.bye = [note, this, n](const std::string& reason) {
            note("bye " + reason);
            // Like the server: a goodbye ends with the close message.
            if (closeOnBye) close(n);
        };
        return c;
    }
    void closeRelayedOnQueue(const std::string& reason) override {
        journal.push_back("closeRelayed " + reason);
        if (!closeOnCloseRelayed) return;
        // Like the server: each session says goodbye and writes its close
        // on a later turn of the queue.
        queue_.post([this, reason] {
            for (auto& [n, wire] : wires) {
                journal.push_back(std::to_string(n) + " bye " + reason);
                close(n);
            }
        });
    }
    void closeRelayed(const std::string& reason) override { journal.push_back("closeRelayed " + reason); }
    bool isPaused() const override { return paused; }
    std::optional<std::string> controllerName() const override { return controller; }

    // The server's close: the close message written after releasing holds.
    void close(int n) {
        auto wire = wires.at(n);
        wire->releaseHold();
        wire->write(wire->encodeClose(1000), [this, n](bool ok) {
            journal.push_back(std::to_string(n) + " close written " + (ok ? "true" : "false"));
        });
    }

    bool refuse = false;
    bool paused = false;
    bool closeOnBye = false;
    bool closeOnCloseRelayed = false;
    std::optional<std::string> controller;
    std::function<void(RelayServerEvent)> observer;
    std::map<int, std::shared_ptr<ConnectionWire>> wires;
    std::vector<std::string> journal;
    int accepted = 0;

private:
    ManualExecutor& queue_;
};

}  // namespace morvane::testing
