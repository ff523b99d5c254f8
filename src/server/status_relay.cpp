#include "server/status_relay.h"

#include <nlohmann/json.hpp>

namespace morvane {

std::shared_ptr<StatusRelay> StatusRelay::create(Executor& queue, Executor& main, FrameSource& frames,
                                                 std::function<HostStatus()> status) {
    return std::make_shared<StatusRelay>(queue, main, frames, std::move(status));
}

StatusRelay::StatusRelay(Executor& queue, Executor& main, FrameSource& frames, std::function<HostStatus()> status)
    : queue_(queue), main_(main), frames_(frames), status_(std::move(status)) {
    if (!status_) status_ = [] { return HostStatus{}; };
}

void StatusRelay::attach(std::shared_ptr<SessionLink> link) {
    expectOn(queue_, __func__);
    link_ = std::move(link);
    last_.reset();
}

bool StatusRelay::captureOK() const { return last_ && last_->second == "ok"; }

void StatusRelay::poll() {
    expectOn(queue_, __func__);
    if (!link_) return;
    std::weak_ptr<StatusRelay> weak = weak_from_this();
    std::weak_ptr<SessionLink> target = link_;
    main_.post([weak, target] {
        auto self = weak.lock();
        if (!self) return;
        HostStatus host = self->status_();
        std::string capture = self->frames_.state();
        self->queue_.post([weak, target, host, capture] {
            auto s = weak.lock();
            auto t = target.lock();
            if (s && t) s->heard(t, host, capture);
        });
    });
}

void StatusRelay::heard(const std::shared_ptr<SessionLink>& target, const HostStatus& host,
                        const std::string& capture) {
    if (target != link_) return;
    if (onReading_) onReading_(host.locked, capture);
    if (target != link_) return;  // the reading ended the session
    auto fresh = std::make_pair(host, capture);
    if (last_ == fresh) return;
    last_ = fresh;
    link_->sendJSON({{"t", "status"},
                     {"capture", capture},
                     {"input", host.input},
                     {"locked", host.locked},
                     {"sleepDisabled", host.sleepDisabled},
                     {"lidClosed", host.lidClosed}});
}

}  // namespace morvane
