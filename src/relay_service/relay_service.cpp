#include "relay_service/relay_service.h"

#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "relay_service/relay_limits.h"
#include "relay_service/service_manager.h"


namespace morvane::relay_service {

namespace {

// The store queue's places shared out: sign-in attempts may hold only a
// part of them, so that calls of signed-in accounts and computers' links
// (the first lane, with the service's own work) always find one.
WorkQueueLimits withLanes(WorkQueueLimits limits, std::function<int(const std::string&)> rank) {
    if (limits.lanes.empty()) limits.lanes = AccountGate::storeLanes(limits.maxWaiting, std::move(rank));
    return limits;
}

}  // namespace

// The rooms whose links are up here, as the network thread last said: the
// list of computers is made on the store queue.
struct RelayService::OnlineRooms {
    void set(const std::string& room, bool up) {
        std::lock_guard guard(lock);
        if (up)
            rooms.insert(room);
        else
            rooms.erase(room);
    }
    bool contains(const std::string& room) const {
        std::lock_guard guard(lock);
        return rooms.contains(room);
    }
    mutable std::mutex lock;
    std::unordered_set<std::string> rooms;
};

RelayService::RelayService(boost::asio::io_context& io, RelayStore& store, RelayWorkers workers,
                           RelayServiceOptions options)
    : io_(io),
      store_(store),
      options_(std::move(options)),
      network_(io),
      storeQueue_("the store", workers.store, network_, options_.monotonicMillis,
                  withLanes(options_.storeQueue, [this](const std::string& turn) { return gate_.rank(turn); }), options_.log),
      mailQueue_("the mail", workers.mail, network_, options_.monotonicMillis, options_.mailQueue, options_.log),
      online_(std::make_shared<OnlineRooms>()),
      gate_(options_.wallMillis, options_.log, static_cast<bool>(options_.sender), store.sealKey(),
            RelayLimits::maxCountedClients, options_.accounts),
      beat_(timers(), options_.monotonicMillis, 1'000),
      purge_(timers(), options_.monotonicMillis, 10 * 60'000),
      presenceBeat_(timers(), options_.monotonicMillis, RelayLimits::presenceBeatSeconds * 1'000),
      rooms_(timers(), options_.monotonicMillis, RelayLimits::registrationCheckSeconds * 1'000) {
    hub_ = std::make_unique<RelayHub>(
        RelayHub::Hooks{options_.monotonicMillis, options_.log,
                        [this](std::vector<std::string> rooms) { checkRegistrations(std::move(rooms)); },
                        [this](const std::string& room, bool up, bool moving) {
                            online_->set(room, up);
                            presence_.changed(room, up, moving);
                            writePresence();
                        },
                        [this](const std::string& room, const std::string& holder) {
                            options_.log.info("asked instance " + holder + " to let go of the link for room " + room);
                            storeQueue_.run<bool>(
                                [this, message = BusMessage{BusKind::dropLink, room, holder, options_.instance}] {
                                    // Kept for a holder off the bus, which asks the store instead.
                                    try {
                                        store_.requestLink(message.subject, message.to);
                                    } catch (const std::exception& error) {
                                        options_.log.error(std::string("could not keep the request in the store: ") +
                                                           error.what());
                                    }
                                    publish(message);
                                    return true;
                                },
                                [](std::optional<bool>) {});
                        },
                        [this](std::vector<std::string> rooms) { askHolders(std::move(rooms)); },
                        options_.carried,
                        [this](const std::string& room, std::function<void()> ready) {
                            putBeforeWelcome(room, std::move(ready));
                        }},
        options_.limits, options_.instance);
    accounts_ = std::make_unique<RelayAccounts>(
        store_,
        RelayAccounts::Hooks{options_.wallMillis, options_.log,
                             [online = online_](const std::string& room) { return online->contains(room); },
                             [this, alive = alive_.token()](const std::string& room) {
                                 network_.post([this, alive, room] {
                                     if (alive) hub_->removed(room);
                                 });
                             },
                             // Closed here at once; the others hear it on the bus.
                             [this, alive = alive_.token()](const std::string& session) {
                                 publish(BusMessage{BusKind::signedOut, session, "", options_.instance});
                                 network_.post([this, alive, session] {
                                     if (alive) hub_->signedOut(session);
                                 });
                             }},
        static_cast<bool>(options_.sender), options_.accounts);
    server_ = std::make_unique<RelayServer>(
        io_, options_.server,
        RelayServerParts{*accounts_, gate_, *hub_, storeQueue_, mailQueue_, options_.sender, timers(),
                         options_.monotonicMillis, [this](std::string_view question) {
                             return peers_ ? peers_->answer(question) : std::optional<std::string>();
                         }},
        options_.log);
    storeQueue_.answersWhen([&store = store_] { return store.reach() == StoreReach::answering; });
    boost::asio::post(io_, [runs = networkRuns_] { runs->store(true); });
}

void RelayService::expectNetwork(const char* method) const {
    if (!networkRuns_->load() || io_.stopped() || network_.isCurrent()) return;
    // The beats' queue is the network thread's by the options' rule: a test
    // that moves it by hand on its own thread is that thread.
    if (options_.timers && options_.timers->isCurrent()) return;
    throw WrongQueue(method);
}

RelayService::~RelayService() {
    stop();
    // Nothing the queues hold may run once the accounts and the rooms are gone.
    storeQueue_.close();
    mailQueue_.close();
    // Rows the queue did not write in time are written here, on this
    // thread, now that nothing else calls the store.
    if (presence_.settled()) return;
    try {
        RelayPresence::write(store_, options_.instance, presence_.unsettled());
    } catch (const std::exception& error) {
        options_.log.error(std::string("could not tell the store this instance's links are moving: ") + error.what());
    }
}

void RelayService::start() {
    expectNetwork(__func__);
    server_->start();
    hub_->expectLinks(RelayLimits::movingSeconds * 1000);
    startPeers();
    listen();
    meetPeers();
    learnRooms();
    rooms_.start([this] { learnRooms(); });
    watchdog_ = service_manager::watchdogTime().has_value();
    if (watchdog_) service_manager::notify("WATCHDOG=1");
    beat_.start([this] {
        if (watchdog_) service_manager::notify("WATCHDOG=1");
        hub_->tick();
        closeDelisted();
        watchStore();
        // A store that is away has nothing to say either.
        if ((!bus_ || busAway_ || behind_) && store_.reach() == StoreReach::answering) catchUp();
    });
    presenceBeat_.start([this] {
        presence_.beat();
        writePresence();
        listen();
        meetPeers();
    });
    purge_.start([this] {
        gate_.purge();
        auto& accounts = *accounts_;
        storeQueue_.run<bool>(
            [&accounts] {
                accounts.purge();
                return true;
            },
            [](std::optional<bool>) {});
    });
}

std::uint16_t RelayService::port() const { return server_->port(); }

bool RelayService::reloadCertificate() {
    expectNetwork(__func__);
    return server_->reloadCertificate();
}

void RelayService::readFleetAgain() {
    expectNetwork(__func__);
    meetPeers();
}

void RelayService::setAccounts(const AccountList& accounts) {
    expectNetwork(__func__);
    gate_.setAccounts(accounts);
    accounts_->setAccounts(accounts);
    if (accounts.open()) return;
    delistDue_ = true;
    closeDelisted();
}

void RelayService::closeDelisted() {
    expectNetwork(__func__);
    if (!delistDue_ || closingDelisted_ || stopped_) return;
    delistDue_ = false;
    closingDelisted_ = true;
    auto& store = store_;
    auto& accounts = *accounts_;
    storeQueue_.run<std::vector<std::string>>(
        [&store, &accounts, rooms = hub_->rooms()] {
            std::vector<std::string> delisted;
            // An account's computers are many rooms: each account asked once.
            std::unordered_map<std::string, bool> listed;
            for (const auto& room : rooms) {
                const auto host = store.hostByRoom(room);
                if (!host) continue;
                auto [found, fresh] = listed.try_emplace(host->userId, true);
                if (fresh) found->second = accounts.listed(host->userId);
                if (!found->second) delisted.push_back(room);
            }
            return delisted;
        },
        [this](std::optional<std::vector<std::string>> delisted) {
            closingDelisted_ = false;
            // Not asked (the store away, or the queue full): the next second
            // asks again, and meanwhile each of their calls is refused.
            if (!delisted) {
                delistDue_ = true;
                return;
            }
            if (!delisted->empty())
                options_.log.info("closing the links and devices of " + std::to_string(delisted->size()) +
                                  " computers whose accounts are off the accounts list");
            for (const auto& room : *delisted) hub_->delisted(room);
        });
}

void RelayService::stop(std::function<void()> done) {
    expectNetwork(__func__);
    if (!stopped_) {
        stopped_ = true;
        bus_.reset();
        // Its computers are moving, not gone: the links closing here leave
        // their rows to count a few seconds more.
        presence_.stopping();
        if (peers_) {
            peers_->close();
            // A stopping instance is asked nothing more.
            storeQueue_.run<bool>(
                [this] {
                    store_.dropPeer(options_.instance);
                    return true;
                },
                [](std::optional<bool>) {});
        }
        server_->stop([this, alive = alive_.token()] {
            if (!alive) return;
            drained_ = true;
            stopDone();
        });
        beat_.stop();
        purge_.stop();
        presenceBeat_.stop();
        rooms_.stop();
    }
    if (done) stopDone_ = std::move(done);
    writePresence();
    stopDone();
}

void RelayService::stopDone() {
    if (stopDone_ && drained_ && (presence_.settled() || presenceGaveUp_)) std::exchange(stopDone_, nullptr)();
}

void RelayService::writePresence() {
    expectNetwork(__func__);
    const auto batch = presence_.next();
    if (!batch) return;
    auto& store = store_;
    storeQueue_.run<bool>(
        [&store, instance = options_.instance, batch = *batch] { return RelayPresence::write(store, instance, batch); },
        [this](std::optional<bool> inTime) {
            presence_.done(inTime.has_value(), inTime.value_or(true));
            // Stopping, once it waits for a beat is enough (beats are over):
            // the rows go stale by themselves.
            if (stopped_ && presence_.waitsForBeat()) {
                presenceGaveUp_ = true;
                return stopDone();
            }
            writePresence();
            stopDone();
        });
}

// A list asked between a computer's welcome and its row would call it
// offline while it is linked: its row first, whatever the store answers.
void RelayService::putBeforeWelcome(const std::string& room, std::function<void()> ready) {
    expectNetwork(__func__);
    auto& store = store_;
    storeQueue_.run<bool>(
        [&store, room, instance = options_.instance] { return store.putPresence(room, instance); },
        [this, room, ready = std::move(ready)](std::optional<bool> put) {
            ready();
            // Its link ended before the welcome: nothing is up to say so.
            if (put.value_or(false) && !hub_->online(room)) {
                presence_.changed(room, false, false);
                writePresence();
            }
        });
}

void RelayService::listen() {
    expectNetwork(__func__);
    if (bus_ || listening_ || stopped_) return;
    listening_ = true;
    auto& store = store_;
    const auto log = options_.log;
    BusHandler handler = [this, alive = alive_.token()](const BusMessage& message) {
        network_.post([this, alive, message] {
            if (alive) heard(message);
        });
    };
    // What was said while the bus was away is asked of the store: each
    // second while it is, and once more when it hears again.
    const auto away = [this, alive = alive_.token()](bool lost) {
        return [this, alive, lost] {
            network_.post([this, alive, lost] {
                if (!alive) return;
                busAway_ = lost;
                behind_ = true;
            });
        };
    };
    BusHooks hooks{handler, [log](const std::string& line) { log.warning(line); }, away(true), away(false)};
    storeQueue_.run<std::shared_ptr<BusListener>>(
        [&store, instance = options_.instance, hooks] { return std::shared_ptr<BusListener>(store.listen(instance, hooks)); },
        // Not listening yet: the next beat tries again.
        [this](std::optional<std::shared_ptr<BusListener>> listener) {
            listening_ = false;
            if (!listener || stopped_) return;
            bus_ = std::move(*listener);
            busAway_ = false;
            // What was said before it listened was missed too.
            behind_ = true;
        });
}

void RelayService::heard(const BusMessage& message) {
    expectNetwork(__func__);
    switch (message.kind) {
    case BusKind::dropLink: hub_->letGo(message.subject); return;
    case BusKind::signedOut: hub_->signedOut(message.subject); return;
    }
}

void RelayService::publish(const BusMessage& message) {
    try {
        store_.publish(message);
    } catch (const std::exception& error) {
        options_.log.error(std::string("could not tell the other instances: ") + error.what());
    }
}

void RelayService::catchUp() {
    expectNetwork(__func__);
    if (catchingUp_ || stopped_) return;
    catchingUp_ = true;
    behind_ = false;
    struct Missed {
        std::vector<std::string> signedOut;
        std::vector<std::string> letGo;
    };
    auto& store = store_;
    storeQueue_.run<Missed>(
        [&store, sessions = hub_->sessions(), instance = options_.instance, wall = options_.wallMillis] {
            // A request older than a device's wait for the link is moot.
            return Missed{sessions.empty() ? std::vector<std::string>{} : store.signedOutAmong(sessions, wall() / 1000),
                          store.takeLinkRequests(instance, RelayLimits::linkWaitSeconds)};
        },
        [this](std::optional<Missed> missed) {
            catchingUp_ = false;
            // Not asked: the next second tries again.
            if (!missed) {
                behind_ = true;
                return;
            }
            if (!missed->signedOut.empty())
                options_.log.info("missed on the bus: " + std::to_string(missed->signedOut.size()) +
                                  " sign-ins connected here signed out");
            for (const auto& session : missed->signedOut) hub_->signedOut(session);
            for (const auto& room : missed->letGo) {
                options_.log.info("missed on the bus: asked to let go of the link for room " + room);
                hub_->letGo(room);
            }
        });
}

void RelayService::learnRooms() {
    expectNetwork(__func__);
    auto& store = store_;
    // A registration is stamped by its instance's clock, which may be
    // behind this one's.
    const auto asked = options_.wallMillis() / 1000 - RelayLimits::proofWindowSeconds;
    storeQueue_.run<std::vector<std::string>>(
        [&store, since = roomsSince_] { return store.roomsRegisteredSince(since, RelayLimits::maxKnownRooms); },
        // Not asked: the next turn asks from the same time.
        [this, asked](std::optional<std::vector<std::string>> rooms) {
            if (!rooms) return;
            gate_.knowRooms(*rooms);
            roomsSince_ = asked;
        });
}

void RelayService::startPeers() {
    // One instance alone has nobody to ask.
    if (!options_.fleet.value_or(store_.shared())) return;
    const bool tls = !options_.server.certificateFile.empty();
    std::optional<PeerAddress> at;
    if (!options_.peerAddress.empty()) {
        at = PeerAddress::parse(options_.peerAddress);
        if (!at)
            throw std::runtime_error("store.peer_address must be a numeric address and a port, as 10.0.0.1:8080, not " +
                                     options_.peerAddress);
        at->tls = tls;
    } else {
        // Where the proxy reaches it, the others can.
        boost::system::error_code ec;
        const auto address = boost::asio::ip::make_address(options_.server.address, ec);
        if (ec || address.is_unspecified()) {
            options_.log.warning(
                "the other instances cannot ask this one whether its store answers: it listens on every address; "
                "give store.peer_address");
            return;
        }
        at = PeerAddress{tls, address, port()};
    }
    peers_ = std::make_unique<PeerLine>(
        io_, options_.instance, *at,
        PeerLine::Hooks{[this] {
                            return PeerState{options_.instance, watch_.told(store_.health(), options_.monotonicMillis()),
                                             !watch_.aside()};
                        },
                        options_.wallMillis, options_.log, &timers(), options_.monotonicMillis});
}

void RelayService::meetPeers() {
    expectNetwork(__func__);
    if (!peers_ || stopped_) return;
    struct Met {
        std::vector<PeerRecord> peers;
        std::string secret;
    };
    auto& store = store_;
    storeQueue_.run<Met>(
        // The secret too, every time: one changed in the database is taken
        // up within a beat, never kept apart from the others'.
        [&store, instance = options_.instance, address = peers_->address().text()] {
            store.putPeer(instance, address);
            return Met{store.peers(instance, RelayLimits::presenceFreshSeconds), store.fleetSecret()};
        },
        // Unknown while the store is away: the last list stands.
        [this](std::optional<Met> met) {
            if (!met || !peers_) return;
            // Said as it changes: which others it could ask is what decides
            // whether it may ever stand aside.
            if (met->peers.size() != peerList_.size())
                options_.log.info(std::to_string(met->peers.size()) +
                                  (met->peers.size() == 1 ? " other instance can be asked whether its store answers"
                                                          : " other instances can be asked whether their store answers"));
            peerList_ = std::move(met->peers);
            // Every instance listed since the start is let in to ask, its
            // row fresh or not: one cut off from the store asks all the
            // more.
            server_->admitPeers(peers_->know(peerList_));
            peers_->setSecret(std::move(met->secret));
        });
}

void RelayService::watchStore() {
    expectNetwork(__func__);
    if (stopped_) return;
    const auto health = store_.health();
    if (health.reach != StoreReach::answering) {
        storeWasAway_ = true;
    } else if (storeWasAway_) {
        // Back: its rows, gone stale if it was away long, are renewed now
        // rather than at the next beat, so that the lists say its computers
        // are online.
        storeWasAway_ = false;
        presence_.beat();
        writePresence();
        meetPeers();
    }
    act(watch_.tick(health, options_.monotonicMillis()));
}

void RelayService::act(FleetWatch::Act what) {
    expectNetwork(__func__);
    const auto health = store_.health();
    switch (what) {
    case FleetWatch::Act::nothing:
        if (health.reach == StoreReach::answering) toldAway_ = false;
        return;
    case FleetWatch::Act::ask: {
        const auto heard = [this, alive = alive_.token(),
                            asked = options_.monotonicMillis()](std::vector<PeerState> answers) {
            if (!alive || stopped_) return;
            if (!answers.empty()) {
                std::vector<std::string> heard;
                for (const auto& answer : answers) heard.push_back(answer.instance);
                // And this one, whose own rows are as old as the others'
                // until it renews them.
                heard.push_back(options_.instance);
                store_.heardFrom(heard, options_.monotonicMillis() - asked);
            }
            const auto own = store_.health();
            const auto now = options_.monotonicMillis();
            const auto next = watch_.answered(answers, own, now);
            if (next == FleetWatch::Act::nothing && watch_.awayMillis(own, now) > 0 && !toldAway_) {
                toldAway_ = true;
                options_.log.warning("the store does not answer, and no other instance says its own does: this "
                                     "instance keeps its links (" + std::to_string(answers.size()) + " of " +
                                     std::to_string(peerList_.size()) + " others answered)");
            }
            act(next);
        };
        if (!peers_ || !peers_->ask(peerList_, heard)) act(watch_.answered({}, health, options_.monotonicMillis()));
        return;
    }
    case FleetWatch::Act::standAside:
        watch_.stoodAside(options_.monotonicMillis());
        options_.log.warning(
            "the store does not answer here while it does for another instance: this instance lets its links go and "
            "takes no connections until its store has answered steadily for " +
            std::to_string(watch_.rejoinMillis() / 1000) + " s, so that the other instances serve its computers and phones");
        server_->pause();
        hub_->letGoAll();
        return;
    case FleetWatch::Act::rejoin:
        // Listening again may fail for a moment: the next beat tries again.
        if (!server_->resume()) return;
        watch_.rejoined(options_.monotonicMillis());
        options_.log.info("the store has answered steadily for " + std::to_string(health.forMillis / 1000) +
                          " s: taking connections again");
        return;
    }
}

void RelayService::askHolders(std::vector<std::string> rooms) {
    expectNetwork(__func__);
    // One question at a time: a store slow to answer is not asked again
    // meanwhile.
    if (askingHolders_ || store_.reach() != StoreReach::answering) return;
    askingHolders_ = true;
    auto& store = store_;
    storeQueue_.run<std::vector<std::pair<std::string, std::string>>>(
        [&store, rooms = std::move(rooms)] {
            std::vector<std::pair<std::string, std::string>> holders;
            for (const auto& room : rooms)
                holders.emplace_back(room, store.presenceHolder(room, RelayLimits::presenceFreshSeconds).value_or(""));
            return holders;
        },
        [this](std::optional<std::vector<std::pair<std::string, std::string>>> holders) {
            askingHolders_ = false;
            if (!holders) return;
            for (const auto& [room, holder] : *holders) hub_->holderIs(room, holder);
        });
}

void RelayService::checkRegistrations(std::vector<std::string> rooms) {
    expectNetwork(__func__);
    auto& store = store_;
    const auto log = options_.log;
    storeQueue_.run<std::vector<std::string>>(
        [&store, log, rooms = std::move(rooms)] {
            std::vector<std::string> gone;
            for (const auto& room : rooms) {
                try {
                    if (!store.hostByRoom(room)) gone.push_back(room);
                } catch (const std::exception& error) {
                    // A store out of reach says nothing about the computer:
                    // its link stays, and the next check asks again.
                    log.error("cannot check the registration of room " + room + ": " + error.what());
                    break;
                }
            }
            return gone;
        },
        [this](std::optional<std::vector<std::string>> gone) {
            if (!gone) return;
            for (const auto& room : *gone) hub_->removed(room);
        });
}

}  // namespace morvane::relay_service
