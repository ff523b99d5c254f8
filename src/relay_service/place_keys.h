// The keys under which a call waiting for the store holds its places of
// the store queue (HeldPlaces), and the most each key may hold: a client's
// networks (NetworkScale: an IPv4 address, or an IPv6 /64 and each wider
// one, by the scale), a sign-in code, the networks that asked for a code,
// a sign-in, a room, and a wait for one question to the store. The gate
// composes them for each call; values only, on the network thread.
#pragma once

#include <string>
#include <vector>

#include "relay_service/gate_memory.h"

namespace morvane::relay_service::PlaceKeys {

using Claims = std::vector<HeldPlaces::Claim>;

// One claim under each of a caller's networks, narrowest first.
Claims networks(const std::vector<std::string>& networks);
HeldPlaces::Claim code(const std::string& code);
// A try of a code counts against the networks that asked for it too.
Claims askedBy(const std::vector<std::string>& askers);
HeldPlaces::Claim signIn(const std::string& session);
// A person's code requests and sign-ins from a network they signed in from.
HeldPlaces::Claim home(const std::string& address);
HeldPlaces::Claim room(const std::string& room);
// A place in one of the gate's waits for the store, and one under each of
// the caller's networks: at most a few per network, `most` in all.
Claims wait(const std::string& wait, std::size_t most, const std::vector<std::string>& networks);
// What a key that is full holds places for, for the log line.
std::string kind(const std::string& key);
// The widest network a caller is counted under (an IPv6 /32): whose turn
// a call takes in its lane of the store queue, so that fresh /48s of one
// provider take one turn.
std::string turn(const std::vector<std::string>& networks);

}  // namespace morvane::relay_service::PlaceKeys
