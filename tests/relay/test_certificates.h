// Certificates made at test time: a throw-away CA, written to a file that
// SSL_CERT_FILE points at so the host's ordinary trust store trusts it, and
// server certificates it signs for the names a test asks for.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace morvane::testing {

struct ServerCertificate {
    std::string certificatePem;  // leaf then CA
    std::string keyPem;
};

class TestCertificateAuthority {
public:
    TestCertificateAuthority();
    ~TestCertificateAuthority();
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    // A certificate for the DNS names and IP addresses given.
    ServerCertificate issue(const std::vector<std::string>& dnsNames, const std::vector<std::string>& ipAddresses);
    // Writes the CA to a file and points SSL_CERT_FILE at it.
    void trustThroughEnvironment();
    const std::string& caPem() const { return caPem_; }

private:
    struct Keys;
    Keys* keys_;
    std::string caPem_;
    std::filesystem::path file_;
};

}  // namespace morvane::testing
