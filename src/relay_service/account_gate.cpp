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
                     RelayLimits::homesPerAddress},
                    full("codes per address")),
      verifiesPerClient_(RelayLimits::verifiesPerClient, RelayLimits::codeWindowSeconds, maxClients,
                         full("sign-ins per client")),
      sharedCodeTries_(RelayLimits::sharedCodeTries, RelayLimits::codeWindowSeconds, maxClients,
                       full("tries of codes given again")),
      signInAsks_(RelayLimits::signInAsksPerNetwork, RelayLimits::codeWindowSeconds, maxClients,
                  full("sign-in calls per network")),
      limits_(limits()),
      budget_(StrangerBudget::Limits{RelayLimits::strangerStoreMillisPerSecond, RelayLimits::strangerStoreBurstMillis,
                                     RelayLimits::strangerCallFloorMillis},
              now_()),
      askers_(maxClients),
      verdicts_(RelayLimits::maxCodeVerdicts, RelayLimits::codeVerdictMillis),
      rooms_(RelayLimits::maxKnownRooms) {}

std::vector<Limit> AccountGate::limits() {
    using Kind = Asking::Kind;
    // One event of `window` under `key`, to give back.
    const auto count = [](RateWindow& window, const std::string& key, std::int64_t now,
                          Counted& counted) -> std::optional<std::int64_t> {
        if (const auto wait = window.take(key, now)) return wait;
        counted.emplace_back(&window, key);
        return std::nullopt;
    };
    const auto none = std::optional<std::int64_t>();
    return {
        {[](const Asking& a) { return "too many calls from " + a.client; },
         [this, count, none](const Asking& a, std::int64_t now, Counted& counted) {
             return a.perMinute ? count(callsPerClient_, a.client, now, counted) : none;
         }},
        // Every code request and sign-in, whoever it names, so that a
        // network past it learns nothing of who is listed; kept whatever
        // the answer. A person's own at a network they signed in from are
        // bounded by their address's count, and do not make their home
        // look like a stranger.
        {[](const Asking& a) { return "too many sign-in calls from " + a.network; },
         [this, none](const Asking& a, std::int64_t now, Counted&) {
             return a.kind != Kind::other && !a.atHome ? signInAsks_.take(a.networks, now) : none;
         }},
        // Counted as the accounts count them: only what they would send; at
        // home the address's own count is the person's.
        {[](const Asking& a) { return "too many codes from " + a.client; },
         [this, count, none](const Asking& a, std::int64_t now, Counted& counted) {
             return a.kind == Kind::code && !a.address.empty() && !a.atHome
                        ? count(codesPerClient_, a.client, now, counted)
                        : none;
         }},
        {[](const Asking& a) { return "too many codes for the address from " + a.network; },
         [this, none](const Asking& a, std::int64_t now, Counted& counted) {
             return a.kind == Kind::code && !a.address.empty() ? addressCodes_.take(a.address, a.network, now, counted)
                                                                : none;
         }},
        {[](const Asking& a) { return "too many tries from " + a.client; },
         [this, count, none](const Asking& a, std::int64_t now, Counted& counted) {
             return a.kind == Kind::verify && !a.address.empty() ? count(verifiesPerClient_, a.client, now, counted)
                                                                 : none;
         }},
        {[](const Asking&) { return std::string("too many tries of the code mailed last to the address"); },
         [this, count, none](const Asking& a, std::int64_t now, Counted& counted) {
             return a.kind == Kind::verify && a.sharedCode && !a.atHome
                        ? count(sharedCodeTries_, a.address, now, counted)
                        : none;
         }},
    };
}

std::function<void(std::size_t)> AccountGate::full(const std::string& what) {
    return [log = log_, what](std::size_t keys) {
        log.warning("the count of " + what + " is full (" + std::to_string(keys) +
                    "): the oldest counts are forgotten to make room for new ones");
    };
}

std::int64_t AccountGate::seconds() const {
    const auto millis = now_();
    return millis < 0 ? 0 : millis / 1000;
}

AccountGate::Pass AccountGate::refused(std::int64_t wait, const std::string& why) {
    refusals_.say(log_, Severity::warning, "refused " + why, now_());
    return Pass{refuse(429, RelayError::tryLater, wait), knownLane};
}

AccountGate::Pass AccountGate::notInvited(const std::string& what) {
    uninvited_.say(log_, Severity::warning, "refused " + what + ": not on the accounts list", now_());
    return Pass{refuse(403, RelayError::notInvited), knownLane};
}

