// Ping/pong messages per second with a fixed number of pings outstanding:
// the test host's WebSocket against a plain Boost.Beast echo server in this
// process, driven by the same Beast client, in alternating rounds. Prints
// each side's median rate and the ratio host ÷ echo.
//
//   morvane_ping_bench [--outstanding N] [--seconds S] [--rounds R] [--host PATH]
//
// --host runs another build of the test host (an older one, to compare).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace {
const char* hostPath = MORVANE_BUILT_HARNESS;
}
#define MORVANE_HARNESS_PATH hostPath
#include "harness/harness_process.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The peer: one Beast WebSocket session per connection that sends every
// message back as it came, one write each, as an echo written with Beast's
// documented async pattern does.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
public:
    explicit EchoSession(tcp::socket socket) : ws_(std::move(socket)) {}
    void start() {
        ws_.async_accept([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->read();
        });
    }

private:
    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return;
            self->ws_.text(self->ws_.got_text());
            self->ws_.async_write(self->buffer_.data(), [self](beast::error_code ec, std::size_t) {
                if (ec) return;
                self->buffer_.consume(self->buffer_.size());
                self->read();
            });
        });
    }
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
};

class EchoServer {
public:
    EchoServer() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~EchoServer() {
        io_.stop();
        thread_.join();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    void accept() {
        acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec) return;
            socket.set_option(tcp::no_delay(true));
            std::make_shared<EchoSession>(std::move(socket))->start();
            accept();
        });
    }
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::thread thread_;
};

using Client = websocket::stream<tcp::socket>;

std::unique_ptr<Client> connect(asio::io_context& io, std::uint16_t port) {
    auto ws = std::make_unique<Client>(io);
    ws->next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws->next_layer().set_option(tcp::no_delay(true));
    const std::string host = "127.0.0.1:" + std::to_string(port);
    ws->set_option(websocket::stream_base::decorator(
        [host](websocket::request_type& request) { request.set(beast::http::field::origin, "http://" + host); }));
    ws->handshake(host, "/ws");
    ws->text(true);
    return ws;
}

std::string pingText(std::uint64_t id) { return R"({"t":"ping","id":)" + std::to_string(id) + "}"; }

// Keeps `outstanding` pings in flight for `seconds` and returns answers per
// second. An answer is a message that carries the ping's type word back
// ("pong" from the host, "ping" from the echo); anything else the host sends
// on its own is skipped.
double measure(Client& ws, std::string_view answerWord, int outstanding, double seconds) {
    beast::flat_buffer buffer;
    std::uint64_t id = 0;
    for (int i = 0; i < outstanding; ++i) ws.write(asio::buffer(pingText(++id)));
    std::uint64_t answers = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    bool sending = true;
    std::uint64_t waiting = static_cast<std::uint64_t>(outstanding);
    while (waiting > 0) {
        ws.read(buffer);
        std::string_view text(static_cast<const char*>(buffer.data().data()), buffer.size());
        const bool answer = text.find(answerWord) != std::string_view::npos;
        buffer.consume(buffer.size());
        if (!answer) continue;
        --waiting;
        if (sending) {
            ++answers;
            if (Clock::now() >= end) sending = false;
            else {
                ws.write(asio::buffer(pingText(++id)));
                ++waiting;
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(answers) / elapsed;
}

// Pairs a device with the test host and opens its controlling session.
std::unique_ptr<Client> hostSession(asio::io_context& io, morvane::testing::HarnessProcess& host) {
    host.command("pair");
    auto line = host.waitLine("code ");
    if (!line) throw std::runtime_error("the test host gave no pairing code");
    std::string code;
    for (char c : line->substr(5)) code.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    const std::string hostHeader = "127.0.0.1:" + std::to_string(host.port());
    const std::string body = nlohmann::json{{"code", code}, {"name", "Bench"}}.dump();
    morvane::testing::Socket http(host.port());
    http.send("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: http://" + hostHeader +
              "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
              body);
    const std::string answer = http.readAll();
    auto parsed = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
    if (!parsed.is_object() || !parsed.contains("token")) throw std::runtime_error("pairing failed: " + answer);

    auto ws = connect(io, host.port());
    ws->write(asio::buffer(nlohmann::json{{"t", "auth"}, {"token", parsed["token"]}}.dump()));
    beast::flat_buffer buffer;
    for (;;) {
        ws->read(buffer);
        std::string text = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        if (text.find(R"("t":"ready")") != std::string::npos) return ws;
        if (text.find(R"("t":"denied")") != std::string::npos) throw std::runtime_error("the host denied the session");
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int outstanding = 32;
    double seconds = 2.0;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view flag = argv[i];
        if (flag == "--outstanding") outstanding = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--seconds") seconds = std::max(0.1, std::atof(argv[i + 1]));
        else if (flag == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--host") hostPath = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    const auto dataHome = std::filesystem::temp_directory_path() / ("morvane-ping-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dataHome);
    int status = 0;
    try {
        morvane::testing::HarnessProcess host(dataHome, morvane::testing::freePort());
        if (!host.waitLine("listening ")) throw std::runtime_error("the test host did not start");
        EchoServer echo;
        asio::io_context io;
        auto hostWs = hostSession(io, host);
        auto echoWs = connect(io, echo.port());
        // One short warm-up each, then alternating rounds so that a change
        // of load on the machine hits both sides alike.
        measure(*hostWs, "\"pong\"", outstanding, 0.3);
        measure(*echoWs, "\"ping\"", outstanding, 0.3);
        std::vector<double> hostRates, echoRates;
        for (int r = 0; r < rounds; ++r) {
            hostRates.push_back(measure(*hostWs, "\"pong\"", outstanding, seconds));
            echoRates.push_back(measure(*echoWs, "\"ping\"", outstanding, seconds));
        }
        const double ours = median(hostRates), peer = median(echoRates);
        std::printf("| outstanding | test host msg/s | Beast echo msg/s | ratio |\n|---|---|---|---|\n");
        std::printf("| %d | %.0f | %.0f | %.2f× |\n", outstanding, ours, peer, ours / peer);
        beast::error_code ec;
        hostWs->close(websocket::close_code::normal, ec);
        echoWs->close(websocket::close_code::normal, ec);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ping bench: %s\n", error.what());
        status = 1;
    }
    std::filesystem::remove_all(dataHome);
    return status;
}
