#include "relay/relay_tls.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/core/error.hpp>

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

bool relayCertificateRefused(RelayConnectStage stage, SSL* ssl) {
    return stage == RelayConnectStage::tls && ssl && SSL_get_verify_result(ssl) != X509_V_OK;
}

std::string relayAddressText(const RelayURL& url) {
    const bool v6 = url.host.find(':') != std::string::npos;
    return (v6 ? "[" + url.host + "]" : url.host) + ":" + std::to_string(url.port);
}

std::string relayConnectFailure(const RelayURL& url, RelayConnectStage stage, const boost::system::error_code& ec,
                                SSL* ssl) {
    namespace error = boost::asio::error;
    const std::string at = relayAddressText(url) + ": ";
    if (ec == boost::beast::error::timeout || ec == error::timed_out) return at + "timed out";
    switch (stage) {
        case RelayConnectStage::resolve:
            if (ec == error::host_not_found || ec == error::host_not_found_try_again || ec == error::no_data)
                return at + "name not found";
            return at + "the name could not be looked up (" + ec.message() + ")";
        case RelayConnectStage::connect:
            if (ec == error::connection_refused) return at + "connection refused";
            if (ec == error::network_unreachable) return at + "network unreachable";
            if (ec == error::host_unreachable) return at + "host unreachable";
            return at + "no connection (" + ec.message() + ")";
        case RelayConnectStage::tls:
            if (relayCertificateRefused(stage, ssl))
                return at + "certificate not trusted for " + url.host + " (" +
                       X509_verify_cert_error_string(SSL_get_verify_result(ssl)) + ")";
            return at + "the secure connection could not be set up (" + ec.message() + ")";
        case RelayConnectStage::exchange:
            if (ec == error::eof || ec == error::connection_reset || ec == boost::asio::ssl::error::stream_truncated)
                return at + "the relay closed the connection";
            return at + "the connection failed (" + ec.message() + ")";
    }
    return at + ec.message();
}

}  // namespace morvane