bool AccountGate::hold(Pass& pass, std::vector<HeldPlaces::Claim> claims, const std::vector<std::string>& networks,
                       const std::string& what) {
    for (auto& claim : PlaceKeys::networks(networks)) claims.push_back(std::move(claim));
    const auto full = places_.take(claims);
    if (!full) {
        for (const auto& claim : claims) pass.places.push_back(claim.key);
        return true;
    }
    giveBack(pass);
    pass = refused(1, what + ": " + std::to_string(places_.held(*full)) + " calls of its " + PlaceKeys::kind(*full) +
                          " wait for the store");
    return false;
}

bool AccountGate::spend(Pass& pass, const std::string& what) {
    if ((pass.budget = budget_.admit(now_()))) return true;
    places_.release(pass.places);
    giveBack(pass);
    budgetSpent_.say(log_, Severity::warning,
                     "refused " + what + ": the store's share for calls of networks not known here is spent", now_());
    pass = Pass{refuse(503, RelayError::tryLater, RelayLimits::strangerRetrySeconds), knownLane};
    return false;
}

void AccountGate::placeToken(Pass& pass, TokenKind kind, const std::string& token,
                             const std::vector<std::string>& networks, const std::string& what,
                             std::optional<AccountAnswer> expired) {
    const auto issued = seal_.issued(kind, token);
    if (!issued) {
        pass.lane = unprovenLane;
        pass.turn = PlaceKeys::turn(networks);
        hold(pass, {}, networks, what);
        return;
    }
    if (expired && issued->expiresAt <= seconds()) {
        pass.refusal = std::move(expired);
        return;
    }
    pass.lane = knownLane;
    hold(pass, {PlaceKeys::signIn(issued->session)}, {}, what);
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
    asking.network = call.networks.empty() ? call.client : NetworkScale::customer(call.networks);
    std::string what = "an account call";
    if (call.endpoint == AccountEndpoint::code) {
        asking.kind = Asking::Kind::code;
        what = "a code for " + code;
        // Only what the accounts would send counts as a code.
        if (invited && !loginId.empty() && loginId.size() <= 64 && mailConfigured_) asking.address = *email;
    } else if (call.endpoint == AccountEndpoint::verify) {
        asking.kind = Asking::Kind::verify;
        what = "a sign-in for " + code;
        const auto kind = text(call.body, "client").value_or("");
        if (invited && (kind == "mac" || kind == "web")) asking.address = *email;
        const auto* asker = askers_.find(code);
        asking.sharedCode = asker && asker->until > now && asker->shared;
    }
    asking.atHome = !asking.address.empty() && addressCodes_.home(asking.address, asking.network);
    if (const auto refusal = limits_.take(asking, now, pass.counted))
        return refused(refusal->waitSeconds, what + ": " + refusal->why);
    const auto turn = PlaceKeys::turn(call.networks);
    switch (call.endpoint) {
    case AccountEndpoint::code: {
        pass.turn = turn;
        if (email && !invited) return notInvited("a code for " + *email);
        if (!asking.address.empty()) {
            pass.ask.atHome = asking.atHome;
            pass.ask.mailed = addressCodes_.mailed(asking.address, asking.network, now, pass.mail);
        }
        if (asking.atHome) {
            // The person at home: ahead of every stranger, whose calls they
            // share no place with.
            pass.lane = knownLane;
            if (!hold(pass, {PlaceKeys::home(asking.address), PlaceKeys::code(code)}, {}, what)) return pass;
            askers_.put(code, Asker{call.networks, now + RelayLimits::codeLifetimeSeconds, 0, true, !pass.ask.mailed});
            verdicts_.forget(code);
            return pass;
        }
        // A code from a network that has asked little of late, at every
        // width up to its provider's, is a newcomer's; the rest are a
        // stranger's, from the share of the store they all have.
        const bool newcomer = signInAsks_.weight(call.networks, now) <= RelayLimits::newcomerAsks;
        pass.lane = newcomer ? signInLane : codeLane;
        if (!hold(pass, {PlaceKeys::code(code)}, call.networks, what) || (!newcomer && !spend(pass, what))) return pass;
        if (!asking.address.empty()) {
            // Its tries are expected; a newcomer's from here go ahead.
            askers_.put(code, Asker{call.networks, now + RelayLimits::codeLifetimeSeconds,
                                    newcomer ? RelayLimits::newcomerTries : 0, false, !pass.ask.mailed});
            verdicts_.forget(code);
        }
        return pass;
    }
    case AccountEndpoint::verify: {
        pass.lane = strangerLane;
        pass.turn = turn;
        PlaceKeys::Claims claims{PlaceKeys::code(code)};
        bool newcomer = false, home = false;
        if (email && !asking.address.empty()) {
            auto* asker = askers_.find(code);
            if (asker && asker->until > now) {
                // Its tries count against the network that asked for the
                // code too. Its first tries from that network are its
                // newcomer's sign-in, served ahead; and all from a network
                // its owner signed in from, with theirs.
                for (auto& claim : PlaceKeys::askedBy(asker->networks)) claims.push_back(std::move(claim));
                const bool asked = NetworkScale::customer(asker->networks) == NetworkScale::customer(call.networks);
                home = asked && asker->home;
                newcomer = asked && !home && asker->triesAhead > 0;
            }
            if (auto told = verdicts_.told(code, now_())) {
                // While a try of the code waits for the store, that answer
                // will tell.
                if (!told->stale || places_.held(PlaceKeys::code(code).key) > 0) {
                    pass.refusal = answer(400, std::move(told->body));
                    return pass;
                }
                // Counted once, when it is judged after the store's answer.
                giveBack(pass);
                pass.counted.clear();
                pass.code = code;
                pass.stale = std::move(told->body);
                return pass;
            }
            pass.code = code;
            pass.address = *email;
            pass.home = asking.network;
            if (home) {
                pass.lane = knownLane;
                hold(pass, {PlaceKeys::code(code), PlaceKeys::home(*email)}, {}, what);
                return pass;
            }
            if (newcomer) {
                pass.lane = signInLane;
                askers_.put(code, Asker{asker->networks, asker->until, asker->triesAhead - 1, false, asker->shared});
            }
        } else if (email && !invited && (text(call.body, "client") == "mac" || text(call.body, "client") == "web")) {
            return notInvited("a sign-in for " + *email);
        }
        if (hold(pass, std::move(claims), call.networks, what) && !newcomer) spend(pass, what);
        return pass;
    }
    case AccountEndpoint::refresh:
        placeToken(pass, TokenKind::refresh, text(call.body, "refresh_token").value_or(""), call.networks,
                   "a refresh", refuse(401, RelayError::invalidToken));
        return pass;
    case AccountEndpoint::signOut:
        // A sign-out is done whatever its token's age.
        placeToken(pass, TokenKind::refresh, text(call.body, "refresh_token").value_or(""), call.networks,
                   "a sign-out", std::nullopt);
        return pass;
    default:
        placeToken(pass, TokenKind::access, rule.bearer ? call.bearer : "", call.networks, "an account call",
                   refuse(401, RelayError::unauthorized));
        return pass;
    }
}

