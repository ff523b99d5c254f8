#include "server/server_assembly.h"

#include "server/clipboard_display_relay.h"
#include "server/effects_relay.h"
#include "server/status_relay.h"
#include "server/video_relay.h"

namespace morvane {

ServerRelays assembleRelays(RemoteServer::Setup& setup, ServerQueue& queue, std::function<bool()> isPaused,
                            std::function<std::int64_t()> clock) {
    Executor& main = *setup.mainQueue;
    FrameSource& frames = *setup.frames;
    ServerRelays relays;
    // Without files the engine answers every request itself and never
    // touches a disk queue.
    relays.files = FileTransferEngine::create(setup.files, queue, setup.fileQueue ? *setup.fileQueue : queue,
                                              isPaused, clock);
    relays.video = VideoRelay::create(queue, main, frames, clock);
    relays.desk = ClipboardDisplayRelay::create(queue, main, setup.clipboard, frames, isPaused, clock);
    relays.fx = EffectsRelay::create(queue, main, setup.effects, frames, isPaused, clock, setup.effectsIdleSeconds);
    relays.status = StatusRelay::create(queue, main, frames, std::move(setup.status));

    // The effects hear which display is shown and whether the screen is
    // locked; the relays may go in any order, so they are held weakly.
    std::weak_ptr<EffectsRelay> fx = relays.fx;
    relays.desk->setOnShown([fx](const DisplayListing& listing, bool changed) {
        if (auto f = fx.lock()) f->displayShown(listing, changed);
    });
    relays.status->setOnReading([fx](bool locked, const std::string& capture) {
        if (auto f = fx.lock()) f->status(locked, capture);
    });
    return relays;
}

}  // namespace morvane
