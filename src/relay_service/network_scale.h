// The scale from a client's address to its wider networks, written once:
// which networks a caller is counted under, and how much more than its
// narrowest each wider one may have. One customer may be handed an IPv6
// /64, a /56 or a /48, and one provider hands out many /48s of its /40s
// and /32s; each step of eight bits outward doubles a share. Pure.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace morvane::relay_service::NetworkScale {

// Steps past the /48 that only weigh a caller (rank it, tell a newcomer
// from a stranger spread over a provider's networks), never refuse one:
// everyone of a provider may share them.
inline constexpr std::size_t refusingWidths = 3;

// How many times the narrowest network's share the network `level` steps
// wider has (an IPv4 address or IPv6 /64 at 0, /56, /48, /40, /32).
constexpr int times(std::size_t level) { return 1 << level; }

// The networks a caller is counted under, narrowest first: those the
// server named (clientNetworks: an IPv4 address, or an IPv6 /64, /56 and
// /48) and, past an IPv6 /48, its /40 and /32.
std::vector<std::string> widths(const std::vector<std::string>& networks);

// The widest network one customer may be handed: an IPv4 address or an
// IPv6 /48, the last the server named. A person is at home there, and the
// codes for an address are counted per such network.
std::string customer(const std::vector<std::string>& networks);

// The network a sign-in call is asked from, written once for the gate's
// memory and the store's counts alike: the caller's customer network, or
// its rate key when the server named none (a trusted proxy that named no
// client). A person's homes, their codes' allowance and their tries are
// kept per such network.
std::string asking(const std::vector<std::string>& networks, const std::string& client);

// The widest of them: whose turn a caller's call takes, and who it is
// ranked as.
std::string widest(const std::vector<std::string>& networks);

}  // namespace morvane::relay_service::NetworkScale
