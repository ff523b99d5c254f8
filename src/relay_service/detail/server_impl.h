// What the server's sockets share: the options, the rooms, the queues the
// account calls and the mail go through, the page, the proxies believed
// and the TLS context. Internal to the server; on the network thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/stream_fwd.hpp>

#include "core/clock.h"
#include "core/one_shot_timer.h"
#include "relay_service/client_address.h"
#include "relay_service/detail/record_buffer.h"
#include "relay_service/handshake_room.h"
#include "relay_service/handshake_turns.h"
#include "relay_service/heap_ebb.h"
#include "relay_service/io_executor.h"
#include "relay_service/queue_budget.h"
#include "relay_service/account_gate.h"
#include "relay_service/relay_hub.h"
#include "relay_service/relay_limits.h"
#include "relay_service/relay_listener.h"
#include "relay_service/relay_page.h"
#include "relay_service/relay_server.h"
#include "relay_service/work_queue.h"

namespace morvane::relay_service {

namespace detail {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ws = beast::websocket;
using tcp = asio::ip::tcp;

// How long a connection may take for its TLS handshake, a request or an
// answer.
constexpr auto handshakeTime = std::chrono::seconds(15);

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

}  // namespace detail

struct RelayServer::Impl : std::enable_shared_from_this<RelayServer::Impl> {
    boost::asio::io_context& io;
    RelayServerOptions options;
    RelayServerParts parts;
    RelayHub& hub;
    RelayLog log;
    std::shared_ptr<boost::asio::ssl::context> tls;
    std::shared_ptr<RelayListener> listener;
    // Every connection's place, kept across listeners.
    std::shared_ptr<ConnectionCounts> counts;
    // Where it listens, once it has: paused, it listens there again.
    std::optional<boost::asio::ip::tcp::endpoint> at;
    // What the upgraded sockets have waiting to be written, and the socket
    // whose message the hub is taking, which waits when what it sends on
    // passes a limit.
    QueueBudget budget;
    BudgetedQueue* reading = nullptr;
    RelayPage page;
    // Whose X-Forwarded-For is believed.
    TrustedProxies trusted;
    // Plain HTTP on a private address: only the trusted proxies may connect,
    // and the other instances sharing the store, to ask their questions.
    bool proxiesOnly = false;
    std::set<boost::asio::ip::address> peers;
    // Set when the server stops: requests under way are answered and the
    // connection then closes; upgrades are refused; upgraded sockets no
    // longer touch the hub, which closed them.
    bool stopped = false;
    // Set when the server is let go of: the accounts and the hub may be
    // gone while handlers of its sockets still come in, and those touch
    // neither.
    bool gone = false;
    // The connections not upgraded (or ended) yet, each with what it does
    // when the server stops, and who waits for the last of them to end.
    std::map<std::uint64_t, std::function<void()>> plain;
    std::uint64_t nextPlain = 1;
    std::function<void()> drained;

    // Room for the hosts' records, read into again once written.
    detail::RecordRoom records{RelayLimits::maxHostFrameBytes, RelayLimits::spareRecords};
    // When the heap goes back to the system after a burst of connections.
    HeapEbb ebb{RelayLimits::heapEbbConnections};
    // TLS handshakes under way, each with how it is given up.
    HandshakeRoom handshakes;
    // Each under way: its client's address (as HandshakeTurns has it) and
    // how it is given up.
    struct UnderWay {
        std::string address;
        std::function<void()> giveUp;
        std::int64_t begun = 0;
    };
    std::unordered_map<HandshakeRoom::Id, UnderWay> giveUps;
    HandshakeRoom::Id nextHandshake = 1;
    ThrottledLine handshakesRefused, handshakesGivenUp;

    static std::string addressOf(const std::vector<std::string>& networks) {
        return networks.empty() ? std::string() : networks.front();
    }
    // The widest: the network turns are weighed by.
    static std::string networkOf(const std::vector<std::string>& networks) {
        return networks.empty() ? std::string() : networks.back();
    }
    static std::string clientOf(const std::string& address) {
        return address.empty() ? std::string("a trusted proxy's client") : address;
    }

