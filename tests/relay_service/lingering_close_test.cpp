// A client that closes its end of the connection once it has asked, as
// some HTTP clients and scripts do, over the whole service on loopback,
// plain and over TLS: its answer reaches it whole.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include "relay_service/web/relay_web.h"
#include "service_rig.h"
#include "test_certificates.h"

namespace morvane::relay_service::testing::half_close {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::size_t scriptBytes() {
    for (const auto& file : RelayWeb::files())
        if (file.name == "app.js") return file.bytes.size();
    return 0;
}

const std::string request = "GET /app.js HTTP/1.1\r\nHost: relay.test\r\n\r\n";

// A connection with a small receive buffer, so that the relay's kernel
// still holds much of the answer when the relay reads the client's end.
tcp::socket dial(asio::io_context& io, std::uint16_t port) {
    tcp::socket socket(io);
    socket.open(tcp::v4());
    socket.set_option(asio::socket_base::receive_buffer_size(4'096));
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    const timeval wait{10, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return socket;
}

// The body's length once the answer's head is taken off; npos when the
// answer is not a whole 200.
std::size_t bodyOf(const std::string& answer) {
    const auto head = answer.find("\r\n\r\n");
    if (!answer.starts_with("HTTP/1.1 200") || head == std::string::npos) return std::string::npos;
    return answer.size() - head - 4;
}

TEST(HttpConnection, AClientThatClosesItsEndAfterAskingGetsTheWholeAnswer) {
    const auto expected = scriptBytes();
    ASSERT_GT(expected, 100'000u);
    const auto folder = std::filesystem::temp_directory_path() / ("relay-half-close-" + std::to_string(::getpid()));
    morvane::testing::TestCertificateAuthority authority;
    const auto issued = authority.issue({"relay.test"}, {"127.0.0.1"});
    asio::io_context io;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        ServiceRig relay(tls ? tlsOptions(folder, issued.certificatePem, issued.keyPem)
                             : RelayServerOptions{"127.0.0.1", 0});
        const int rounds = tls ? 200 : 20;
        int whole = 0;
        for (int i = 0; i < rounds; ++i) {
            auto socket = dial(io, relay.port());
            std::string answer;
            char bytes[65'536];
            if (tls) {
                SSL* ssl = SSL_new(context);
                SSL_set_fd(ssl, socket.native_handle());
                ASSERT_EQ(SSL_connect(ssl), 1);
                ASSERT_EQ(SSL_write(ssl, request.data(), static_cast<int>(request.size())),
                          static_cast<int>(request.size()));
                // Its close_notify, then the end of its side of the connection.
                SSL_shutdown(ssl);
                socket.shutdown(tcp::socket::shutdown_send);
                for (int got; (got = SSL_read(ssl, bytes, sizeof bytes)) > 0;)
                    answer.append(bytes, static_cast<std::size_t>(got));
                SSL_free(ssl);
            } else {
                asio::write(socket, asio::buffer(request));
                socket.shutdown(tcp::socket::shutdown_send);
                for (ssize_t got; (got = ::recv(socket.native_handle(), bytes, sizeof bytes, 0)) > 0;)
                    answer.append(bytes, static_cast<std::size_t>(got));
            }
            whole += bodyOf(answer) == expected ? 1 : 0;
        }
        EXPECT_EQ(whole, rounds);
    }
    SSL_CTX_free(context);
    std::filesystem::remove_all(folder);
}

// One that closes its end and then takes nothing of its answer is not
// waited for past the request time: its connection is reset, and the
// relay's kernel keeps nothing of it.
TEST(HttpConnection, AClientThatClosesItsEndAndTakesNothingIsResetAtTheDeadline) {
    RelayServerOptions options{"127.0.0.1", 0};
    options.requestTime = std::chrono::seconds(1);
    ServiceRig relay(options);
    asio::io_context io;
    auto socket = dial(io, relay.port());
    // An answer the relay's kernel takes whole, so that the relay is done
    // writing it and waits for the client alone.
    asio::write(socket, asio::buffer(std::string("GET /style.css HTTP/1.1\r\nHost: relay.test\r\n\r\n")));
    socket.shutdown(tcp::socket::shutdown_send);
    const auto begun = std::chrono::steady_clock::now();
    // Nothing is read until the relay has given up.
    pollfd wait{socket.native_handle(), POLLRDHUP, 0};
    ::poll(&wait, 1, 10'000);
    char bytes[65'536];
    ssize_t got = 0;
    while ((got = ::recv(socket.native_handle(), bytes, sizeof bytes, 0)) > 0) {
    }
    EXPECT_EQ(got, -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(900));
}

}  // namespace
}  // namespace morvane::relay_service::testing::half_close
