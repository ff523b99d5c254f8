// The relay's log: one line an event, on standard error. Each line carries
// a severity: under systemd, journald reads it from a "<3>", "<4>" or "<6>"
// in front (error, warning, information); in a terminal the line begins
// with the time instead, which journald would otherwise add.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace morvane::relay_service {

enum class Severity { error = 3, warning = 4, info = 6 };

class RelayLog {
public:
    using Sink = std::function<void(Severity, const std::string&)>;
    RelayLog() = default;
    template <class F>
        requires std::is_invocable_v<F&, Severity, const std::string&>
    RelayLog(F sink) : sink_(std::move(sink)) {}
    // A sink that does not care for severities (tests keep the words).
    template <class F>
        requires(std::is_invocable_v<F&, const std::string&> && !std::is_invocable_v<F&, Severity, const std::string&>)
    RelayLog(F plain) : sink_([plain = std::move(plain)](Severity, const std::string& line) mutable { plain(line); }) {}

    // What happens: links, devices, sign-ins, registrations.
    void info(const std::string& line) const { write(Severity::info, line); }
    // Something refused or cut short that a peer caused.
    void warning(const std::string& line) const { write(Severity::warning, line); }
    // Something of the relay's own failed: the store, the mail, the certificate.
    void error(const std::string& line) const { write(Severity::error, line); }
    void write(Severity severity, const std::string& line) const {
        if (sink_) sink_(severity, line);
    }

private:
    Sink sink_;
};

// A kind of line that a flood would otherwise write once an event (a
// refusal, a reset, a connection shed): the first is said at once, and
// then at most one every `everyMillis`, which tells how many events like it
// were folded into it since the line before. One value for each kind of
// line; events folded after the last line are told with the next one.
// Not thread-safe: used on one thread.
class ThrottledLine {
public:
    static constexpr std::int64_t defaultEveryMillis = 10'000;
    explicit ThrottledLine(std::int64_t everyMillis = defaultEveryMillis) : every_(everyMillis) {}

    // Counts `events` at nowMillis. When its line is due: the events the
    // line stands for, these and those folded since the line before.
    std::optional<std::int64_t> due(std::int64_t nowMillis, std::int64_t events = 1);
    // Counts one event and writes `line` when it is due, followed by how
    // many like it were folded into it and over how long.
    void say(const RelayLog& log, Severity severity, const std::string& line, std::int64_t nowMillis);

private:
    std::int64_t every_;
    std::optional<std::int64_t> saidAt_;
    std::int64_t folded_ = 0;
};

// The line as written: "<N>line" for journald, else the local time, two
// blanks and the line.
std::string logLine(Severity severity, std::string_view line, bool journal, std::int64_t wallMillis);

// A span of time as the log says it: "5 s", or "250 ms" when it is not
// whole seconds.
std::string durationText(std::int64_t millis);
// True when standard error is the journal's stream (systemd names it in
// JOURNAL_STREAM as device:inode).
bool stderrIsJournal();

}  // namespace morvane::relay_service
