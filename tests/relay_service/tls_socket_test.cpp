// The relay's TLS layer alone, on a transport the test drives: reads and
// writes as short as it says, a kernel buffer that fills, the n-th read or
// write failing, and a client made of OpenSSL with memory BIOs whose bytes
// the test carries. The io_context is run by hand.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "relay_service/detail/tls_socket.h"
#include "relay_service/server_tls.h"
#include "test_certificates.h"

namespace morvane::relay_service::testing::tls_layer {

namespace asio = boost::asio;
using boost::beast::error_code;
constexpr auto unbounded = std::numeric_limits<std::size_t>::max();

// The wire between the client and the relay's TLS. `in` holds what the
// client sent and the relay has not read; `out` what the relay wrote and
// the client has not taken.
struct Wire {
    explicit Wire(asio::io_context& io) : io(io) {}
    asio::io_context& io;
    std::string in, out;
    std::size_t readMost = unbounded;   // bytes one read takes at most
    std::size_t writeMost = unbounded;  // bytes one write takes at most
    std::size_t room = unbounded;       // what `out` holds before writes would wait
    int failRead = 0, failWrite = 0;    // the n-th read or write from now fails (0: none)
    error_code failure = asio::error::connection_reset;
    bool ended = false;  // the client closed its end
    std::size_t taken = 0;  // bytes the relay read
    std::vector<std::function<void(error_code)>> readWaits, writeWaits;

    void wake(std::vector<std::function<void(error_code)>>& waits) {
        for (auto& wait : std::exchange(waits, {})) asio::post(io, [wait = std::move(wait)] { wait({}); });
    }
    void send(const std::string& bytes) {
        in += bytes;
        wake(readWaits);
    }
    std::string take() {
        wake(writeWaits);
        return std::exchange(out, {});
    }
};

// What the relay's TLS is given in place of its socket.
struct WireStream {
    using executor_type = asio::io_context::executor_type;
    Wire* wire;
    executor_type get_executor() { return wire->io.get_executor(); }
};

}  // namespace morvane::relay_service::testing::tls_layer

namespace morvane::relay_service::detail {

template <>
struct TlsTransport<testing::tls_layer::WireStream> {
    using Stream = testing::tls_layer::WireStream;
    static std::size_t read(Stream& stream, void* data, std::size_t size, boost::beast::error_code& ec) {
        auto& wire = *stream.wire;
        if (wire.failRead > 0 && --wire.failRead == 0) {
            ec = wire.failure;
            return 0;
        }
        if (wire.in.empty()) {
            ec = wire.ended ? boost::beast::error_code(boost::asio::error::eof) : boost::asio::error::would_block;
            return 0;
        }
        const auto n = std::min({size, wire.readMost, wire.in.size()});
        std::memcpy(data, wire.in.data(), n);
        wire.in.erase(0, n);
        wire.taken += n;
        return n;
    }
    static std::size_t write(Stream& stream, const void* data, std::size_t size, boost::beast::error_code& ec) {
        auto& wire = *stream.wire;
        if (wire.failWrite > 0 && --wire.failWrite == 0) {
            ec = wire.failure;
            return 0;
        }
        const auto free = wire.room > wire.out.size() ? wire.room - wire.out.size() : 0;
        const auto n = std::min({size, wire.writeMost, free});
        if (n == 0) {
            ec = boost::asio::error::would_block;
            return 0;
        }
        wire.out.append(static_cast<const char*>(data), n);
        return n;
    }
    template <class Handler>
    static void wait(Stream& stream, bool readable, Handler&& handler) {
        auto& wire = *stream.wire;
        auto& waits = readable ? wire.readWaits : wire.writeWaits;
        waits.emplace_back([handler = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler))](
                               boost::beast::error_code ec) mutable { (*handler)(ec); });
        // Ready already: as a socket's wait, it completes at once.
        if (readable ? !wire.in.empty() || wire.ended : wire.out.size() < wire.room) wire.wake(waits);
    }
    static bool isOpen(Stream&) { return true; }
};

}  // namespace morvane::relay_service::detail

