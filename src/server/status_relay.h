// The host's status as the controlling session sees it: once a second the
// status provider and the screen source are read on the main queue, and a
// "status" message goes to the session only when something changed. Every
// answer is judged on the server queue after the hop back; an answer for a
// session that has gone is dropped.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/executor.h"
#include "core/frame_source.h"
#include "core/types.h"
#include "server/session_link.h"

namespace morvane {

class StatusRelay : public std::enable_shared_from_this<StatusRelay> {
public:
    // `queue` is the server queue, `main` the main queue; both and the
    // source outlive the relay. `status` is asked on the main queue.
    static std::shared_ptr<StatusRelay> create(Executor& queue, Executor& main, FrameSource& frames,
                                               std::function<HostStatus()> status);
    StatusRelay(Executor& queue, Executor& main, FrameSource& frames, std::function<HostStatus()> status);

    // Server queue: every reading for the current session, changed or not
    // (the display effects follow the lock and the capture through it).
    void setOnReading(std::function<void(bool locked, const std::string& capture)> handler) {
        onReading_ = std::move(handler);
    }

    // Server queue from here on. A new session (or none) hears the next
    // reading whatever the last one said.
    void attach(std::shared_ptr<SessionLink> link);
    void detach() { attach(nullptr); }
    void poll();
    // Whether the capture reported "ok" in the last status the session got.
    bool captureOK() const;

private:
    void heard(const std::shared_ptr<SessionLink>& target, const HostStatus& host, const std::string& capture);

    Executor& queue_;
    Executor& main_;
    FrameSource& frames_;
    std::function<HostStatus()> status_;
    std::function<void(bool, const std::string&)> onReading_;
    std::shared_ptr<SessionLink> link_;
    std::optional<std::pair<HostStatus, std::string>> last_;
};

}  // namespace morvane
