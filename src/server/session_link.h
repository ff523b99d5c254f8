// What a feature relay may do with the controlling session: send it
// messages and offer it pictures, video and sound. The connection carries
// it out; a relay never sees phases, sockets or the server.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "core/types.h"
#include "server/connection_wire.h"

namespace morvane {

class SessionLink : public AudioLink {
public:
    virtual void sendJSON(const nlohmann::json& message) = 0;
    // A newer picture replaces one still waiting; a video message is
    // dropped while the last one waits or is being written.
    virtual void offerFrame(const Bytes& message) = 0;
    virtual void offerVideo(const Bytes& message) = 0;
    virtual bool videoBusy() const = 0;
    virtual void clearPendingFrame() = 0;
    virtual void clearPendingVideo() = 0;
};

}  // namespace morvane
