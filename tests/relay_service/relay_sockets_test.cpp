// The relay's sockets over real ones on loopback: a device or a host's
// link that stops reading is closed as slow without the relay holding its
// records or sending it anyone else's, and one that reads slowly is not;
// TLS offers only AEAD suites; and at
// a low descriptor limit a flood of silent connections neither spins the
// relay nor holds up anyone else's request.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "../harness/harness_process.h"
#include "../support/eventually.h"
#include "../support/sanitizer_slowdown.h"
#include "core/secure.h"
#include "paced_reader.h"
#include "relay/relay_bytes.h"
#include "relay/relay_control.h"
#include "relay/relay_identity.h"
#include "relay_test_device.h"
#include "relay_service/handshake_room.h"
#include "relay_service/handshake_turns.h"
#include "relay_service/relay_limits.h"
#include "relay_service/web/relay_web.h"
#include "other_instance.h"
#include "service_rig.h"
#include "test_certificates.h"

namespace morvane::relay_service::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using morvane::testing::RelayTestDevice;
using namespace std::chrono_literals;
using Socket = ws::stream<beast::tcp_stream>;

// Plain HTTP on loopback, with these limits on what may wait, and peers
// judged over a window of a second rather than five.
RelayServerOptions queuing(QueueLimits queues) {
    RelayServerOptions options;
    options.queues = queues;
    options.queues.windowMillis = 1'000;
    return options;
}

// A computer put on an account in the store, with a ticket for each of its
// devices, as a sign-in would leave them.
struct Computer {
    RelayIdentity identity{P256PrivateKey::generate(), P256PrivateKey::generate(), 0};
    std::string room = RelayBytes::hex(identity.roomID());
    std::vector<std::string> tickets;
};

Computer enrol(ServiceRig& relay, const std::string& email, int devices) {
    Computer computer;
    relay.runSync([&] {
        const auto now = systemWallMillis() / 1000;
        const auto account = relay.store.accountForEmail(email, now);
        relay.store.addHost(HostRecord{computer.room, computer.identity.hostPublicKeyText(), "Desk", account.userId, now},
                            10);
        for (int i = 0; i < devices; ++i) {
            const auto ticket = RelayBytes::b64u(Secure::randomBytes(16)) + RelayBytes::b64u(Secure::randomBytes(32));
            relay.store.putToken(
                Token{Secure::sha256Hex(ticket), TokenKind::ticket, account.userId, "web", computer.room, now + 3600});
            computer.tickets.push_back(ticket);
        }
    });
    return computer;
}

// A socket the test reads only when it chooses. Its receive buffer is
// small, so that the relay's writes to it stall as soon as it stops.
std::unique_ptr<Socket> connect(asio::io_context& io, std::uint16_t port, int receiveBuffer) {
    tcp::socket raw(io);
    raw.open(tcp::v4());
    raw.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    raw.connect({asio::ip::make_address("127.0.0.1"), port});
    return std::make_unique<Socket>(std::move(raw));
}

struct Received {
    beast::error_code error;  // why the socket ended, or that the wait ran out
    bool text = false;
    Bytes bytes;
    std::string string() const { return std::string(bytes.begin(), bytes.end()); }
};

Received receive(asio::io_context& io, Socket& socket, std::chrono::milliseconds wait = 5s) {
    Received out;
    beast::flat_buffer buffer;
    bool done = false;
    socket.async_read(buffer, [&](beast::error_code ec, std::size_t) {
        out.error = ec;
        done = true;
    });
    io.restart();
    io.run_for(wait);
    if (!done) {
        beast::get_lowest_layer(socket).cancel();
        io.restart();
        io.run();
        out.error = asio::error::timed_out;
        return out;
    }
    out.text = socket.got_text();
    const auto data = buffer.cdata();
    out.bytes.assign(static_cast<const std::uint8_t*>(data.data()),
                     static_cast<const std::uint8_t*>(data.data()) + data.size());
    return out;
}

// A computer's link, proved and welcomed, as the host opens it.
std::unique_ptr<Socket> hostLink(asio::io_context& io, std::uint16_t port, const Computer& computer, int receiveBuffer) {
    auto socket = connect(io, port, receiveBuffer);
    const auto hello =
        computer.identity.helloHeader(static_cast<std::uint64_t>(systemWallMillis() / 1000), Secure::randomBytes(16));
    socket->set_option(ws::stream_base::decorator([hello](ws::request_type& r) {
        r.set(beast::http::field::sec_websocket_protocol, "morvane.v1");
        r.set("X-Morvane-Host-Auth", hello);
    }));
    socket->handshake("127.0.0.1", "/relay/v1/host/" + computer.room);
    const auto challenge = json::parse(receive(io, *socket).string());
    const auto nonce = RelayBytes::fromB64u(challenge["nonce"].get<std::string>());
    socket->text(true);
    socket->write(asio::buffer(R"({"t":"prove","sig":")" + computer.identity.proveSignature(*nonce) + "\"}"));
    EXPECT_EQ(json::parse(receive(io, *socket).string())["t"], "welcome");
    socket->binary(true);
    return socket;
}

// A device's socket. It offers compression, which the relay never takes:
// records are sealed, so it would only cost.
std::unique_ptr<Socket> device(asio::io_context& io, std::uint16_t port, const std::string& room,
                               const std::string& ticket, int receiveBuffer) {
    auto socket = connect(io, port, receiveBuffer);
    socket->set_option(ws::stream_base::decorator(
        [](ws::request_type& r) { r.set(beast::http::field::sec_websocket_protocol, "morvane.v1"); }));
    ws::permessage_deflate deflate;
    deflate.client_enable = true;
    socket->set_option(deflate);
    ws::response_type answer;
    socket->handshake(answer, "127.0.0.1", "/relay/v1/device/" + room + "?ticket=" + ticket);
    EXPECT_EQ(answer[beast::http::field::sec_websocket_extensions], "");
    socket->binary(true);
    return socket;
}

std::uint32_t joined(asio::io_context& io, Socket& host) {
    const auto message = json::parse(receive(io, host).string(), nullptr, false);
    EXPECT_EQ(message.value("t", ""), "joined");
    return message.value("c", 0u);
}

// Large enough to be queued as read, in the frame it came in.
constexpr std::size_t recordBytes = 200'000;
// The host's k-th record to its device is filled with this byte; the other
// account's are all 0xFF.
std::uint8_t fill(int k) { return static_cast<std::uint8_t>(k % 250 + 1); }

