#include "relay_service/relay_log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "core/interval_limiter.h"

namespace morvane::relay_service {

std::optional<std::int64_t> ThrottledLine::due(std::int64_t nowMillis, std::int64_t events) {
    folded_ += events;
    // A clock stepped back is no reason to keep quiet longer.
    if (!allowSpaced(saidAt_, every_, nowMillis)) return std::nullopt;
    return std::exchange(folded_, 0);
}

void ThrottledLine::say(const RelayLog& log, Severity severity, const std::string& line, std::int64_t nowMillis) {
    const auto since = saidAt_;
    const auto events = due(nowMillis);
    if (!events) return;
    if (*events == 1 || !since) return log.write(severity, line);
    const auto seconds = std::max<std::int64_t>(1, (nowMillis - *since + 500) / 1000);
    log.write(severity, line + " (and " + std::to_string(*events - 1) + " more like it in the last " +
                            std::to_string(seconds) + " s)");
}

std::string durationText(std::int64_t millis) {
    return millis % 1000 == 0 ? std::to_string(millis / 1000) + " s" : std::to_string(millis) + " ms";
}

std::string logLine(Severity severity, std::string_view line, bool journal, std::int64_t wallMillis) {
    if (journal) return "<" + std::to_string(static_cast<int>(severity)) + ">" + std::string(line);
    const std::time_t seconds = static_cast<std::time_t>(wallMillis / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(wallMillis % 1000));
    return std::string(stamp) + millis + "  " + std::string(line);
}

bool stderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) return false;
    struct stat info {};
    if (::fstat(2, &info) != 0) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    return device == static_cast<unsigned long long>(info.st_dev) && inode == static_cast<unsigned long long>(info.st_ino);
}

}  // namespace morvane::relay_service
