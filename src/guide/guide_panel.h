// One guide window's owner, without the widgets: the panel reads a snapshot
// of the application through `read`, keeps it in a GuideState and publishes
// it only when it changed, refreshes every second while the window is
// shown and whenever the application becomes active, and hands every press
// back through `perform`. The window itself sits behind GuideWindow, so
// the show, refresh and close rules are tested on a ManualExecutor without
// a display. Main queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/executor.h"
#include "guide/guide_values.h"

namespace morvane {

// What a window's view reads and calls. Only the three published fields
// (snapshot, advancedOpen, copiedText) make the view rebuild.
class GuideState {
public:
    static constexpr std::int64_t copiedMillis = 2000;

    GuideState(GuideSnapshot snapshot, std::function<void(const GuideAction&)> perform, Executor* main)
        : snapshot_(std::move(snapshot)), perform_(std::move(perform)), main_(main) {}

    const GuideSnapshot& snapshot() const { return snapshot_; }
    bool advancedOpen() const { return advancedOpen_; }
    const std::optional<std::string>& copiedText() const { return copiedText_; }

    void setSnapshot(GuideSnapshot snapshot);
    void setAdvancedOpen(bool open);
    // The copied mark stays until 2 seconds after the last copy.
    void markCopied(const std::string& text);

    void perform(const GuideAction& action) const {
        if (perform_) perform_(action);
    }
    void close() const {
        if (close_) close_();
    }
    void setClose(std::function<void()> close) { close_ = std::move(close); }

    // Called after a published field changed.
    std::function<void()> onPublish;

private:
    void published() const {
        if (onPublish) onPublish();
    }

    GuideSnapshot snapshot_;
    bool advancedOpen_ = false;
    std::optional<std::string> copiedText_;
    std::function<void(const GuideAction&)> perform_;
    std::function<void()> close_;
    Executor* main_;
    std::shared_ptr<std::uint64_t> copiedGeneration_ = std::make_shared<std::uint64_t>(0);
};

// The platform window a panel drives. closeNow() closes it at once and must
// end in the panel's windowWillClose(), as every other road of closing does.
class GuideWindow {
public:
    virtual ~GuideWindow() = default;
    virtual bool isVisible() const = 0;
    virtual void centre() = 0;
    // Activates the application and makes the window key and frontmost.
    virtual void bringToFront() = 0;
    virtual void closeNow() = 0;
    // The same road as the window's close button.
    virtual void performClose() = 0;
};

class GuidePanel : public std::enable_shared_from_this<GuidePanel> {
public:
    static constexpr std::int64_t refreshMillis = 1000;

    static std::shared_ptr<GuidePanel> create(std::string title, std::function<GuideSnapshot()> read,
                                              std::function<void(const GuideAction&)> perform, Executor* main);
    GuidePanel(const GuidePanel&) = delete;
    GuidePanel& operator=(const GuidePanel&) = delete;

    // The window, once the widget layer made it for this panel.
    void attach(GuideWindow* window);

    const std::string& title() const { return title_; }
    GuideState& state() { return state_; }

    void show();
    void refresh();
    void close();
    // Every road of closing ends here.
    void windowWillClose();
    // The application became active.
    void applicationActivated();

    bool timerRunning() const { return timerGeneration_ != 0; }
    bool observing() const { return observing_; }

    std::function<void(const GuideSnapshot&)> onRefresh;
    std::function<void()> onClose;

private:
    GuidePanel(std::string title, std::function<GuideSnapshot()> read, std::function<void(const GuideAction&)> perform,
               Executor* main);
    void scheduleTick(std::uint64_t generation);

    std::string title_;
    std::function<GuideSnapshot()> read_;
    Executor* main_;
    GuideState state_;
    GuideWindow* window_ = nullptr;
    std::uint64_t timerGeneration_ = 0;  // 0: no timer
    std::uint64_t nextGeneration_ = 1;
    bool observing_ = false;
};

// Keys that close a guide window besides its buttons: Escape, and Ctrl+W
// with no other modifier.
struct GuideKey {
    bool escape = false;
    bool control = false;
    bool shift = false;
    bool alt = false;
    bool meta = false;
    bool capsLock = false;
    std::string text;  // the key's characters, ignoring modifiers
};
bool closesGuideWindow(const GuideKey& key);

}  // namespace morvane
