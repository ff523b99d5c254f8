#include "relay_service/relay_log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace morvane::relay_service {

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
