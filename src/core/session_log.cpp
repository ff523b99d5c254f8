#include "core/session_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "core/paths.h"

namespace morvane {

namespace {

// The bytes written before the first failure.
std::size_t writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    return done;
}

}  // namespace

SessionLog::SessionLog(std::filesystem::path fileURL, Executor& queue, std::int64_t maxBytes, WallClock clock,
                       int fallbackFd)
    : fileURL_(std::move(fileURL)),
      maxBytes_(maxBytes < minimumMaxBytes ? minimumMaxBytes : maxBytes),
      clock_(clock ? std::move(clock) : WallClock(systemWallMillis)),
      fallbackFd_(fallbackFd),
      queue_(queue) {}

SessionLog::~SessionLog() { queue_.drain(); }

void SessionLog::write(std::string_view tag, std::string_view text) {
    auto at = clock_();
    queue_.post([this, tag = std::string(tag), text = std::string(text), at] { append(tag, text, at); });
}

void SessionLog::flush() { queue_.drain(); }

std::string SessionLog::clean(std::string_view text, int limit) {
    std::string out;
    if (text.empty() || limit <= 0) return out;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::int32_t i = 0;
    int taken = 0;
    while (i < length && taken < limit) {
        std::int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        ++taken;
        if (c < 0) {  // ill-formed: no scalar to keep
            out += ' ';
            continue;
        }
        switch (u_charType(c)) {
            case U_LINE_SEPARATOR:
            case U_PARAGRAPH_SEPARATOR:
            case U_CONTROL_CHAR:
            case U_FORMAT_CHAR:
            case U_SURROGATE:
            case U_PRIVATE_USE_CHAR:
            case U_UNASSIGNED:
                out += ' ';
                break;
            default:
                out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        }
    }
    return out;
}

std::vector<std::string_view> SessionLog::characters(std::string_view cleaned) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < cleaned.size();) {
        const auto lead = static_cast<unsigned char>(cleaned[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
        out.push_back(cleaned.substr(i, std::min(length, cleaned.size() - i)));
        i += length;
    }
    return out;
}

std::string SessionLog::joined(const std::vector<std::string_view>& chars, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) out += chars[i];
    return out;
}

std::string SessionLog::fit(std::string_view text, int limit) {
    // A scalar takes a byte at least: short texts need no counting.
    if (limit <= 0 || text.size() <= static_cast<std::size_t>(limit)) return clean(text, limit);
    constexpr std::size_t half = 32 * 1024;
    std::string bounded;
    if (text.size() > 2 * half) {
        bounded.append(text.substr(0, half)).append(" ").append(text.substr(text.size() - half));
        text = bounded;
    }
    const std::string cleaned = clean(text, static_cast<int>(text.size()));
    const auto chars = characters(cleaned);
    const auto max = static_cast<std::size_t>(limit);
    if (chars.size() <= max) return cleaned;
    const std::string ellipsis = "\u2026";
    const std::size_t need = chars.size() - max;
    std::vector<std::pair<std::size_t, std::size_t>> words;  // [start, end)
    for (std::size_t i = 0, start = 0; i <= chars.size(); ++i) {
        if (i < chars.size() && chars[i] != " ") continue;
        if (i > start) words.emplace_back(start, i);
        start = i + 1;
    }
    // Every word longer than `cap` is cut to `cap` characters, its "…"
    // included: the longest give way first and alike, and each keeps enough
    // of both ends to be recognised (a path its beginning and its file).
    const auto saved = [&](std::size_t cap) {
        std::size_t total = 0;
        for (const auto& [from, to] : words) total += to - from > cap ? to - from - cap : 0;
        return total;
    };
    constexpr std::size_t shortest = 17;
    std::size_t longest = 0;
    for (const auto& [from, to] : words) longest = std::max(longest, to - from);
    if (longest > shortest && saved(shortest) >= need) {
        std::size_t enough = shortest, tooMuch = longest;  // saved(enough) >= need > saved(tooMuch)
        while (enough + 1 < tooMuch) {
            const std::size_t mid = enough + (tooMuch - enough) / 2;
            (saved(mid) >= need ? enough : tooMuch) = mid;
        }
        std::string out;
        std::size_t at = 0;
        for (const auto& [from, to] : words) {
            if (to - from <= enough) continue;
            const std::size_t head = (enough - 1) / 2, tail = enough - 1 - head;
            out += joined(chars, at, from + head) + ellipsis;
            at = to - tail;
        }
        return out + joined(chars, at, chars.size());
    }
    if (max < 2) return joined(chars, 0, max);
    const std::size_t head = max / 3;
    return joined(chars, 0, head) + ellipsis + joined(chars, chars.size() - (max - head - 1), chars.size());
}

std::string SessionLog::timestamp(std::int64_t wallMillis) {
    std::int64_t seconds = wallMillis / 1000;
    std::int64_t millis = wallMillis % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
    return buffer;
}

void SessionLog::append(const std::string& tag, const std::string& text, std::int64_t atMillis) {
    expectOn(queue_, "SessionLog::append");
    std::string line = timestamp(atMillis);
    line += "  ";
    line += clean(tag, tagLimit);
    line += "  ";
    line += fit(text, textLimit);
    line += '\n';
    if (appendToFile(line)) return;
    // The owner still gets every line (a revocation that will not hold, say)
    // where the folder takes none. One write: a line shorter than a pipe's
    // atomic size is never mixed with another writer's.
    writeAll(fallbackFd_, line);
}

bool SessionLog::appendToFile(const std::string& line) {
    createFolders(fileURL_.parent_path(), 0700);

    const auto n = static_cast<std::int64_t>(line.size());
    struct stat st {};
    if (::lstat(fileURL_.c_str(), &st) == 0 && static_cast<std::int64_t>(st.st_size) + n > maxBytes_) {
        auto older = fileURL_;
        older += ".1";
        if (::rename(fileURL_.c_str(), older.c_str()) != 0) ::unlink(fileURL_.c_str());
    }

    // No-follow so a link planted at the path is never written through;
    // non-blocking so a FIFO planted there can't stall the queue; and only a
    // regular file is written.
    int fd = ::open(fileURL_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    ::fchmod(fd, 0600);
    const std::size_t done = writeAll(fd, line);
    // A disk that filled mid-line keeps the part written: taken back, so
    // the next line starts a line of its own.
    if (done > 0 && done < line.size()) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, st.st_size);
    }
    ::close(fd);
    return done == line.size();
}

}  // namespace morvane
