// Whether an instance stands aside or takes links again, on a manual clock:
// one road per kind of trouble its database (or its own process) may have,
// each second's health and what the others answered; the questions and
// answers between instances as an attacker meets them; and two instances'
// lines asking each other over their listeners, plain and TLS.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "../app/manual_executor.h"
#include "../support/eventually.h"
#include "core/clock.h"
#include "relay_service/fleet_watch.h"
#include "relay_service/relay_peers.h"
#include "relay_service/relay_route.h"
#include "test_certificates.h"

namespace morvane::relay_service::testing {
namespace {

using Act = FleetWatch::Act;
constexpr auto answering = StoreReach::answering, silent = StoreReach::silent, refusing = StoreReach::refusing;

// One tick of a road: how the instance's store finds its database, what
// the others answer if asked, what the watch does, and how long after the
// tick before it the tick came (a second, unless the process was held up).
struct Second {
    StoreHealth own;
    std::vector<PeerState> peers;
    Act act;
    std::int64_t after = 1000;
};

PeerState peer(StoreReach reach, std::int64_t forMillis, bool serving = true, std::int64_t checkedMillis = 0) {
    return PeerState{"other", {reach, forMillis, checkedMillis}, serving};
}

// Runs a road a tick a step, doing what the watch says.
std::vector<Act> drive(const std::vector<Second>& road) {
    FleetWatch watch;
    std::vector<Act> acts;
    std::int64_t now = 1'000'000;
    for (std::size_t i = 0; i < road.size(); ++i) {
        const auto& second = road[i];
        if (i > 0) now += second.after;
        auto act = watch.tick(second.own, now);
        if (act == Act::ask) act = watch.answered(second.peers, second.own, now);
        if (act == Act::standAside) watch.stoodAside(now);
        if (act == Act::rejoin) watch.rejoined(now);
        acts.push_back(act);
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
    for (int s = 1; s < 30; ++s) flapping.push_back({steady(1'000 * s), {}, Act::nothing});
    flapping.push_back({steady(30'000), {}, Act::rejoin});
    roads.push_back({"a road that keeps breaking", flapping});

    // Cut right after an outage every instance shared (its road to a
    // fail-over's new primary refused, say): its own away time counts from
    // before the outage, longer than any other's answers since; it stands
    // aside once another's database has answered long enough that this one
    // should have found its own back too, and not before.
    std::vector<Second> afterOutage;
    for (int s = 0; s < 20; ++s)
        afterOutage.push_back({{silent, 5'000 + 1'000 * s}, {peer(silent, 5'000 + 1'000 * s)}, Act::nothing});
    for (int s = 0; s < 8; ++s)
        afterOutage.push_back({{refusing, 25'000 + 1'000 * s}, {peer(answering, 1'000 * s)}, Act::nothing});
    afterOutage.push_back({{refusing, 33'000}, {peer(answering, 8'000)}, Act::standAside});
    roads.push_back({"cut after an outage everyone shared", afterOutage});
    roads.push_back({"an outage everyone shared, this one finding its database back a few seconds after the others",
                     {{{silent, 30'000}, {peer(answering, 1'000)}, Act::nothing},
                      {{silent, 31'000}, {}, Act::nothing},
                      {{silent, 32'000}, {peer(answering, 3'000)}, Act::nothing},
                      {{silent, 33'000}, {}, Act::nothing},
                      {{silent, 34'000}, {peer(answering, 5'000)}, Act::nothing},
                      {steady(0), {peer(answering, 6'000)}, Act::nothing},
                      {steady(1'000), {peer(answering, 9'000)}, Act::nothing}}});

    // The process itself held up (stopped, swapped out, starved): what its
    // store found before says nothing of now. Its last answer is seconds old
    // when it wakes, and the check it was in the middle of is late by the
    // clock: only checks begun since it woke count, and for the time since.
    roads.push_back({"held up four seconds, its database answering all along",
                     {{steady(60'000), {}, Act::nothing},
                      {{silent, 4'500, 4'400}, {peer(answering, 60'000)}, Act::nothing, 4'000},
                      {steady(0), {peer(answering, 60'000)}, Act::nothing},
                      {steady(1'000), {peer(answering, 60'000)}, Act::nothing}}});
    roads.push_back({"held up, and then its road cut while it was: asked after three seconds of checks since",
                     {{steady(60'000), {}, Act::nothing},
                      {{silent, 5'000, 4'800}, {peer(answering, 60'000)}, Act::nothing, 5'000},
                      {{silent, 6'000, 500}, {peer(answering, 60'000)}, Act::nothing},
                      {{silent, 7'000, 500}, {peer(answering, 60'000)}, Act::nothing},
                      {{silent, 8'000, 500}, {peer(answering, 60'000)}, Act::nothing},
                      {{silent, 9'000, 500}, {peer(answering, 60'000)}, Act::standAside}}});
    // Held up 2 s (a tick 2.4 s after the one before), waking just as an
    // outage everyone shares begins: its last answer is 2 s older than the
    // outage, and the others' checks from before it still say their
    // databases answer. Its away time counts from its first check since.
    roads.push_back({"held up two seconds, waking into an outage everyone shares",
                     {{steady(60'000), {}, Act::nothing},
                      {{answering, 62'400, 2'500}, {}, Act::nothing, 2'400},
                      {{silent, 3'400, 1'000}, {peer(answering, 60'000, true, 1'100)}, Act::nothing},
                      {{silent, 4'400, 2'000}, {peer(answering, 60'000, true, 2'100)}, Act::nothing},
                      {{silent, 5'400, 500}, {peer(answering, 60'000, true, 3'100)}, Act::nothing},
                      {{silent, 6'400, 1'000}, {peer(silent, 3'000, true, 1'000)}, Act::nothing},
                      {{silent, 7'400, 2'000}, {}, Act::nothing},
                      {{silent, 8'400, 500}, {peer(silent, 5'000, true, 1'000)}, Act::nothing}}});
    // Held up 1.4 s, too short for its ticks to show: its own count takes
    // in the hold-up, and the others' checks must have begun 2 s after it
    // says its road went away.
    roads.push_back({"held up a moment too short to see, waking into an outage everyone shares",
                     {{steady(60'000), {}, Act::nothing},
                      {{answering, 61'400, 1'400}, {}, Act::nothing, 1'400},
                      {{silent, 2'400, 1'000}, {}, Act::nothing},
                      {{silent, 3'400, 2'000}, {peer(answering, 60'000, true, 3'000)}, Act::nothing},
                      {{silent, 4'400, 500}, {}, Act::nothing},
                      {{silent, 5'400, 1'000}, {peer(answering, 60'000, true, 4'100)}, Act::nothing}}});
    // Another held up as the outage began (3.5 s): waking, it answers from
    // the check it made before, which says its database answers; only a
    // check begun since this one's road went away vouches for that. Once
    // its tick has seen its hold-up it tells no steady time from before.
    roads.push_back({"another held up as an outage everyone shares began answers from its check from before",
                     {{{silent, 1'000, 1'000}, {}, Act::nothing},
                      {{silent, 2'000, 2'000}, {}, Act::nothing},
                      {{silent, 3'000, 500}, {peer(answering, 60'000, true, 3'600)}, Act::nothing},
                      {{silent, 4'000, 1'000}, {}, Act::nothing},
                      {{silent, 5'000, 2'000}, {peer(answering, 1'500, true, 5'100)}, Act::nothing},
                      {{silent, 6'000, 500}, {}, Act::nothing},
                      {{silent, 7'000, 1'000}, {peer(silent, 2'000, true, 1'000)}, Act::nothing},
                      {{silent, 8'000, 2'000}, {}, Act::nothing},
                      {{silent, 9'000, 500}, {peer(answering, 60'000, true, 400)}, Act::standAside}}});
    roads.push_back({"a verdict too old to judge by, its check never concluded",
                     {{{silent, 10'000, 6'000}, {peer(answering, 60'000)}, Act::nothing},
                      {{silent, 11'000, 7'000}, {peer(answering, 60'000)}, Act::nothing}}});
    roads.push_back({"another whose own verdict is too old does not count",
                     {{{silent, 10'000}, {peer(answering, 60'000, true, 6'000)}, Act::nothing}}});
    // Its steady count from before it stood aside is no steadiness since.
    roads.push_back({"taking links back only once its database has answered steadily since it stood aside",
                     {{{silent, 3'000}, {peer(answering, 60'000)}, Act::standAside},
                      {steady(60'000), {}, Act::nothing},
                      {steady(61'000), {}, Act::nothing, 13'000},
                      {steady(62'000), {}, Act::rejoin}}});
    for (const auto& road : roads) EXPECT_EQ(drive(road.seconds), actsOf(road.seconds)) << road.name;

    // While its database answers it asks now and then, so that an instance
    // that never answers is known before the day it matters; nothing comes
    // of the answers. Away for everyone from 62 s to 68 s, it asks every two
    // seconds, and once more as soon as it is back.
    FleetWatch watch;
    std::vector<int> askedAt;
    for (int s = 0; s <= 75; ++s) {
        const std::int64_t now = 1'000'000 + 1'000 * s;
        const bool away = s >= 62 && s < 68;
        const auto own = away ? StoreHealth{silent, 1'000 * (s - 61)} : steady(1'000 * (s < 62 ? s : s - 68));
        if (watch.tick(own, now) != Act::ask) continue;
        askedAt.push_back(s);
        EXPECT_EQ(watch.answered({peer(away ? silent : answering, 60'000)}, own, now), Act::nothing);
    }
    EXPECT_EQ(askedAt, (std::vector<int>{30, 60, 64, 66, 68}));
}

// What an instance tells the others of its database counts no steady time
// from before a hold-up of its own: nothing while it has not ticked since,
// and then only the time since the tick that saw it.
TEST(FleetWatch, WhatAnInstanceTellsTheOthersCountsNothingFromBeforeItsOwnHoldUp) {
    FleetWatch watch;
    const StoreHealth steady{answering, 60'000, 200};
    std::int64_t now = 1'000'000;
    watch.tick(steady, now);
    EXPECT_EQ(watch.told(steady, now + 900), steady) << "on time";
    EXPECT_EQ(watch.told(steady, now + 3'500).forMillis, 0) << "asked as it wakes";
    watch.tick(steady, now += 3'500);
    EXPECT_EQ(watch.told(steady, now + 700).forMillis, 700);
    EXPECT_EQ(watch.told(StoreHealth{answering, 300, 100}, now + 700).forMillis, 300);
    EXPECT_EQ(watch.told(StoreHealth{silent, 5'000, 1'000}, now + 700), (StoreHealth{silent, 5'000, 1'000}));
}

// What a stranger who reaches the listener, or who heard a question or
// answer go by, can make of it: nothing but what the fleet's secret
// signed, for the question it was asked, and no question older than a
// minute.
TEST(PeerWords, OnlyWhatTheFleetsSecretSignedIsRead) {
    const std::string secret(64, 'a'), wrong(64, 'b');
    const std::int64_t now = 1'800'000'000'000;
    const auto question = peer_words::question(secret, "alpha", now, "n0nce");
    EXPECT_EQ(peer_words::readQuestion(question, secret, now + 1'000), (peer_words::Question{"alpha", "n0nce", now}));
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

    const PeerState state{"beta", {answering, 42'000, 700}, true};
    const auto answer = peer_words::answer(secret, "n0nce", state);
    EXPECT_EQ(peer_words::readAnswer(answer, secret, "n0nce"), state);
    auto flipped = answer;
    flipped.replace(flipped.find("answering"), 9, "refusing");
    auto older = answer;
    older.replace(older.find(" 700 "), 5, " 7   ");
    const Case answers[] = {
        {"to another question", answer, 0},
        {"signed with another secret", peer_words::answer(wrong, "n0nce", state), 0},
        {"a word changed after it was signed", flipped, 0},
        {"its check's age changed after it was signed", older, 0},
        {"a question", question, 0},
    };
    EXPECT_EQ(peer_words::readAnswer(answer, secret, "other"), std::nullopt) << answers[0].why;
    for (std::size_t i = 1; i < std::size(answers); ++i)
        EXPECT_EQ(peer_words::readAnswer(answers[i].text, secret, "n0nce"), std::nullopt) << answers[i].why;
}

// Where an instance is asked, as the store lists it.
TEST(PeerWords, AnInstanceIsAskedAtANumericAddressPlainOrTls) {
    EXPECT_EQ(PeerAddress::parse("https://10.0.0.1:8443"),
              (PeerAddress{true, boost::asio::ip::make_address("10.0.0.1"), 8443}));
    EXPECT_EQ(PeerAddress::parse("http://[fd00::1]:8080")->text(), "http://[fd00::1]:8080");
    EXPECT_EQ(PeerAddress::parse("10.0.0.1:8080")->text(), "http://10.0.0.1:8080") << "as instances listed it before";
    for (const char* wrong : {"relay.example.org:443", "http://0.0.0.0:8080", "http://10.0.0.1", "ftp://10.0.0.1:21", ""})
        EXPECT_EQ(PeerAddress::parse(wrong), std::nullopt) << wrong;
}

// The questions a line answers, on a hand-moved clock: once each, none of
// its own, none without the secret, and at most answersPerSecond a second
// however many come, so that nobody can make an instance work for them;
// the log says once that they came faster.
TEST(PeerLine, AQuestionIsAnsweredOnceAndAFloodAFewDozenASecond) {
    boost::asio::io_context io;
    std::int64_t clock = 1'800'000'000'000;
    std::vector<std::string> lines;
    const std::string secret(64, 's');
    PeerLine line(io, "beta", *PeerAddress::parse("http://127.0.0.1:1"),
                  PeerLine::Hooks{[] { return PeerState{"beta", {answering, 9'000, 10}, true}; }, [&] { return clock; },
                                  [&](const std::string& text) { lines.push_back(text); }});
    const auto ask = [&](const std::string& asker, const std::string& nonce) {
        return line.answer(peer_words::question(secret, asker, clock, nonce));
    };
    EXPECT_EQ(ask("alpha", "before"), std::nullopt) << "without the secret it answers nothing";
    line.setSecret(secret);
    const auto answer = ask("alpha", "first");
    ASSERT_TRUE(answer);
    EXPECT_EQ(peer_words::readAnswer(*answer, secret, "first"), (PeerState{"beta", {answering, 9'000, 10}, true}));
    EXPECT_EQ(ask("alpha", "first"), std::nullopt) << "replayed";
    EXPECT_EQ(ask("beta", "own"), std::nullopt) << "its own";
    EXPECT_EQ(line.answer(peer_words::question(std::string(64, 'x'), "alpha", clock, "stranger")), std::nullopt);

    clock += 1'000;
    int answered = 0;
    for (int i = 0; i < 2 * PeerLine::answersPerSecond; ++i) answered += ask("alpha", "flood" + std::to_string(i)).has_value();
    EXPECT_EQ(answered, PeerLine::answersPerSecond);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "the other instances' questions come faster than they are answered"), 1);
    clock += 1'000;
    EXPECT_TRUE(ask("alpha", "flood" + std::to_string(2 * PeerLine::answersPerSecond - 1))) << "refused, not answered";
    EXPECT_FALSE(ask("alpha", "flood0")) << "answered the second before";
    // Long after, a nonce is forgotten, as its question is too old to read.
    clock += 3 * peer_words::questionWindowMillis;
    EXPECT_TRUE(ask("alpha", "first"));
}

// A round of questions ends on the service's own clock: an instance that
// takes the question and never answers holds it exactly answerWithinMillis
// of that clock, however long the network thread waits meanwhile; and a
// line let go of with its round under way calls nobody back.
TEST(PeerLine, ARoundEndsAtItsDeadlineOnTheServicesClock) {
    boost::asio::io_context io;
    morvane::testing::ManualExecutor timers;
    // Takes the connection (the kernel's backlog) and never answers.
    boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const std::vector<PeerRecord> peers{{"gamma", "http://127.0.0.1:" + std::to_string(silent.local_endpoint().port())}};
    const auto line = [&] {
        return std::make_unique<PeerLine>(
            io, "beta", *PeerAddress::parse("http://127.0.0.1:1"),
            PeerLine::Hooks{[] { return PeerState{"beta", {answering, 9'000, 10}, true}; }, nowMillis,
                            [](const std::string&) {}, &timers, [&] { return timers.now(); }});
    };
    auto asking = line();
    asking->setSecret(std::string(64, 's'));
    std::optional<std::vector<PeerState>> heard;
    ASSERT_TRUE(asking->ask(peers, [&](std::vector<PeerState> answers) { heard = std::move(answers); }));
    EXPECT_FALSE(asking->ask(peers, [](std::vector<PeerState>) { ADD_FAILURE() << "a second round at once"; }));
    io.run_for(std::chrono::milliseconds(100));
    timers.advance(PeerLine::answerWithinMillis - 1);
    io.run_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(heard);
    timers.advance(1);
    ASSERT_TRUE(heard);
    EXPECT_TRUE(heard->empty());

    // Gone with its round under way: its deadline's turn calls nothing.
    auto going = line();
    going->setSecret(std::string(64, 's'));
    bool called = false;
    ASSERT_TRUE(going->ask(peers, [&](std::vector<PeerState>) { called = true; }));
    going.reset();
    timers.advance(PeerLine::answerWithinMillis);
    io.run_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(called);
    EXPECT_EQ(timers.pendingTimers(), 0u);
}

// What is wrong with a fleet is said in the log of the instance asked,
// once in a while for as long as it holds: another instance whose clock
// is more than 30 s off, with by how much (and past a minute, that they
// cannot ask each other: its question is not answered), a question signed
// with another secret than the one read, and a secret that changed in the
// database, which is taken up at once.
TEST(PeerLine, AClockOffAndASecretThatDiffersAreSaid) {
    boost::asio::io_context io;
    std::int64_t clock = 1'800'000'000'000;
    std::vector<std::string> lines;
    const std::string secret(64, 's'), other(64, 'o');
    PeerLine line(io, "beta", *PeerAddress::parse("http://127.0.0.1:1"),
                  PeerLine::Hooks{[] { return PeerState{"beta", {answering, 9'000, 10}, true}; }, [&] { return clock; },
                                  [&](const std::string& text) { lines.push_back(text); }});
    line.setSecret(secret);
    const auto said = [&](const std::string& part) {
        return std::count_if(lines.begin(), lines.end(), [&](const auto& text) { return text.find(part) != std::string::npos; });
    };
    const auto ask = [&](const std::string& with, const char* asker, std::int64_t ahead, int times) {
        int answered = 0;
        for (int i = 0; i < times; ++i)
            answered += line.answer(peer_words::question(with, asker, clock + ahead, asker + std::to_string(i))).has_value();
        return answered;
    };
    EXPECT_EQ(ask(secret, "alpha", 20'000, 1), 1);
    EXPECT_EQ(ask(secret, "gamma", 45'000, 3), 3);
    EXPECT_EQ(ask(secret, "delta", -90'000, 1), 0);
    EXPECT_EQ(said("instance alpha"), 0) << "20 s apart is close enough";
    EXPECT_EQ(said("instance gamma's clock is 45 s ahead of this one's: the instances' clocks must agree within 30 s"), 1)
        << "said once";
    EXPECT_EQ(said("delta's clock is 90 s behind this one's: the instances' clocks must agree within 30 s (run NTP, e.g. "
                   "systemd-timesyncd, on every machine), or phones are refused the others' tickets (4401 "
                   "ticket-refused), and past a minute the instances cannot ask each other"),
              1);

    EXPECT_EQ(ask(other, "epsilon", 0, 3), 0);
    EXPECT_EQ(lines.size(), 2u) << "not before this instance read the secret again";
    line.setSecret(secret);
    line.setSecret(secret);
    EXPECT_EQ(lines.size(), 2u) << "read again, the same";
    EXPECT_EQ(ask(other, "epsilon", 0, 3), 0);
    EXPECT_EQ(said("instance epsilon asks this instance with a fleet secret other than the one this instance read"), 1);
    EXPECT_FALSE(line.answer("mrq1 \x1b[2J 1 n x"));
    EXPECT_EQ(lines.size(), 3u) << "nothing said of a name no instance has";

    line.setSecret(other);
    EXPECT_EQ(said("the fleet's secret in the database (table fleet_secret) is not the one this instance read before"), 1);
    EXPECT_TRUE(line.answer(peer_words::question(other, "epsilon", clock, "e-new")));
}

// The secret changed in the database while an instance was cut from it:
// that instance still asks with the one before, which the others answer
// (signed with it, so that it can read them) for a while after the change,
// saying so, so that it hears their stores answer and stands aside. A
// secret never read here is answered never, and the old one not past its
// while.
TEST(PeerLine, AnInstanceCutWhenTheSecretChangedIsAnsweredWithTheOldOneForAWhile) {
    boost::asio::io_context io;
    std::int64_t clock = 1'800'000'000'000;
    std::vector<std::string> lines;
    const std::string before(64, 'b'), now(64, 'n'), never(64, 'x');
    const PeerState mine{"beta", {answering, 9'000, 10}, true};
    PeerLine line(io, "beta", *PeerAddress::parse("http://127.0.0.1:1"),
                  PeerLine::Hooks{[&] { return mine; }, [&] { return clock; },
                                  [&](const std::string& text) { lines.push_back(text); }});
    const auto said = [&](const std::string& part) {
        return std::count_if(lines.begin(), lines.end(), [&](const auto& text) { return text.find(part) != std::string::npos; });
    };
    line.setSecret(before);
    EXPECT_FALSE(line.answer(peer_words::question(now, "epsilon", clock, "early"))) << "not read here yet";
    line.setSecret(now);
    const auto cut = line.answer(peer_words::question(before, "alpha", clock, "cut-1"));
    ASSERT_TRUE(cut);
    EXPECT_EQ(peer_words::readAnswer(*cut, before, "cut-1"), mine) << "readable by the instance that asked";
    EXPECT_EQ(peer_words::readAnswer(*cut, now, "cut-1"), std::nullopt);
    EXPECT_FALSE(line.answer(peer_words::question(before, "alpha", clock, "cut-2"))) << "twice in a second";
    clock += PeerLine::previousAnswerEveryMillis;
    EXPECT_TRUE(line.answer(peer_words::question(before, "alpha", clock, "cut-2")));
    EXPECT_EQ(said("instance alpha asks this instance with the fleet secret read before the one in the database now"), 1)
        << "said once in a while";
    EXPECT_TRUE(line.answer(peer_words::question(now, "gamma", clock, "current")));
    EXPECT_FALSE(line.answer(peer_words::question(never, "delta", clock, "stranger")));

    // Whoever knows the old secret (it may have leaked), asking as fast as
    // it can, is answered once a second, and the instances that read the
    // new one are answered as ever beside it.
    for (int second = 0; second < 3; ++second) {
        clock += 1'000;
        int old = 0, current = 0;
        for (int i = 0; i < 4 * PeerLine::answersPerSecond; ++i) {
            const auto n = std::to_string(second) + "-" + std::to_string(i);
            old += line.answer(peer_words::question(before, "alpha", clock, "flood" + n)).has_value();
            if (i % 4 == 0) current += line.answer(peer_words::question(now, "gamma", clock, "own" + n)).has_value();
        }
        EXPECT_EQ(old, 1) << "second " << second;
        EXPECT_EQ(current, PeerLine::answersPerSecond) << "second " << second;
    }

    clock += PeerLine::previousSecretMillis;
    line.setSecret(now);
    EXPECT_FALSE(line.answer(peer_words::question(before, "alpha", clock, "cut-3"))) << "past its while";
    EXPECT_EQ(said("instance alpha still asks this instance with the fleet secret read before the one in the database "
                   "now (table fleet_secret changed over 10 minutes ago): it has not read the new one"),
              1);
    EXPECT_EQ(said("other than the one this instance read"), 0) << "it is no stranger's secret";
}

// A question signed with neither secret is said for what it is: nothing
// while an ordinary change reaches the instances one read after another,
// a secret that stays other once this instance read its own twice more,
// and, where this instance has not read the database for a while, that it
// has not read a new secret rather than that the others' differs.
TEST(PeerLine, AQuestionSignedOtherwiseIsSaidForWhatItIs) {
    const std::string first(64, 'f'), second(64, 'n');
    constexpr const char* differs = "and still does after this instance read it again";
    constexpr const char* unread = "this instance has not read the secret since, as its store does not answer";
    constexpr const char* stale = "still asks this instance with the fleet secret read before";
    struct Line {
        boost::asio::io_context io;
        std::int64_t clock = 1'800'000'000'000;
        std::vector<std::string> lines;
        PeerLine line{io, "beta", *PeerAddress::parse("http://127.0.0.1:1"),
                      PeerLine::Hooks{[] { return PeerState{"beta", {answering, 9'000, 10}, true}; },
                                      [this] { return clock; },
                                      [this](const std::string& text) { lines.push_back(text); }}};
        int nonce = 0;
        bool ask(const std::string& with) {
            return line.answer(peer_words::question(with, "alpha", clock, "n" + std::to_string(++nonce))).has_value();
        }
        // Read from the database at its beat.
        void read(const std::string& secret) {
            clock += 5'000;
            line.setSecret(secret);
        }
    };
    const struct {
        const char* name;
        void (*play)(Line&, const std::string& first, const std::string& second);
        const char* said;
    } cases[] = {
        {"an ordinary change read here last",
         [](Line& l, const std::string& first, const std::string& second) {
             l.read(first);
             EXPECT_FALSE(l.ask(second));
             l.clock += 2'000;
             EXPECT_FALSE(l.ask(second));
             l.read(second);
             EXPECT_TRUE(l.ask(second));
             l.read(second);
             l.read(second);
             EXPECT_TRUE(l.ask(second));
         },
         nullptr},
        {"an ordinary change read here first",
         [](Line& l, const std::string& first, const std::string& second) {
             l.read(first);
             l.read(second);
             EXPECT_TRUE(l.ask(first));
             l.read(second);
             l.read(second);
             l.clock += PeerLine::previousAnswerEveryMillis;
             EXPECT_TRUE(l.ask(first));
         },
         nullptr},
        {"another database's secret",
         [](Line& l, const std::string& first, const std::string& second) {
             l.read(first);
             for (int i = 0; i < 3; ++i) {
                 EXPECT_FALSE(l.ask(second));
                 l.read(first);
             }
             EXPECT_FALSE(l.ask(second));
         },
         differs},
        {"this instance cut from its database when the secret changed",
         [](Line& l, const std::string& first, const std::string& second) {
             l.read(first);
             l.clock += PeerLine::unreadMillis + 1;
             for (int i = 0; i < 3; ++i) {
                 EXPECT_FALSE(l.ask(second));
                 l.clock += 5'000;
             }
         },
         unread},
        {"the asker cut from its database past the old secret's while",
         [](Line& l, const std::string& first, const std::string& second) {
             l.read(first);
             l.read(second);
             l.clock += PeerLine::previousSecretMillis;
             for (int i = 0; i < 3; ++i) {
                 l.read(second);
                 EXPECT_FALSE(l.ask(first));
             }
         },
         stale},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        c.play(line, first, second);
        for (const char* part : {differs, unread, stale}) {
            const auto count = std::count_if(line.lines.begin(), line.lines.end(),
                                             [&](const auto& text) { return text.find(part) != std::string::npos; });
            EXPECT_EQ(count, part == c.said ? 1 : 0) << part;
        }
    }
}

// An instance's listener as far as questions go: each POST to the
// question's path is answered with what the line says (404 for nothing),
// over plain HTTP or TLS, the line called on the io thread.
class QuestionDesk {
public:
    QuestionDesk(boost::asio::io_context& io, PeerLine*& line, std::shared_ptr<boost::asio::ssl::context> tls = nullptr)
        : io_(io), line_(line), tls_(std::move(tls)), acceptor_(serve_, {boost::asio::ip::make_address("127.0.0.1"), 0}),
          thread_([this] { run(); }) {}
    ~QuestionDesk() {
        stop_ = true;
        boost::system::error_code ignored;
        boost::asio::ip::tcp::socket poke(serve_);
        poke.connect(acceptor_.local_endpoint(), ignored);
        thread_.join();
    }
    std::string address() const {
        return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
    }
    std::atomic<int> from127002{0};

private:
    void run() {
        namespace http = boost::beast::http;
        while (!stop_) {
            boost::asio::ip::tcp::socket socket(serve_);
            boost::system::error_code ec;
            acceptor_.accept(socket, ec);
            if (ec || stop_) continue;
            from127002 += socket.remote_endpoint(ec).address().to_string() == "127.0.0.2";
            const auto exchange = [&](auto& stream) {
                boost::beast::flat_buffer buffer;
                http::request<http::string_body> request;
                http::read(stream, buffer, request, ec);
                if (ec) return;
                std::promise<std::optional<std::string>> answered;
                boost::asio::post(io_, [&] { answered.set_value(line_ ? line_->answer(request.body()) : std::nullopt); });
                const auto answer = answered.get_future().get();
                http::response<http::string_body> response{answer ? http::status::ok : http::status::not_found, 11};
                response.body() = answer.value_or("");
                response.prepare_payload();
                http::write(stream, response, ec);
            };
            if (tls_) {
                boost::beast::ssl_stream<boost::asio::ip::tcp::socket&> stream(socket, *tls_);
                stream.handshake(boost::asio::ssl::stream_base::server, ec);
                if (!ec) exchange(stream);
            } else {
                exchange(socket);
            }
        }
    }

    boost::asio::io_context& io_;
    PeerLine*& line_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    boost::asio::io_context serve_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Lines asking each other over listeners, one plain and one over TLS: the
// asker hears the other's state, from the address it is known by; a line
// with another secret is heard as nothing; and an instance listed where
// nothing answers is said in the log once it has not answered a few rounds,
// and again when it does.
TEST(PeerLine, InstancesAskEachOtherAtTheirListenersAndNobodyElseIsHeard) {
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
    morvane::testing::TestCertificateAuthority authority;
    const auto issued = authority.issue({"relay.example.org"}, {});
    auto tls = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
    tls->use_certificate_chain(boost::asio::buffer(issued.certificatePem));
    tls->use_private_key(boost::asio::buffer(issued.keyPem), boost::asio::ssl::context::pem);

    const std::string secret(64, 's');
    const auto wall = [] { return systemWallMillis(); };
    std::mutex logLock;
    std::vector<std::string> said;
    PeerLine *beta = nullptr, *gamma = nullptr, *stranger = nullptr;
    QuestionDesk betaDesk(io, beta), gammaDesk(io, gamma, tls), strangerDesk(io, stranger);
    // Where nothing listens: a desk made and gone.
    std::string nowhere;
    {
        PeerLine* none = nullptr;
        nowhere = QuestionDesk(io, none).address();
    }
    std::unique_ptr<PeerLine> alpha, betaLine, gammaLine, strangerLine;
    const auto line = [&](const char* name, const std::string& at, std::int64_t forMillis) {
        return std::make_unique<PeerLine>(
            io, name, *PeerAddress::parse(at),
            PeerLine::Hooks{[name, forMillis] { return PeerState{name, {answering, forMillis, 20}, true}; }, wall,
                            [&](const std::string& text) {
                                std::lock_guard lock(logLock);
                                said.push_back(text);
                            }});
    };
    onIo([&] {
        // Alpha asks from 127.0.0.2, the address the others know it by.
        alpha = line("alpha", "http://127.0.0.2:1", 1);
        betaLine = line("beta", betaDesk.address(), 9'000);
        gammaLine = line("gamma", gammaDesk.address(), 7'000);
        strangerLine = line("stranger", strangerDesk.address(), 1);
        beta = betaLine.get();
        gamma = gammaLine.get();
        stranger = strangerLine.get();
        for (auto* l : {alpha.get(), beta, gamma}) l->setSecret(secret);
        stranger->setSecret(std::string(64, 'x'));
    });
    const std::vector<PeerRecord> everyone{{"beta", betaDesk.address()},
                                           {"gamma", gammaDesk.address()},
                                           {"stranger", strangerDesk.address()},
                                           {"gone", nowhere}};
    const auto round = [&] {
        std::promise<std::vector<PeerState>> heard;
        onIo([&] { EXPECT_TRUE(alpha->ask(everyone, [&](std::vector<PeerState> answers) { heard.set_value(answers); })); });
        auto answers = heard.get_future().get();
        std::sort(answers.begin(), answers.end(), [](const auto& a, const auto& b) { return a.instance < b.instance; });
        return answers;
    };
    const auto saidAbout = [&](const std::string& part) {
        std::lock_guard lock(logLock);
        return std::count_if(said.begin(), said.end(), [&](const auto& text) { return text.find(part) != std::string::npos; });
    };
    const std::vector<PeerState> expected{{"beta", {answering, 9'000, 20}, true}, {"gamma", {answering, 7'000, 20}, true}};
    for (int i = 0; i < PeerLine::silentRounds - 1; ++i) EXPECT_EQ(round(), expected);
    EXPECT_EQ(saidAbout("has not answered"), 0) << "not after a round or two";
    EXPECT_GT(betaDesk.from127002, 0) << "asked from the address it is known by";
    EXPECT_EQ(round(), expected);
    EXPECT_EQ(saidAbout("instance gone at " + nowhere + " has not answered this instance's last " +
                        std::to_string(PeerLine::silentRounds) + " questions ("),
              1);
    EXPECT_EQ(saidAbout("instance stranger at " + strangerDesk.address() +
                        " has not answered this instance's last 3 questions (answered 404: it did not take the "
                        "question, signed with another fleet secret,"),
              1);
    EXPECT_EQ(saidAbout("instance beta"), 0);
    EXPECT_EQ(round(), expected);
    EXPECT_EQ(saidAbout("has not answered"), 2) << "said once";
    onIo([&] { stranger->setSecret(secret); });
    EXPECT_EQ(round().size(), 3u);
    EXPECT_EQ(saidAbout("instance stranger at " + strangerDesk.address() + " answers again"), 1);

    // The hosts listed are let in, every one listed since the start.
    onIo([&] {
        EXPECT_EQ(alpha->know({{"beta", "http://10.0.0.2:8080"}}).size(), 1u);
        EXPECT_EQ(alpha->know({{"gamma", "https://10.0.0.3:8080"}, {"junk", "relay.example.org:80"}}),
                  (std::vector<boost::asio::ip::address>{boost::asio::ip::make_address("10.0.0.2"),
                                                         boost::asio::ip::make_address("10.0.0.3")}));
    });

    onIo([&] {
        beta = gamma = stranger = nullptr;
        alpha.reset();
        betaLine.reset();
        gammaLine.reset();
        strangerLine.reset();
    });
    guard.reset();
    io.stop();
    thread.join();
}

}  // namespace
}  // namespace morvane::relay_service::testing
