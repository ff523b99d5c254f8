// The four entries through which the relay side drives one relayed session,
// bridged onto its connection. Every entry runs on the server queue and does
// nothing once the connection is gone.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/types.h"
#include "protocol/ws_codec.h"

namespace morvane {

class RemoteConnection;

struct RelayedConnection {
    std::function<void(WSOpcode, const Bytes&)> receive;
    // The device closed its end: a session still open answers with a close.
    std::function<void()> peerClosed;
    std::function<void()> transportLost;
    std::function<void(const std::string&)> bye;

    static RelayedConnection bridge(const std::weak_ptr<RemoteConnection>& connection);
};

}  // namespace morvane
