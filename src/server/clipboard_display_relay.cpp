#include "server/clipboard_display_relay.h"

#include <nlohmann/json.hpp>

#include "transfer/clipboard_message.h"
#include "transfer/clipboard_text.h"

namespace morvane {

std::shared_ptr<ClipboardDisplayRelay> ClipboardDisplayRelay::create(Executor& queue, Executor& main,
                                                                     ClipboardAccess* clipboard, FrameSource& frames,
                                                                     std::function<bool()> isPaused,
                                                                     Clock uptimeMillis) {
    return std::make_shared<ClipboardDisplayRelay>(queue, main, clipboard, frames, std::move(isPaused),
                                                   std::move(uptimeMillis));
}

ClipboardDisplayRelay::ClipboardDisplayRelay(Executor& queue, Executor& main, ClipboardAccess* clipboard,
                                             FrameSource& frames, std::function<bool()> isPaused, Clock uptimeMillis)
    : queue_(queue),
      main_(main),
      clipboard_(clipboard),
      frames_(frames),
      isPaused_(std::move(isPaused)),
      uptime_(std::move(uptimeMillis)) {
    if (!isPaused_) isPaused_ = [] { return false; };
}

void ClipboardDisplayRelay::attach(std::shared_ptr<SessionLink> link) {
    expectOn(queue_, __func__);
    link_ = std::move(link);
    assembler_.reset();
    get_.reset();
    switch_.reset();
    shown_.reset();
}

// ---- Clipboard ----

void ClipboardDisplayRelay::handleClipboard(const ClipboardRequest& request) {
    expectOn(queue_, __func__);
    if (!link_) return;
    std::visit(
        [&](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, clipboard_request::Get>) {
                get(r.id);
            } else {
                // A transfer past its deadline is failed and answered first.
                answerPut(assembler_.expire(uptime_()));
                if constexpr (std::is_same_v<T, clipboard_request::PutBegin>)
                    answerPut(assembler_.begin(r.id, r.chunks, r.length, uptime_()));
                else
                    answerPut(assembler_.chunk(r.id, r.index, r.text));
            }
        },
        request);
}

void ClipboardDisplayRelay::get(int id) {
    if (get_) {
        link_->sendJSON(ClipboardMessage::state(id, "busy"));
        return;
    }
    if (!getLimiter_.allow(uptime_())) {
        link_->sendJSON(ClipboardMessage::state(id, "too-soon"));
        return;
    }
    std::uint64_t serial = ++getSerial_;
    get_ = Get{serial, id};
    std::weak_ptr<ClipboardDisplayRelay> weak = weak_from_this();
    std::weak_ptr<SessionLink> target = link_;

    auto* queue = &queue_;
    main_.post([weak, target, serial, queue, clipboard = clipboard_, isPaused = isPaused_] {
        // A read that arrives after the host paused is never made; it stays
        // pending until the give-up.
        if (weak.expired() || isPaused()) return;
        auto finish = [weak, target, serial, queue](ClipboardRead read) {
            if (weak.expired()) return;
            queue->post([weak, target, serial, read = std::move(read)] {
                if (auto self = weak.lock()) self->finishGet(serial, read, target);
            });
        };
        if (!clipboard) {
            finish(clipboard_read::Denied{});
            return;
        }
        clipboard->readPlainText(ClipboardLimits::maxCharacters, finish);
    });
    // A system may hold the read while it asks the owner; the device hears so.
    queue_.postAfter(ClipboardLimits::askingAfterMillis, [weak, target, serial, id] {
        auto self = weak.lock();
        auto link = target.lock();
        if (!self || !link || !self->get_ || self->get_->serial != serial) return;
        if (self->link_ == link) link->sendJSON(ClipboardMessage::state(id, "asking"));
    });
    queue_.postAfter(ClipboardLimits::readGiveUpMillis, [weak, target, serial, id] {
        auto self = weak.lock();
        if (!self || !self->get_ || self->get_->serial != serial) return;
        self->get_.reset();
        auto link = target.lock();
        if (link && self->link_ == link) link->sendJSON(ClipboardMessage::state(id, "needs-permission"));
    });
}

void ClipboardDisplayRelay::finishGet(std::uint64_t serial, const ClipboardRead& read,
                                      const std::weak_ptr<SessionLink>& target) {
    if (!get_ || get_->serial != serial) return;
    int id = get_->id;
    get_.reset();
    auto link = target.lock();
    if (!link || link_ != link) return;
    auto answer = [&](std::string_view word) { link->sendJSON(ClipboardMessage::state(id, word)); };
    std::visit(
        [&](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, clipboard_read::Text> || std::is_same_v<T, clipboard_read::Cut>) {
                auto limited = ClipboardText::limited(r.text, ClipboardLimits::maxCharacters);
                if (limited.text.empty()) return answer("empty");
                bool cut = std::is_same_v<T, clipboard_read::Cut> || limited.cut;
                for (const auto& message : ClipboardMessage::text(id, limited.text, cut)) {
                    if (link_ != link) return;  // a full control queue closed it
                    link->sendJSON(message);
                }
                main_.post([report = onTransfer_] {
                    if (report) report(ClipboardDirection::fromMac);
                });
            } else if constexpr (std::is_same_v<T, clipboard_read::Empty>) {
                answer("empty");
            } else if constexpr (std::is_same_v<T, clipboard_read::MarkedPrivate>) {
                answer("private");
            } else if constexpr (std::is_same_v<T, clipboard_read::Denied>) {
                answer("denied");
            } else {
                answer("needs-permission");
            }
        },
        read);
}

