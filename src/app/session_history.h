// The last few sessions of controlling devices, kept as a small JSON list in
// the settings, and the lines the menu shows for them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"

namespace morvane {

// Dates are wall-clock milliseconds since the Unix epoch; they are stored in
// whole seconds.
struct SessionRecord {
    std::string deviceID;
    std::string name;
    std::int64_t start = 0;
    std::optional<std::int64_t> end;
    std::string route;  // "local", "tailnet" or "relay"
    bool takenOver = false;
    bool operator==(const SessionRecord&) const = default;
};

// The calendar used to tell days apart and the locale of month names.
// Empty fields mean the process's own time zone and locale.
struct HistoryCalendar {
    std::string timeZone;
    std::string locale;
};

class SessionHistory {
public:
    static constexpr std::size_t maxRecords = 5;
    static constexpr std::int64_t mergeMillis = 60'000;
    static constexpr int nameLimit = 40;

    using Save = std::function<void(const std::string& json)>;
    using SaveSeen = std::function<void(std::int64_t wallMillis)>;

    SessionHistory(std::optional<std::string> stored, std::optional<std::int64_t> seen, Save save, SaveSeen saveSeen,
                   WallClock clock);

    static std::optional<std::vector<SessionRecord>> decode(const std::string& json);
    // Why the stored history given at construction was not used (it starts
    // empty then); absent when it was used or none was given.
    const std::optional<std::string>& storedProblem() const { return storedProblem_; }
    static std::string encode(const std::vector<SessionRecord>& records);

    struct StartResult {
        SessionRecord record;
        bool merged = false;
    };
    StartResult started(const std::string& deviceID, const std::string& name, const std::string& route);
    std::optional<SessionRecord> ended(const std::string& deviceID, bool takenOver);
    void closeRunning();
    void markSeen();
    bool isNew(const SessionRecord& record) const;

    struct MenuLines {
        std::optional<std::string> line;
        std::vector<std::string> alsoNew;
        std::vector<std::string> earlier;
    };
    using Tag = std::function<std::optional<std::string>(const SessionRecord&)>;
    MenuLines menuLines(bool connected, const HistoryCalendar& calendar = {}, const Tag& tag = {}) const;

    static std::string line(const SessionRecord& record, std::int64_t now, const HistoryCalendar& calendar,
                            const std::optional<std::string>& tag, const std::optional<std::string>& prefix);
    static std::string when(std::int64_t date, std::int64_t now, const HistoryCalendar& calendar);
    static std::string length(double seconds);
    static std::string pairedTag(std::int64_t date, const HistoryCalendar& calendar);

    // Whole-second UTC form, e.g. 2026-03-01T10:02:40Z, and its strict reader.
    static std::string isoDate(std::int64_t wallMillis);
    static std::optional<std::int64_t> parseIsoDate(const std::string& text);

    const std::vector<SessionRecord>& records() const { return records_; }
    std::optional<std::int64_t> seen() const { return seen_; }
    bool running() const { return running_; }

private:
    void persist();

    std::vector<SessionRecord> records_;
    std::optional<std::string> storedProblem_;
    std::optional<std::int64_t> seen_;
    bool running_ = false;
    Save save_;
    SaveSeen saveSeen_;
    WallClock clock_;
};

}  // namespace morvane
