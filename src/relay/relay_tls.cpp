#include "relay/relay_tls.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>

namespace morvane {

std::shared_ptr<boost::asio::ssl::context> makeRelayTlsContext() {
    auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
    SSL_CTX* ctx = context->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Read at each call, so SSL_CERT_FILE set by a test before the first
    // connection is honoured.
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return context;
}

bool prepareRelayTls(SSL* ssl, const std::string& host) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    const bool isAddress = !ec;
    if (isAddress) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) != 1) return false;
    } else {
        if (SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) return false;
        if (SSL_set1_host(ssl, host.c_str()) != 1) return false;
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    return true;
}

}  // namespace morvane
