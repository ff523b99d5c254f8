// The clipboard and the display choice as the controlling session sees
// them: one pasteboard read at a time (spaced, reported while the system
// holds it, given up after a while), reassembled writes, the list of
// displays, and a display switch that holds pointer positions until the
// capture has moved. The pasteboard and the screen source are used only on
// the main queue; every answer is built on the server queue after the hop
// back, and answers for a session that has gone are dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "capture/display_choice.h"
#include "core/clipboard_access.h"
#include "core/clock.h"
#include "core/executor.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/types.h"
#include "server/client_message.h"
#include "server/session_link.h"
#include "transfer/clipboard_assembler.h"

namespace morvane {

class ClipboardDisplayRelay : public std::enable_shared_from_this<ClipboardDisplayRelay> {
public:
    using Clock = std::function<std::int64_t()>;

    // `queue` is the server queue, `main` the main queue; both, the source
    // and the pasteboard (which may be missing) outlive the relay.
    // `isPaused` is asked on the main queue before the pasteboard or the
    // source is touched.
    static std::shared_ptr<ClipboardDisplayRelay> create(Executor& queue, Executor& main, ClipboardAccess* clipboard,
                                                         FrameSource& frames, std::function<bool()> isPaused,
                                                         Clock uptimeMillis = nowMillis);
    ClipboardDisplayRelay(Executor& queue, Executor& main, ClipboardAccess* clipboard, FrameSource& frames,
                          std::function<bool()> isPaused, Clock uptimeMillis);

    // Called on the main queue after each text that crossed.
    void setOnTransfer(std::function<void(ClipboardDirection)> handler) { onTransfer_ = std::move(handler); }
    // Server queue: where a change of the shown display and its size go, so
    // the display effects can end or follow them.
    void setOnShown(std::function<void(const DisplayListing&, bool changed)> handler) { onShown_ = std::move(handler); }

    // Server queue from here on. A new controlling session, or none; either
    // way what the last one had going is dropped.
    void attach(std::shared_ptr<SessionLink> link);
    void detach() { attach(nullptr); }

    void handleClipboard(const ClipboardRequest& request);
    void selectDisplay(std::uint32_t id);
    void displaysChanged(const DisplayListing& listing);
    // While the capture moves to another display, or while a new display
    // mode settles (`modeSettling`), a pointer position would land in the
    // wrong place: such events are held back, keys pass.
    bool holdsBack(const InputEvent& event, bool modeSettling = false) const;
    bool switching() const { return switch_.has_value(); }
    // Once a second: late writes fail, a switch the capture never finished
    // is given up.
    void tick();

    // Main queue: reads the listing and sends it to `target` if that is
    // still the session.
    void sendDisplays(const std::weak_ptr<SessionLink>& target);

private:
    struct Get {
        std::uint64_t serial = 0;
        int id = 0;
    };
    struct Switch {
        std::uint32_t id = 0;
        int seconds = 0;
    };

    void get(int id);
    void finishGet(std::uint64_t serial, const ClipboardRead& read, const std::weak_ptr<SessionLink>& target);
    void answerPut(const ClipboardAssembler::Outcome& outcome);
    void noteShown(const DisplayListing& listing);

    Executor& queue_;
    Executor& main_;
    ClipboardAccess* clipboard_;
    FrameSource& frames_;
    std::function<bool()> isPaused_;
    Clock uptime_;
    std::function<void(ClipboardDirection)> onTransfer_;
    std::function<void(const DisplayListing&, bool changed)> onShown_;
    std::shared_ptr<SessionLink> link_;

    ClipboardAssembler assembler_;
    std::optional<Get> get_;
    std::uint64_t getSerial_ = 0;
    ClipboardRateLimiter getLimiter_;
    std::optional<Switch> switch_;
    DisplaySwitchLimiter switchLimiter_;
    // The display last noted as shown: empty while nothing was noted, an
    // inner nothing when the listing had no current display.
    std::optional<std::optional<std::uint32_t>> shown_;
};

}  // namespace morvane