    // A handshake that would begin, its first step just counted against
    // its address: 0 when it is refused, which its caller holds back until
    // its deadline; those given up to make room for it are closed here, and
    // said. An address is vouched for when it completed a handshake lately,
    // or had no other worked out lately (a stranger dialling again has had
    // one given up, or refused); what it has cost lately decides whose stale
    // handshake it may have give way.
    // One refused only because what would give way has just begun has its
    // first step taken back and `again` called a moment later.
    HandshakeRoom::Id beginHandshake(const std::vector<std::string>& networks, std::function<void()> giveUp,
                                     std::function<void()> again) {
        const auto id = nextHandshake++;
        const auto address = addressOf(networks);
        const auto now = nowMillis();
        const auto cost = turns.costOf(address, now);
        const bool vouched = turns.known(address, now) || cost < 1.5;
        const auto start = handshakes.begin(id, networks, vouched, now, cost);
        for (const auto old : start.shed) {
            const auto found = giveUps.find(old);
            if (found == giveUps.end()) continue;
            auto under = std::move(found->second);
            giveUps.erase(found);
            turns.ended(under.address);
            const auto networkShare =
                networks.empty() ? std::string()
                                 : " and " + std::to_string(handshakes.limitAt(networks.size() - 1, networks.size()) >> 20) +
                                       " MiB from one network";
            handshakesGivenUp.say(log, Severity::warning,
                                  "gave up the TLS handshake of " + clientOf(under.address) + ", under way " +
                                      durationText(now - under.begun) + ", to begin one of " + clientOf(address) +
                                      ": TLS handshakes under way hold " + std::to_string(handshakes.held() >> 20) +
                                      " MiB, the most is " + std::to_string(handshakes.limits().bytes >> 20) +
                                      " MiB in all" + networkShare,
                                  now);
            under.giveUp();
        }
        if (!start.begins) {
            turns.ended(address);
            if (start.later) {
                turns.refund(address, networkOf(networks), now);
                auto timer = std::make_shared<boost::asio::steady_timer>(io);
                timer->expires_after(std::chrono::milliseconds(handshakes.limits().youngMillis));
                timer->async_wait([weak = weak_from_this(), timer, again = std::move(again)](boost::system::error_code ec) {
                    if (const auto self = weak.lock(); self && !ec && !self->gone) again();
                });
                return 0;
            }
            const auto from = networks.empty() ? std::string("a trusted proxy") : networks.front();
            handshakesRefused.say(log, Severity::warning,
                                  "refusing TLS handshakes from " + from + ": those under way hold " +
                                      std::to_string(handshakes.held() >> 20) + " MiB (" +
                                      std::to_string(handshakes.heldBy(from) >> 10) +
                                      " KiB of them from there), the most is " +
                                      std::to_string(handshakes.limits().bytes >> 20) + " MiB and " +
                                      std::to_string(handshakes.limitAt(0, 1) >> 10) + " KiB an address",
                                  nowMillis());
            return 0;
        }
        giveUps.emplace(id, UnderWay{address, std::move(giveUp), now});
        return id;
    }
    void endHandshake(HandshakeRoom::Id id) {
        handshakes.end(id);
        const auto found = giveUps.find(id);
        if (found == giveUps.end()) return;
        turns.ended(found->second.address);
        giveUps.erase(found);
    }
    // A client completed its handshake: it did the work a replayed
    // ClientHello never does, and its address goes first from now on.
    void handshakeCompleted(const std::vector<std::string>& networks) {
        turns.completed(addressOf(networks), networkOf(networks), nowMillis());
    }

    // Handshakes waiting for their turn (HandshakeTurns), each with its
    // first step: true when it did some work, false when its connection
    // ended meanwhile. One turn a handler, so that whatever else is ready
    // (accepts, a newcomer's ClientHello) goes between them.
    HandshakeTurns turns;
    std::unordered_map<HandshakeTurns::Id, std::pair<std::string, std::function<bool()>>> turnSteps;
    HandshakeTurns::Id nextTurn = 1;
    bool turning = false;
    // Wakes the turns when a handshake held behind its address's
    // unfinished one may go and nothing else would take a turn.
    IoExecutor turnsQueue{io};
    OneShotTimer turnsHeld{turnsQueue, nowMillis};
    // `networks` as handshakeNetworks has them, none for a trusted proxy.
    void awaitTurn(const std::vector<std::string>& networks, std::function<bool()> step) {
        const auto id = nextTurn++;
        const auto address = addressOf(networks);
        turns.wait(id, address, networkOf(networks), nowMillis());
        turnSteps.emplace(id, std::pair{address, std::move(step)});
        turnLater();
    }
    void turnLater() {
        if (turning) return;
        if (turns.empty()) {
            if (const auto until = turns.heldUntil())
                turnsHeld.start(std::max<std::int64_t>(0, *until - nowMillis()), [this] { takeTurn(); });
            return;
        }
        turning = true;
        boost::asio::post(io, [weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->takeTurn();
        });
    }
    // Those whose connections ended meanwhile are passed over, a few at a
    // time: thousands a stranger gave up on leave the loop its accepts
    // between them.
    static constexpr int passedOverATurn = 64;
    void takeTurn() {
        turning = false;
        for (int passed = 0; passed < passedOverATurn; ++passed) {
            const auto id = turns.next(nowMillis());
            if (!id) break;
            const auto found = turnSteps.find(*id);
            if (found == turnSteps.end()) continue;
            auto [address, step] = std::move(found->second);
            turnSteps.erase(found);
            if (step()) break;
            turns.ended(address);
        }
        turnLater();
    }

