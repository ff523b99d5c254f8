// The relay's TLS context from its certificate chain and key files: TLS
// 1.2 and 1.3 only, and in TLS 1.2 only the forward-secret AEAD suites
// (ECDHE with AES-GCM or ChaCha20-Poly1305), as the widely used
// intermediate server profile offers. A client may not renegotiate.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

namespace morvane::relay_service {

// Throws std::runtime_error with a one-line reason naming the file.
std::shared_ptr<boost::asio::ssl::context> makeServerTls(const std::string& certificateFile, const std::string& keyFile);

}  // namespace morvane::relay_service
