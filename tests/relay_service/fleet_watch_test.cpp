// Whether an instance stands aside or takes links again, on a manual clock:
// one road per kind of trouble its database may have, each second's
// health and what the others answered; and the questions and answers
// between instances as an attacker meets them.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "../support/eventually.h"
#include "core/clock.h"
#include "relay_service/fleet_watch.h"
#include "relay_service/relay_peers.h"

namespace morvane::relay_service::testing {
namespace {

using Act = FleetWatch::Act;
constexpr auto answering = StoreReach::answering, silent = StoreReach::silent, refusing = StoreReach::refusing;

// One second of a road: how the instance's store finds its database, what
// the others answer if asked, and what the watch does.
struct Second {
    StoreHealth own;
    std::vector<PeerState> peers;
    Act act;
};

PeerState peer(StoreReach reach, std::int64_t forMillis, bool serving = true) {
    return PeerState{"other", {reach, forMillis}, serving};
}

// Runs a road a second a step, doing what the watch says.
std::vector<Act> drive(const std::vector<Second>& road) {
    FleetWatch watch;
    std::vector<Act> acts;
    std::int64_t now = 1'000'000;
    for (const auto& second : road) {
        auto act = watch.tick(second.own, now);
        if (act == Act::ask) act = watch.answered(second.peers, second.own);
        if (act == Act::standAside) watch.stoodAside(now);
        if (act == Act::rejoin) watch.rejoined(now);
        acts.push_back(act);
        now += 1000;
    }
    return acts;
}

std::vector<Act> actsOf(const std::vector<Second>& road) {
    std::vector<Act> acts;
    for (const auto& second : road) acts.push_back(second.act);
    return acts;
}

TEST(FleetWatch, AnInstanceStandsAsideOnlyWhenItAloneIsCutOffAndComesBackOnceSteady) {
    struct Road {
        const char* name;
        std::vector<Second> seconds;
    };
    const auto steady = [](std::int64_t forMillis) { return StoreHealth{answering, forMillis}; };
    std::vector<Road> roads;
    roads.push_back({"its database answers: nobody is asked",
                     {{steady(1'000), {peer(answering, 99'000)}, Act::nothing},
                      {steady(2'000), {peer(answering, 99'000)}, Act::nothing}}});
    roads.push_back({"a stall of two seconds is not asked about",
                     {{{silent, 1'000}, {}, Act::nothing}, {{silent, 2'000}, {}, Act::nothing}, {steady(0), {}, Act::nothing}}});
    roads.push_back({"away for everyone: the others' databases came back after this one went away",
                     {{{silent, 1'000}, {}, Act::nothing},
                      {{silent, 2'000}, {}, Act::nothing},
                      {{silent, 3'000}, {peer(silent, 2'500)}, Act::nothing},
                      {{silent, 4'000}, {}, Act::nothing},
                      {{silent, 5'000}, {peer(answering, 500)}, Act::nothing},
                      {{silent, 6'000}, {}, Act::nothing},
                      {{refusing, 7'000}, {peer(refusing, 7'000)}, Act::nothing},
                      {steady(0), {}, Act::nothing}}});
    roads.push_back({"cut off alone, silent: asked after three seconds, it stands aside",
                     {{{silent, 1'000}, {}, Act::nothing},
                      {{silent, 2'000}, {}, Act::nothing},
                      {{silent, 3'000}, {peer(answering, 60'000)}, Act::standAside}}});
    roads.push_back({"cut off alone, refused: the same",
                     {{{refusing, 3'000}, {peer(answering, 3'000)}, Act::standAside}}});
    roads.push_back({"the only one that answers stands aside itself: nobody to hand over to",
                     {{{silent, 3'000}, {peer(answering, 60'000, false)}, Act::nothing}}});
    roads.push_back({"nobody answered: asked again two seconds later",
                     {{{silent, 3'000}, {}, Act::nothing},
                      {{silent, 4'000}, {peer(answering, 60'000)}, Act::nothing},
                      {{silent, 5'000}, {peer(answering, 60'000)}, Act::standAside}}});
    // Aside at the first break; the road answers ten seconds, breaks ten
    // seconds, and so on: never steady for fifteen, it stays aside, then
    // takes links again after fifteen steady seconds.
    std::vector<Second> flapping{{{silent, 3'000}, {peer(answering, 60'000)}, Act::standAside}};
    for (int cycle = 0; cycle < 3; ++cycle) {
        for (int s = 0; s < 10; ++s) flapping.push_back({steady(1'000 * s), {}, Act::nothing});
        for (int s = 0; s < 10; ++s) flapping.push_back({{silent, 1'000 * s}, {peer(answering, 60'000)}, Act::nothing});
    }
    for (int s = 0; s < 15; ++s) flapping.push_back({steady(1'000 * s), {}, Act::nothing});
    flapping.push_back({steady(15'000), {}, Act::rejoin});
    // Cut again soon after: it waits twice as long the next time.
    flapping.push_back({{silent, 3'000}, {peer(answering, 60'000)}, Act::standAside});
    flapping.push_back({steady(15'000), {}, Act::nothing});
    flapping.push_back({steady(29'000), {}, Act::nothing});
    flapping.push_back({steady(30'000), {}, Act::rejoin});
    roads.push_back({"a road that keeps breaking", flapping});

    for (const auto& road : roads) EXPECT_EQ(drive(road.seconds), actsOf(road.seconds)) << road.name;
}

// What a stranger who reaches the port, or who heard a question or answer
// go by, can make of it: nothing but what the fleet's secret signed, for
// the question it was asked, and no question older than a minute.
TEST(PeerWords, OnlyWhatTheFleetsSecretSignedIsRead) {
    const std::string secret(64, 'a'), wrong(64, 'b');
    const std::int64_t now = 1'800'000'000'000;
    const auto question = peer_words::question(secret, "alpha", now, "n0nce");
    EXPECT_EQ(peer_words::readQuestion(question, secret, now + 1'000), (peer_words::Question{"alpha", "n0nce"}));
    struct Case {
        const char* why;
        std::string text;
        std::int64_t readAt;
    };
    auto tampered = question;
    tampered.replace(tampered.find("alpha"), 5, "gamma");
    const Case questions[] = {
        {"signed with another secret", peer_words::question(wrong, "alpha", now, "n0nce"), now},
        {"a word changed after it was signed", tampered, now},
        {"replayed more than a minute later", question, now + peer_words::questionWindowMillis + 1},
        {"from more than a minute ahead", question, now - peer_words::questionWindowMillis - 1},
        {"a word more", question + " x", now},
        {"an empty word", peer_words::question(secret, "", now, "n0nce"), now},
        {"an answer", peer_words::answer(secret, "n0nce", PeerState{"alpha", {answering, 5}, true}), now},
        {"nothing", "", now},
        {"too long", std::string(1'000, 'q'), now},
    };
    for (const auto& c : questions) EXPECT_EQ(peer_words::readQuestion(c.text, secret, c.readAt), std::nullopt) << c.why;

    const PeerState state{"beta", {answering, 42'000}, true};
    const auto answer = peer_words::answer(secret, "n0nce", state);
    EXPECT_EQ(peer_words::readAnswer(answer, secret, "n0nce"), state);
    auto flipped = answer;
    flipped.replace(flipped.find("answering"), 9, "refusing");
    const Case answers[] = {
        {"to another question", answer, 0},
        {"signed with another secret", peer_words::answer(wrong, "n0nce", state), 0},
        {"a word changed after it was signed", flipped, 0},
        {"a question", question, 0},
    };
    EXPECT_EQ(peer_words::readAnswer(answer, secret, "other"), std::nullopt) << answers[0].why;
    for (std::size_t i = 1; i < std::size(answers); ++i)
        EXPECT_EQ(peer_words::readAnswer(answers[i].text, secret, "n0nce"), std::nullopt) << answers[i].why;
}

// Two instances' lines over loopback: one asks and hears the other's
// state; a line without the secret, or with another, hears nothing and
// says nothing; and a flood of questions is answered a few dozen a second
// at most, so that nobody can aim the answers at a third party.
TEST(PeerLine, InstancesHearEachOtherAndNobodyElse) {
    boost::asio::io_context io;
    auto guard = boost::asio::make_work_guard(io);
    std::thread thread([&] { io.run(); });
    const auto onIo = [&](auto work) {
        std::promise<void> done;
        boost::asio::post(io, [&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    };
    const std::string secret(64, 's');
    // Beta's clock stands still but when the test moves it; it is read
    // once for each question beta reads.
    std::atomic<std::int64_t> clock{systemWallMillis()};
    std::atomic<int> reads{0};
    const auto wall = [] { return systemWallMillis(); };
    const boost::asio::ip::udp::endpoint loopback(boost::asio::ip::make_address("127.0.0.1"), 0);
    std::unique_ptr<PeerLine> alpha, beta, stranger;
    onIo([&] {
        alpha = std::make_unique<PeerLine>(io, "alpha", PeerLine::Hooks{[] { return PeerState{"alpha", {answering, 1}, true}; }, wall, {}});
        beta = std::make_unique<PeerLine>(io, "beta", PeerLine::Hooks{[] { return PeerState{"beta", {answering, 9'000}, true}; },
                                                                      [&] {
                                                                          ++reads;
                                                                          return clock.load();
                                                                      },
                                                                      {}});
        stranger = std::make_unique<PeerLine>(io, "stranger", PeerLine::Hooks{[] { return PeerState{"stranger", {answering, 1}, true}; }, wall, {}});
        for (auto* line : {alpha.get(), beta.get(), stranger.get()}) line->listen(loopback);
        alpha->setSecret(secret);
        beta->setSecret(secret);
        stranger->setSecret(std::string(64, 'x'));
    });
    const std::vector<PeerRecord> everyone{{"beta", beta->address()}, {"stranger", stranger->address()}};
    onIo([&] {
        alpha->know(everyone);
        beta->know({{"alpha", alpha->address()}, {"stranger", stranger->address()}});
        stranger->know({{"alpha", alpha->address()}, {"beta", beta->address()}});
    });

    std::promise<std::vector<PeerState>> heard;
    onIo([&] { EXPECT_TRUE(alpha->ask(everyone, [&](std::vector<PeerState> answers) { heard.set_value(answers); })); });
    EXPECT_EQ(heard.get_future().get(), (std::vector<PeerState>{{"beta", {answering, 9'000}, true}}));

    std::promise<std::vector<PeerState>> strangers;
    onIo([&] {
        EXPECT_TRUE(stranger->ask({{"alpha", alpha->address()}, {"beta", beta->address()}},
                                  [&](std::vector<PeerState> answers) { strangers.set_value(answers); }));
    });
    EXPECT_TRUE(strangers.get_future().get().empty());

    // A flood of valid questions within a second: it draws answersPerSecond
    // answers, and a question the next second is answered after them; one
    // replayed is not answered again; and one from an address no instance
    // has is dropped unread, signed or not.
    boost::asio::ip::udp::socket flood(io, loopback);
    const auto address = beta->address();
    const boost::asio::ip::udp::endpoint to(boost::asio::ip::make_address(address.substr(0, address.rfind(':'))),
                                            static_cast<std::uint16_t>(std::stoi(address.substr(address.rfind(':') + 1))));
    // Nothing it answers is waited for longer than this.
    const timeval patience{10, 0};
    ::setsockopt(flood.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    const auto ask = [&](const std::string& nonce) {
        flood.send_to(boost::asio::buffer(peer_words::question(secret, "alpha", clock.load(), nonce)), to);
    };
    // Answers up to the one to `last`, by nonce.
    const auto answersUntil = [&](const std::string& last) {
        std::map<std::string, int> answers;
        std::array<char, 512> buffer;
        for (;;) {
            const auto n = ::recv(flood.native_handle(), buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                ADD_FAILURE() << "the answer to " << last << " did not come";
                return answers;
            }
            const std::string_view text(buffer.data(), static_cast<std::size_t>(n));
            // "mra1 <instance> <nonce> …"
            std::istringstream words{std::string(text)};
            std::string kind, instance, nonce;
            words >> kind >> instance >> nonce;
            ++answers[nonce];
            if (peer_words::readAnswer(text, secret, last)) return answers;
        }
    };
    clock += 1'000;
    // Twice what it answers in a second, few enough for the socket's buffer,
    // all taken within that second.
    const int before = reads;
    for (int i = 0; i < 2 * PeerLine::answersPerSecond; ++i) ask("n0nce" + std::to_string(i));
    ASSERT_TRUE(morvane::testing::eventually([&] { return reads >= before + 2 * PeerLine::answersPerSecond; }));
    clock += 1'000;
    ask("sentinel");
    auto answers = answersUntil("sentinel");
    EXPECT_EQ(answers.size(), static_cast<std::size_t>(PeerLine::answersPerSecond) + 1);

    boost::asio::ip::udp::socket elsewhere(io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.9"), 0));
    const int readsBefore = reads;
    elsewhere.send_to(boost::asio::buffer(peer_words::question(secret, "alpha", clock.load(), "elsewhere")), to);
    ask("sentinel");
    ask("n0nce0");
    // Refused in the flood rather than answered: answered now.
    ask("n0nce" + std::to_string(2 * PeerLine::answersPerSecond - 1));
    ask("last");
    answers = answersUntil("last");
    EXPECT_EQ(answers, (std::map<std::string, int>{{"n0nce" + std::to_string(2 * PeerLine::answersPerSecond - 1), 1},
                                                   {"last", 1}}));
    EXPECT_EQ(reads, readsBefore + 4) << "the question from elsewhere was read";
    elsewhere.non_blocking(true);
    std::array<char, 512> nothing;
    boost::system::error_code ec;
    elsewhere.receive(boost::asio::buffer(nothing), 0, ec);
    EXPECT_EQ(ec, boost::asio::error::would_block);

    onIo([&] {
        alpha.reset();
        beta.reset();
        stranger.reset();
    });
    guard.reset();
    io.stop();
    thread.join();
}

}  // namespace
}  // namespace morvane::relay_service::testing