AccountGate::Pass AccountGate::checkTicket(const std::string& ticket, const std::vector<std::string>& networks) {
    Pass pass;
    placeToken(pass, TokenKind::ticket, ticket, networks, "a device", refuse(401, RelayError::unauthorized));
    return pass;
}

AccountGate::Pass AccountGate::checkLink(const std::string& room, const std::vector<std::string>& networks) {
    Pass pass;
    if (!rooms_.find(room)) {
        pass.lane = unprovenLane;
        pass.turn = PlaceKeys::turn(networks);
        hold(pass, {}, networks, "a link for room " + room.substr(0, 32));
        return pass;
    }
    hold(pass, {PlaceKeys::room(room)}, {}, "a link for room " + room);
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
    places_.release(pass.places);
    if (pass.budget) budget_.settle(*pass.budget, answer ? spentMillis.value_or(0) : std::optional<std::int64_t>(), now_());
    if (!answer || answer->status == 503) return giveBack(pass);
    // No mail went out: the code was the one mailed last, or refused.
    if (!answer->delivery) relay_service::giveBack(pass.mail, seconds());
    // Where the address signs in is its owner's: codes asked from there
    // come out of their own allowance.
    if (answer->status == 200 && !pass.address.empty()) addressCodes_.signedIn(pass.address, pass.home);
    if (!pass.code.empty()) verdicts_.learn(pass.code, answer->status, answer->body, now_());
    // A computer registered through here.
    if ((answer->status == 200 || answer->status == 201) && answer->body.contains("host")) {
        const auto room = answer->body["host"].value("room", "");
        if (!room.empty()) rooms_.put(room, true);
    }
}

void AccountGate::linkAnswered(const Pass& pass, const std::string& room, std::optional<int> status) {
    places_.release(pass.places);
    if (status == 0) rooms_.put(room, true);
    if (status == 410) rooms_.erase(room);
}

void AccountGate::giveBack(const Pass& pass) {
    relay_service::giveBack(pass.counted, seconds());
    relay_service::giveBack(pass.mail, seconds());
}

void AccountGate::purge() {
    const auto now = seconds();
    for (auto* window : {&callsPerClient_, &codesPerClient_, &verifiesPerClient_, &sharedCodeTries_})
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
