// The parts one server runs beside its connections: a relay per feature and
// the file engine, made on the server's queue and linked to one another
// (what the displays relay shows and what the status relay reads reach the
// display effects). Links to the server itself are made by the server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "server/remote_server.h"

namespace morvane {

struct ServerRelays {
    std::shared_ptr<FileTransferEngine> files;
    std::shared_ptr<VideoRelay> video;
    std::shared_ptr<ClipboardDisplayRelay> desk;
    std::shared_ptr<EffectsRelay> fx;
    std::shared_ptr<StatusRelay> status;
};

// `setup` must be complete; its status reading is taken. `queue`, the main
// queue, the sources and whatever `isPaused` reads outlive the relays. The
// sound relay is made by the server: it may ask after the server is gone.
ServerRelays assembleRelays(RemoteServer::Setup& setup, ServerQueue& queue, std::function<bool()> isPaused,
                            std::function<std::int64_t()> clock);

}  // namespace morvane
