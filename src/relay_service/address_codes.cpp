#include "relay_service/address_codes.h"

#include <algorithm>

#include "relay_service/account_list.h"

namespace morvane::relay_service {

AddressCodes::AddressCodes(Limits limits, std::function<void(std::size_t keys)> full)
    : limits_(limits),
      perNetwork_(limits.perNetwork, limits.windowSeconds, limits.maxKeys, full),
      atHome_(limits.atHome, limits.windowSeconds, limits.maxKeys, full),
      mails_(limits.mails, limits.windowSeconds, limits.maxKeys, full),
      mailsElsewhere_(limits.mailsElsewhere, limits.windowSeconds, limits.maxKeys, full),
      mailbox_(limits.mailsPerMailbox, limits.windowSeconds, limits.maxKeys, full),
      homes_(limits.maxKeys) {}

std::optional<std::int64_t> AddressCodes::take(const std::string& address, const std::string& network,
                                               std::int64_t nowSeconds, Counted& counted) {
    const auto key = address + " from " + network;
    auto& window = home(address, network) ? atHome_ : perNetwork_;
    if (const auto wait = window.take(key, nowSeconds)) return wait;
    counted.emplace_back(&window, key);
    return std::nullopt;
}

bool AddressCodes::mailed(const std::string& address, const std::string& network, std::int64_t nowSeconds,
                          Counted& counted) {
    const bool elsewhere = !home(address, network);
    if (elsewhere && mailsElsewhere_.count(address, nowSeconds) >= limits_.mailsElsewhere) return false;
    const auto mailbox = mailboxOf(address);
    if (mailbox_.count(mailbox, nowSeconds) >= limits_.mailsPerMailbox) return false;
    if (mails_.take(address, nowSeconds)) return false;
    counted.emplace_back(&mails_, address);
    mailbox_.take(mailbox, nowSeconds);
    counted.emplace_back(&mailbox_, mailbox);
    if (elsewhere) {
        mailsElsewhere_.take(address, nowSeconds);
        counted.emplace_back(&mailsElsewhere_, address);
    }
    return true;
}

void AddressCodes::signedIn(const std::string& address, const std::string& network) {
    const auto* known = homes_.find(address);
    auto homes = known ? *known : std::vector<std::string>();
    std::erase(homes, network);
    homes.push_back(network);
    if (homes.size() > limits_.homesPerAddress) homes.erase(homes.begin());
    homes_.put(address, std::move(homes));
}

bool AddressCodes::home(const std::string& address, const std::string& network) const {
    const auto* known = homes_.find(address);
    return known && std::find(known->begin(), known->end(), network) != known->end();
}

void AddressCodes::purge(std::int64_t nowSeconds) {
    for (auto* window : {&perNetwork_, &atHome_, &mails_, &mailsElsewhere_, &mailbox_}) window->purge(nowSeconds);
}

}  // namespace morvane::relay_service
