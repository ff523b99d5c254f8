// A phone's socket on the relay's device side, for tests and the
// test-device program: it opens "/relay/v1/device/<room>" (a ticket in the
// query when the relay asks for one) with the subprotocol "morvane.v1",
// plain or TLS, and sends and receives bare records.
#pragma once

#include <chrono>
#include <map>
#include <vector>
#include <memory>
#include <optional>
#include <string>

#include "core/types.h"

namespace morvane::testing {

// A device on the relay's device side: connects to the room, sends and
// receives bare records. Blocking calls with a deadline, for tests.
class RelayTestDevice {
public:
    // Connects at once; throws std::runtime_error when it cannot.
    RelayTestDevice(const std::string& origin, const std::string& roomHex);
    ~RelayTestDevice();
    void send(const Bytes& record);
    // The next record, or absent when none came within the wait or the
    // relay closed the device (see closedWith).
    std::optional<Bytes> receive(std::chrono::milliseconds wait = std::chrono::seconds(5));
    std::optional<int> closedWith() const;
    // The connection ended, with a close code or without (a reset).
    bool ended() const;
    void close();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// One blocking HTTP exchange, plain or TLS (verified as the host verifies);
// plain ones may come from a chosen local address (`from`), as from
// another machine.
struct Exchange {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;
};

Exchange exchange(const std::string& origin, const std::string& method, const std::string& target,
                  const std::string& body = "", const std::string& bearer = "",
                  const std::vector<std::pair<std::string, std::string>>& headers = {}, const std::string& from = "");

}  // namespace morvane::testing
