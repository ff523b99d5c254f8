// A stand-in for the outside relay service, for tests: Beast on 127.0.0.1,
// plain or TLS, on its own thread. It offers the account interface the host
// calls (e-mail code, verify, register, remove, sign out), the host link
// (upgrade with the subprotocol and the signed hello checked, challenge,
// prove, welcome with the room, joined/left, id-prefixed records) and a
// device side: a device opens "/relay/v1/device/<room>" with the subprotocol
// "morvane.v1" and exchanges bare records; the double gives it a connection
// id and forwards its records to the host behind that id. It also serves
// the relay's page (RelayWeb) and the page's part of the device side: the
// account's computers ("GET /v1/hosts") and single-use tickets
// ("POST /v1/hosts/<room>/ticket"); a device that comes with "?ticket=" is
// refused as the relay refuses it (4401 "ticket-refused", 4503
// "mac-offline"), one that comes without is let in as before. Faults are
// switched on by the test.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/types.h"
#include "relay_test_device.h"

namespace morvane::testing {

// Checks an ECDSA P-256 / SHA-256 signature in raw r‖s form.
bool verifyRelaySignature(const Bytes& publicKey, const Bytes& message, const Bytes& rawSignature);

class RelayDouble {
public:
    struct Options {
        bool tls = false;
        std::string certificatePem;  // leaf (and chain) for TLS
        std::string keyPem;
        std::uint16_t port = 0;  // 0: any free port
        std::string code = "123456";  // the code every e-mail receives
    };
    struct Host {
        std::string publicKey;  // base64url
        std::string name;
        std::string userId;
    };
    struct AccountRefusal {
        int status = 400;
        std::string error;
        std::optional<int> retryAfter;
    };

    explicit RelayDouble(Options options);
    ~RelayDouble();
    RelayDouble(const RelayDouble&) = delete;
    RelayDouble& operator=(const RelayDouble&) = delete;

    std::uint16_t port() const;
    // "https://localhost:<port>" or "http://127.0.0.1:<port>" and the like.
    std::string origin(const std::string& scheme, const std::string& host = "localhost") const;

    // Closes every connection and stops listening; start() listens again on
    // the same port. Registered hosts and accounts survive.
    void stop();
    void start();

    // Account side.
    std::vector<std::string> codesSentTo() const;  // e-mail addresses
    std::vector<Host> hosts() const;
    void removeHost(const std::string& publicKey);
    void refuseNextAccountCall(AccountRefusal refusal);
    int accountCalls() const;

    // Host link side.
    int hostUpgrades() const;  // upgrade requests seen, refused ones included
    bool hostUp(const std::string& room) const;
    std::string lastHostAuth() const;
    void refuseUpgrades(std::optional<int> status);
    void closeHosts(int code);
    void stallHosts(bool stall);  // no challenge, nothing read (so no pongs)
    void chooseSubprotocol(std::optional<std::string> subprotocol);  // absent: echo "morvane.v1"
    void sendGarbageToHosts();
    // Writes the bytes to each host under the WebSocket framing (a frame the
    // double builds by hand), then reads nothing more from it and keeps its
    // connection open.
    void sendRawToHosts(const Bytes& bytes);
    void slowWrites(std::chrono::milliseconds delay);
    // "<id>" of each connection the host asked to drop.
    std::vector<std::string> dropsSeen() const;
    // The records the double carried between devices and hosts, either way.
    std::size_t forwardedBytes() const;
    bool forwardedContains(const std::string& text) const;
    // Every forwarded record, in the order carried.
    std::vector<Bytes> forwarded() const;

    struct Impl;  // defined in the source; public for its connections

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace morvane::testing
