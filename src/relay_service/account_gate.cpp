#include "relay_service/account_gate.h"

#include <algorithm>

#include "relay/relay_words.h"
#include "relay_service/detail/account_answers.h"
#include "relay_service/network_scale.h"
#include "relay_service/place_keys.h"
#include "relay_service/relay_limits.h"

namespace morvane::relay_service {

using json = nlohmann::json;
using account_detail::answer;
using account_detail::refuse;
using account_detail::refusedDevice;
using account_detail::text;

std::vector<WorkLane> AccountGate::storeLanes(std::size_t maxWaiting, std::function<int(const std::string&)> rank) {
    const auto share = [maxWaiting](std::size_t eighths) { return std::max<std::size_t>(1, maxWaiting * eighths / 8); };
    // Few newcomers' calls wait at once, so that one waits behind few.
    return {{"sign-ins", std::min(share(3), RelayLimits::newcomersWaiting), std::move(rank)},
            {"sign-ins for codes not sent from here", share(1)},
            {"unproven calls", share(1)},
            {"code requests", share(1)}};
}

AccountGate::AccountGate(WallClock now, RelayLog log, bool mailConfigured, std::string seal, std::size_t maxClients,
                         AccountList accounts)
    : now_(std::move(now)),
      log_(std::move(log)),
      mailConfigured_(mailConfigured),
      seal_(std::move(seal)),
      accounts_(std::move(accounts)),
      callsPerClient_(RelayLimits::callsPerClientMinute, 60, maxClients, full("calls per client")),
      codesPerClient_(RelayLimits::codesPerClient, RelayLimits::codeWindowSeconds, maxClients, full("codes per client")),
      addressCodes_({RelayLimits::codesPerAddress, RelayLimits::codesPerAddressAtHome, RelayLimits::mailsPerAddress,
                     RelayLimits::mailsPerAddressElsewhere, RelayLimits::codeWindowSeconds, maxClients,
                     RelayLimits::homesPerAddress, RelayLimits::mailsPerMailbox},
                    full("codes per address")),
      verifiesPerClient_(RelayLimits::verifiesPerClient, RelayLimits::codeWindowSeconds, maxClients,
                         full("sign-ins per client")),
      guessesAway_(RelayLimits::guessesAwayPerDay, RelayLimits::guessWindowSeconds, maxClients,
                   full("guesses per address and network")),
      signInAsks_(RelayLimits::signInAsksPerNetwork, RelayLimits::codeWindowSeconds, maxClients,
                  full("sign-in calls per network")),
      budget_(StrangerBudget::Limits{RelayLimits::strangerStoreMillisPerSecond, RelayLimits::strangerStoreBurstMillis,
                                     RelayLimits::strangerCallFloorMillis},
              now_()),
      limits_(limits()),
      askers_(maxClients),
      verdicts_(RelayLimits::maxCodeVerdicts, RelayLimits::codeVerdictMillis),
      rooms_(RelayLimits::maxKnownRooms) {}

std::vector<Limit> AccountGate::limits() {
    using Kind = Asking::Kind;
    const auto is = [](Kind kind, const Asking& a) { return a.kind == kind && !a.address.empty(); };
    return {
        Limit::counting(
            callsPerClient_, [](const Asking& a) { return a.perMinute ? a.client : ""; },
            [](const Asking& a) { return "too many calls from " + a.client; }),
        // Every code request and sign-in, whoever it names, so that a
        // network past it learns nothing of who is listed; kept whatever
        // the answer. A person's own at a network they signed in from are
        // bounded by their address's count, and do not make their home
        // look like a stranger.
        {[this](const Asking& a, std::int64_t now, Taken&) -> std::optional<Limit::Refusal> {
            if (a.kind == Kind::other || a.atHome) return std::nullopt;
            const auto wait = signInAsks_.take(a.networks, wholeSeconds(now));
            if (!wait) return std::nullopt;
            return Limit::Refusal{*wait, "too many sign-in calls from " + a.network};
        }},
        // Counted as the accounts count them: only what they would send; at
        // home the address's own count is the person's.
        Limit::counting(
            codesPerClient_, [is](const Asking& a) { return is(Kind::code, a) && !a.atHome ? a.client : ""; },
            [](const Asking& a) { return "too many codes from " + a.client; }),
        {[this, is](const Asking& a, std::int64_t now, Taken& taken) -> std::optional<Limit::Refusal> {
            if (!is(Kind::code, a)) return std::nullopt;
            const auto wait = addressCodes_.take(a.address, a.network, wholeSeconds(now), taken.counted);
            if (!wait) return std::nullopt;
            return Limit::Refusal{*wait, "too many codes for the address from " + a.network};
        }},
        Limit::counting(
            verifiesPerClient_, [is](const Asking& a) { return is(Kind::verify, a) ? a.client : ""; },
            [](const Asking& a) { return "too many tries from " + a.client; }),
        // Keyed by the network each is tried from: a stranger's guesses,
        // from however many logins, spend their own network's, never those
        // of the owner trying the code they asked for.
        Limit::counting(
            guessesAway_,
            [is](const Asking& a) { return is(Kind::verify, a) && !a.atHome ? a.address + " from " + a.network : ""; },
            [](const Asking& a) { return "too many guesses at the address's codes from " + a.network; }),
        Limit::holding(places_,
                       [this](const std::string& full) {
                           return std::to_string(places_.held(full)) + " calls of its " + PlaceKeys::kind(full) +
                                  " wait for the store";
                       }),
        Limit::spending(budget_, RelayLimits::strangerRetrySeconds,
                        "the store's share for calls of networks not known here is spent"),
    };
}

std::function<void(std::size_t)> AccountGate::full(const std::string& what) {
    return [log = log_, what](std::size_t keys) {
        log.warning("the count of " + what + " is full (" + std::to_string(keys) +
                    "): the oldest counts are forgotten to make room for new ones");
    };
}

std::int64_t AccountGate::seconds() const { return wholeSeconds(now_()); }

bool AccountGate::admit(Pass& pass, const Asking& asking, const std::string& what) {
    const auto refusal = limits_.take(asking, now_(), pass.taken);
    if (!refusal) return true;
    const bool relays = refusal->status == 503;
    (relays ? budgetSpent_ : refusals_).say(log_, Severity::warning, "refused " + what + ": " + refusal->why, now_());
    pass = Pass{refuse(refusal->status, RelayError::tryLater, refusal->waitSeconds), knownLane};
    return false;
}

AccountGate::Pass AccountGate::notInvited(const std::string& what) {
    uninvited_.say(log_, Severity::warning, "refused " + what + ": not on the accounts list", now_());
    return Pass{refuse(403, RelayError::notInvited), knownLane};
}

std::optional<AccountAnswer> AccountGate::placeToken(Pass& pass, Asking& asking, TokenKind kind,
                                                     const std::string& token, std::optional<AccountAnswer> expired) {
    const auto issued = seal_.issued(kind, token);
    if (!issued) {
        pass.lane = unprovenLane;
        pass.turn = PlaceKeys::turn(asking.networks);
        asking.places = PlaceKeys::networks(asking.networks);
        return std::nullopt;
    }
    if (expired && issued->expiresAt <= seconds()) return expired;
    pass.lane = knownLane;
    asking.places = {PlaceKeys::signIn(issued->session)};
    return std::nullopt;
}

AccountGate::Pass AccountGate::check(const AccountCall& call) {
    const auto now = seconds();
    Pass pass;
    const auto rule = ruleOf(call.endpoint);
    const auto email = normalizeAddress(text(call.body, "email").value_or(""));
    const auto loginId = text(call.body, "login_id").value_or("");
    const auto code = email.value_or("") + " " + loginId;
    const bool invited = email && accounts_.admits(*email);
    Asking asking{Asking::Kind::other, rule.countedPerMinute, call.client, NetworkScale::widths(call.networks)};
    asking.network = NetworkScale::asking(call.networks, call.client);
    const auto turn = PlaceKeys::turn(call.networks);
    // Whatever a row refuses, the call is counted under the rows before it
    // and answered the table's refusal: every call walks the whole table,
    // the places and share it is to hold planned first.
    const auto walk = [&](const std::string& what) { return admit(pass, asking, what); };
    switch (call.endpoint) {
    case AccountEndpoint::code: {
        asking.kind = Asking::Kind::code;
        const auto what = "a code for " + code;
        // Only what the accounts would send counts as a code.
        if (invited && !loginId.empty() && loginId.size() <= 64 && mailConfigured_) asking.address = *email;
        asking.atHome = !asking.address.empty() && addressCodes_.home(asking.address, asking.network);
        pass.turn = turn;
        // A code from a network that has asked little of late, at every
        // width up to its provider's, is a newcomer's; the rest are a
        // stranger's, from the share of the store they all have. The
        // person at home goes ahead of every stranger, whose calls they
        // share no place with.
        const bool newcomer = !asking.atHome && signInAsks_.weight(call.networks, now) <= RelayLimits::newcomerAsks;
        const bool uninvited = email && !invited;
        if (asking.atHome) {
            pass.lane = knownLane;
            asking.places = {PlaceKeys::home(asking.address), PlaceKeys::code(code)};
        } else if (!uninvited) {
            pass.lane = newcomer ? signInLane : codeLane;
            asking.places = {PlaceKeys::code(code)};
            for (auto& claim : PlaceKeys::networks(call.networks)) asking.places.push_back(std::move(claim));
            asking.strangers = !newcomer;
        }
        if (!walk(what)) return pass;
        if (uninvited) return notInvited("a code for " + *email);
        if (asking.address.empty()) return pass;
        pass.ask.atHome = asking.atHome;
        pass.ask.mailed = addressCodes_.mailed(asking.address, asking.network, now, pass.mail);
        // Its tries are expected; a newcomer's from here go ahead.
        askers_.put(code, Asker{call.networks, asking.network, now + RelayLimits::codeLifetimeSeconds,
                                asking.atHome || !newcomer ? 0 : RelayLimits::newcomerTries, asking.atHome});
        verdicts_.forget(code);
        return pass;
    }
    case AccountEndpoint::verify: {
        asking.kind = Asking::Kind::verify;
        const auto what = "a sign-in for " + code;
        const auto kind = text(call.body, "client").value_or("");
        if (invited && (kind == "mac" || kind == "web")) asking.address = *email;
        asking.atHome = !asking.address.empty() && addressCodes_.home(asking.address, asking.network);
        pass.lane = strangerLane;
        pass.turn = turn;
        if (asking.address.empty()) {
            // Tries nothing the accounts would count, but asks the store.
            const bool uninvited = email && !invited && (kind == "mac" || kind == "web");
            if (!uninvited) {
                asking.places = {PlaceKeys::code(code)};
                for (auto& claim : PlaceKeys::networks(call.networks)) asking.places.push_back(std::move(claim));
                asking.strangers = true;
            }
            if (!walk(what)) return pass;
            if (uninvited) return notInvited("a sign-in for " + *email);
            return pass;
        }
        // While a try of the code waits for the store, that answer will
        // tell; a verdict of a while ago waits for the store to say whether
        // a new code was asked since, counted once, when it is judged then.
        if (auto told = verdicts_.told(code, now_())) {
            const bool stale = told->stale && places_.held(PlaceKeys::code(code).key) == 0;
            if (stale) asking.kind = Asking::Kind::other;
            if (!walk(what)) return pass;
            pass.code = code;
            if (!stale) {
                pass.refusal = answer(400, std::move(told->body));
                return pass;
            }
            pass.stale = std::move(told->body);
            return pass;
        }
        // Its tries count against the network that asked for the code too.
        // Its first tries from that network are its newcomer's sign-in,
        // served ahead; and all from a network its owner signed in from,
        // with theirs.
        const auto* asker = askers_.find(code);
        if (asker && asker->until <= now) asker = nullptr;
        const bool asked = asker && asker->network == asking.network;
        const bool home = asked && asker->home;
        const bool newcomer = asked && !home && asker->triesAhead > 0;
        asking.places = {PlaceKeys::code(code)};
        if (home) {
            pass.lane = knownLane;
            asking.places.push_back(PlaceKeys::home(asking.address));
        } else {
            if (asker)
                for (auto& claim : PlaceKeys::askedBy(asker->networks)) asking.places.push_back(std::move(claim));
            for (auto& claim : PlaceKeys::networks(call.networks)) asking.places.push_back(std::move(claim));
            asking.strangers = !newcomer;
            if (newcomer) pass.lane = signInLane;
        }
        if (!walk(what)) return pass;
        if (newcomer)
            askers_.put(code, Asker{asker->networks, asker->network, asker->until, asker->triesAhead - 1, false});
        pass.code = code;
        pass.address = asking.address;
        pass.home = asking.network;
        pass.ask.atHome = asking.atHome;
        return pass;
    }
    case AccountEndpoint::refresh:
    case AccountEndpoint::signOut: {
        // A sign-out is done whatever its token's age.
        const bool refresh = call.endpoint == AccountEndpoint::refresh;
        auto expired = placeToken(pass, asking, TokenKind::refresh, text(call.body, "refresh_token").value_or(""),
                                  refresh ? refuse(401, RelayError::invalidToken) : std::optional<AccountAnswer>());
        if (expired) asking.places.clear();
        if (walk(refresh ? "a refresh" : "a sign-out") && expired) pass.refusal = std::move(expired);
        return pass;
    }
    default: {
        auto expired = placeToken(pass, asking, TokenKind::access, rule.bearer ? call.bearer : "",
                                  refuse(401, RelayError::unauthorized));
        if (expired) asking.places.clear();
        if (walk("an account call") && expired) pass.refusal = std::move(expired);
        return pass;
    }
    }
}

AccountGate::Pass AccountGate::checkTicket(const std::string& ticket, const std::vector<std::string>& networks) {
    Pass pass;
    Asking asking{Asking::Kind::other, false, "", NetworkScale::widths(networks)};
    auto expired = placeToken(pass, asking, TokenKind::ticket, ticket, refuse(401, RelayError::unauthorized));
    if (expired) {
        pass.refusal = std::move(expired);
        return pass;
    }
    admit(pass, asking, "a device");
    return pass;
}

AccountGate::Pass AccountGate::checkLink(const std::string& room, const std::vector<std::string>& networks) {
    Pass pass;
    Asking asking{Asking::Kind::other, false, "", NetworkScale::widths(networks)};
    if (!rooms_.find(room)) {
        pass.lane = unprovenLane;
        pass.turn = PlaceKeys::turn(networks);
        asking.places = PlaceKeys::networks(networks);
        admit(pass, asking, "a link for room " + room.substr(0, 32));
        return pass;
    }
    asking.places = {PlaceKeys::room(room)};
    admit(pass, asking, "a link for room " + room);
    return pass;
}

AccountGate::StoreWait AccountGate::StoreQuestion::join(Waiter waiter) {
    (asking ? next : asked).push_back(std::move(waiter));
    if (asking) return StoreWait::wait;
    asking = true;
    return StoreWait::ask;
}

bool AccountGate::StoreQuestion::answered(HeldPlaces& places, bool answer) {
    auto answering = std::move(asked);
    asked = std::move(next);
    next.clear();
    asking = !asked.empty();
    const bool again = asking;
    for (auto& waiter : answering) {
        places.release(waiter.places);
        waiter.then(answer);
    }
    return again;
}

std::optional<AccountGate::Waiter> AccountGate::waitPlaces(const std::string& wait, std::size_t most,
                                                           const std::vector<std::string>& networks,
                                                           std::function<void(bool answered)> then) {
    auto claims = PlaceKeys::wait(wait, most, networks);
    if (places_.take(claims)) return std::nullopt;
    Waiter waiter{{}, std::move(then)};
    for (auto& claim : claims) waiter.places.push_back(std::move(claim.key));
    return waiter;
}

AccountGate::StoreWait AccountGate::awaitRooms(const std::vector<std::string>& networks, std::function<void()> then) {
    auto waiter = waitPlaces("rooms asked", RelayLimits::maxRoomWaiters, networks,
                             [then = std::move(then)](bool) { then(); });
    return waiter ? roomsAsked_.join(std::move(*waiter)) : StoreWait::judge;
}

bool AccountGate::roomsAnswered(const std::optional<std::vector<std::string>>& rooms) {
    if (rooms) knowRooms(*rooms);
    return roomsAsked_.answered(places_, true);
}

AccountGate::StoreWait AccountGate::awaitVerdict(const Pass& pass, const std::vector<std::string>& networks,
                                                 std::function<void(bool)> then) {
    auto waiter = waitPlaces("verdicts asked", RelayLimits::maxVerdictWaiters, networks, std::move(then));
    if (!waiter) return StoreWait::judge;
    auto& codes = verdictsAsked_.asking ? toCheck_ : checking_;
    if (std::find(codes.begin(), codes.end(), pass.code) == codes.end()) codes.push_back(pass.code);
    return verdictsAsked_.join(std::move(*waiter));
}

bool AccountGate::verdictsAnswered(const std::optional<std::vector<std::optional<json>>>& answers) {
    const auto nowMillis = now_();
    if (answers && answers->size() == checking_.size())
        for (std::size_t i = 0; i < checking_.size(); ++i) verdicts_.confirm(checking_[i], (*answers)[i], nowMillis);
    checking_ = std::move(toCheck_);
    toCheck_.clear();
    return verdictsAsked_.answered(places_, answers.has_value());
}

void AccountGate::knowRooms(const std::vector<std::string>& rooms) {
    // The newest last, to be forgotten last.
    for (auto it = rooms.rbegin(); it != rooms.rend(); ++it) rooms_.put(*it, true);
}

void AccountGate::answered(const Pass& pass, const std::optional<AccountAnswer>& answer,
                           std::optional<std::int64_t> spentMillis) {
    auto taken = pass.taken;
    const auto nowMillis = now_();
    settle(taken, answer ? std::optional(spentMillis.value_or(0)) : std::nullopt, nowMillis);
    if (!answer || answer->status == 503) {
        relay_service::giveBack(taken, nowMillis);
        relay_service::giveBack(pass.mail, seconds());
        return;
    }
    // No mail went out: the code was the one mailed last, or refused.
    if (!answer->delivery) relay_service::giveBack(pass.mail, seconds());
    // Where the address signs in is its owner's: codes asked from there
    // come out of their own allowance.
    if (answer->status == 200 && !pass.address.empty()) addressCodes_.signedIn(pass.address, pass.home);
    if (!pass.code.empty()) verdicts_.learn(pass.code, answer->status, answer->body, nowMillis);
    // A computer registered through here.
    if ((answer->status == 200 || answer->status == 201) && answer->body.contains("host")) {
        const auto room = answer->body["host"].value("room", "");
        if (!room.empty()) rooms_.put(room, true);
    }
}

void AccountGate::linkAnswered(const Pass& pass, const std::string& room, std::optional<int> status) {
    auto taken = pass.taken;
    settle(taken, std::nullopt, now_());
    if (status == 0) rooms_.put(room, true);
    if (status == 410) rooms_.erase(room);
}

void AccountGate::purge() {
    const auto now = seconds();
    for (auto* window : {&callsPerClient_, &codesPerClient_, &verifiesPerClient_, &guessesAway_})
        window->purge(now);
    addressCodes_.purge(now);
    signInAsks_.purge(now);
}

AccountAnswer storeTryLater() { return refuse(503, RelayError::tryLater, 30); }

namespace {

// One question at a time for every verify whose code's verdict is stale.
void askVerdicts(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts) {
    store.run<std::vector<std::optional<json>>>(
        [&accounts, codes = gate.verdictQuestion()] { return accounts.deadCodes(codes); },
        [&gate, &store, &accounts](std::optional<std::vector<std::optional<json>>> verdicts) {
            if (gate.verdictsAnswered(verdicts)) askVerdicts(gate, store, accounts);
        });
}

}  // namespace

void queueAccountCall(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, AccountCall call,
                      std::function<void(AccountAnswer)> done) {
    auto pass = gate.check(call);
    if (pass.refusal) return done(std::move(*pass.refusal));
    if (pass.stale) {
        // Judged again once the store has said whether a new code was asked.
        const auto networks = call.networks;
        auto again = [&gate, &store, &accounts, call = std::move(call), done](bool answered) mutable {
            if (!answered) return done(storeTryLater());
            queueAccountCall(gate, store, accounts, std::move(call), std::move(done));
        };
        switch (gate.awaitVerdict(pass, networks, std::move(again))) {
        case AccountGate::StoreWait::ask:
            return askVerdicts(gate, store, accounts);
        case AccountGate::StoreWait::wait:
            return;
        case AccountGate::StoreWait::judge:
            return done(answer(400, std::move(*pass.stale)));
        }
        return;
    }
    const auto lane = pass.lane;
    const auto turn = pass.turn;
    // What the call cost the store, for the share it came out of.
    using Timed = std::pair<AccountAnswer, std::int64_t>;
    store.run<Timed>(
        [&accounts, clock = gate.clock(), ask = pass.ask, call = std::move(call)] {
            const auto started = clock();
            auto answer = accounts.handle(call, ask);
            return Timed{std::move(answer), clock() - started};
        },
        [&gate, pass = std::move(pass), done = std::move(done)](std::optional<Timed> timed) {
            auto answer = timed ? std::optional(std::move(timed->first)) : std::nullopt;
            gate.answered(pass, answer, timed ? std::optional(timed->second) : std::nullopt);
            done(answer ? std::move(*answer) : storeTryLater());
        },
        lane, turn);
}

namespace {

// One question at a time for every link whose room is not known here.
void askRooms(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts) {
    store.run<std::vector<std::string>>([&accounts] { return accounts.roomsRegisteredLately(); },
                                        [&gate, &store, &accounts](std::optional<std::vector<std::string>> rooms) {
                                            if (gate.roomsAnswered(rooms)) askRooms(gate, store, accounts);
                                        });
}

void judgeLink(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
               const std::string& hello, const std::vector<std::string>& networks,
               std::function<void(HostAdmission)> done) {
    auto pass = gate.checkLink(room, networks);
    if (pass.refusal) return done(HostAdmission{503, "too many links of its network or room wait for the store", {}, {}});
    const auto lane = pass.lane;
    const auto turn = pass.turn;
    store.run<HostAdmission>([&accounts, room, hello] { return accounts.admitHost(room, hello); },
                             [&gate, pass = std::move(pass), room, done = std::move(done)](std::optional<HostAdmission> admission) {
                                 gate.linkAnswered(pass, room, admission ? std::optional(admission->status) : std::nullopt);
                                 done(admission ? std::move(*admission)
                                                : HostAdmission{503, "the store did not answer in time", {}, {}});
                             },
                             lane, turn);
}

}  // namespace

void queueHostAdmission(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
                        const std::string& hello, const std::vector<std::string>& networks,
                        std::function<void(HostAdmission)> done) {
    if (gate.knowsRoom(room)) return judgeLink(gate, store, accounts, room, hello, networks, std::move(done));
    // Not known yet: its computer may have registered through another
    // instance since the rooms were last read, so the store is asked
    // before the link is judged with the strangers' calls.
    auto judge = [&gate, &store, &accounts, room, hello, networks, done = std::move(done)]() mutable {
        judgeLink(gate, store, accounts, room, hello, networks, std::move(done));
    };
    auto shared = std::make_shared<decltype(judge)>(std::move(judge));
    switch (gate.awaitRooms(networks, [shared] { (*shared)(); })) {
    case AccountGate::StoreWait::ask:
        return askRooms(gate, store, accounts);
    case AccountGate::StoreWait::wait:
        return;
    case AccountGate::StoreWait::judge:
        return (*shared)();
    }
}

void queueDeviceAdmission(AccountGate& gate, WorkQueue& store, RelayAccounts& accounts, const std::string& room,
                          const std::string& ticket, const std::vector<std::string>& networks,
                          std::function<void(DeviceAdmission)> done) {
    auto pass = gate.checkTicket(ticket, networks);
    if (pass.refusal)
        return done(refusedDevice(pass.refusal->status == 401 ? RelayDeviceClose::ticketRefused : RelayDeviceClose::tryLater));
    const auto lane = pass.lane;
    const auto turn = pass.turn;
    store.run<DeviceAdmission>([&accounts, room, ticket] { return accounts.admitDevice(room, ticket); },
                               [&gate, pass = std::move(pass), done = std::move(done)](std::optional<DeviceAdmission> admission) {
                                   gate.answered(pass, AccountAnswer{});
                                   done(admission ? std::move(*admission) : refusedDevice(RelayDeviceClose::tryLater));
                               },
                               lane, turn);
}

}  // namespace morvane::relay_service
