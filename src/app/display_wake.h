// Keeps the display awake while a device controls the machine, and wakes a
// display that already slept. The platform work sits behind a small backend
// so the holding rules can be tested without a display.
#pragma once

#include <memory>
#include <string>

namespace morvane {

class DisplayWakeBackend {
public:
    virtual ~DisplayWakeBackend() = default;
    // Counts as user activity: a sleeping or blanked display wakes.
    virtual void declareActivity(const std::string& reason) = 0;
    virtual void endActivity() {}
    // Stops the display from sleeping for idleness; false when it can't.
    virtual bool inhibit(const std::string& reason) = 0;
    virtual void uninhibit() = 0;
};

class DisplayWake {
public:
    static constexpr const char* reason = "Morvane: a paired device is controlling this computer";

    explicit DisplayWake(std::unique_ptr<DisplayWakeBackend> backend);
    ~DisplayWake();  // releases what is held
    DisplayWake(const DisplayWake&) = delete;
    DisplayWake& operator=(const DisplayWake&) = delete;

    // Declares activity on every call; takes the inhibition unless held.
    // True when it is held on return.
    bool hold(const std::string& why);
    void release();
    bool held() const { return held_; }

private:
    std::unique_ptr<DisplayWakeBackend> backend_;
    bool activity_ = false;
    bool held_ = false;
};

}  // namespace morvane
