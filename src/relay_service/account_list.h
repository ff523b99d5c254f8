// Who may sign in at this relay, as the operator's config lists them, and
// the one shape an e-mail address is compared in. Values, asked on any
// queue: the accounts judge calls by the list on the store queue, their
// gate on the network thread, and a reload swaps a new list in whole.
#pragma once

#include <optional>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

namespace morvane::relay_service {

// Who may sign in: the operator's list of e-mail addresses and "@domain"
// entries (every address at that domain, not at its subdomains), or anyone
// with an e-mail address when there is no list. Read from the config at
// start; a value, asked on any thread.
class AccountList {
public:
    // Anyone.
    AccountList() = default;
    // The config's entries, or the reason the first one that is neither an
    // address nor "@domain" is refused.
    static std::variant<AccountList, std::string> parse(const std::vector<std::string>& entries);
    bool open() const { return !closed_; }
    // `address` as normalizeAddress leaves it.
    bool admits(const std::string& address) const;
    std::size_t addresses() const { return addresses_.size(); }
    std::size_t domains() const { return domains_.size(); }

private:
    bool closed_ = false;
    std::unordered_set<std::string> addresses_, domains_;
};

// The address rules the host applies before it asks for a code: trimmed,
// lower-cased, printable ASCII, one "@", a dotted local part and a domain
// of at least two labels. Absent when the text is no such address.
std::optional<std::string> normalizeAddress(const std::string& text);

// The mailbox a normalized address is delivered to: its local part up to
// a "+" (a tag most providers deliver to the untagged mailbox). Lower-case
// already, as normalizeAddress leaves it.
std::string mailboxOf(const std::string& address);

}  // namespace morvane::relay_service
