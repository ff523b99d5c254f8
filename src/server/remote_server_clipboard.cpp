// The clipboard and the display choice as the controller sees them. The
// pasteboard and the screen source are used only on the main queue; every
// answer is built on the server queue after the hop back, and answers for a
// connection that is no longer the controller are dropped.
#include <nlohmann/json.hpp>

#include "capture/display_choice.h"
#include "server/remote_connection.h"
#include "server/remote_server.h"
#include "server/audio_relay.h"
#include "transfer/clipboard_message.h"
#include "transfer/clipboard_text.h"

namespace morvane {

void RemoteServer::resetSessionFeatures() {
    clipboardAssembler_.reset();
    clipboardGet_.reset();
    displaySwitch_.reset();
    // Sound ends without a word to the device that is leaving.
    audio().reset();
}

// ---- Clipboard ----

void RemoteServer::handleClipboard(const ClipboardRequest& request, RemoteConnection& connection) {
    std::visit(
        [&](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, clipboard_request::Get>) {
                getClipboard(r.id, connection, now());
            } else {
                // A transfer past its deadline is failed and answered first.
                answerPut(clipboardAssembler_.expire(now()), connection);
                if constexpr (std::is_same_v<T, clipboard_request::PutBegin>)
                    answerPut(clipboardAssembler_.begin(r.id, r.chunks, r.length, now()), connection);
                else
                    answerPut(clipboardAssembler_.chunk(r.id, r.index, r.text), connection);
            }
        },
        request);
}

void RemoteServer::getClipboard(int id, RemoteConnection& connection, std::int64_t nowMillis) {
    if (clipboardGet_) {
        connection.sendJSON(ClipboardMessage::state(id, "busy"));
        return;
    }
    if (!clipboardGetLimiter_.allow(nowMillis)) {
        connection.sendJSON(ClipboardMessage::state(id, "too-soon"));
        return;
    }
    std::uint64_t serial = ++clipboardGetSerial_;
    clipboardGet_ = ClipboardGet{serial, id};
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    std::weak_ptr<RemoteConnection> target = connection.weak_from_this();

    onMain([weak, target, serial] {
        auto self = weak.lock();
        // A read that arrives after the host paused is never made; it stays
        // pending until the give-up.
        if (!self || self->isPaused()) return;
        auto finish = [weak, target, serial](ClipboardRead read) {
            auto s = weak.lock();
            if (!s) return;
            s->queue_->post([weak, target, serial, read = std::move(read)] {
                if (auto s2 = weak.lock()) s2->finishClipboardGet(serial, read, target);
            });
        };
        if (!self->clipboard_) {
            finish(clipboard_read::Denied{});
            return;
        }
        self->clipboard_->readPlainText(ClipboardLimits::maxCharacters, finish);
    });
    // macOS may hold the read while it asks the owner; the device hears so.
    queue_->postAfter(ClipboardLimits::askingAfterMillis, [weak, target, serial, id] {
        auto self = weak.lock();
        auto c = target.lock();
        if (!self || !c || !self->clipboardGet_ || self->clipboardGet_->serial != serial) return;
        if (self->controller_ == c) c->sendJSON(ClipboardMessage::state(id, "asking"));
    });
    queue_->postAfter(ClipboardLimits::readGiveUpMillis, [weak, target, serial, id] {
        auto self = weak.lock();
        if (!self || !self->clipboardGet_ || self->clipboardGet_->serial != serial) return;
        self->clipboardGet_.reset();
        auto c = target.lock();
        if (c && self->controller_ == c) c->sendJSON(ClipboardMessage::state(id, "needs-permission"));
    });
}

