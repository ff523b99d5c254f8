// The two faces of the relay link towards the relay host: what the link
// reports (RelayLinkDelegate) and what the host may ask of it
// (RelayLinkTransport). Both run on the server's session queue only: the
// link calls its delegate there, and the host calls the transport there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/types.h"

namespace morvane {

// A connection id names one device connection on the relay (4 bytes
// big-endian in front of each relayed record).
using RelayConnectionID = std::uint32_t;

class RelayLinkDelegate {
public:
    virtual ~RelayLinkDelegate() = default;
    // The relay welcomed this host; `devices` are the connections already
    // waiting, in the relay's order.
    virtual void relayLinkUp(const std::vector<RelayConnectionID>& devices) = 0;
    // The link went down (it may be reported twice for one session when the
    // relay closes while the link is stopping for the day).
    virtual void relayLinkDown() = 0;
    virtual void relayLinkJoined(RelayConnectionID id) = 0;
    virtual void relayLinkLeft(RelayConnectionID id) = 0;
    // One record for a connection, the bytes after its 4-byte id (a copy).
    virtual void relayLinkReceived(RelayConnectionID id, Bytes record) = 0;
    // The day's request allowance ran out while up; the link stops for the
    // day shortly after.
    virtual void relayLinkQuotaReached() = 0;
};

class RelayLinkTransport {
public:
    virtual ~RelayLinkTransport() = default;
    // Held weakly: the link never keeps its delegate alive.
    virtual std::weak_ptr<RelayLinkDelegate> delegate() const = 0;
    virtual void setDelegate(std::weak_ptr<RelayLinkDelegate> delegate) = 0;
    virtual bool isUp() const = 0;
    // Sends one record for a connection. The completion runs later on the
    // queue, once: true when the frame went out, false otherwise (at once
    // when the link is not up; nothing is sent then).
    virtual void send(RelayConnectionID id, std::span<const std::uint8_t> record,
                      std::function<void(bool sent)> completion) = 0;
    // Asks the relay to drop a connection (only while up; a failed send is
    // ignored).
    virtual void drop(RelayConnectionID id) = 0;
    // The origin of the relay's page, which devices open ("https://host/");
    // empty when not known.
    virtual std::string pageOrigin() const { return {}; }
};

}  // namespace morvane