TEST(RelaySockets, ADeviceThatStopsReadingIsClosedAsSlowAndGetsNothingItShouldNot) {
    struct Case {
        const char* name;
        QueueLimits queues;
        int devices;
        bool readsAgain;  // at once, after its host heard it left
        const char* limit;
    };
    const std::vector<Case> cases = {
        {"a device that never reads again", {256 << 10, 64 << 20, 64 << 20}, 1, false,
         "over the 256 KiB one connection may have waiting"},
        {"three devices of one account", {64 << 20, 512 << 10, 64 << 20}, 3, true,
         "over the 512 KiB one account may have waiting"},
        {"a device against the relay's total", {64 << 20, 64 << 20, 512 << 10}, 1, true,
         "over the 512 KiB the relay may have waiting in all"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A device closed as slow is given a window to take its close; the
        // test reads it once the rounds are written.
        auto options = queuing(c.queues);
        options.queues.windowMillis = 2'000;
        ServiceRig relay(options);
        const auto mine = enrol(relay, "owner@example.com", c.devices);
        const auto theirs = enrol(relay, "stranger@example.com", 1);
        asio::io_context io;
        auto host = hostLink(io, relay.port(), mine, 1 << 20);
        std::vector<std::unique_ptr<Socket>> phones;
        std::vector<std::uint32_t> ids;
        for (const auto& ticket : mine.tickets) {
            phones.push_back(device(io, relay.port(), mine.room, ticket, 4096));
            ids.push_back(joined(io, *host));
        }
        auto strangerHost = hostLink(io, relay.port(), theirs, 1 << 20);
        RelayTestDevice strangerPhone(relay.origin("http"), theirs.room + "?ticket=" + theirs.tickets[0]);
        const auto strangerID = joined(io, *strangerHost);

        // Both computers send; what the stalled devices do not read piles up,
        // once the relay's socket buffer (a MiB) is full.
        // The other account's device reads each of its own as it comes.
        // Sending stops once a device is closed as slow: from then on it has
        // the relay's short time for a slow close to take what was under
        // way, and a busy machine must not spend it on rounds that no longer
        // matter.
        const auto closedAsSlow = [&] {
            const auto logs = relay.logs();
            return std::any_of(logs.begin(), logs.end(), [&](const std::string& line) {
                return line.starts_with("warning: closed device ") &&
                       line.find(" of room " + mine.room + " ") != std::string::npos &&
                       line.find(" with 1008 (slow)") != std::string::npos;
            });
        };
        constexpr int rounds = 24;
        for (int k = 0; k < rounds && !closedAsSlow(); ++k) {
            for (const auto id : ids) host->write(asio::buffer(RelayFrame::make(id, Bytes(recordBytes, fill(k)))));
            strangerHost->write(asio::buffer(RelayFrame::make(strangerID, Bytes(recordBytes, 0xFF))));
            const auto record = strangerPhone.receive();
            ASSERT_TRUE(record) << "record " << k;
            EXPECT_EQ(*record, Bytes(recordBytes, 0xFF));
        }
        // The host hears at once that a device left, and the log says which
        // and why.
        const auto heard = receive(io, *host);
        const auto left = json::parse(heard.string(), nullptr, false);
        ASSERT_TRUE(left.is_object() && left.value("t", "") == "left") << heard.error.message() << json(relay.logs()).dump(1);
        const auto gone = left.value("c", 0u);
        const auto which = std::find(ids.begin(), ids.end(), gone) - ids.begin();
        ASSERT_LT(which, static_cast<long>(ids.size()));
        EXPECT_TRUE(relay.logged("warning: closed device " + std::to_string(gone) + " of room " + mine.room +
                                 " from 127.0.0.1 with 1008 (slow)"));
        EXPECT_TRUE(relay.logged(c.limit));
        // Until then, or until the relay gave up writing to it, the device
        // gets its own records, whole and in order; then the close, or the
        // end of its socket.
        if (!c.readsAgain) {
            EXPECT_TRUE(relay.logged("reset a device of room " + mine.room));
        }
        int k = 0;
        Received next;
        while (!(next = receive(io, *phones[which])).error) {
            EXPECT_EQ(next.bytes, Bytes(recordBytes, fill(k))) << "record " << k;
            ++k;
        }
        EXPECT_LT(k, rounds);
        if (c.readsAgain) {
            EXPECT_EQ(next.error, ws::error::closed) << next.error.message() << json(relay.logs()).dump(1);
            EXPECT_EQ(phones[which]->reason().code, 1008);
            EXPECT_EQ(phones[which]->reason().reason, "slow");
        } else {
            EXPECT_NE(next.error, ws::error::closed);
            EXPECT_NE(next.error, asio::error::timed_out);
        }
    }
}

TEST(RelaySockets, AHostLinkThatStopsReadingIsClosedAsSlowAndItsDevicesHearTheComputerIsOffline) {
    ServiceRig relay(queuing({256 << 10, 64 << 20, 64 << 20}));
    const auto mine = enrol(relay, "owner@example.com", 2);
    const auto theirs = enrol(relay, "stranger@example.com", 1);
    asio::io_context io;
    auto host = hostLink(io, relay.port(), mine, 4096);
    std::vector<std::unique_ptr<RelayTestDevice>> phones;
    for (const auto& ticket : mine.tickets)
        phones.push_back(std::make_unique<RelayTestDevice>(relay.origin("http"), mine.room + "?ticket=" + ticket));
    auto strangerHost = hostLink(io, relay.port(), theirs, 1 << 20);
    RelayTestDevice strangerPhone(relay.origin("http"), theirs.room + "?ticket=" + theirs.tickets[0]);
    const auto strangerID = joined(io, *strangerHost);

    // The devices send records their host never reads, more than the
    // relay's socket buffers hold.
    // Within what the other computer, not reading meanwhile either, has
    // room for in its socket's buffers and its queue.
    constexpr int rounds = 16;
    constexpr std::size_t size = 60'000;
    for (int k = 0; k < rounds; ++k) {
        for (std::size_t i = 0; i < phones.size(); ++i) phones[i]->send(Bytes(size, static_cast<std::uint8_t>(0x10 + i)));
        strangerPhone.send(Bytes(size, 0xFF));
    }
    // Its devices hear at once that their computer is offline; the log says
    // which link and why.
    for (auto& phone : phones) {
        EXPECT_FALSE(phone->receive(5s));
        EXPECT_EQ(phone->closedWith(), 4503);
    }
    EXPECT_TRUE(relay.logged("warning: closed the link of room " + mine.room + " from 127.0.0.1 with 1008 (slow)"));
    EXPECT_TRUE(relay.logged("over the 256 KiB one connection may have waiting"));
    // The other account's computer got every record of its device.
    for (int k = 0; k < rounds; ++k) {
        const auto frame = receive(io, *strangerHost);
        ASSERT_FALSE(frame.error) << frame.error.message();
        EXPECT_EQ(frame.bytes, RelayFrame::make(strangerID, Bytes(size, 0xFF)));
    }
    // The relay gave up writing to the link: what the host still reads is
    // its own devices' records, whole, then the end of the socket.
    EXPECT_TRUE(relay.logged("reset a link of room " + mine.room));
    std::map<std::uint32_t, std::uint8_t> fills;
    Received next;
    while (!(next = receive(io, *host)).error) {
        if (next.text) continue;  // who joined
        const auto frame = RelayFrame::split(next.bytes);
        ASSERT_TRUE(frame);
        const auto first = frame->record.empty() ? 0 : frame->record[0];
        const auto [known, fresh] = fills.emplace(frame->id, first);
        EXPECT_TRUE(first == 0x10 || first == 0x11) << int(first);
        EXPECT_EQ(Bytes(frame->record.begin(), frame->record.end()), Bytes(size, known->second));
    }
    EXPECT_NE(next.error, ws::error::closed);
    EXPECT_NE(next.error, asio::error::timed_out);
}

TEST(RelaySockets, APhoneThatReadsIsNeverClosedAsSlowWhileOtherAccountsDevicesStall) {
    // A relay that may hold a few records in all, and devices of other
    // accounts that stop reading, each holding some of them; a phone that
    // reads is sent keyframes of two records while they stall.
    ServiceRig relay(queuing({4 << 20, 16 << 20, 3 << 20}));
    constexpr int stalledAccounts = 6, rounds = 20;
    const auto phoneAccount = enrol(relay, "owner@example.com", 1);
    std::vector<Computer> others;
    for (int i = 0; i < stalledAccounts; ++i)
        others.push_back(enrol(relay, "other+" + std::to_string(i) + "@example.com", 1));
    asio::io_context io;
    std::vector<std::unique_ptr<Socket>> hosts, stalled;
    std::vector<std::uint32_t> ids;
    for (const auto& other : others) {
        hosts.push_back(hostLink(io, relay.port(), other, 1 << 20));
        stalled.push_back(device(io, relay.port(), other.room, other.tickets[0], 4096));
        ids.push_back(joined(io, *hosts.back()));
    }
    auto phoneHost = hostLink(io, relay.port(), phoneAccount, 1 << 20);
    RelayTestDevice phone(relay.origin("http"), phoneAccount.room + "?ticket=" + phoneAccount.tickets[0]);
    const auto phoneID = joined(io, *phoneHost);

    for (int k = 0; k < rounds; ++k) {
        for (std::size_t i = 0; i < hosts.size(); ++i)
            hosts[i]->write(asio::buffer(RelayFrame::make(ids[i], Bytes(recordBytes, fill(k)))));
        for (int part = 0; part < 2; ++part)
            phoneHost->write(asio::buffer(RelayFrame::make(phoneID, Bytes(recordBytes, fill(k)))));
        // The phone reads it before the next.
        for (int part = 0; part < 2; ++part) {
            const auto record = phone.receive();
            ASSERT_TRUE(record) << "keyframe " << k << ", closed with " << phone.closedWith().value_or(0) << "\n"
                                << json(relay.logs()).dump(1);
            EXPECT_EQ(*record, Bytes(recordBytes, fill(k)));
        }
    }
    EXPECT_FALSE(phone.ended());
    const auto logs = relay.logs();
    const auto closedPhone = std::any_of(logs.begin(), logs.end(), [&](const std::string& line) {
        return line.find("of room " + phoneAccount.room) != std::string::npos && line.find("closed") != std::string::npos;
    });
    EXPECT_FALSE(closedPhone) << json(logs).dump(1);
    // A stalled device was closed, and the log says why in words that are
    // true of it: it took next to nothing over the window.
    const auto closedStalled = std::any_of(logs.begin(), logs.end(), [&](const std::string& line) {
        const bool stalledRoom = std::any_of(others.begin(), others.end(), [&](const Computer& other) {
            return line.find("closed device " + std::to_string(ids[&other - others.data()]) + " of room " + other.room) !=
                   std::string::npos;
        });
        return stalledRoom && line.find("with 1008 (slow): it took ") != std::string::npos &&
               line.find("under the 32 KiB a second asked of a peer") != std::string::npos &&
               line.find("the relay may have waiting in all") != std::string::npos;
    });
    EXPECT_TRUE(closedStalled) << json(logs).dump(1);
}

TEST(RelaySockets, APhoneReadingSlowlyWithinItsShareIsNeverClosedForStrangersAndOneClosedAsSlowReadsWhy) {
    // Strangers' devices of other accounts read slowly but steadily and
    // their computers send as fast as the relay reads them, holding the
    // relay's total; a phone on a slow link reads its computer's stream,
    // which keeps a credit window ahead of it. Each side's writer is woken
    // seconds apart by the kernel.
    struct Case {
        const char* name;
        QueueLimits queues;
        int strangers, dials;  // dials: each stranger's devices, one dialled as the last is closed
        double strangerPace, phonePace;
        // Read until the phone took so much and each stranger was closed so
        // often, and for at least so long.
        std::uint64_t phoneTakes;
        std::size_t closesEach;
        std::chrono::seconds atLeast;
        int records;  // the phone reads at least
    };
    // Shares of the total as even splits: 2 MiB each would be promised to
    // more accounts than these totals hold.
    const auto evenShares = [](QueueLimits queues) {
        queues.leastShare = 256 << 10;
        return queues;
    };
    const std::vector<Case> cases = {
        // A little under the floor, dialling again as soon as they are
        // closed: they are closed, the phone reading 160 KB/s is not.
        {"strangers under the floor, a phone above it", evenShares({2 << 20, 4 << 20, 3 << 20}), 4, 8, 20'000, 160'000,
         1'500'000, 2, 0s, 20},
        // A little above the floor, each over its account's share of the
        // total (a quarter of 6 MiB, the phone's account holding at most a
        // credit window): the phone under the floor is the slowest of all,
        // yet its computer's records pass and the strangers' computers wait.
        {"strangers just above the floor over their share, a phone under it within its own",
         evenShares({4 << 20, 8 << 20, 6 << 20}), 3, 1, 40'000, 20'000, 0, 0, 30s, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Judged over two seconds: this test's one thread, kept off a loaded
        // machine's cores for most of a second, must not pass for a phone
        // slower than its pace.
        auto options = queuing(c.queues);
        options.queues.windowMillis = 2'000;
        ServiceRig relay(options);
        constexpr std::size_t strangerRecord = 20'000, phoneRecord = 60'000;
        const auto mine = enrol(relay, "owner@example.com", 1);
        std::vector<Computer> others;
        for (int i = 0; i < c.strangers; ++i)
            others.push_back(enrol(relay, "other+" + std::to_string(i) + "@example.com", c.dials));
        asio::io_context io;
        using morvane::testing::PacedReader;
        using morvane::testing::ReadingPace;

        // The strangers' computers send as fast as the relay reads them, to
        // whichever of their devices is there.
        struct Stranger {
            explicit Stranger(asio::io_context& io) : idle(io) {}
            std::unique_ptr<Socket> host;
            beast::flat_buffer heard;
            asio::steady_timer idle;
            std::uint32_t id = 0;  // its device now, 0 while none
            int dialled = 0;
            std::uint64_t sent = 0;
            std::vector<std::shared_ptr<PacedReader<Socket>>> devices;
            std::vector<int> closes;  // the close each ended device read, 0 for none
            std::uint64_t taken() const {
                std::uint64_t all = 0;
                for (const auto& each : devices) all += each->total();
                return all;
            }
        };
        std::vector<std::unique_ptr<Stranger>> theirs;
        std::function<void(Stranger&)> listen = [&](Stranger& stranger) {
            stranger.host->async_read(stranger.heard, [&](beast::error_code ec, std::size_t) {
                if (ec) return;
                const auto said = json::parse(beast::buffers_to_string(stranger.heard.data()), nullptr, false);
                stranger.heard.consume(stranger.heard.size());
                if (said.is_object() && said.value("t", "") == "joined") stranger.id = said.value("c", 0u);
                if (said.is_object() && said.value("t", "") == "left" && said.value("c", 0u) == stranger.id)
                    stranger.id = 0;
                listen(stranger);
            });
        };
        std::function<void(Stranger&)> flood = [&](Stranger& stranger) {
            if (!stranger.id) {
                stranger.idle.expires_after(10ms);
                return stranger.idle.async_wait([&](beast::error_code ec) {
                    if (!ec) flood(stranger);
                });
            }
            const auto frame = std::make_shared<Bytes>(RelayFrame::make(stranger.id, Bytes(strangerRecord, 0xEE)));
            stranger.host->async_write(asio::buffer(*frame), [&, frame](beast::error_code ec, std::size_t) {
                if (ec) return;
                stranger.sent += strangerRecord;
                flood(stranger);
            });
        };
        std::function<void(Stranger&, const Computer&)> dial = [&](Stranger& stranger, const Computer& computer) {
            if (stranger.dialled == c.dials) return;
            auto socket = device(io, relay.port(), computer.room, computer.tickets[stranger.dialled++], 4096);
            stranger.devices.push_back(std::make_shared<PacedReader<Socket>>(
                std::move(socket), ReadingPace{c.strangerPace},
                [&stranger, &computer, &dial, &io](const beast::error_code& ec, const Socket& s) {
                    stranger.closes.push_back(ec == ws::error::closed ? s.reason().code : 0);
                    asio::post(io, [&] { dial(stranger, computer); });
                }));
            stranger.devices.back()->start();
        };
        for (const auto& computer : others) {
            theirs.push_back(std::make_unique<Stranger>(io));
            theirs.back()->host = hostLink(io, relay.port(), computer, 1 << 20);
        }

        // The phone's computer keeps at most a credit window ahead of it,
        // each record filled with its number.
        auto phoneHost = hostLink(io, relay.port(), mine, 1 << 20);
        auto phoneSocket = device(io, relay.port(), mine.room, mine.tickets[0], 64 << 10);
        const auto phoneID = joined(io, *phoneHost);
        int sent = 0, whole = 0;
        std::size_t at = 0;  // in the record being read
        bool phoneEnded = false, wrong = false;
        auto phone = std::make_shared<PacedReader<Socket>>(
            std::move(phoneSocket), ReadingPace{c.phonePace},
            [&](const beast::error_code&, const Socket&) { phoneEnded = true; },
            [&](const std::uint8_t* data, std::size_t size, bool last) {
                wrong = wrong || std::any_of(data, data + size, [&](std::uint8_t byte) { return byte != fill(whole); });
                at += size;
                if (!last) return;
                wrong = wrong || at != phoneRecord;
                at = 0, ++whole;
            });
        asio::steady_timer poll(io);
        std::function<void()> stream = [&] {
            if (static_cast<std::uint64_t>(sent) * phoneRecord < phone->total() + SecureChannel::creditWindow) {
                const auto frame = std::make_shared<Bytes>(RelayFrame::make(phoneID, Bytes(phoneRecord, fill(sent))));
                phoneHost->async_write(asio::buffer(*frame), [&, frame](beast::error_code ec, std::size_t) {
                    if (!ec) stream();
                });
                ++sent;
                return;
            }
            poll.expires_after(10ms);
            poll.async_wait([&](beast::error_code ec) {
                if (!ec) stream();
            });
        };
        for (std::size_t i = 0; i < theirs.size(); ++i) {
            listen(*theirs[i]);
            flood(*theirs[i]);
            dial(*theirs[i], others[i]);
        }
        const auto begun = std::chrono::steady_clock::now();
        phone->start();
        stream();

        const auto settled = [&] {
            return phone->total() >= c.phoneTakes && std::chrono::steady_clock::now() - begun >= c.atLeast &&
                   std::all_of(theirs.begin(), theirs.end(),
                               [&](const auto& stranger) { return stranger->closes.size() >= c.closesEach; });
        };
        for (const auto deadline = begun + c.atLeast + 60s;
             !settled() && !phoneEnded && std::chrono::steady_clock::now() < deadline;) {
            io.restart();
            io.run_for(100ms);
        }

        EXPECT_FALSE(phoneEnded) << json(relay.logs()).dump(1);
        EXPECT_FALSE(wrong);
        EXPECT_GE(whole, c.records);
        const auto logs = relay.logs();
        EXPECT_FALSE(std::any_of(logs.begin(), logs.end(), [&](const std::string& line) {
            return line.find("of room " + mine.room) != std::string::npos &&
                   (line.find("closed") != std::string::npos || line.find("reset") != std::string::npos);
        })) << json(logs).dump(1);
        // A stranger's device closed is closed as slow, and read why.
        for (const auto& stranger : theirs) {
            EXPECT_GE(stranger->closes.size(), c.closesEach);
            for (const int code : stranger->closes) EXPECT_EQ(code, 1008) << json(logs).dump(1);
        }
        for (std::size_t i = 0; i < others.size(); ++i) {
            if (c.closesEach > 0) {
                EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [&](const std::string& line) {
                    return line.find("of room " + others[i].room) != std::string::npos &&
                           line.find("with 1008 (slow): it took ") != std::string::npos;
                })) << others[i].room;
            } else {
                // Not closed, its computer is read only as its device takes
                // what waits: what it got through is what its device read,
                // the relay's total and the sockets' buffers at most, not
                // what a loopback flood sends in 30 seconds.
                EXPECT_LT(theirs[i]->sent, theirs[i]->taken() + c.queues.total + (8u << 20))
                    << "sent " << theirs[i]->sent << ", taken " << theirs[i]->taken();
            }
        }
    }
}