namespace morvane::relay_service::testing::tls_layer {
namespace {

using detail::gathering;
using detail::Gathering;
using detail::KeyUpdateAllowance;
using Tls = detail::TlsSocket<WireStream>;

std::int64_t manualNow = 0;
std::int64_t manualClock() { return manualNow; }

// The relay's own context, made once from a throw-away certificate.
std::shared_ptr<asio::ssl::context> serverContext() {
    static const auto context = [] {
        morvane::testing::TestCertificateAuthority authority;
        const auto folder = std::filesystem::temp_directory_path() / ("relay-tls-layer-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        const auto issued = authority.issue({"relay.test"}, {});
        std::ofstream(folder / "cert.pem") << issued.certificatePem;
        std::ofstream(folder / "key.pem") << issued.keyPem;
        auto made = makeServerTls((folder / "cert.pem").string(), (folder / "key.pem").string());
        std::filesystem::remove_all(folder);
        return made;
    }();
    return context;
}

// The client's end: OpenSSL on memory BIOs, whose bytes `carry` moves.
struct Client {
    explicit Client(int version = TLS1_3_VERSION) {
        context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(context, version);
        SSL_CTX_set_max_proto_version(context, version);
        ssl = SSL_new(context);
        fromRelay = BIO_new(BIO_s_mem());
        toRelay = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, fromRelay, toRelay);
        SSL_set_connect_state(ssl);
    }
    ~Client() {
        SSL_free(ssl);
        SSL_CTX_free(context);
    }
    SSL_CTX* context;
    SSL* ssl;
    BIO* fromRelay;
    BIO* toRelay;
    std::string received;
    bool handshaken = false;

    // What each side wrote goes to the other; the client reads what it can.
    void carry(Wire& wire) {
        const auto out = wire.take();
        if (!out.empty()) BIO_write(fromRelay, out.data(), static_cast<int>(out.size()));
        if (!handshaken) handshaken = SSL_do_handshake(ssl) == 1;
        if (handshaken) {
            char bytes[16'384];
            std::size_t got = 0;
            while (SSL_read_ex(ssl, bytes, sizeof bytes, &got) == 1) received.append(bytes, got);
        }
        char* data = nullptr;
        const auto size = BIO_get_mem_data(toRelay, &data);
        if (size > 0) {
            wire.send(std::string(data, static_cast<std::size_t>(size)));
            BIO_reset(toRelay);
        }
    }
    void write(const std::string& bytes) { ASSERT_EQ(SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size())); }
    void keyUpdate(int type) {
        ASSERT_EQ(SSL_key_update(ssl, type), 1);
        ASSERT_EQ(SSL_do_handshake(ssl), 1);
    }
};

// Runs the loop and carries bytes both ways until nothing moves.
void settle(asio::io_context& io, Wire& wire, Client& client) {
    for (int quiet = 0; quiet < 3;) {
        io.restart();
        const auto ran = io.poll();
        const auto before = wire.in.size() + wire.out.size() + client.received.size();
        client.carry(wire);
        const auto after = wire.in.size() + wire.out.size() + client.received.size();
        quiet = ran == 0 && before == after ? quiet + 1 : 0;
    }
}

// Runs the loop a few turns with no bytes carried: what waits, waits.
void spin(asio::io_context& io) {
    for (int i = 0; i < 5; ++i) {
        io.restart();
        io.poll();
    }
}

std::string pattern(std::size_t size, char salt) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(salt)) & 0xff);
    return bytes;
}

// A relay's TLS and its client over a wire, handshaken.
struct Pair {
    explicit Pair(int version = TLS1_3_VERSION) : client(version) {}
    asio::io_context io;
    Wire wire{io};
    Tls tls{WireStream{&wire}, serverContext(), &manualClock};
    Client client;
    std::optional<error_code> shaken;

    void handshake() {
        client.carry(wire);
        tls.async_handshake([this](error_code ec) { shaken = ec; });
        settle(io, wire, client);
    }
};

