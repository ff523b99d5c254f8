// TLS for everything the host says to the relay: the system's trust store
// (which honours SSL_CERT_FILE), peer verification always on, SNI, and a
// check that the certificate names the host (or IP address) that was asked
// for. Asio verifies nothing unless told to; this is where it is told.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>

#include "relay/relay_url.h"

namespace morvane {

// Turns a relay's name into the addresses to try; `done` may be called on
// any thread. Empty: the system's resolver.
using RelayNameResolver = std::function<void(
    const std::string& host, std::uint16_t port,
    std::function<void(boost::system::error_code, std::vector<boost::asio::ip::tcp::endpoint>)> done)>;

// A client context that verifies peers against the default trust store.
std::shared_ptr<boost::asio::ssl::context> makeRelayTlsContext();
// Sets SNI (names only) and the name or address the peer's certificate
// must carry. False when the stream could not be set up.
bool prepareRelayTls(SSL* ssl, const std::string& host);

// Why a connection to the relay failed, in words a person can act on, after
// the address: "relay.example.com:443: name not found", "…: connection
// refused", "…: certificate not trusted for relay.example.com (certificate
// has expired)", "…: timed out". `ssl` is the stream's handle when the
// failure came during or after the TLS handshake (its verification result
// tells an untrusted certificate from other TLS failures).
enum class RelayConnectStage { resolve, connect, tls, exchange };
std::string relayConnectFailure(const RelayURL& url, RelayConnectStage stage, const boost::system::error_code& ec,
                                SSL* ssl = nullptr);
// Whether the failure was the relay's certificate refused: not trusted, or
// not for the name that was asked for.
bool relayCertificateRefused(RelayConnectStage stage, SSL* ssl);
// "relay.example.com:443": what the failure lines name.
std::string relayAddressText(const RelayURL& url);

}  // namespace morvane