    std::uint64_t enter(std::function<void()> onStop) {
        plain.emplace(nextPlain, std::move(onStop));
        return nextPlain++;
    }
    void leave(std::uint64_t id) {
        plain.erase(id);
        if (stopped && plain.empty() && drained) std::exchange(drained, nullptr)();
    }

    Impl(boost::asio::io_context& io, RelayServerOptions options, RelayServerParts parts, RelayLog log)
        : io(io),
          options(std::move(options)),
          parts(std::move(parts)),
          hub(this->parts.hub),
          log(std::move(log)),
          counts(std::make_shared<ConnectionCounts>(this->options.listen)),
          budget(this->options.queues) {}

    // What strangers cause, said at most every few seconds with how many
    // times it happened since: `say(count)` when the line is due.
    static void tell(ThrottledLine& line, const std::function<void(int)>& say) {
        if (const auto count = line.due(nowMillis())) say(static_cast<int>(*count));
    }
    ThrottledLine answersReset, devicesRefused, linksRefused, heldBackClosed, closesUnwritten, closesUntaken, plainRefused;
    // A socket reset for its close: said of the last, with how many.
    void socketReset(ThrottledLine& line, const std::string& name, const std::string& why) {
        tell(line, [&](int count) {
            log.info(count == 1 ? "reset " + name + ": " + why
                                : "reset " + std::to_string(count) + " sockets, the last " + name + ": " + why);
        });
    }

    void answerTimedOut(const std::string& from) {
        tell(answersReset, [&](int count) {
            log.warning("reset " + std::to_string(count) + " connection" + (count == 1 ? "" : "s") +
                        " whose client had not taken its answer within " + std::to_string(options.requestTime.count()) +
                        " ms, the last from " + from + "; " + std::to_string(counts->unsent()) +
                        " bytes of answers wait to be taken, " + std::to_string(counts->waitingAnswers()) +
                        " answers their turn");
        });
    }
    void linkRefused(const std::string& room, const std::string& from, const std::string& reason) {
        tell(linksRefused, [&](int count) {
            log.warning(count == 1 ? "refused link for room " + room + " from " + from + ": " + reason
                                   : "refused " + std::to_string(count) + " links, the last for room " + room +
                                         " from " + from + ": " + reason);
        });
    }
    void deviceRefused(const std::string& room, const std::string& from, const std::string& reason) {
        tell(devicesRefused, [&](int count) {
            log.warning(count == 1 ? "refused a device for room " + room + " from " + from + ": " + reason
                                   : "refused " + std::to_string(count) + " devices, the last for room " + room +
                                         " from " + from + ": " + reason);
        });
    }

    bool secure() const { return !options.certificateFile.empty(); }
    bool admits(const boost::asio::ip::address& peer) const {
        return !proxiesOnly || trusted.contains(peer) || peers.contains(peer);
    }
    // Let in only to ask what another instance asks.
    bool questionsOnly(const boost::asio::ip::address& peer) const { return proxiesOnly && !trusted.contains(peer); }

    // Runs an account call on the store queue once the gate lets it
    // through; `done` gets its answer on this thread, "try-later" when the
    // store could not take it in time.
    void call(AccountCall call, std::function<void(AccountAnswer)> done) {
        queueAccountCall(parts.gate, parts.store, parts.accounts, std::move(call), std::move(done));
    }

    // Sends a code on the mail queue, then hands the outcome to the
    // accounts; `done` gets the answer on this thread.
    void deliver(const CodeDelivery& delivery, std::function<void(AccountAnswer)> done) {
        const auto send = parts.sender;
        parts.mail.run<std::optional<std::string>>(
            [send, delivery]() -> std::optional<std::string> {
                try {
                    return send(delivery.email, delivery.code);
                } catch (const std::exception& failure) {
                    return failure.what();
                }
            },
            [self = shared_from_this(), delivery, done = std::move(done)](std::optional<std::optional<std::string>> sent) {
                if (self->gone) return done(storeTryLater());
                const auto error = sent ? *sent : std::optional<std::string>("too many codes waiting to be sent");
                auto& accounts = self->parts.accounts;
                // The end of a call the gate let through already, and the
                // store has little to do for it: it waits behind no one's
                // sign-ins.
                self->parts.store.run<AccountAnswer>(
                    [&accounts, delivery, error] { return accounts.delivered(delivery, error); },
                    [done](std::optional<AccountAnswer> answer) { done(answer ? std::move(*answer) : storeTryLater()); },
                    AccountGate::knownLane);
            });
    }
};

}  // namespace morvane::relay_service
