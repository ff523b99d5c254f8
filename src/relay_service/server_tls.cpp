#include "relay_service/server_tls.h"

#include <openssl/ssl.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace morvane::relay_service {

namespace asio = boost::asio;

namespace {

// TLS 1.3 has only AEAD suites and keeps OpenSSL's list.
constexpr const char* tls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::shared_ptr<asio::ssl::context> makeServerTls(const std::string& certificateFile, const std::string& keyFile) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                         asio::ssl::context::single_dh_use);
    // A TLS 1.2 client asking to renegotiate would cost a whole handshake
    // each time, outside the count of handshakes under way; no browser asks.
    SSL_CTX_set_options(context->native_handle(), SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(context->native_handle(), tls12Suites) != 1)
        throw std::runtime_error("this OpenSSL offers none of the relay's TLS suites");
    const auto certificate = readFile(certificateFile);
    const auto key = readFile(keyFile);
    try {
        context->use_certificate_chain(asio::buffer(certificate));
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("no certificate in " + certificateFile);
    }
    try {
        context->use_private_key(asio::buffer(key), asio::ssl::context::pem);
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("no private key for the certificate in " + keyFile);
    }
    return context;
}

}  // namespace morvane::relay_service
