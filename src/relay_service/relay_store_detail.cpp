#include "relay_service/relay_store_detail.h"

#include <unistd.h>

#include <algorithm>
#include <map>

#include "core/secure.h"

namespace morvane::relay_service {

std::string newInstanceId() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) std::snprintf(name, sizeof name, "relay");
    std::string host(name);
    // The id travels in bus messages, which hold no blanks.
    std::replace_if(host.begin(), host.end(), [](char c) { return c <= ' ' || c == 0x7f; }, '-');
    return host.substr(0, 64) + "-" + Secure::hex(Secure::randomBytes(6));
}

}  // namespace morvane::relay_service

namespace morvane::relay_service::detail {

std::string newUserId() {
    auto bytes = Secure::randomBytes(16);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
    const auto hex = Secure::hex(bytes);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

std::string_view toString(TokenKind kind) {
    switch (kind) {
    case TokenKind::access: return "access";
    case TokenKind::refresh: return "refresh";
    case TokenKind::ticket: return "ticket";
    }
    return "access";
}

std::optional<TokenKind> tokenKindFromString(std::string_view text) {
    for (auto kind : {TokenKind::access, TokenKind::refresh, TokenKind::ticket})
        if (toString(kind) == text) return kind;
    return std::nullopt;
}

TokenKind storedTokenKind(std::string_view text, const std::string& store) {
    const auto kind = tokenKindFromString(text);
    if (!kind) throw RelayStoreError(store + ": a token of an unknown kind \"" + std::string(text) + "\"");
    return *kind;
}

bool requireUsableSchema(const std::string& database, int version, int compatible, int known) {
    if (version < 0 || compatible < 0 || compatible > version)
        throw RelayStoreError("the database " + database + " has a damaged schema version (" + std::to_string(version) +
                              ", compatible " + std::to_string(compatible) + ")");
    if (version <= known) return false;
    if (compatible > known)
        throw RelayStoreError("the database " + database + " is newer than this program (schema " +
                              std::to_string(version) + ", for programs that know schema " + std::to_string(compatible) +
                              " or later; this program knows up to " + std::to_string(known) + ")");
    return true;
}

std::string oneLine(std::string_view text) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = !out.empty();
            continue;
        }
        if (space) out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

namespace {

constexpr std::size_t maxBusWordBytes = 200;
constexpr std::pair<BusKind, std::string_view> busKinds[] = {{BusKind::dropLink, "drop-link"},
                                                             {BusKind::signedOut, "signed-out"}};

bool busWord(std::string_view word) {
    return !word.empty() && word.size() <= maxBusWordBytes && word != "*" &&
           std::all_of(word.begin(), word.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

}  // namespace

std::string encodeBusMessage(const BusMessage& message) {
    std::string_view kind;
    for (const auto& [k, word] : busKinds)
        if (k == message.kind) kind = word;
    return "v1 " + std::string(kind) + " " + message.from + " " + (message.to.empty() ? "*" : message.to) + " " +
           message.subject;
}

std::optional<BusMessage> decodeBusMessage(std::string_view text) {
    std::vector<std::string_view> words;
    for (std::size_t from = 0; from <= text.size();) {
        const auto blank = std::min(text.find(' ', from), text.size());
        words.push_back(text.substr(from, blank - from));
        from = blank + 1;
    }
    if (words.size() != 5 || words[0] != "v1") return std::nullopt;
    BusMessage message;
    const auto kind = std::find_if(std::begin(busKinds), std::end(busKinds),
                                   [&](const auto& entry) { return entry.second == words[1]; });
    if (kind == std::end(busKinds)) return std::nullopt;
    message.kind = kind->first;
    message.from = words[2];
    message.to = words[3] == "*" ? "" : std::string(words[3]);
    message.subject = words[4];
    if (!busWord(message.from) || !busWord(message.subject) || (!message.to.empty() && !busWord(message.to)))
        return std::nullopt;
    return message;
}

void requireSendable(const BusMessage& message) {
    if (!busWord(message.from) || !busWord(message.subject) || (!message.to.empty() && !busWord(message.to)))
        throw RelayStoreError("a bus message needs a sender and a subject, without blanks, of at most " +
                              std::to_string(maxBusWordBytes) + " bytes");
}

bool addressedTo(const BusMessage& message, const std::string& instance) {
    return message.from != instance && (message.to.empty() || message.to == instance);
}

// `calling` is held while the handler runs, so that closing the listener
// waits for a call under way and no call begins after it.
struct LocalBus::Subscription {
    std::string instance;
    BusHandler handler;
    std::mutex calling;
    bool open = true;
};

class LocalBus::Listener final : public BusListener {
public:
    Listener(std::shared_ptr<LocalBus> bus, std::shared_ptr<LocalBus::Subscription> subscription)
        : bus_(std::move(bus)), subscription_(std::move(subscription)) {}
    ~Listener() override {
        {
            std::lock_guard lock(bus_->mutex_);
            std::erase(bus_->subscriptions_, subscription_);
        }
        std::lock_guard calling(subscription_->calling);
        subscription_->open = false;
    }

private:
    std::shared_ptr<LocalBus> bus_;
    std::shared_ptr<LocalBus::Subscription> subscription_;
};

std::unique_ptr<BusListener> LocalBus::listen(const std::string& instance, BusHandler onMessage) {
    auto subscription = std::make_shared<Subscription>();
    subscription->instance = instance;
    subscription->handler = std::move(onMessage);
    std::lock_guard lock(mutex_);
    subscriptions_.push_back(subscription);
    return std::make_unique<Listener>(shared_from_this(), std::move(subscription));
}

void LocalBus::publish(const BusMessage& message) {
    requireSendable(message);
    std::vector<std::shared_ptr<Subscription>> hearing;
    {
        std::lock_guard lock(mutex_);
        for (const auto& s : subscriptions_)
            if (addressedTo(message, s->instance)) hearing.push_back(s);
    }
    for (const auto& s : hearing) {
        std::lock_guard calling(s->calling);
        if (s->open) s->handler(message);
    }
}

std::shared_ptr<LocalBus> localBusFor(const std::string& database) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<LocalBus>> buses;
    std::lock_guard lock(mutex);
    std::erase_if(buses, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = buses[database];
    auto bus = slot.lock();
    if (!bus) slot = bus = std::make_shared<LocalBus>();
    return bus;
}

}  // namespace morvane::relay_service::detail
