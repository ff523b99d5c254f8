#include "relay_service/account_list.h"

#include <algorithm>
#include <cctype>

#include "relay_service/detail/account_answers.h"

namespace morvane::relay_service {

using account_detail::split;

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool allOf(const std::string& text, const char* alphabet) {
    return !text.empty() && text.find_first_not_of(alphabet) == std::string::npos;
}

}  // namespace

std::string mailboxOf(const std::string& address) {
    const auto at = address.rfind('@');
    const auto plus = address.find('+');
    if (at == std::string::npos || plus == std::string::npos || plus > at) return address;
    return address.substr(0, plus) + address.substr(at);
}

std::optional<std::string> normalizeAddress(const std::string& input) {
    const auto isBlank = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    std::size_t begin = 0, end = input.size();
    while (begin < end && isBlank(static_cast<unsigned char>(input[begin]))) ++begin;
    while (end > begin && isBlank(static_cast<unsigned char>(input[end - 1]))) --end;
    const std::string address = lowered(input.substr(begin, end - begin));
    if (address.empty() || address.size() > 254) return std::nullopt;
    for (unsigned char c : address)
        if (c < 33 || c > 126) return std::nullopt;
    const auto halves = split(address, '@');
    if (halves.size() != 2) return std::nullopt;
    const auto& local = halves[0];
    const auto& domain = halves[1];
    if (local.empty() || local.size() > 64) return std::nullopt;
    for (const auto& piece : split(local, '.'))
        if (!allOf(piece, "abcdefghijklmnopqrstuvwxyz0123456789!#$%&'*+/=?^_`{|}~-")) return std::nullopt;
    if (domain.size() > 253) return std::nullopt;
    const auto labels = split(domain, '.');
    if (labels.size() < 2) return std::nullopt;
    for (const auto& label : labels)
        if (label.size() > 63 || !allOf(label, "abcdefghijklmnopqrstuvwxyz0123456789-") || label.front() == '-' ||
            label.back() == '-')
            return std::nullopt;
    return address;
}

std::variant<AccountList, std::string> AccountList::parse(const std::vector<std::string>& entries) {
    AccountList list;
    list.closed_ = true;
    for (const auto& entry : entries) {
        if (entry.starts_with("@")) {
            // A domain is what follows "@" in an address made with it.
            const auto domain = normalizeAddress("x" + entry);
            if (!domain) return "\"" + entry + "\" is not \"@\" and a domain, as \"@example.org\"";
            list.domains_.insert(domain->substr(2));
            continue;
        }
        const auto address = normalizeAddress(entry);
        if (!address) return "\"" + entry + "\" is not an e-mail address, as \"you@example.org\"";
        list.addresses_.insert(*address);
    }
    return list;
}

bool AccountList::admits(const std::string& address) const {
    if (!closed_) return true;
    if (addresses_.contains(address)) return true;
    const auto at = address.rfind('@');
    return at != std::string::npos && domains_.contains(address.substr(at + 1));
}

}  // namespace morvane::relay_service
