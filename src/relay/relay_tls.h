// TLS for everything the host says to the relay: the system's trust store
// (which honours SSL_CERT_FILE), peer verification always on, SNI, and a
// check that the certificate names the host (or IP address) that was asked
// for. Asio verifies nothing unless told to; this is where it is told.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

namespace morvane {

// A client context that verifies peers against the default trust store.
std::shared_ptr<boost::asio::ssl::context> makeRelayTlsContext();
// Sets SNI (names only) and the name or address the peer's certificate
// must carry. False when the stream could not be set up.
bool prepareRelayTls(SSL* ssl, const std::string& host);

}  // namespace morvane
