// The codes one address may be asked for in a window: a person's own
// allowance, which strangers asking for their address elsewhere must not
// spend. Kept per asking network (its widest, NetworkScale), `perNetwork`
// from each, and `atHome` from each of the networks the address signed in
// from (the last few, remembered here), as many as its owner may want in
// a window: a person asking from a hotel or a phone's mobile data has
// their own few codes whoever asked from elsewhere.
//
// What bounds the mail is apart: the address is mailed at most `mails`
// codes in a window, of them at most `mailsElsewhere` asked from networks
// it never signed in from. A code asked past that is the newest code
// mailed to the address, while it lives, given to the asker's login too
// and mailed to no one again: strangers asking for the address from many
// networks mail its owner a few codes, and the owner, asking anywhere,
// signs in with the newest one in their mailbox. A mailbox, whatever
// "+tag" its addresses carry, is mailed `mailsPerMailbox` in all. In memory, per instance;
// on the network thread, on times passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "relay_service/gate_memory.h"
#include "relay_service/limit_table.h"
#include "relay_service/rate_window.h"

namespace morvane::relay_service {

class AddressCodes {
public:
    struct Limits {
        int perNetwork = 3;
        int atHome = 12;
        int mails = 10;
        int mailsElsewhere = 6;
        std::int64_t windowSeconds = 600;
        std::size_t maxKeys = 50'000;
        // The networks remembered for each address.
        std::size_t homesPerAddress = 4;
        // Mails to one mailbox (mailboxOf: its plus-addresses together).
        int mailsPerMailbox = 10;
    };
    explicit AddressCodes(Limits limits, std::function<void(std::size_t keys)> full = {});

    // Counts a code for `address` asked from `network`, or answers the
    // seconds until it may be asked again. `counted` gets what was counted,
    // to give back.
    std::optional<std::int64_t> take(const std::string& address, const std::string& network, std::int64_t nowSeconds,
                                     Counted& counted);
    // Whether a code counted by take goes out in a mail of its own
    // (counted in `counted`), or is the newest code mailed to the address.
    bool mailed(const std::string& address, const std::string& network, std::int64_t nowSeconds, Counted& counted);
    // The address signed in from `network`.
    void signedIn(const std::string& address, const std::string& network);
    bool home(const std::string& address, const std::string& network) const;
    void purge(std::int64_t nowSeconds);

private:
    Limits limits_;
    RateWindow perNetwork_, atHome_, mails_, mailsElsewhere_, mailbox_;
    Forgetful<std::vector<std::string>> homes_;
};

}  // namespace morvane::relay_service