// One table: however little the transport takes or gives at once, and
// however soon its buffer fills, every byte gets through both ways, in
// TLS 1.3 and 1.2. A write that stops part-way through a record is tried
// again with the record's bytes (a frame's header gathered with its
// payload included), which OpenSSL refuses should they change.
TEST(TlsSocket, CarriesEveryByteWhateverTheTransportTakesAtOnce) {
    struct Case {
        const char* name;
        int version;
        std::size_t readMost, writeMost, room;
    };
    const std::vector<Case> cases = {
        {"all at once", TLS1_3_VERSION, unbounded, unbounded, unbounded},
        {"a byte a read and a write", TLS1_3_VERSION, 1, 1, unbounded},
        {"short reads and writes", TLS1_3_VERSION, 7, 13, unbounded},
        {"a kernel buffer smaller than a record", TLS1_3_VERSION, 4'096, unbounded, 1'000},
        {"a buffer of a few bytes, short writes", TLS1_3_VERSION, 5, 3, 40},
        {"TLS 1.2, short reads and a small buffer", TLS1_2_VERSION, 11, unbounded, 2'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair(c.version);
        pair.wire.readMost = c.readMost;
        pair.wire.writeMost = c.writeMost;
        pair.wire.room = c.room;
        pair.handshake();
        ASSERT_TRUE(pair.shaken.has_value());
        ASSERT_FALSE(*pair.shaken) << pair.shaken->message();

        // A frame's header, small, before its payload: gathered into one record.
        const auto header = pattern(10, 'h');
        const auto payload = pattern(100'000, 'p');
        std::optional<error_code> wrote;
        const std::array<asio::const_buffer, 2> frame{asio::buffer(header), asio::buffer(payload)};
        asio::async_write(pair.tls, frame, [&](error_code ec, std::size_t) { wrote = ec; });
        settle(pair.io, pair.wire, pair.client);
        ASSERT_TRUE(wrote.has_value());
        EXPECT_FALSE(*wrote) << wrote->message();
        EXPECT_TRUE(pair.client.received == header + payload) << pair.client.received.size() << " bytes";

        const auto upload = pattern(50'000, 'u');
        pair.client.write(upload);
        std::string read(upload.size(), '\0');
        std::optional<error_code> got;
        asio::async_read(pair.tls, asio::buffer(read), [&](error_code ec, std::size_t) { got = ec; });
        settle(pair.io, pair.wire, pair.client);
        ASSERT_TRUE(got.has_value());
        EXPECT_FALSE(*got) << got->message();
        EXPECT_TRUE(read == upload);
    }
}

// Steps that must write whatever they were asked for: the handshake,
// which reads the client's hello and answers it, and, after a client's
// KeyUpdate asking for one back, the next write, which sends the relay's
// KeyUpdate before the data. With the relay's buffer full each waits for
// room rather than fail or spin, then goes on, a few bytes at a time.
TEST(TlsSocket, AStepThatMustWriteWaitsForRoomAndThenGoesOn) {
    Pair pair;
    pair.wire.room = 0;
    pair.client.carry(pair.wire);
    pair.tls.async_handshake([&](error_code ec) { pair.shaken = ec; });
    spin(pair.io);
    EXPECT_FALSE(pair.shaken.has_value()) << "handshaken with nowhere to write";
    pair.wire.room = 10;
    settle(pair.io, pair.wire, pair.client);
    ASSERT_FALSE(pair.shaken.value_or(asio::error::timed_out));

    pair.client.keyUpdate(SSL_KEY_UPDATE_REQUESTED);
    pair.client.write("ping");
    pair.client.carry(pair.wire);
    std::array<char, 64> read{};
    std::optional<std::size_t> got;
    pair.tls.async_read_some(asio::buffer(read), [&](error_code ec, std::size_t n) {
        EXPECT_FALSE(ec) << ec.message();
        got = n;
    });
    settle(pair.io, pair.wire, pair.client);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(std::string(read.data(), *got), "ping");

    pair.wire.room = 0;
    const auto pong = pattern(3'000, 'p');
    std::optional<error_code> wrote;
    asio::async_write(pair.tls, asio::buffer(pong), [&](error_code ec, std::size_t) { wrote = ec; });
    spin(pair.io);
    EXPECT_FALSE(wrote.has_value());
    pair.wire.room = 10;
    settle(pair.io, pair.wire, pair.client);
    EXPECT_FALSE(wrote.value_or(asio::error::timed_out));
    EXPECT_TRUE(pair.client.received == pong) << "read under the relay's new keys: " << pair.client.received.size();
}

// One table: the transport failing at its n-th read or write ends the
// operation under way with the transport's own error, whichever step
// OpenSSL was at.
TEST(TlsSocket, ATransportFailureEndsTheOperationWithItsError) {
    enum class Step { handshake, read, write };
    struct Case {
        const char* name;
        Step step;
        int failRead, failWrite;
    };
    const std::vector<Case> cases = {
        {"the handshake's first read", Step::handshake, 1, 0},
        {"the handshake's first write", Step::handshake, 0, 1},
        {"a read once handshaken", Step::read, 1, 0},
        {"a read's third try", Step::read, 3, 0},
        {"a write once handshaken", Step::write, 0, 1},
        {"a write's second part", Step::write, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair;
        pair.wire.readMost = 100;
        pair.wire.writeMost = 1'000;
        if (c.step == Step::handshake) {
            pair.wire.failRead = c.failRead;
            pair.wire.failWrite = c.failWrite;
        }
        pair.handshake();
        ASSERT_TRUE(pair.shaken.has_value());
        if (c.step == Step::handshake) {
            EXPECT_EQ(*pair.shaken, pair.wire.failure) << pair.shaken->message();
            continue;
        }
        ASSERT_FALSE(*pair.shaken) << pair.shaken->message();
        pair.wire.failRead = c.failRead;
        pair.wire.failWrite = c.failWrite;
        std::optional<error_code> ended;
        std::string bytes(20'000, 'x');
        if (c.step == Step::read) {
            pair.client.write(bytes);
            asio::async_read(pair.tls, asio::buffer(bytes), [&](error_code ec, std::size_t) { ended = ec; });
        } else {
            asio::async_write(pair.tls, asio::buffer(bytes), [&](error_code ec, std::size_t) { ended = ec; });
        }
        settle(pair.io, pair.wire, pair.client);
        ASSERT_TRUE(ended.has_value());
        EXPECT_EQ(*ended, pair.wire.failure) << ended->message();
    }
}

// What a client sends at once is taken a turn at a time: one read hands
// OpenSSL at most a turn's bytes of the transport, and the loop runs
// other work before the next.
TEST(TlsSocket, OneReadTakesAtMostATurnOfWhatTheClientSent) {
    Pair pair;
    pair.handshake();
    ASSERT_FALSE(pair.shaken.value_or(asio::error::timed_out));
    const auto upload = pattern(4 * detail::tlsTurnBytes, 'u');
    pair.client.write(upload);
    pair.client.carry(pair.wire);
    const auto before = pair.wire.taken;
    std::string read(upload.size(), '\0');
    std::optional<std::size_t> got;
    pair.tls.async_read_some(asio::buffer(read), [&](error_code ec, std::size_t n) {
        EXPECT_FALSE(ec) << ec.message();
        got = n;
    });
    pair.io.restart();
    pair.io.poll_one();
    pair.io.poll_one();
    ASSERT_TRUE(got.has_value());
    EXPECT_GT(*got, 0u);
    EXPECT_LE(pair.wire.taken - before, detail::tlsTurnBytes);
}

// One table: handshake messages a client sends after its handshake
// (KeyUpdates) are allowed as the allowance below says, on the socket's
// clock; one past that ends the connection, whatever it asks for, and the
// relay writes nothing more to it.
TEST(TlsSocket, AClientSendingKeyUpdatesFasterThanABrowserIsClosed) {
    struct Case {
        const char* name;
        int first;               // sent at once
        std::int64_t laterMillis;  // then, this much later,
        int then;                // this many more
        int type;
        bool closed;
    };
    const auto burst = KeyUpdateAllowance::burst;
    const auto every = KeyUpdateAllowance::perMillis;
    const std::vector<Case> cases = {
        {"the burst", burst, 0, 0, SSL_KEY_UPDATE_REQUESTED, false},
        {"one past the burst", burst + 1, 0, 0, SSL_KEY_UPDATE_REQUESTED, true},
        {"one past the burst, asking for none back", burst + 1, 0, 0, SSL_KEY_UPDATE_NOT_REQUESTED, true},
        {"the burst, then one a while later", burst, every, 1, SSL_KEY_UPDATE_REQUESTED, false},
        {"thousands at once", 5'000, 0, 0, SSL_KEY_UPDATE_REQUESTED, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        manualNow = 1'000'000;
        Pair pair;
        pair.handshake();
        ASSERT_FALSE(pair.shaken.value_or(asio::error::timed_out));
        std::optional<error_code> ended;
        std::array<char, 64> read{};
        std::function<void()> readOn = [&] {
            pair.tls.async_read_some(asio::buffer(read), [&](error_code ec, std::size_t) {
                if (ec) ended = ec;
                else readOn();
            });
        };
        readOn();
        const auto send = [&](int count) {
            for (int i = 0; i < count; ++i) pair.client.keyUpdate(c.type);
            pair.client.write("still here");
            settle(pair.io, pair.wire, pair.client);
        };
        send(c.first);
        manualNow += c.laterMillis;
        if (c.then > 0) send(c.then);
        EXPECT_EQ(ended.has_value(), c.closed) << (ended ? ended->message() : "open");
        if (c.closed) {
            pair.wire.take();
            std::optional<error_code> wrote;
            asio::async_write(pair.tls, asio::buffer(std::string("more")), [&](error_code ec, std::size_t) { wrote = ec; });
            settle(pair.io, pair.wire, pair.client);
            EXPECT_TRUE(wrote.value_or(error_code{}));
            EXPECT_EQ(pair.wire.out, "");
        }
    }
}

// The allowance itself, on its clock.
TEST(TlsSocket, TheAllowanceOfKeyUpdatesIsABurstAndOneEveryWhile) {
    struct Step {
        std::int64_t atMillis;
        int count;
        int allowed;
    };
    const auto burst = KeyUpdateAllowance::burst;
    const auto every = KeyUpdateAllowance::perMillis;
    const std::vector<std::pair<const char*, std::vector<Step>>> roads = {
        {"a burst, then nothing", {{0, burst + 3, burst}}},
        {"one back after a while", {{0, burst, burst}, {every - 1, 1, 0}, {every, 2, 1}}},
        {"never more than a burst saved", {{0, 1, 1}, {100 * every, burst + 5, burst}}},
        {"a browser's pace", {{0, 1, 1}, {every, 1, 1}, {2 * every, 1, 1}, {3 * every, 1, 1}}},
        {"a clock that starts anywhere", {{-5 * every, burst, burst}, {-4 * every, 2, 1}}},
    };
    for (const auto& [name, steps] : roads) {
        SCOPED_TRACE(name);
        KeyUpdateAllowance allowance;
        for (const auto& step : steps) {
            int allowed = 0;
            for (int i = 0; i < step.count; ++i) allowed += allowance.take(step.atMillis) ? 1 : 0;
            EXPECT_EQ(allowed, step.allowed) << "at " << step.atMillis;
        }
    }
}

// The gathering rule, a row per case: a small first buffer is copied with
// what follows up to a record's worth; anything else goes alone.
TEST(TlsSocket, ASmallFirstBufferIsGatheredWithWhatFollowsUpToARecord) {
    struct Row {
        const char* name;
        std::size_t first, rest;
        Gathering expected;
    };
    const std::vector<Row> rows = {
        {"nothing", 0, 0, {0, false}},
        {"a frame's header before its payload", 10, 100'000, {detail::gatherBytes, true}},
        {"a header and a small payload", 10, 500, {510, true}},
        {"a small buffer alone", 10, 0, {10, false}},
        {"just under the floor", detail::gatherBelowBytes - 1, 50'000, {detail::gatherBytes, true}},
        {"at the floor", detail::gatherBelowBytes, 50'000, {detail::gatherBelowBytes, false}},
        {"a large buffer", 200'000, 10, {200'000, false}},
        {"a header and exactly a record's rest", 16, detail::gatherBytes - 16, {detail::gatherBytes, true}},
    };
    for (const auto& row : rows) EXPECT_EQ(gathering(row.first, row.rest), row.expected) << row.name;
}

}  // namespace
}  // namespace morvane::relay_service::testing::tls_layer
