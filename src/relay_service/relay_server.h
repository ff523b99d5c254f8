// The network side of morvane-relay: one listening socket (HTTPS and WSS
// from certificate and key files, or plain HTTP on loopback behind a proxy
// that ends TLS), the account calls, the page, the host links and device
// sockets, all on one io_context thread. E-mail goes out on a thread of its
// own, so a slow mail server never holds a record up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "relay_service/relay_log.h"

namespace morvane::relay_service {

class RelayAccounts;
class RelayHub;

struct RelayServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port
    // Both set: TLS. Neither: plain HTTP, on a loopback address only.
    std::string certificateFile;
    std::string keyFile;
};

// Delivers a code; blocking; absent on success, else a one-line reason.
using CodeSender = std::function<std::optional<std::string>(const std::string& email, const std::string& code)>;

class RelayServer {
public:
    RelayServer(boost::asio::io_context& io, RelayServerOptions options, RelayAccounts& accounts, RelayHub& hub,
                CodeSender sender, RelayLog log);
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Loads the certificate, binds and listens; throws std::runtime_error
    // with a one-line reason (a plain listen address that is not loopback
    // is refused here).
    void start();
    std::uint16_t port() const;
    // Reads the certificate and key again for the connections to come; on
    // failure the old ones stay and false is answered (and logged).
    bool reloadCertificate();
    // Stops accepting and closes every socket, going away.
    void stop();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// True for 127.0.0.0/8, ::1 and "localhost".
bool isLoopbackAddress(const std::string& address);

}  // namespace morvane::relay_service
