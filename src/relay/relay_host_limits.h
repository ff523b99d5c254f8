// The relay host's time-outs and limits, read also by each relayed wire.
// Tests shrink them; the defaults are what the host runs with.
#pragma once

#include <cmath>
#include <cstdint>

#include "secure/secure_channel.h"

namespace morvane {

struct RelayHostLimits {
    double handshakeSeconds = 10.0;
    double approvalSeconds = 60.0;
    double windowSeconds = 120.0;
    double maxSessionSeconds = 86'400.0;
    std::uint64_t maxRecords = SecureChannel::maxRecords;
    std::int64_t creditWindow = static_cast<std::int64_t>(SecureChannel::creditWindow);
    double creditStallSeconds = 15.0;
    int maxDevices = 4;
    int handshakesPerPeer = 12;
    int handshakesInTotal = 30;
    double handshakeRateSeconds = 60.0;
    double tickSeconds = 1.0;
    double goodbyeSeconds = 0.25;

    // Records left, in either direction, below which a session is renewed
    // before its counters run out.
    std::uint64_t renewMargin() const { return maxRecords / 2 < 1024 ? maxRecords / 2 : 1024; }
};

// The executors count time in whole milliseconds.
inline std::int64_t millisFromSeconds(double seconds) { return std::llround(seconds * 1000.0); }

}  // namespace morvane