void RemoteServer::finishClipboardGet(std::uint64_t serial, const ClipboardRead& read,
                                      const std::weak_ptr<RemoteConnection>& target) {
    if (!clipboardGet_ || clipboardGet_->serial != serial) return;
    int id = clipboardGet_->id;
    clipboardGet_.reset();
    auto c = target.lock();
    if (!c || controller_ != c) return;
    auto answer = [&](std::string_view word) { c->sendJSON(ClipboardMessage::state(id, word)); };
    std::visit(
        [&](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, clipboard_read::Text> || std::is_same_v<T, clipboard_read::Cut>) {
                auto limited = ClipboardText::limited(r.text, ClipboardLimits::maxCharacters);
                if (limited.text.empty()) return answer("empty");
                bool cut = std::is_same_v<T, clipboard_read::Cut> || limited.cut;
                for (const auto& message : ClipboardMessage::text(id, limited.text, cut)) {
                    if (controller_ != c) return;  // a full control queue closed it
                    c->sendJSON(message);
                }
                std::weak_ptr<RemoteServer> weak = weak_from_this();
                onMain([weak] {
                    if (auto s = weak.lock(); s && s->onClipboardTransfer) s->onClipboardTransfer(ClipboardDirection::fromMac);
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

void RemoteServer::answerPut(const ClipboardAssembler::Outcome& outcome, RemoteConnection& connection) {
    if (auto failed = std::get_if<clipboard_outcome::Failed>(&outcome)) {
        connection.sendJSON(ClipboardMessage::putResult(failed->id, failed->reason));
        return;
    }
    auto complete = std::get_if<clipboard_outcome::Complete>(&outcome);
    if (!complete) return;
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    std::weak_ptr<RemoteConnection> target = connection.weak_from_this();
    int id = complete->id;
    auto text = std::make_shared<const std::string>(complete->text);
    onMain([weak, target, id, text] {
        auto self = weak.lock();
        if (!self) return;
        bool ok = !self->isPaused() && self->clipboard_ && self->clipboard_->writePlainText(*text);
        if (ok && self->onClipboardTransfer) self->onClipboardTransfer(ClipboardDirection::toMac);
        self->queue_->post([weak, target, id, ok] {
            auto s = weak.lock();
            auto c = target.lock();
            if (!s || !c || s->controller_ != c) return;
            std::optional<std::string_view> error;
            if (!ok) error = "write-failed";
            c->sendJSON(ClipboardMessage::putResult(id, error));
        });
    });
}

// ---- Displays ----

void RemoteServer::sendDisplays(const std::weak_ptr<RemoteConnection>& target) {
    DisplayListing listing = frames_->displayListing();
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    queue_->post([weak, target, listing] {
        auto s = weak.lock();
        auto c = target.lock();
        if (!s || !c || s->controller_ != c) return;
        c->sendJSON(DisplayMessage::list(listing));
        s->noteShown(listing);
    });
}

void RemoteServer::selectDisplay(std::uint32_t id, RemoteConnection& connection) {
    if (!displaySwitchLimiter_.allow(now())) {
        connection.sendJSON(DisplayMessage::result(id, std::string(DisplayMessage::Refusal::tooSoon)));
        return;
    }
    displaySwitch_ = DisplaySwitch{id, 0};
    // The display-effects machine hears of the change here, before the
    // source is asked, once it exists.
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    std::weak_ptr<RemoteConnection> target = connection.weak_from_this();
    onMain([weak, target, id] {
        auto self = weak.lock();
        // After a pause the switch gets no answer; the tick gives it up.
        if (!self || self->isPaused()) return;
        bool ok = self->frames_->selectDisplay(id);
        DisplayListing listing = self->frames_->displayListing();
        self->queue_->post([weak, target, id, ok, listing] {
            auto s = weak.lock();
            auto c = target.lock();
            if (!s || !c || s->controller_ != c) return;
            if (!ok || listing.current == id) {
                if (s->displaySwitch_ && s->displaySwitch_->id == id) s->displaySwitch_.reset();
            }
            std::optional<std::string> error;
            if (!ok) error = DisplayMessage::Refusal::unknown;
            c->sendJSON(DisplayMessage::result(id, error));
            if (ok && s->controller_ == c) c->sendJSON(DisplayMessage::list(listing));
        });
    });
}

void RemoteServer::displaysChanged(const DisplayListing& listing) {
    if (!controller_) return;
    if (displaySwitch_ && (listing.current == displaySwitch_->id || listing.selectionLost)) displaySwitch_.reset();
    noteShown(listing);
    if (auto c = controller_) c->sendJSON(DisplayMessage::list(listing));
}

void RemoteServer::noteShown(const DisplayListing& listing) {
    // The display-effects machine is told of a change of the shown display
    // and of its size once it exists; the note is kept so that a switch to
    // the display already shown is not taken for a change.
    fxShown_ = listing.current;
}

void RemoteServer::tickDisplaySwitch() {
    if (!displaySwitch_) return;
    if (++displaySwitch_->seconds >= DisplayLimits::switchSettleSeconds) displaySwitch_.reset();
}

}  // namespace morvane
