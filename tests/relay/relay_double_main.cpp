// The relay double as a program, for trying the host by hand:
//   morvane_relay_double_run [--port N] [--tls] [--keep-forwarded FILE]
// With --tls it makes a throw-away CA and a certificate for localhost and
// 127.0.0.1, writes the CA next to the program's temporary files and prints
// the SSL_CERT_FILE line the host needs. It prints its origin and runs until
// interrupted, printing the room of each computer that registers. Every
// e-mail receives the code 123456. With --keep-forwarded it writes every
// record it carried between devices and hosts to FILE when it stops, one
// after another, so a test can look for plaintext in them.
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <thread>

#include "relay/relay_bytes.h"
#include "relay_double.h"
#include "secure/secure_channel.h"
#include "test_certificates.h"

namespace {
volatile std::sig_atomic_t stopping = 0;
}

int main(int argc, char** argv) {
    morvane::testing::RelayDouble::Options options;
    std::string keepForwarded;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            options.port = static_cast<std::uint16_t>(std::stoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--tls") == 0) {
            options.tls = true;
        } else if (std::strcmp(argv[i], "--keep-forwarded") == 0 && i + 1 < argc) {
            keepForwarded = argv[++i];
        } else {
            std::cerr << "usage: " << argv[0] << " [--port N] [--tls] [--keep-forwarded FILE]\n";
            return 2;
        }
    }
    morvane::testing::TestCertificateAuthority authority;
    if (options.tls) {
        const auto issued = authority.issue({"localhost"}, {"127.0.0.1"});
        options.certificatePem = issued.certificatePem;
        options.keyPem = issued.keyPem;
        authority.trustThroughEnvironment();
        std::cout << "SSL_CERT_FILE=" << std::getenv("SSL_CERT_FILE") << "\n";
    }
    morvane::testing::RelayDouble relay(options);
    std::cout << "relay double on " << relay.origin(options.tls ? "https" : "http") << std::endl;
    std::signal(SIGINT, [](int) { stopping = 1; });
    std::signal(SIGTERM, [](int) { stopping = 1; });
    // Each computer that registers is announced with the room devices join.
    std::set<std::string> announced;
    while (!stopping) {
        for (const auto& host : relay.hosts()) {
            if (!announced.insert(host.publicKey).second) continue;
            const auto key = morvane::RelayBytes::fromB64u(host.publicKey);
            if (key)
                std::cout << "registered \"" << host.name << "\", room "
                          << morvane::RelayBytes::hex(morvane::SecureChannel::roomID(*key)) << std::endl;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!keepForwarded.empty()) {
        std::ofstream out(keepForwarded, std::ios::binary | std::ios::trunc);
        for (const auto& record : relay.forwarded())
            out.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
        if (!out.flush()) {
            std::cerr << "could not write " << keepForwarded << "\n";
            return 1;
        }
    }
    return 0;
}
