// The host's one log file: short lines of time, tag and sentence, written on
// the queue the log is given, so a caller never waits for the disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"

namespace morvane {

class SessionLog {
public:
    static constexpr std::int64_t defaultMaxBytes = 1'048'576;
    static constexpr std::int64_t minimumMaxBytes = 1024;
    static constexpr int tagLimit = 16;
    static constexpr int textLimit = 300;

    // Touches no file. Lines are appended on `queue`. `maxBytes` is raised
    // to at least 1024. The clock is read once per `write`. A line that
    // cannot be appended whole to the file (a read-only or full folder, no
    // regular file at the path) goes to `fallbackFd` instead, whole, in one
    // write: standard error, which the journal keeps under systemd.
    SessionLog(std::filesystem::path fileURL, Executor& queue, std::int64_t maxBytes = defaultMaxBytes,
               WallClock clock = systemWallMillis, int fallbackFd = 2);
    // Appends every line written before it.
    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    const std::filesystem::path& fileURL() const { return fileURL_; }
    std::int64_t maxBytes() const { return maxBytes_; }

    // Callable from any thread; takes the time now and queues the line.
    void write(std::string_view tag, std::string_view text);
    // Returns once every line written before the call is in the file. Must
    // not be called from the log's own queue.
    void flush();

    // The line that ends the log ("app", "quit"): once it is written, by
    // whichever thread, every later line goes to `fallbackFd` instead, so
    // that the file's last line is that one whatever else still speaks.
    void endWith(std::string tag, std::string text);
    // Async-signal-safe, for a process that ends from a fault handler: the
    // line `endWith` names is appended at once, as is (no rotation), and
    // nothing is appended after it, lines still queued included.
    void endNow();

    // Makes text from outside safe for one line: every control, format,
    // separator, private-use, surrogate or unassigned character (and every
    // ill-formed UTF-8 sequence) becomes one blank, and the result is cut to
    // `limit` Unicode scalars. Nothing is trimmed.
    static std::string clean(std::string_view text, int limit);

    // `clean`, but a text longer than `limit` loses its middle rather than
    // its end, where a line says why: its longest words (paths, as a rule)
    // give up their middles, each cut shown as "…", down to 17 characters
    // each; when that is not enough the text keeps its first third and its
    // end. Texts past 64 KiB keep their first and last 32 KiB before that.
    static std::string fit(std::string_view text, int limit);

    // The characters (code points) of a cleaned text, each as its bytes:
    // what the limits above count. And characters [from, to) joined again.
    static std::vector<std::string_view> characters(std::string_view cleaned);
    static std::string joined(const std::vector<std::string_view>& chars, std::size_t from, std::size_t to);

    // "2026-03-01T09:15:02.417Z" for milliseconds since the Unix epoch.
    static std::string timestamp(std::int64_t wallMillis);

private:
    // On the queue; `toFile` false for a line written after the last.
    void append(const std::string& tag, const std::string& text, std::int64_t atMillis, bool toFile);
    // True when the whole line is in the file; a part written is taken back.
    bool appendToFile(const std::string& line);

    std::filesystem::path fileURL_;
    std::int64_t maxBytes_;
    WallClock clock_;
    int fallbackFd_;
    Executor& queue_;
    // Orders each line against the last one.
    std::mutex posting_;
    std::optional<std::pair<std::string, std::string>> lastLine_;  // under posting_
    bool ended_ = false;                                           // under posting_
    // Made at endWith, read by endNow: nothing to build in a signal handler.
    std::string lastTagAndText_;
    std::atomic<bool> sealed_{false};
};

}  // namespace morvane
