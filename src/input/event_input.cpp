#include "input/event_input.h"

#include <algorithm>
#include <vector>

#include "capture/display_choice.h"
#include "input/key_map.h"
#include "input/text_typing.h"

namespace morvane {

EventInput::EventInput(Executor& queue, std::unique_ptr<InputBackend> backend,
                       std::function<std::optional<Rect>()> displayBounds, double pixelsPerWheelStep,
                       std::function<bool()> screenLocked, std::function<void(const std::string&)> log,
                       OneShotTimer::Clock clock)
    : backend_(std::move(backend)),
      displayBounds_(std::move(displayBounds)),
      screenLocked_(std::move(screenLocked)),
      clock_(std::move(clock)),
      wake_(std::make_unique<LockerWake>(queue, clock_, *backend_, std::move(log))),
      scroll_(pixelsPerWheelStep),
      queue_(queue) {}

EventInput::~EventInput() {
    // Nothing stays held when the injector goes: queued events are dropped,
    // the release runs, and no work of ours is left on the queue after.
    epoch_.fetch_add(1);
    queue_.post([this] {
        alive_.end();
        wake_.reset();
        waiting_.clear();
        releaseAll();
    });
    queue_.drain();
}

void EventInput::handle(const InputEvent& event) {
    const auto* text = std::get_if<input::Text>(&event);
    const std::size_t textBytes = text ? text->text.size() : 0;
    const auto* key = std::get_if<input::Key>(&event);
    const auto* button = std::get_if<input::Button>(&event);
    const bool release = (key && !key->down) || (button && !button->down);
    const int room = InputTuning::maxQueuedEvents + (release ? InputTuning::extraQueuedReleases : 0);
    if (queued_.load() >= room || queuedTextBytes_.load() + textBytes > InputTuning::maxQueuedTextBytes) return;
    queued_.fetch_add(1);
    queuedTextBytes_.fetch_add(textBytes);
    const std::uint64_t epoch = epoch_.load();
    queue_.post([this, queued = Queued{event, epoch, textBytes}] { arrive(queued); });
}

void EventInput::arrive(Queued queued) {
    if (!wake_) return;
    waiting_.push_back(std::move(queued));
    if (waiting_.size() == 1) release();
}

// Events go in the order they came; the one that waits for a locked
// screen's dialog holds back those after it, which count as queued.
void EventInput::release() {
    if (releasing_) return;
    releasing_ = true;
    while (!waiting_.empty()) {
        const Queued& next = waiting_.front();
        if (!run(next.event, next.epoch)) break;
        queued_.fetch_sub(1);
        queuedTextBytes_.fetch_sub(next.textBytes);
        waiting_.pop_front();
    }
    releasing_ = false;
}

void EventInput::releaseEverything() {
    epoch_.fetch_add(1);
    // Events that waited for a locked screen's dialog go with the rest.
    queue_.post([this] {
        releaseAll();
        release();
    });
    queue_.drain();
}

GlobalPoint EventInput::locate(double x, double y) {
    std::optional<Rect> bounds = displayBounds_ ? displayBounds_() : std::nullopt;
    const Point at = DisplayMapping::globalPoint(x, y, bounds ? *bounds : backend_->mainDisplayBounds());
    return {at.x, at.y};
}

bool EventInput::run(const InputEvent& event, std::uint64_t epoch) {
    expectOn(queue_, "EventInput::run");
    if (epoch != epoch_.load()) return true;
    return std::visit(
        [&](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, input::Move>) move(e);
            else if constexpr (std::is_same_v<T, input::Button>) press(e);
            else if constexpr (std::is_same_v<T, input::Scroll>) scroll(e);
            else if constexpr (std::is_same_v<T, input::Key>) return key(e);
            else if constexpr (std::is_same_v<T, input::Text>) return text(e, epoch);
            else lock();
            return true;
        },
        event);
}

void EventInput::move(const input::Move& e) {
    const GlobalPoint at = locate(e.x, e.y);
    std::optional<int> dragged;
    for (int b : {0, 1, 2}) {
        if (heldButtons_.contains(b)) {
            dragged = b;
            break;
        }
    }
    backend_->move(at, dragged);
    position_ = at;
}

