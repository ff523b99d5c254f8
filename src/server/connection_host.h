// What a connection needs of the server it belongs to: its deadline and clock,
// the rules for answering requests, the device store, and the steps of a
// session's life. All of it on the server queue.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "core/types.h"
#include "devices/device_store.h"
#include "server/client_message.h"
#include "server/pair_answer.h"
#include "server/server_queue.h"
#include "protocol/host_policy.h"
#include "protocol/static_site.h"

namespace morvane {

class RemoteConnection;

class ConnectionHost {
public:
    virtual ~ConnectionHost() = default;

    // A connection's one deadline, run on the server queue.
    virtual std::unique_ptr<Deadline> makeDeadline() = 0;
    // Monotonic milliseconds.
    virtual std::int64_t now() const = 0;
    virtual const HostPolicy& policy() const = 0;
    virtual const StaticSite& site() const = 0;
    virtual DeviceStore& store() = 0;
    // The pause as the server queue knows it.
    virtual bool pausedNow() const = 0;
    virtual void pairAttempted(bool viaTailnet, const PairAttempt& attempt) = 0;

    // A device proved who it is.
    virtual void admit(const std::shared_ptr<RemoteConnection>& connection, const PairedDevice& device) = 0;
    // A session message or an upload chunk; ignored unless the connection
    // controls.
    virtual void received(const ClientMessage& message, RemoteConnection& connection) = 0;
    virtual void receivedBinary(const Bytes& data, RemoteConnection& connection) = 0;
    // A video or file write of a controlling connection went out.
    virtual void videoWritten(RemoteConnection& connection) = 0;
    virtual void fileChunkWritten(RemoteConnection& connection) = 0;
    // The connection no longer serves a session (closing or closed), and
    // then is gone.
    virtual void stoppedServing(RemoteConnection& connection) = 0;
    virtual void finished(RemoteConnection& connection) = 0;
};

}  // namespace morvane
