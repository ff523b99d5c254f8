// The send pump and the local wire's gather write together, over an
// in-memory stream that can take a write in small pieces or fail part way.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "server/connection_wire.h"
#include "server/send_pump.h"
#include "server/websocket_wire.h"

namespace morvane {
namespace {

namespace asio = boost::asio;
using Phase = ConnectionPhase;

// Takes at most `maxPerCall` bytes a call and fails every call once
// `failAt` bytes have been taken, as a socket whose peer went away.
class FakeStream {
public:
    using executor_type = asio::io_context::executor_type;

    FakeStream(asio::io_context& io, std::size_t maxPerCall, std::optional<std::size_t> failAt)
        : io_(io), maxPerCall_(maxPerCall), failAt_(failAt) {}
    executor_type get_executor() { return io_.get_executor(); }

    template <class Buffers, class Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler) {
        std::size_t limit = maxPerCall_;
        if (failAt_) limit = std::min(limit, *failAt_ - std::min(*failAt_, received.size()));
        boost::system::error_code ec;
        if (limit == 0) ec = asio::error::broken_pipe;
        std::size_t taken = 0;
        for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers); ++it) {
            asio::const_buffer b(*it);
            const std::size_t n = std::min(b.size(), limit - taken);
            received.append(static_cast<const char*>(b.data()), n);
            taken += n;
            if (taken == limit) break;
        }
        asio::post(io_, [h = std::forward<Handler>(handler), ec, taken]() mutable { h(ec, taken); });
    }

    std::string received;

private:
    asio::io_context& io_;
    std::size_t maxPerCall_;
    std::optional<std::size_t> failAt_;
};

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string textOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

const std::string picture(300, 'P');

// What the connection would do, with the close handshake and the hard
// close reduced to what the pump sees.
struct Session {
    SendPump pump;
    Phase phase = Phase::controller;

    void beginClose(const std::string& bye) {
        pump.enqueueControl(text(bye));
        phase = Phase::closing;
        pump.dropMedia();
        pump.appendClose(text("X"));
    }
};

struct Case {
    const char* rule;
    std::size_t maxPerCall;
    std::optional<std::size_t> failAt;
    // Runs while the first write (a lone "w;") is in flight.
    std::function<void(Session&)> whileInFlight;
    // The parts of each write, in order.
    std::vector<std::vector<std::string>> writes;
    bool failed = false;
    bool finished = false;
};

std::vector<std::string> controls(int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back("c" + std::to_string(i) + ";");
    return out;
}

std::vector<std::string> with(std::vector<std::string> parts, const std::string& last) {
    parts.push_back(last);
    return parts;
}

TEST(SendTrain, ControlQueuedDuringAWriteLeavesInOneWriteWithTheMediaBehindItWhateverTheStreamTakesAtOnce) {
    const std::vector<Case> cases = {
        {"a picture queued behind 100 control messages leaves in their write", 1 << 20, std::nullopt,
         [](Session& s) {
             for (const auto& c : controls(100)) ASSERT_TRUE(s.pump.enqueueControl(text(c)));
             s.pump.setPendingFrame(text(picture));
         },
         {{"w;"}, with(controls(100), picture)}},
        {"short writes resume where they stopped and keep the order", 7, std::nullopt,
         [](Session& s) {
             s.pump.setPendingFrame(text(picture));
             for (const auto& c : controls(3)) s.pump.enqueueControl(text(c));
         },
         {{"w;"}, with(controls(3), picture)}},
        {"a picture waits for nothing when no control message is queued", 5, std::nullopt,
         [](Session& s) { s.pump.setPendingFrame(text(picture)); },
         {{"w;"}, {picture}}},
        {"a stream that fails part way fails the train once and nothing follows", 3, 40,
         [](Session& s) {
             for (const auto& c : controls(20)) s.pump.enqueueControl(text(c));
             s.pump.setPendingFrame(text(picture));
         },
         {{"w;"}, with(controls(20), picture)},
         true},
        {"closing mid-train: the bye, then the close frame alone, and no picture", 4, std::nullopt,
         [](Session& s) {
             s.pump.setPendingFrame(text(picture));
             s.pump.enqueueControl(text("c0;"));
             s.beginClose("bye;");
         },
         {{"w;"}, {"c0;", "bye;"}, {"X"}},
         false,
         true},
        {"nothing follows the close frame, not even a message queued after it", 1 << 20, std::nullopt,
         [](Session& s) {
             s.beginClose("bye;");
             s.pump.enqueueControl(text("late;"));
         },
         {{"w;"}, {"bye;", "late;"}, {"X"}},
         false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        asio::io_context io;
        FakeStream stream(io, c.maxPerCall, c.failAt);
        Session session;
        session.pump.enqueueControl(text("w;"));
        std::vector<std::vector<std::string>> writes;
        std::string expectedWire;
        int completions = 0, failures = 0;
        bool finished = false;
        for (;;) {
            auto decision = session.pump.next(session.phase);
            if (std::holds_alternative<SendPump::FinishClose>(decision)) {
                finished = true;
                break;
            }
            auto write = std::get_if<SendPump::Write>(&decision);
            if (!write) break;
            std::vector<std::string> parts;
            for (const auto& part : write->parts) {
                parts.push_back(textOf(part));
                expectedWire += textOf(part);
            }
            writes.push_back(parts);
            const bool video = write->video;
            writeGathered(stream, std::move(write->parts), [&, video](bool ok) {
                ++completions;
                session.pump.completed(video);
                if (ok) return;
                ++failures;
                session.phase = Phase::closed;
                session.pump.clear();
            });
            if (writes.size() == 1) {
                c.whileInFlight(session);
                EXPECT_TRUE(std::holds_alternative<SendPump::Idle>(session.pump.next(session.phase)))
                    << "a second write while one is in flight";
            }
            io.run();
            io.restart();
        }
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(completions, static_cast<int>(c.writes.size())) << "one completion per write";
        EXPECT_EQ(failures, c.failed ? 1 : 0);
        EXPECT_EQ(finished, c.finished);
        if (c.failed)
            EXPECT_EQ(stream.received, expectedWire.substr(0, *c.failAt));
        else
            EXPECT_EQ(stream.received, expectedWire);
    }
}

// A transport that frames each write itself (a relayed channel) gets the
// train as one buffer, in order; a single part goes through untouched.
class JoiningWire : public ConnectionWire {
public:
    Bytes encode(WSOpcode, std::span<const std::uint8_t> payload) override { return Bytes(payload.begin(), payload.end()); }
    Bytes encodeClose(std::uint16_t) override { return {}; }
    void write(Bytes data, std::function<void(bool)> completion) override {
        writes.push_back(textOf(data));
        completion(true);
    }
    void cancel() override {}
    void releaseHold() override {}
    std::vector<std::string> writes;
};

TEST(SendTrain, AWireThatCannotGatherGetsTheTrainJoinedInOrderInOneWrite) {
    JoiningWire wire;
    int done = 0;
    wire.writeAll({text("a;"), text("bc;"), text(picture)}, [&](bool ok) { done += ok; });
    wire.writeAll({text("alone")}, [&](bool ok) { done += ok; });
    EXPECT_EQ(wire.writes, (std::vector<std::string>{"a;bc;" + picture, "alone"}));
    EXPECT_EQ(done, 2);
}

}  // namespace
}  // namespace morvane
