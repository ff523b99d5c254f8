#include "core/program_pace.h"

#include <algorithm>

namespace morvane {

bool ProgramPace::due(std::int64_t nowMillis) const {
    return restMillis == 0 || nowMillis < restFrom || nowMillis - restFrom >= restMillis;
}

void ProgramPace::answered() { *this = ProgramPace{}; }

void ProgramPace::failed(int how, std::int64_t nowMillis) {
    if (failures == 0 || how != way) {
        *this = ProgramPace{};
        way = how;
    }
    ++failures;
    if (failures < failuresBeforeRest) return;
    restMillis = restMillis == 0 ? firstRestMillis : std::min(restMillis * 2, longestRestMillis);
    restFrom = nowMillis;
}

std::string ProgramPaces::key(const std::vector<std::string>& argv) {
    std::string joined;
    for (const auto& arg : argv) (joined += arg) += '\0';
    return joined;
}

bool ProgramPaces::due(const std::vector<std::string>& argv) {
    const auto now = clock_();
    std::lock_guard guard(lock_);
    const auto found = paces_.find(key(argv));
    return found == paces_.end() || found->second.due(now);
}

void ProgramPaces::record(const std::vector<std::string>& argv, std::optional<int> failure) {
    const auto now = clock_();
    std::lock_guard guard(lock_);
    auto& pace = paces_[key(argv)];
    if (failure)
        pace.failed(*failure, now);
    else
        pace.answered();
}

}  // namespace morvane
