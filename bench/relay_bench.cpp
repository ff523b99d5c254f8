// morvane-relay on loopback, measured from outside as a host and a device
// see it: the time a record takes from a device to its host and back
// (against the same exchange over one direct WebSocket, the peer), the
// rate one stream of full records reaches a device (against a direct
// WebSocket stream), and the relay's memory per idle host link at 1,000
// proved links. The relay runs as its own process with a SQLite store the
// benchmark fills beforehand.
//
//   morvane_relay_bench [--links N] [--rounds N] [--records N]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "core/secure.h"
#include "relay/relay_bytes.h"
#include "relay/relay_identity.h"
#include "relay_service/relay_store.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace morvane;
using namespace morvane::relay_service;

namespace {

using Socket = ws::stream<beast::tcp_stream>;

std::uint16_t freePort() {
    asio::io_context io;
    tcp::acceptor a(io, {asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

long rssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::string readText(Socket& socket) {
    beast::flat_buffer buffer;
    socket.read(buffer);
    return beast::buffers_to_string(buffer.data());
}

// A host's link, proved and welcomed.
std::unique_ptr<Socket> link(asio::io_context& io, std::uint16_t port, const RelayIdentity& identity) {
    auto socket = std::make_unique<Socket>(io);
    socket->next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    const auto seconds = static_cast<std::uint64_t>(std::time(nullptr));
    const auto hello = identity.helloHeader(seconds, Secure::randomBytes(16));
    socket->set_option(ws::stream_base::decorator([hello](ws::request_type& r) {
        r.set(beast::http::field::sec_websocket_protocol, "morvane.v1");
        r.set("X-Morvane-Host-Auth", hello);
    }));
    socket->handshake("127.0.0.1", "/relay/v1/host/" + RelayBytes::hex(identity.roomID()));
    const auto challenge = nlohmann::json::parse(readText(*socket));
    const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
    socket->text(true);
    socket->write(asio::buffer(R"({"t":"prove","sig":")" + identity.proveSignature(*nonce) + "\"}"));
    const auto welcome = nlohmann::json::parse(readText(*socket));
    if (welcome["t"] != "welcome") throw std::runtime_error("no welcome");
    return socket;
}

std::unique_ptr<Socket> device(asio::io_context& io, std::uint16_t port, const std::string& room, const std::string& ticket) {
    auto socket = std::make_unique<Socket>(io);
    socket->next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    socket->set_option(ws::stream_base::decorator(
        [](ws::request_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
    socket->handshake("127.0.0.1", "/relay/v1/device/" + room + "?ticket=" + ticket);
    socket->binary(true);
    return socket;
}

// The peer: a plain Beast WebSocket server on its own thread that echoes
// each message, or streams `records` messages of `size` bytes when the
// first message says "stream".
std::thread directServer(tcp::acceptor& acceptor, int records, std::size_t size) {
    return std::thread([&acceptor, records, size] {
        tcp::socket raw(acceptor.get_executor());
        acceptor.accept(raw);
        Socket socket(std::move(raw));
        socket.accept();
        socket.binary(true);
        beast::flat_buffer buffer;
        beast::error_code ec;
        while (!ec) {
            socket.read(buffer, ec);
            if (ec) break;
            if (beast::buffers_to_string(buffer.data()) == "stream") {
                const std::string record(size, 'r');
                for (int i = 0; i < records; ++i) socket.write(asio::buffer(record));
            } else {
                socket.write(buffer.data(), ec);
            }
            buffer.consume(buffer.size());
        }
    });
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    int links = 1000, rounds = 2000, records = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::stoi(argv[i + 1]);
        if (name == "--links") links = value;
        if (name == "--rounds") rounds = value;
        if (name == "--records") records = value;
    }
    const auto folder = std::filesystem::temp_directory_path() / ("morvane-relay-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    // The store: one account with the measured computer and a device's
    // tickets, and enough accounts of ten computers for the idle links.
    std::vector<RelayIdentity> idle;
    const RelayIdentity measured{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    const auto room = RelayBytes::hex(measured.roomID());
    std::vector<std::string> tickets;
    {
        auto store = openRelayStore(RelayStoreConfig{"sqlite", folder.string(), ""});
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        const auto owner = store->accountForEmail("owner@example.com", now);
        store->addHost(HostRecord{room, measured.hostPublicKeyText(), "Measured", owner.userId, now}, 10);
        for (int i = 0; i < 2; ++i) {
            const auto ticket = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
            store->putToken(Token{Secure::sha256Hex(ticket), TokenKind::ticket, owner.userId, "web", room, now + 3600});
            tickets.push_back(ticket);
        }
        for (int i = 0; i < links; ++i) {
            idle.push_back(RelayIdentity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0});
            const auto account = store->accountForEmail("owner" + std::to_string(i / 10) + "@example.com", now);
            store->addHost(HostRecord{RelayBytes::hex(idle.back().roomID()), idle.back().hostPublicKeyText(), "Idle",
                                      account.userId, now},
                           10);
        }
    }

    const auto port = freePort();
    const pid_t relay = ::fork();
    if (relay == 0) {
        const std::string listen = "127.0.0.1:" + std::to_string(port);
        const std::string data = folder.string();
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) ::dup2(quiet, 2);
        ::execl(MORVANE_RELAY_PROGRAM, "morvane-relay", "--listen", listen.c_str(), "--data", data.c_str(), "--codes-in-log",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    asio::io_context io;
    for (int i = 0; i < 200; ++i) {
        tcp::socket probe(io);
        beast::error_code ec;
        probe.connect({asio::ip::make_address("127.0.0.1"), port}, ec);
        if (!ec) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }

    // Latency: a 100-byte record from the device to the host and back.
    auto host = link(io, port, measured);
    auto phone = device(io, port, room, tickets[0]);
    const auto joined = nlohmann::json::parse(readText(*host));
    const std::uint32_t id = joined["c"].get<std::uint32_t>();
    host->binary(true);
    const std::string record(100, 'x');
    std::vector<double> relayed, direct;
    beast::flat_buffer buffer;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        phone->write(asio::buffer(record));
        host->read(buffer);
        host->write(buffer.data());  // the same id, back to the device
        buffer.consume(buffer.size());
        phone->read(buffer);
        buffer.consume(buffer.size());
        relayed.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    (void)id;
    tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    auto server = directServer(acceptor, records, 65'532);
    Socket peer(io);
    peer.next_layer().connect(acceptor.local_endpoint());
    peer.handshake("127.0.0.1", "/");
    peer.binary(true);
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        peer.write(asio::buffer(record));
        peer.read(buffer);
        buffer.consume(buffer.size());
        direct.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }

    // Throughput: full records from the host to the device.
    const std::string full = [&] {
        std::string frame(65'536, 'y');
        const auto idBytes = RelayBytes::u32(id);
        std::copy(idBytes.begin(), idBytes.end(), frame.begin());
        return frame;
    }();
    std::thread sender([&] {
        for (int i = 0; i < records; ++i) host->write(asio::buffer(full));
    });
    auto start = Clock::now();
    for (int i = 0; i < records; ++i) {
        phone->read(buffer);
        buffer.consume(buffer.size());
    }
    const double relayedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    peer.write(asio::buffer(std::string("stream")));
    start = Clock::now();
    for (int i = 0; i < records; ++i) {
        peer.read(buffer);
        buffer.consume(buffer.size());
    }
    const double directSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double megabytes = static_cast<double>(records) * 65'532 / 1e6;

    // Memory per idle link.
    phone.reset();
    host.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = rssKiB(relay);
    std::vector<std::unique_ptr<Socket>> open;
    for (const auto& identity : idle) open.push_back(link(io, port, identity));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long after = rssKiB(relay);

    std::printf("record round trip, device -> relay -> host -> relay -> device, %d rounds of 100 bytes:\n", rounds);
    std::printf("  relayed p50 %.1f us, p95 %.1f us; direct WebSocket echo p50 %.1f us, p95 %.1f us; ratio p50 %.2fx\n",
                percentile(relayed, 0.5), percentile(relayed, 0.95), percentile(direct, 0.5), percentile(direct, 0.95),
                percentile(relayed, 0.5) / percentile(direct, 0.5));
    std::printf("  added by the relay (p50): %.1f us a round trip\n", percentile(relayed, 0.5) - percentile(direct, 0.5));
    std::printf("one stream of %d records of 65,532 bytes, host -> device:\n", records);
    std::printf("  relayed %.0f MB/s; direct WebSocket %.0f MB/s; ratio %.2fx\n", megabytes / relayedSeconds,
                megabytes / directSeconds, (megabytes / relayedSeconds) / (megabytes / directSeconds));
    std::printf("idle host links: %zu proved; relay RSS %ld KiB before, %ld KiB after: %.1f KiB a link\n", open.size(),
                before, after, static_cast<double>(after - before) / static_cast<double>(open.size()));

    open.clear();
    peer.close(ws::close_code::normal);
    server.join();
    ::kill(relay, SIGTERM);
    ::waitpid(relay, nullptr, 0);
    std::filesystem::remove_all(folder);
    return 0;
}