// The kernel's view of one loopback socket, from /proc/net/tcp.
struct KernelSocket {
    int state = 0;              // 1 established, 4 FIN_WAIT1 (an orphan still sending), ...
    std::size_t sendQueue = 0;  // bytes not yet acknowledged by the peer
    std::size_t receiveQueue = 0;  // bytes received and not yet read
};

// Every loopback socket at one moment, by its local and remote ports.
std::map<std::pair<std::uint16_t, std::uint16_t>, KernelSocket> kernelSockets() {
    std::map<std::pair<std::uint16_t, std::uint16_t>, KernelSocket> out;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto port = [](const std::string& end) {
            return static_cast<std::uint16_t>(std::stoul(end.substr(end.find(':') + 1), nullptr, 16));
        };
        out[{port(local), port(remote)}] = KernelSocket{
            std::stoi(state, nullptr, 16),
            static_cast<std::size_t>(std::stoul(queues.substr(0, queues.find(':')), nullptr, 16)),
            static_cast<std::size_t>(std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16))};
    }
    return out;
}

std::optional<KernelSocket> kernelSocket(std::uint16_t localPort, std::uint16_t remotePort) {
    const auto all = kernelSockets();
    const auto found = all.find({localPort, remotePort});
    if (found == all.end()) return std::nullopt;
    return found->second;
}