void EventInput::press(const input::Button& e) {
    const GlobalPoint at = locate(e.x, e.y);
    if (e.button < 0 || e.button > 2) return;
    const auto held = heldButtons_.find(e.button);
    int clicks = 0;
    if (held != heldButtons_.end()) {
        if (e.down) return;
        clicks = held->second;
        heldButtons_.erase(held);
    } else {
        if (!e.down) return;
        clicks = std::clamp(e.clicks, 1, 3);
        heldButtons_[e.button] = clicks;
    }
    backend_->button(e.button, e.down, at, clicks);
    position_ = at;
}

void EventInput::scroll(const input::Scroll& e) {
    if (const auto steps = scroll_.add(e.dx, e.dy)) backend_->wheel(steps->vertical, steps->horizontal);
}

bool EventInput::key(const input::Key& e) {
    if (!KeyMap::keyCode(e.code)) return true;
    const bool held = heldKeys_.contains(e.code);
    if (!e.down) {
        if (!held) return true;
        heldKeys_.erase(e.code);
        backend_->key(e.code, false, false);
        return true;
    }
    const bool modifier = KeyMap::isModifier(e.code);
    if (!held && !modifier && !lockerReady(screenLocked_ && screenLocked_())) return false;
    heldKeys_[e.code] = modifier;
    backend_->key(e.code, true, held);
    return true;
}

bool EventInput::text(const input::Text& e, std::uint64_t epoch) {
    // Keys borrowed for typing stay from one text to the next; a give-back
    // that a release left waiting stops, as the keys are in use again.
    ++typingGeneration_;
    const auto steps = TextTyping::plan(e.text);
    std::u32string scalars;
    for (const auto& step : steps)
        if (const auto* characters = std::get_if<text_step::Characters>(&step)) scalars += characters->scalars;
    const bool locked = screenLocked_ && screenLocked_();
    backend_->expectText(scalars, locked);
    if (!steps.empty() && !lockerReady(locked)) return false;
    // Characters are paced on a schedule from the text's start: the time a
    // character took to go counts in its pause, and a pause the machine
    // overran is made up by the next few going sooner, so that a long text
    // on a busy processor takes its own time rather than that plus every
    // wake-up's delay.
    std::int64_t due = clock_();
    for (const auto& step : steps) {
        if (epoch != epoch_.load()) break;
        if (const auto* named = std::get_if<text_step::Named>(&step)) {
            backend_->tap(named->code);
        } else {
            for (char32_t scalar : std::get<text_step::Characters>(step).scalars) backend_->type(scalar);
        }
        const std::int64_t now = clock_();
        due = std::max(due + InputTuning::typingPauseMillis,
                       now - InputTuning::typingCatchUpCharacters * InputTuning::typingPauseMillis);
        if (due > now) backend_->pause(static_cast<int>(due - now));
    }
    backend_->endText();
    return true;
}

// A modifier pressed alone types nothing and is left to wake the dialog as
// it would; the key it goes with waits for it.
bool EventInput::lockerReady(bool locked) {
    if (!screenLocked_) return true;
    if (!locked) {
        wake_->forget();
        return true;
    }
    return wake_->ready([this] { release(); });
}

// The lock itself is the shell's, on the locker's own queue: a locker that
// takes seconds or never answers must not hold the pointer and keys behind
// it. Here only what the device holds is let go, and the dialog of the last
// lock is forgotten: the next one is a new window.
void EventInput::lock() {
    releaseAll();
    wake_->forget();
}

void EventInput::releaseAll() {
    // Ordinary keys first, so that no shortcut fires while its modifiers go.
    std::vector<std::string> modifiers;
    for (const auto& [code, isModifier] : heldKeys_) {
        if (isModifier)
            modifiers.push_back(code);
        else
            backend_->key(code, false, false);
    }
    for (const auto& code : modifiers) backend_->key(code, false, false);
    heldKeys_.clear();

    if (!heldButtons_.empty()) {
        GlobalPoint at = position_ ? *position_ : backend_->cursor().value_or(GlobalPoint{});
        for (const auto& [button, clicks] : heldButtons_) backend_->button(button, false, at, clicks);
        heldButtons_.clear();
    }
    scroll_.reset();
    giveBackKeys(++typingGeneration_);
}

void EventInput::giveBackKeys(std::uint64_t generation) {
    const int wait = backend_->giveBackKeys();
    if (wait <= 0) return;
    queue_.postAfter(wait, [this, generation, alive = alive_.token()] {
        if (alive && generation == typingGeneration_) giveBackKeys(generation);
    });
}

}  // namespace morvane
