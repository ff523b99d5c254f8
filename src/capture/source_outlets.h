// Where the screen source's halves send what they have to say: the user's
// observer, the report line sink and the exclusion-lost signal. The user sets
// them on its own thread while the control queue, the encode queue and the
// stream's thread read them, so each is read or replaced under a lock and
// called after the lock is released.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/frame_source.h"

namespace morvane {

class SourceOutlets {
public:
    using Report = std::function<void(const std::string&)>;

    std::shared_ptr<FrameObserver> observer() const {
        std::lock_guard l(m_);
        return observer_.lock();
    }
    void setObserver(const std::shared_ptr<FrameObserver>& observer) {
        std::lock_guard l(m_);
        observer_ = observer;
    }
    Report reporter() const {
        std::lock_guard l(m_);
        return reporter_;
    }
    void setReporter(Report reporter) {
        std::lock_guard l(m_);
        reporter_ = std::move(reporter);
    }
    void report(const std::string& text) const {
        if (auto r = reporter()) r(text);
    }
    FrameSource::Signal exclusionLost() const {
        std::lock_guard l(m_);
        return exclusionLost_;
    }
    void setExclusionLost(FrameSource::Signal handler) {
        std::lock_guard l(m_);
        exclusionLost_ = std::move(handler);
    }

private:
    mutable std::mutex m_;
    std::weak_ptr<FrameObserver> observer_;
    Report reporter_;
    FrameSource::Signal exclusionLost_;
};

}  // namespace morvane