TEST(RelaySockets, ANonReadingPeerHoldsABoundedKernelBufferAndLeavesNoOrphanOnceClosedAsSlow) {
    ServiceRig relay(queuing({256 << 10, 64 << 20, 64 << 20}));
    const auto mine = enrol(relay, "owner@example.com", 1);
    asio::io_context io;
    auto host = hostLink(io, relay.port(), mine, 1 << 20);
    auto phone = device(io, relay.port(), mine.room, mine.tickets[0], 4096);
    const auto id = joined(io, *host);
    const auto phonePort = beast::get_lowest_layer(*phone).socket().local_endpoint().port();

    // More than the kernel would take of its own accord for a peer that
    // stopped reading.
    for (int k = 0; k < 10; ++k) host->write(asio::buffer(RelayFrame::make(id, Bytes(recordBytes, fill(k)))));
    // Closed as slow: the kernel holds what it may leave unsent, the rest
    // waited in the relay's queue. Its end lives on for the grace.
    ASSERT_TRUE(relay.logged("warning: closed device " + std::to_string(id) + " of room " + mine.room));
    const auto held = kernelSocket(relay.port(), phonePort);
    ASSERT_TRUE(held);
    EXPECT_GE(held->sendQueue, static_cast<std::size_t>(RelayLimits::unsentBytes) / 2);
    // The kernel may pass it by the one buffer it was filling.
    EXPECT_LE(held->sendQueue, static_cast<std::size_t>(RelayLimits::unsentBytes) + 65'536u);

    // Its grace over, the relay's end is gone with what it held, not left
    // to retry sending it for minutes.
    ASSERT_TRUE(relay.logged("reset a device of room " + mine.room));
    const auto after = kernelSocket(relay.port(), phonePort);
    EXPECT_FALSE(after) << "state " << after->state << ", " << after->sendQueue << " bytes to send";
}

// The budget samples what each peer took on the service's own timers and
// clock: a device that stopped reading, in the way of its computer held
// back, is closed as slow once that clock has moved a window past its
// first sample, and not a tick before, however long the test took.
TEST(RelaySockets, TheBudgetJudgesAPeerOnTheServicesClockAndClosesItAtTheTick) {
    morvane::testing::ManualExecutor timers;
    const auto options = queuing({256 << 10, 64 << 20, 64 << 20});
    ServiceRig relay(options, {}, {}, &timers);
    const auto mine = enrol(relay, "owner@example.com", 1);
    asio::io_context io;
    auto host = hostLink(io, relay.port(), mine, 1 << 20);
    auto phone = device(io, relay.port(), mine.room, mine.tickets[0], 4096);
    const auto id = joined(io, *host);
    for (int k = 0; k < 10; ++k) host->write(asio::buffer(RelayFrame::make(id, Bytes(recordBytes, fill(k)))));
    const auto closed = "warning: closed device " + std::to_string(id) + " of room " + mine.room;
    const auto tick = options.queues.windowMillis / 5;

    EXPECT_FALSE(relay.logged(closed, 2s)) << "no tick yet, however long it waits";
    // The first sample, then a window of ticks less one.
    for (std::int64_t moved = 0; moved < options.queues.windowMillis; moved += tick) relay.advance(tick);
    EXPECT_FALSE(relay.logged(closed, 0ms)) << "sampled for less than a window";
    relay.advance(tick);
    EXPECT_TRUE(relay.logged(closed, 0ms));
    EXPECT_TRUE(relay.logged("with 1008 (slow): it took "));
}

// A phone that sends faster than its connection's allowance (an upload at
// its network's speed) is read at that pace on the service's clock, not
// closed: past the first second's worth, what it sends waits in the
// kernels until time refills the allowance, and each record reaches the
// computer whole and in order.
TEST(RelaySockets, APhoneSendingFasterThanItsAllowanceIsReadAtThatPaceNotClosed) {
    morvane::testing::ManualExecutor timers;
    ServiceRig relay(queuing({4 << 20, 64 << 20, 64 << 20}), DeviceLimits{16, 4, 100'000}, {}, &timers);
    const auto mine = enrol(relay, "owner@example.com", 1);
    asio::io_context io;
    auto host = hostLink(io, relay.port(), mine, 1 << 20);
    auto phone = device(io, relay.port(), mine.room, mine.tickets[0], 64 << 10);
    const auto id = joined(io, *host);

    constexpr std::size_t record = 50'000;
    constexpr int records = 10;
    std::vector<Bytes> sent;
    for (int k = 0; k < records; ++k) sent.emplace_back(record, fill(k));
    std::function<void(int)> send = [&](int k) {
        if (k < records) phone->async_write(asio::buffer(sent[k]), [&, k](beast::error_code ec, std::size_t) {
            if (!ec) send(k + 1);
        });
    };
    int arrived = 0, wrong = 0;
    beast::flat_buffer frame;
    std::function<void()> read = [&] {
        host->async_read(frame, [&](beast::error_code ec, std::size_t) {
            if (ec) return;
            const auto data = frame.cdata();
            const auto* bytes = static_cast<const std::uint8_t*>(data.data());
            if (host->got_text()) {
                ++wrong;  // the phone left
            } else if (RelayFrame::make(id, sent[arrived]) == Bytes(bytes, bytes + data.size())) {
                ++arrived;
            } else {
                ++wrong;
            }
            frame.consume(frame.size());
            read();
        });
    };
    std::optional<beast::error_code> phoneEnded;
    beast::flat_buffer heard;
    phone->async_read(heard, [&](beast::error_code ec, std::size_t) { phoneEnded = ec; });
    const auto runFor = [&](std::chrono::milliseconds wait, int until) {
        const auto end = std::chrono::steady_clock::now() + wait;
        while (arrived < until && std::chrono::steady_clock::now() < end) {
            io.restart();
            io.run_for(20ms);
        }
    };
    send(0);
    read();

    // The first second's worth (100 kB) and the record that overdrew it;
    // then nothing, however long the test waits, until the clock moves.
    runFor(1s, records);
    EXPECT_EQ(arrived, 3);
    // Each record owes half a second: none comes a millisecond early, and
    // each comes as it is paid for.
    for (int k = 3; k < records; ++k) {
        relay.advance(499);
        runFor(200ms, k + 1);
        EXPECT_EQ(arrived, k);
        relay.advance(1);
        runFor(5s, k + 1);
        ASSERT_EQ(arrived, k + 1);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(phoneEnded);
    for (const auto& line : relay.logs()) EXPECT_EQ(line.find("closed device"), std::string::npos) << line;
}

// Phones whose uploads the relay stops reading, since their computer takes
// less than they send: what waits for the relay piles up in the phones'
// kernels, not in the relay's; an account whose sockets hold more than its
// allowance there has its phones closed as slow, and each reads why; a
// phone that sends a burst to a computer that takes it in time is held
// back a while and loses nothing.
TEST(RelaySockets, UploadsHeldBackStayInTheirAccountsShareOfTheKernel) {
    struct Case {
        const char* name;
        std::size_t kernelPerAccount;
        int phones;
        std::size_t burst;    // each phone's, 0 for as fast as the relay reads
        double computerPace;  // bytes a second its computer reads
        bool closed;          // its phones are closed as slow
    };
    const std::vector<Case> cases = {
        {"phones sending all they can to a computer reading just above the floor", 64 << 20, 4, 0, 60'000, false},
        {"the same phones, of an account allowed little of the kernel's memory", 64 << 10, 4, 0, 60'000, true},
        {"(a behaving phone) a burst of 1 MiB its computer takes within seconds", 4 << 20, 1, 1 << 20, 400'000, false},
    };
    constexpr std::size_t record = 60'000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A computer's queue of 256 KiB: its phones are held back as soon
        // as it is full. Its computer is judged over two seconds, so that a
        // loaded machine's pauses do not pass for a computer below the floor.
        auto options = queuing({256 << 10, 64 << 20, 64 << 20});
        options.queues.windowMillis = 2'000;
        options.queues.kernelPerAccount = c.kernelPerAccount;
        ServiceRig relay(options);
        const auto mine = enrol(relay, "owner@example.com", c.phones);
        asio::io_context io;
        using morvane::testing::PacedReader;
        std::uint64_t frames = 0, wrong = 0;
        std::size_t at = 0;
        auto computer = std::make_shared<PacedReader<Socket>>(
            hostLink(io, relay.port(), mine, 16 << 10), morvane::testing::ReadingPace{c.computerPace},
            [](const beast::error_code&, const Socket&) {},
            [&](const std::uint8_t*, std::size_t size, bool last) {
                at += size;
                if (!last) return;
                // Who joined, said in text, and each record behind its id.
                if (at == record + 4) ++frames; else if (at > 64) ++wrong;
                at = 0;
            });
        struct Phone {
            std::unique_ptr<Socket> socket;
            std::uint16_t port = 0;
            std::size_t sent = 0;
            beast::flat_buffer heard;
            std::optional<beast::error_code> ended;
        };
        std::vector<Phone> phones(static_cast<std::size_t>(c.phones));
        const Bytes bytes(record, 0x42);
        std::function<void(Phone&)> send = [&](Phone& phone) {
            if (c.burst && phone.sent >= c.burst) return;
            phone.socket->async_write(asio::buffer(bytes), [&](beast::error_code ec, std::size_t) {
                if (ec) return;
                phone.sent += record;
                send(phone);
            });
        };
        for (std::size_t i = 0; i < phones.size(); ++i) {
            auto& phone = phones[i];
            phone.socket = device(io, relay.port(), mine.room, mine.tickets[i], 64 << 10);
            phone.port = beast::get_lowest_layer(*phone.socket).socket().local_endpoint().port();
            phone.socket->async_read(phone.heard, [&](beast::error_code ec, std::size_t) { phone.ended = ec; });
        }
        computer->start();
        for (auto& phone : phones) send(phone);

        // What the relay's kernel holds unread of each phone, at most, once
        // they have been held back a while.
        std::size_t most = 0;
        const auto begun = std::chrono::steady_clock::now();
        const auto over = [&] {
            const auto elapsed = std::chrono::steady_clock::now() - begun;
            if (c.closed) return std::all_of(phones.begin(), phones.end(), [](const Phone& p) { return p.ended.has_value(); });
            if (c.burst) return frames * record >= c.burst || elapsed > 20s;
            return elapsed > 6s;
        };
        while (!over() && std::chrono::steady_clock::now() - begun < 30s) {
            io.restart();
            io.run_for(100ms);
            if (std::chrono::steady_clock::now() - begun < 2s) continue;
            const auto ends = kernelSockets();
            for (const auto& phone : phones)
                if (const auto end = ends.find({relay.port(), phone.port}); end != ends.end())
                    most = std::max(most, end->second.receiveQueue);
        }
        const auto logs = relay.logs();
        const auto closedAsSlow = std::count_if(logs.begin(), logs.end(), [&](const std::string& line) {
            return line.find(" of room " + mine.room + " from 127.0.0.1 with 1008 (slow): what it sent waited unread") !=
                   std::string::npos;
        });
        EXPECT_EQ(wrong, 0u);
        if (c.closed) {
            EXPECT_GE(closedAsSlow, 1) << json(logs).dump(1);
            for (const auto& phone : phones) {
                ASSERT_TRUE(phone.ended);
                EXPECT_EQ(*phone.ended, ws::error::closed) << phone.ended->message() << json(logs).dump(1);
                EXPECT_EQ(phone.socket->reason().code, 1008);
                EXPECT_EQ(phone.socket->reason().reason, "slow");
            }
            continue;
        }
        EXPECT_EQ(closedAsSlow, 0) << json(logs).dump(1);
        for (const auto& phone : phones) EXPECT_FALSE(phone.ended) << phone.ended->message() << json(logs).dump(1);
        // Held back, a phone keeps little in the relay's kernel: before,
        // each kept its megabyte there.
        EXPECT_LE(most, 256u << 10);
        if (c.burst) {
            EXPECT_EQ(frames * record, phones.front().sent);
        } else {
            // Held back: they sent more than their computer took, and than
            // the relay's buffers and its computer's queue hold.
            EXPECT_GT(phones.front().sent * phones.size(), frames * record + (2u << 20));
        }
    }
}

TEST(RelaySockets, SilentConnectionsFromManyAddressesLockNoNewcomerOut) {
    RelayServerOptions options;
    options.listen = {100, 300};
    // Every client here is on loopback, none of them a proxy.
    options.trustedProxies = std::vector<std::string>{};
    ServiceRig relay(options);
    // As many networks of one customer would: each within its own limit,
    // more than the relay's total between them.
    asio::io_context io;
    std::vector<tcp::socket> silent;
    for (int from = 2; from < 6; ++from) {
        for (int i = 0; i < 100; ++i) {
            tcp::socket socket(io);
            socket.open(tcp::v4());
            socket.bind({asio::ip::make_address("127.0.0." + std::to_string(from)), 0});
            socket.connect({asio::ip::make_address("127.0.0.1"), relay.port()});
            silent.push_back(std::move(socket));
        }
    }
    ASSERT_TRUE(relay.logged("to let new ones in"));
    EXPECT_EQ(exchange(relay.origin("http"), "GET", "/").status, 200);
}

// A client of the test's own on a bare socket, from a chosen loopback
// address, that reads only when told to (a small receive buffer, so that
// the relay's writes stall as soon as it stops).
class Bare {
public:
    Bare(const std::string& from, std::uint16_t port, int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &at.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) throw std::runtime_error("bind");
        at.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) throw std::runtime_error("connect");
        socklen_t size = sizeof at;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size);
        port_ = ntohs(at.sin_port);
    }
    ~Bare() { ::close(fd_); }
    Bare(const Bare&) = delete;
    Bare& operator=(const Bare&) = delete;

    std::uint16_t port() const { return port_; }
    void send(const std::string& text) const { ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size())); }
    // Waits up to `wait` for something to come and reads what has, at most
    // `most` bytes; `ended` once the relay closed or reset the connection.
    std::string read(std::chrono::milliseconds wait, std::size_t most = SIZE_MAX) {
        std::string out;
        char chunk[16'384];
        pollfd ready{fd_, POLLIN, 0};
        for (int within = static_cast<int>(wait.count()); !ended && out.size() < most && ::poll(&ready, 1, within) > 0;
             within = 0) {
            const auto n = ::recv(fd_, chunk, std::min(sizeof chunk, most - out.size()), 0);
            if (n <= 0) ended = true;
            if (n > 0) out.append(chunk, static_cast<std::size_t>(n));
        }
        return out;
    }
    bool ended = false;

private:
    int fd_;
    std::uint16_t port_ = 0;
};

// How many whole answers `stream` holds, and whether the last said the
// connection ends.
struct Answers {
    int count = 0;
    std::size_t lastBody = 0;
    bool closing = false;
};
Answers answersIn(const std::string& stream) {
    Answers out;
    std::size_t at = 0;
    while (true) {
        const auto head = stream.find("\r\n\r\n", at);
        if (head == std::string::npos) break;
        const auto header = stream.substr(at, head - at);
        const auto length = header.find("Content-Length: ");
        const auto body = length == std::string::npos ? 0 : std::stoul(header.substr(length + 16));
        if (stream.size() < head + 4 + body) break;
        ++out.count;
        out.lastBody = body;
        out.closing = header.find("Connection: close") != std::string::npos;
        at = head + 4 + body;
    }
    return out;
}

std::string pipelined(const std::string& path, int times, const std::string& more = "") {
    std::string out;
    for (int i = 0; i < times; ++i) out += "GET " + path + " HTTP/1.1\r\nHost: relay\r\n" + more + "\r\n";
    return out;
}

// The relay's ends of connections from these client ports that the kernel
// still holds, each with what it has not had acknowledged.
std::map<std::uint16_t, std::size_t> relayEnds(std::uint16_t relayPort, const std::vector<std::unique_ptr<Bare>>& clients) {
    std::map<std::uint16_t, std::size_t> out;
    const auto all = kernelSockets();
    for (const auto& client : clients)
        if (const auto end = all.find({relayPort, client->port()}); end != all.end())
            out[client->port()] = end->second.sendQueue;
    return out;
}

std::size_t plainSize(const std::string& name) {
    for (const auto& file : RelayWeb::files())
        if (file.name == name) return file.bytes.size();
    return 0;
}

// What a stranger can take without an account, each attack with the bound
// that holds it, and the behaving peers the same rules must let through.
// The connection and answer waits are shortened to keep the test quick.
TEST(RelaySockets, StrangersWithoutAnAccountTakeNoMoreThanTheirBound) {
    const auto appJs = plainSize("app.js");
    ASSERT_GT(appJs, 100'000u);
    struct Attack {
        const char* name;
        const char* bound;
        ListenLimits listen;
        std::function<void(ServiceRig&)> run;
    };
    const std::vector<Attack> attacks = {
        {"device upgrades with made-up tickets that read the relay's close and never answer it",
         "each is gone within a few seconds of its close, and meanwhile it makes room for a newcomer",
         {100, 40},
         [](ServiceRig& relay) {
             // One after another, each reads its upgrade and its 4401 close,
             // and says nothing more.
             std::vector<std::unique_ptr<Bare>> junk;
             std::vector<std::chrono::steady_clock::time_point> closedAt;
             for (int i = 0; i < 40; ++i) {
                 junk.push_back(std::make_unique<Bare>(i % 2 ? "127.0.0.2" : "127.0.0.3", relay.port()));
                 junk.back()->send("GET /relay/v1/device/" + std::string(32, 'a') + "?ticket=made-up" +
                                   std::to_string(i) +
                                   " HTTP/1.1\r\nHost: relay\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                                   "Sec-WebSocket-Protocol: morvane.v1\r\n\r\n");
                 std::string got;
                 while (!junk.back()->ended && got.find("ticket-refused") == std::string::npos) got += junk.back()->read(10s);
                 ASSERT_NE(got.find("HTTP/1.1 101"), std::string::npos) << got;
                 closedAt.push_back(std::chrono::steady_clock::now());
             }
             // The total is held by sockets the relay is closing: a newcomer
             // takes the place of one.
             EXPECT_EQ(exchange(relay.origin("http"), "GET", "/").status, 200);
             for (std::size_t i = 0; i < junk.size(); ++i) {
                 EXPECT_TRUE(morvane::testing::eventually([&] { return !kernelSocket(relay.port(), junk[i]->port()); }, 5000))
                     << "still held " << std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - closedAt[i]).count() << " ms after its close";
             }
         }},
        {"connections from one address that pipeline the largest file and never read",
         "the kernel holds a small buffer for each, answers past the address's share wait their turn, each is "
         "reset at its deadline and leaves no orphan, the log says so once, and another address is served meanwhile",
         {},
         [appJs](ServiceRig& relay) {
             std::vector<std::unique_ptr<Bare>> clients;
             for (int i = 0; i < 30; ++i) {
                 clients.push_back(std::make_unique<Bare>("127.0.0.4", relay.port(), 4096));
                 clients.back()->send(pipelined("/app.js", 20));
             }
             // The kernel's table is read in pieces, not at one instant: an
             // end reset after its piece was read and one begun before a later
             // piece would both be seen. An end counts as holding when two
             // reads in a row see it hold.
             std::size_t most = 0, holding = 0;
             std::set<std::uint16_t> heldBefore;
             const auto sample = [&] {
                 const auto ends = relayEnds(relay.port(), clients);
                 std::set<std::uint16_t> held;
                 for (const auto& [port, queued] : ends) {
                     most = std::max(most, queued);
                     if (queued > 0) held.insert(port);
                 }
                 holding = std::max<std::size_t>(holding, std::count_if(held.begin(), held.end(), [&](std::uint16_t port) {
                                                     return heldBefore.count(port) > 0;
                                                 }));
                 heldBefore = std::move(held);
                 return ends.empty();
             };
             // Answers that wait their turn leave room for another address.
             ASSERT_TRUE(morvane::testing::eventually([&] { sample(); return holding > 0; }, 5000));
             auto page = exchange(relay.origin("http"), "GET", "/app.js", "", "", {{"Accept-Encoding", "gzip"}});
             EXPECT_EQ(page.status, 200);
             EXPECT_EQ(page.headers["Content-Encoding"], "gzip");
             EXPECT_TRUE(morvane::testing::eventually(sample, 30'000)) << "relay ends left: " << relayEnds(relay.port(), clients).size();
             EXPECT_LE(most, 2u * RelayLimits::answerSendBufferBytes + 16'384u);
             // One answer may begin while the address's unsent bytes are just
             // under its share. Without the share all thirty hold.
             EXPECT_LE(holding, ListenLimits{}.answerBytesPerAddress / appJs + 1);
             EXPECT_GE(holding, 2u);
             const auto logs = relay.logs();
             const auto told = std::count_if(logs.begin(), logs.end(), [](const std::string& line) {
                 return line.find("whose client had not taken its answer within") != std::string::npos;
             });
             EXPECT_GE(told, 1);
             EXPECT_LE(told, 2) << "said at most every few seconds";
         }},
        {"connections from many addresses that pipeline the largest file and never read, past the relay's total",
         "answers waiting their turn, then the answer taken least lately, make room for a newcomer, each reset",
         {100, 40},
         [](ServiceRig& relay) {
             // Within each address's share of unsent answers: all of them
             // are being written, none waits its turn.
             std::vector<std::unique_ptr<Bare>> clients;
             for (int i = 0; i < 60; ++i) {
                 clients.push_back(std::make_unique<Bare>("127.0.1." + std::to_string(i % 6 + 1), relay.port(), 4096));
                 clients.back()->send(pipelined("/app.js", 20));
             }
             ASSERT_TRUE(relay.logged("to let new ones in"));
             EXPECT_EQ(exchange(relay.origin("http"), "GET", "/").status, 200);
             EXPECT_TRUE(morvane::testing::eventually([&] { return relayEnds(relay.port(), clients).size() <= 39; }, 5000))
                 << relayEnds(relay.port(), clients).size() << " held";
         }},
        {"a last answer (Connection: close) never read",
         "the relay's end is reset at its deadline rather than kept as an orphan",
         {},
         [](ServiceRig& relay) {
             std::vector<std::unique_ptr<Bare>> clients;
             clients.push_back(std::make_unique<Bare>("127.0.0.4", relay.port(), 4096));
             clients.back()->send(pipelined("/index.html", 1, "Connection: close\r\n"));
             ASSERT_TRUE(morvane::testing::eventually([&] {
                 const auto end = kernelSocket(relay.port(), clients.back()->port());
                 return end && end->sendQueue > 0;
             }, 5000));
             EXPECT_TRUE(morvane::testing::eventually([&] { return relayEnds(relay.port(), clients).empty(); }, 10'000));
         }},
        {"requests pipelined ahead of their answers",
         "a few are answered, the last of them ending the connection",
         {},
         [](ServiceRig& relay) {
             Bare client("127.0.0.4", relay.port());
             client.send(pipelined("/icon.svg", 20));
             std::string stream;
             while (!client.ended) stream += client.read(10s);
             const auto answers = answersIn(stream);
             EXPECT_EQ(answers.count, RelayLimits::maxPipelinedRequests + 1);
             EXPECT_TRUE(answers.closing);
         }},
        {"(a behaving peer) a phone on a slow link loads the largest file, longer than the deadline",
         "it gets the whole file: the deadline counts from the last bytes it took",
         {},
         [appJs](ServiceRig& relay) {
             Bare phone("127.0.0.5", relay.port(), 8192);
             phone.send(pipelined("/app.js", 1));
             std::string stream;
             const auto started = std::chrono::steady_clock::now();
             // About 80 KB a second.
             while (!phone.ended && answersIn(stream).count == 0) {
                 stream += phone.read(100ms, 8192);
                 std::this_thread::sleep_for(100ms);
             }
             EXPECT_EQ(answersIn(stream).lastBody, appJs);
             EXPECT_GT(std::chrono::steady_clock::now() - started, 3s) << "the pace the test meant";
         }},
        {"(behaving peers) many phones behind one address load the page at once",
         "every one gets every file",
         {},
         [](ServiceRig& relay) {
             std::vector<std::unique_ptr<Bare>> phones;
             for (int i = 0; i < 24; ++i) {
                 phones.push_back(std::make_unique<Bare>("127.0.0.6", relay.port()));
                 phones.back()->send(pipelined("/app.js", 1) + pipelined("/style.css", 1, "Connection: close\r\n"));
             }
             // Each reads as its answers come, as a browser does.
             std::vector<std::string> streams(phones.size());
             const auto until = std::chrono::steady_clock::now() + 30s;
             for (bool reading = true; reading && std::chrono::steady_clock::now() < until;) {
                 reading = false;
                 for (std::size_t i = 0; i < phones.size(); ++i) {
                     if (phones[i]->ended) continue;
                     streams[i] += phones[i]->read(5ms);
                     reading = true;
                 }
             }
             for (const auto& stream : streams) EXPECT_EQ(answersIn(stream).count, 2) << stream.size() << " bytes";
         }},
    };
    for (const auto& attack : attacks) {
        SCOPED_TRACE(std::string(attack.name) + ": " + attack.bound);
        RelayServerOptions options;
        options.listen = attack.listen;
        // Every client here is on loopback, none of them a proxy.
        options.trustedProxies = std::vector<std::string>{};
        options.requestTime = 2s;
        ServiceRig relay(options);
        attack.run(relay);
    }
}

// Standing aside closes only the listening socket: the connections kept
// through it still count, in all and against their address, once the
// instance listens again on a new one.
TEST(RelaySockets, ConnectionsKeptThroughAStandAsideStillCountAgainstTheirAddress) {
    RelayServerOptions options;
    options.trustedProxies = std::vector<std::string>{};
    options.listen = {2, 1000};
    // The kept connections wait as long as standing aside takes.
    options.requestTime = 120s;
    ServiceRig relay(options);
    // Another instance, asked, says its store answers: this one's is cut
    // off alone.
    OtherInstance other;
    relay.onStore([&] {
        other.answersSteadily(relay.store.fleetSecret());
        relay.store.putPeer("other", other.address());
    });
    // Two connections from one address, each answered and waiting for its
    // next request.
    std::vector<std::unique_ptr<Bare>> kept;
    for (int i = 0; i < 2; ++i) {
        kept.push_back(std::make_unique<Bare>("127.0.0.7", relay.port()));
        kept.back()->send(pipelined("/icon.svg", 1));
        std::string stream;
        while (!kept.back()->ended && answersIn(stream).count == 0) stream += kept.back()->read(10s);
        ASSERT_EQ(answersIn(stream).count, 1);
    }
    relay.store.reachForMillis = 10'000;
    relay.store.reachNow = StoreReach::silent;
    ASSERT_TRUE(relay.logged("this instance lets its links go", 20s));
    relay.store.reachForMillis = 60'000;
    relay.store.reachNow = StoreReach::answering;
    // Steady since it stood aside.
    relay.shiftClock(15);
    ASSERT_TRUE(relay.logged("taking connections again"));

    Bare third("127.0.0.7", relay.port());
    third.send(pipelined("/icon.svg", 1));
    std::string refused;
    while (!third.ended) refused += third.read(10s);
    EXPECT_EQ(refused, "") << "over its address's limit";
    EXPECT_TRUE(relay.logged("refusing connections from 127.0.0.7: 2 are open"));
    kept.front()->send(pipelined("/icon.svg", 1));
    std::string stream;
    while (!kept.front()->ended && answersIn(stream).count == 0) stream += kept.front()->read(10s);
    EXPECT_EQ(answersIn(stream).count, 1);
}

// A folder of the test's own, gone at the end.
struct Folder {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("relay-sockets-" + std::to_string(::getpid()) + "-" +
                                                  std::to_string(Secure::randomBytes(4)[0]));
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string write(const std::string& name, const std::string& text) const {
        writeFile((path / name).string(), text);
        return (path / name).string();
    }
};

morvane::testing::TestCertificateAuthority& authority() {
    static morvane::testing::TestCertificateAuthority ca;
    return ca;
}

TEST(RelaySockets, TlsTwelveOffersOnlyForwardSecretAeadSuitesAndThirteenStays) {
    Folder folder;
    const auto issued = authority().issue({"localhost"}, {"127.0.0.1"});
    ServiceRig relay(RelayServerOptions{"127.0.0.1", 0, folder.write("cert.pem", issued.certificatePem),
                                        folder.write("key.pem", issued.keyPem)});
    struct Case {
        int version;
        const char* suite;  // TLS 1.2 and older
        bool accepted;
    };
    const std::vector<Case> cases = {
        {TLS1_3_VERSION, nullptr, true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA", false},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA", false},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256", false},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-SHA384", false},
        {TLS1_1_VERSION, "ECDHE-ECDSA-AES128-SHA", false},
    };
    for (const auto& c : cases) {
        const std::string name = c.suite ? c.suite : "TLS 1.3";
        asio::ssl::context context(asio::ssl::context::tls_client);
        SSL_CTX_set_min_proto_version(context.native_handle(), c.version);
        SSL_CTX_set_max_proto_version(context.native_handle(), c.version);
        // Whatever this OpenSSL would refuse on its own is offered anyway.
        if (c.suite) {
            ASSERT_EQ(SSL_CTX_set_cipher_list(context.native_handle(), (name + ":@SECLEVEL=0").c_str()), 1);
        }
        asio::io_context io;
        beast::ssl_stream<beast::tcp_stream> stream(io, context);
        beast::get_lowest_layer(stream).connect({asio::ip::make_address("127.0.0.1"), relay.port()});
        beast::error_code ec;
        stream.handshake(asio::ssl::stream_base::client, ec);
        EXPECT_EQ(!ec, c.accepted) << name << ": " << ec.message();
        if (!ec && c.suite) {
            EXPECT_EQ(std::string(SSL_get_cipher_name(stream.native_handle())), name);
        }
    }
}

// A client's first flight, a ClientHello, as a stranger replays it without
// going on.
std::string clientHello() {
    asio::ssl::context client(asio::ssl::context::tls_client);
    SSL* ssl = SSL_new(client.native_handle());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), out);
    SSL_set_connect_state(ssl);
    SSL_do_handshake(ssl);
    char* data = nullptr;
    // The length first: the order of a constructor's arguments is the compiler's.
    const auto length = static_cast<std::size_t>(BIO_get_mem_data(out, &data));
    std::string hello(data, length);
    SSL_free(ssl);
    return hello;
}

// A ClientHello and then nothing, as a stranger piles them up: from an
// address that has completed none lately the relay works out the next
// only once the hold of the one under way has passed, and from one that
// has, each at once, waiting for the rest of the handshake.
TEST(RelaySockets, AnAddressPilingUpUnfinishedHandshakesHasItsNextRefusedWhileANewcomerIsLetIn) {
    Folder folder;
    const auto issued = authority().issue({"localhost"}, {"127.0.0.1"});
    RelayServerOptions options{"127.0.0.1", 0, folder.write("cert.pem", issued.certificatePem),
                               folder.write("key.pem", issued.keyPem)};
    options.trustedProxies = std::vector<std::string>{};  // each loopback address a client of its own
    ServiceRig relay(options);
    asio::ssl::context client(asio::ssl::context::tls_client);
    const std::string hello = clientHello();
    // What the relay says back within 10 s (or `within`): nothing when it
    // closed first, or said nothing.
    const auto answer = [&](tcp::socket& socket, std::chrono::milliseconds within = 10s) {
        const timeval wait{static_cast<time_t>(within.count() / 1000), static_cast<suseconds_t>(within.count() % 1000 * 1000)};
        ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char bytes[512];
        return ::recv(socket.native_handle(), bytes, sizeof bytes, 0);
    };
    asio::io_context io;
    const auto stranger = [&](const char* from = "127.0.0.2") {
        tcp::socket socket(io);
        socket.open(tcp::v4());
        socket.bind({asio::ip::make_address(from), 0});
        socket.connect({asio::ip::make_address("127.0.0.1"), relay.port()});
        asio::write(socket, asio::buffer(hello));
        return socket;
    };
    // From an address that never completed one, the second waits while the
    // first is under way, for the first's hold (begun before the first was
    // answered) and no longer.
    const auto sent = std::chrono::steady_clock::now();
    auto first = stranger("127.0.0.3");
    auto second = stranger("127.0.0.3");
    EXPECT_GT(answer(first), 0);
    EXPECT_GT(answer(second), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(HandshakeTurns::holdMillis));
    // One whose client closed its end while it waited is not worked out.
    auto ahead = stranger("127.0.0.4");
    auto gone = stranger("127.0.0.4");
    gone.shutdown(tcp::socket::shutdown_send);
    EXPECT_GT(answer(ahead), 0);
    EXPECT_LE(answer(gone), 0);
    // 127.0.0.2 completes one: what it begins then is worked out at once.
    {
        beast::ssl_stream<beast::tcp_stream> once(io, client);
        auto& socket = beast::get_lowest_layer(once).socket();
        socket.open(tcp::v4());
        socket.bind({asio::ip::make_address("127.0.0.2"), 0});
        socket.connect({asio::ip::make_address("127.0.0.1"), relay.port()});
        beast::error_code ec;
        once.handshake(asio::ssl::stream_base::client, ec);
        ASSERT_FALSE(ec) << ec.message();
    }
    const HandshakeLimits limits;
    std::vector<tcp::socket> pile;
    for (std::size_t i = 0; i < limits.bytesPerAddress / limits.bytesPerHandshake; ++i) {
        pile.push_back(stranger());
        ASSERT_GT(answer(pile.back()), 0) << "handshake " << i;
    }
    auto refused = stranger();
    EXPECT_LE(answer(refused, 1s), 0);

    beast::ssl_stream<beast::tcp_stream> newcomer(io, client);
    beast::get_lowest_layer(newcomer).connect({asio::ip::make_address("127.0.0.1"), relay.port()});
    beast::error_code ec;
    newcomer.handshake(asio::ssl::stream_base::client, ec);
    EXPECT_FALSE(ec) << ec.message();
}

// A freshly started relay whose first TLS client from an address sends a
// ClientHello and nothing more, as a phone losing its network does, or a
// scanner trying protocol versions one connection after another: the next
// clients from there (each loopback address its own, or all of them a
// trusted proxy's) complete theirs in a moment, not when the first one's
// deadline ends it.
TEST(RelaySockets, AFirstHandshakeThatStallsHoldsNoneOfItsAddresssNextOnes) {
    Folder folder;
    const auto issued = authority().issue({"localhost"}, {"127.0.0.1"});
    const std::string hello = clientHello();
    for (const bool proxied : {true, false}) {
        RelayServerOptions options{"127.0.0.1", 0, folder.write("cert.pem", issued.certificatePem),
                                   folder.write("key.pem", issued.keyPem)};
        // Without trusted_proxies a loopback relay believes its loopback peers
        // are proxies: every client shares one address.
        if (!proxied) options.trustedProxies = std::vector<std::string>{};
        ServiceRig relay(options);
        asio::io_context io;
        const auto from = [&](tcp::socket& socket) {
            socket.open(tcp::v4());
            socket.bind({asio::ip::make_address("127.0.0.5"), 0});
            socket.connect({asio::ip::make_address("127.0.0.1"), relay.port()});
        };
        const auto began = std::chrono::steady_clock::now();
        tcp::socket stalled(io);
        from(stalled);
        asio::write(stalled, asio::buffer(hello));
        char bytes[512];
        ASSERT_GT(::recv(stalled.native_handle(), bytes, sizeof bytes, 0), 0) << proxied;
        // A scanner's next tries: a version the relay refuses, then each it
        // takes, then a page's worth.
        struct Try {
            int version;
            bool completes;
        };
        const std::vector<Try> tries = {{TLS1_1_VERSION, false}, {TLS1_2_VERSION, true}, {TLS1_3_VERSION, true},
                                        {TLS1_3_VERSION, true},  {TLS1_3_VERSION, true}, {TLS1_3_VERSION, true}};
        for (const auto& attempt : tries) {
            asio::ssl::context context(asio::ssl::context::tls_client);
            SSL_CTX_set_min_proto_version(context.native_handle(), attempt.version);
            SSL_CTX_set_max_proto_version(context.native_handle(), attempt.version);
            SSL_CTX_set_cipher_list(context.native_handle(), "DEFAULT:@SECLEVEL=0");
            beast::ssl_stream<beast::tcp_stream> stream(io, context);
            from(beast::get_lowest_layer(stream).socket());
            beast::error_code ec;
            stream.handshake(asio::ssl::stream_base::client, ec);
            EXPECT_EQ(!ec, attempt.completes) << proxied << " " << attempt.version << ": " << ec.message();
        }
        // Held at most a moment each, never until the stalled one's 15 s end.
        EXPECT_LT(std::chrono::steady_clock::now() - began, 5s) << proxied;
    }
}

// The process's soft descriptor limit, set for a while.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit changed = saved_;
        changed.rlim_cur = std::min(soft, saved_.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &changed);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    rlim_t soft() const {
        rlimit now{};
        ::getrlimit(RLIMIT_NOFILE, &now);
        return now.rlim_cur;
    }

private:
    rlimit saved_{};
};

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skipped;
    for (int i = 0; i < 11; ++i) fields >> skipped;
    long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST(RelaySockets, AtALowDescriptorLimitAFloodOfSilentConnectionsNeitherSpinsNorHoldsUpARequest) {
    constexpr int flood = 1'100;
    DescriptorLimit roomy(flood + 512);
    ASSERT_GE(roomy.soft(), static_cast<rlim_t>(flood + 256)) << "the test needs descriptors for its flood";
    Folder folder;
    const auto issued = authority().issue({"localhost"}, {"127.0.0.1"});
    authority().trustThroughEnvironment();
    const auto port = morvane::testing::freePort();
    const auto config = folder.write(
        "relay.json", json{{"listen", "127.0.0.1:" + std::to_string(port)},
                           {"data_dir", (folder.path / "data").string()},
                           {"codes_in_log", true},
                           // Every client here is on loopback, none of them a proxy.
                           {"trusted_proxies", json::array()},
                           {"tls", {{"certificate", folder.write("cert.pem", issued.certificatePem)},
                                    {"key", folder.write("key.pem", issued.keyPem)}}}}
                          .dump());
    std::unique_ptr<morvane::testing::HarnessProcess> relay;
    {
        // What a shell gives a program started by hand, or less.
        DescriptorLimit low(256);
        relay = std::make_unique<morvane::testing::HarnessProcess>(
            MORVANE_RELAY_PROGRAM, std::vector<std::string>{"--config", config}, folder.path, /*errorsToo=*/true);
    }
    ASSERT_TRUE(relay->waitLineWith("listening on https://127.0.0.1:" + std::to_string(port), 10'000));
    const auto said = [&](const std::string& part) {
        const auto lines = relay->lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
    };
    EXPECT_EQ(said("at most 192 connections (limits.connections is 20000): the descriptor limit is 256"), 1);

    // Connections from one address that never say a word.
    asio::io_context io;
    std::vector<tcp::socket> silent;
    for (int i = 0; i < flood; ++i) {
        tcp::socket socket(io);
        socket.open(tcp::v4());
        socket.bind({asio::ip::make_address("127.0.0.2"), 0});
        socket.connect({asio::ip::make_address("127.0.0.1"), port});
        silent.push_back(std::move(socket));
    }
    // The silent make room for each other, oldest first, as each would
    // for anyone else.
    ASSERT_TRUE(relay->waitLineWith("to let new ones in", 10'000));
    // Once the flood is taken in, a second passes nearly idle; a relay that
    // spins never has such a second. Taking the flood in may last past the
    // first line about it on a slow or sanitized build.
    double quietest = 1e9;
    for (int second = 0; second < 8 && quietest >= 0.3; ++second) {
        const auto before = cpuSeconds(relay->pid());
        std::this_thread::sleep_for(1s);
        const double used = cpuSeconds(relay->pid()) - before;
        quietest = std::min(quietest, used);
    }
    EXPECT_LT(quietest, 0.3) << "the relay spun: at least " << quietest << " s of CPU in every second of 8";

    // Anyone else is answered at once.
    const auto asked = std::chrono::steady_clock::now();
    const auto page = exchange("https://localhost:" + std::to_string(port), "GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
    EXPECT_EQ(said("to let new ones in"), 1);
    silent.clear();
    relay->signal(SIGTERM);
    EXPECT_EQ(relay->waitExit(), 0);
}

}  // namespace
}  // namespace morvane::relay_service::testing
