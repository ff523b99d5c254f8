#include "core/session_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// "2026-03-01T09:15:02.417Z" into `out` (24 bytes), with no call that may
// take a lock (gmtime_r takes the time zone's): a signal handler uses it.
constexpr std::size_t timestampBytes = 24;
void formatTimestamp(std::int64_t wallMillis, char* out) {
    std::int64_t seconds = wallMillis / 1000, millis = wallMillis % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    std::int64_t days = seconds / 86'400, daySeconds = seconds % 86'400;
    if (daySeconds < 0) {
        daySeconds += 86'400;
        days -= 1;
    }
    // Days since 1970-01-01 to a civil date (proleptic Gregorian).
    days += 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const std::int64_t dayOfEra = days - era * 146'097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const std::int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const auto put = [&out](std::size_t at, std::int64_t value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) out[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(0, year, 4);
    out[4] = '-';
    put(5, month, 2);
    out[7] = '-';
    put(8, day, 2);
    out[10] = 'T';
    put(11, daySeconds / 3600, 2);
    out[13] = ':';
    put(14, daySeconds / 60 % 60, 2);
    out[16] = ':';
    put(17, daySeconds % 60, 2);
    out[19] = '.';
    put(20, millis, 3);
    out[23] = 'Z';
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
    std::lock_guard lock(posting_);
    const bool toFile = !ended_;
    const bool last = toFile && lastLine_ && lastLine_->first == tag && lastLine_->second == text;
    if (last) ended_ = true;
    queue_.post([this, tag = std::string(tag), text = std::string(text), at, toFile, last] {
        append(tag, text, at, toFile);
        if (last) sealed_ = true;
    });
}

void SessionLog::flush() { queue_.drain(); }

void SessionLog::endWith(std::string tag, std::string text) {
    std::lock_guard lock(posting_);
    lastTagAndText_ = "  " + clean(tag, tagLimit) + "  " + fit(text, textLimit) + "\n";
    lastLine_.emplace(std::move(tag), std::move(text));
}

void SessionLog::endNow() {
    if (sealed_.exchange(true) || lastTagAndText_.empty()) return;
    char line[timestampBytes + 2 + tagLimit * 4 + 2 + textLimit * 4 + 1];
    formatTimestamp(clock_(), line);
    const std::size_t length = std::min(lastTagAndText_.size(), sizeof line - timestampBytes);
    std::memcpy(line + timestampBytes, lastTagAndText_.data(), length);
    const int fd = ::open(fileURL_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        [[maybe_unused]] const auto written = ::write(fd, line, timestampBytes + length);
    }
    if (fd >= 0) ::close(fd);
}

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
    char buffer[timestampBytes];
    formatTimestamp(wallMillis, buffer);
    return std::string(buffer, timestampBytes);
}

void SessionLog::append(const std::string& tag, const std::string& text, std::int64_t atMillis, bool toFile) {
    expectOn(queue_, "SessionLog::append");
    std::string line = timestamp(atMillis);
    line += "  ";
    line += clean(tag, tagLimit);
    line += "  ";
    line += fit(text, textLimit);
    line += '\n';
    if (toFile && !sealed_.load() && appendToFile(line)) return;
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
