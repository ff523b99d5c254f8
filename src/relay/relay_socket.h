// One WebSocket attempt of the relay link, as the link sees it. The Beast
// implementation (beast_relay_socket.h) speaks TLS to the real relay; tests
// give the link a fake. Every handler is called later, on the link's queue,
// never from inside a call the link made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/types.h"
#include "relay/relay_url.h"

namespace morvane {

// How an attempt failed, where the owner has something to do about it.
enum class RelayConnectFault { other, untrustedCertificate };
// What to do about a relay whose certificate this computer does not trust:
// said in the tray, the set-up window and the log.
inline constexpr const char* untrustedCertificateAdvice =
    "If the relay uses a certificate of your own, add it to this computer's trusted certificates (copy it to "
    "/usr/local/share/ca-certificates/ and run sudo update-ca-certificates); otherwise check the relay's address";

struct RelaySocketRequest {
    RelayURL url;
    std::string subprotocol;  // offered, and the only one accepted
    std::string hostAuth;     // value of the host-auth header
    std::int64_t timeoutMillis = 15'000;
    std::size_t maxMessageBytes = 65'536;
};

struct RelaySocketHandlers {
    // The upgrade succeeded; the subprotocol the server chose ("" for none).
    std::function<void(const std::string& subprotocol)> opened;
    std::function<void(std::string text)> text;
    std::function<void(Bytes data)> binary;
    // Reading failed without a close frame: the relay broke the WebSocket
    // protocol (a message over the size limit, a reserved opcode). The
    // socket is over; no other handler runs after.
    std::function<void()> receiveFailed;
    // The server sent a close frame with this code.
    std::function<void(int code)> closed;
    // Why the attempt or the open socket failed, in words that name the
    // relay's address, and whether its certificate was refused; runs just
    // before finished or receiveFailed when they report a failure.
    std::function<void(const std::string& why, RelayConnectFault fault)> failedBecause;
    // The socket is over: the HTTP status of the upgrade answer when there
    // was one (101 after a successful upgrade), absent when no answer came.
    std::function<void(std::optional<int> httpStatus)> finished;
};

class RelaySocket {
public:
    virtual ~RelaySocket() = default;
    // Each completion runs once: true when the message went out.
    virtual void sendText(std::string text, std::function<void(bool sent)> done) = 0;
    virtual void sendBinary(Bytes data, std::function<void(bool sent)> done) = 0;
    // The handler hears true when the pong arrives, false when the socket
    // fails first.
    virtual void ping(std::function<void(bool ponged)> pong) = 0;
    // Closes with 1001 (going away) and no reason. Sends still pending hear
    // false; no other handler runs after.
    virtual void cancel() = 0;
};

class RelaySocketFactory {
public:
    virtual ~RelaySocketFactory() = default;
    virtual std::shared_ptr<RelaySocket> open(const RelaySocketRequest& request, RelaySocketHandlers handlers) = 0;
};

// Watches whether the machine has a usable way out. The handler runs on the
// link's queue with the first verdict soon after start and on each change.
class NetworkPathMonitor {
public:
    virtual ~NetworkPathMonitor() = default;
    virtual void start(std::function<void(bool satisfied)> handler) = 0;
    virtual void cancel() = 0;
};
using NetworkPathMonitorFactory = std::function<std::unique_ptr<NetworkPathMonitor>()>;

}  // namespace morvane