void ClipboardDisplayRelay::answerPut(const ClipboardAssembler::Outcome& outcome) {
    if (!link_) return;
    if (auto failed = std::get_if<clipboard_outcome::Failed>(&outcome)) {
        link_->sendJSON(ClipboardMessage::putResult(failed->id, failed->reason));
        return;
    }
    auto complete = std::get_if<clipboard_outcome::Complete>(&outcome);
    if (!complete) return;
    std::weak_ptr<ClipboardDisplayRelay> weak = weak_from_this();
    std::weak_ptr<SessionLink> target = link_;
    int id = complete->id;
    auto text = std::make_shared<const std::string>(complete->text);
    auto* queue = &queue_;
    main_.post([weak, target, id, text, queue, clipboard = clipboard_, isPaused = isPaused_, report = onTransfer_] {
        if (weak.expired()) return;
        bool ok = !isPaused() && clipboard && clipboard->writePlainText(*text);
        if (ok && report) report(ClipboardDirection::toMac);
        queue->post([weak, target, id, ok] {
            auto self = weak.lock();
            auto link = target.lock();
            if (!self || !link || self->link_ != link) return;
            std::optional<std::string_view> error;
            if (!ok) error = "write-failed";
            link->sendJSON(ClipboardMessage::putResult(id, error));
        });
    });
}

// ---- Displays ----

void ClipboardDisplayRelay::sendDisplays(const std::weak_ptr<SessionLink>& target) {
    DisplayListing listing = frames_.displayListing();
    std::weak_ptr<ClipboardDisplayRelay> weak = weak_from_this();
    queue_.post([weak, target, listing] {
        auto self = weak.lock();
        auto link = target.lock();
        if (!self || !link || self->link_ != link) return;
        link->sendJSON(DisplayMessage::list(listing));
        self->noteShown(listing);
    });
}

void ClipboardDisplayRelay::selectDisplay(std::uint32_t id) {
    expectOn(queue_, __func__);
    if (!link_) return;
    if (!switchLimiter_.allow(uptime_())) {
        link_->sendJSON(DisplayMessage::result(id, std::string(DisplayMessage::Refusal::tooSoon)));
        return;
    }
    switch_ = Switch{id, 0};
    // The display-effects machine hears of the change here, before the
    // source is asked.
    if (onShown_ && (!shown_ || *shown_ != std::optional<std::uint32_t>(id))) onShown_(DisplayListing{}, true);
    std::weak_ptr<ClipboardDisplayRelay> weak = weak_from_this();
    std::weak_ptr<SessionLink> target = link_;
    auto* frames = &frames_;
    auto* queue = &queue_;
    main_.post([weak, target, id, frames, queue, isPaused = isPaused_] {
        // After a pause the switch gets no answer; the tick gives it up.
        if (weak.expired() || isPaused()) return;
        bool ok = frames->selectDisplay(id);
        DisplayListing listing = frames->displayListing();
        queue->post([weak, target, id, ok, listing] {
            auto self = weak.lock();
            auto link = target.lock();
            if (!self || !link || self->link_ != link) return;
            if (!ok || listing.current == id) {
                if (self->switch_ && self->switch_->id == id) self->switch_.reset();
            }
            std::optional<std::string> error;
            if (!ok) error = DisplayMessage::Refusal::unknown;
            link->sendJSON(DisplayMessage::result(id, error));
            if (ok && self->link_ == link) link->sendJSON(DisplayMessage::list(listing));
        });
    });
}

void ClipboardDisplayRelay::displaysChanged(const DisplayListing& listing) {
    expectOn(queue_, __func__);
    if (!link_) return;
    if (switch_ && (listing.current == switch_->id || listing.selectionLost)) switch_.reset();
    if (listing.selectionLost && onShown_) onShown_(DisplayListing{}, true);
    noteShown(listing);
    link_->sendJSON(DisplayMessage::list(listing));
}

void ClipboardDisplayRelay::noteShown(const DisplayListing& listing) {
    // The display-effects machine is told of a change of the shown display
    // and of its size here; the note is kept so that a switch to the display
    // already shown is not taken for a change.
    bool changed = shown_ && !listing.selectionLost && *shown_ != listing.current;
    shown_ = listing.current;
    if (onShown_) onShown_(listing, changed);
}

bool ClipboardDisplayRelay::holdsBack(const InputEvent& event, bool modeSettling) const {
    expectOn(queue_, __func__);
    return (switch_ || modeSettling) && DisplaySwitchGate::drops(event);
}

void ClipboardDisplayRelay::tick() {
    expectOn(queue_, __func__);
    if (!link_) return;
    answerPut(assembler_.expire(uptime_()));
    if (switch_ && ++switch_->seconds >= DisplayLimits::switchSettleSeconds) switch_.reset();
}

}  // namespace morvane
