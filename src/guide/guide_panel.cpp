#include "guide/guide_panel.h"

#include <algorithm>
#include <cctype>

namespace morvane {

void GuideState::setSnapshot(GuideSnapshot snapshot) {
    if (snapshot == snapshot_) return;
    snapshot_ = std::move(snapshot);
    published();
}

void GuideState::setAdvancedOpen(bool open) {
    if (open == advancedOpen_) return;
    advancedOpen_ = open;
    published();
}

void GuideState::markCopied(const std::string& text) {
    const bool changed = copiedText_ != text;
    copiedText_ = text;
    const std::uint64_t generation = ++*copiedGeneration_;
    if (main_) {
        std::weak_ptr<std::uint64_t> weak = copiedGeneration_;
        main_->postAfter(copiedMillis, [this, weak, generation] {
            auto current = weak.lock();
            if (!current || *current != generation) return;
            if (!copiedText_) return;
            copiedText_.reset();
            published();
        });
    }
    if (changed) published();
}

std::shared_ptr<GuidePanel> GuidePanel::create(std::string title, std::function<GuideSnapshot()> read,
                                               std::function<void(const GuideAction&)> perform, Executor* main) {
    auto panel =
        std::shared_ptr<GuidePanel>(new GuidePanel(std::move(title), std::move(read), std::move(perform), main));
    std::weak_ptr<GuidePanel> weak = panel;
    panel->state_.setClose([weak] {
        auto p = weak.lock();
        if (p && p->window_) p->window_->performClose();
    });
    return panel;
}

GuidePanel::GuidePanel(std::string title, std::function<GuideSnapshot()> read,
                       std::function<void(const GuideAction&)> perform, Executor* main)
    : title_(std::move(title)), read_(std::move(read)), main_(main), state_(read_(), std::move(perform), main) {}

void GuidePanel::attach(GuideWindow* window) { window_ = window; }

void GuidePanel::show() {
    const bool wasVisible = window_ && window_->isVisible();
    if (!wasVisible) state_.setAdvancedOpen(false);
    refresh();
    if (!timerRunning() && main_) {
        timerGeneration_ = nextGeneration_++;
        scheduleTick(timerGeneration_);
    }
    observing_ = true;
    if (!window_) return;
    if (!wasVisible) window_->centre();
    window_->bringToFront();
}

void GuidePanel::scheduleTick(std::uint64_t generation) {
    std::weak_ptr<GuidePanel> weak = weak_from_this();
    main_->postAfter(refreshMillis, [weak, generation] {
        auto panel = weak.lock();
        if (!panel || panel->timerGeneration_ != generation) return;
        panel->refresh();
        if (panel->timerGeneration_ == generation) panel->scheduleTick(generation);
    });
}

void GuidePanel::refresh() {
    GuideSnapshot fresh = read_();
    state_.setSnapshot(fresh);
    if (onRefresh) onRefresh(fresh);
}

void GuidePanel::close() {
    if (window_)
        window_->closeNow();
    else
        windowWillClose();
}

void GuidePanel::windowWillClose() {
    if (onClose) onClose();
    timerGeneration_ = 0;
    observing_ = false;
}

void GuidePanel::applicationActivated() {
    if (observing_) refresh();
}

bool closesGuideWindow(const GuideKey& key) {
    if (key.escape) return true;
    if (!key.control || key.shift || key.alt || key.meta || key.capsLock) return false;
    std::string lowered = key.text;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered == "w";
}

}  // namespace morvane
