#include "app/session_history.h"

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>
#include <variant>
#include <nlohmann/json.hpp>

#include "core/bounded_json.h"
#include "core/session_log.h"

namespace morvane {

namespace {

std::unique_ptr<icu::TimeZone> zoneOf(const HistoryCalendar& calendar) {
    if (calendar.timeZone.empty()) return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault());
    return std::unique_ptr<icu::TimeZone>(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(calendar.timeZone)));
}

icu::Locale localeOf(const HistoryCalendar& calendar) {
    if (calendar.locale.empty()) return icu::Locale::getDefault();
    return icu::Locale(calendar.locale.c_str());
}

std::string format(std::int64_t wallMillis, const char* pattern, const HistoryCalendar& calendar) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat formatter(icu::UnicodeString(pattern), localeOf(calendar), status);
    if (U_FAILURE(status)) return {};
    formatter.adoptTimeZone(zoneOf(calendar).release());
    icu::UnicodeString out;
    formatter.format(static_cast<UDate>(wallMillis), out);
    std::string text;
    out.toUTF8String(text);
    return text;
}

// The local day number of a date in the calendar's time zone.
std::optional<std::int32_t> dayNumber(std::int64_t wallMillis, const HistoryCalendar& calendar) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> cal(icu::Calendar::createInstance(zoneOf(calendar).release(), status));
    if (U_FAILURE(status)) return std::nullopt;
    cal->setTime(static_cast<UDate>(wallMillis), status);
    const std::int32_t day = cal->get(UCAL_JULIAN_DAY, status);
    if (U_FAILURE(status)) return std::nullopt;
    return day;
}

std::string trimBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The records, or why the text holds none.
std::variant<std::vector<SessionRecord>, std::string> read(const std::string& json) {
    const std::string notAList = "not a list of sessions";
    auto bounded = BoundedJson::parse(json, BoundedJson::storedFileDepth);
    if (const auto* problem = std::get_if<BoundedJson::Problem>(&bounded))
        return BoundedJson::describe(*problem, BoundedJson::storedFileDepth);
    const auto& parsed = std::get<nlohmann::json>(bounded);
    if (!parsed.is_array()) return notAList;
    std::vector<SessionRecord> records;
    for (const auto& item : parsed) {
        if (!item.is_object()) return notAList;
        const auto text = [&](const char* key) -> const nlohmann::json* {
            const auto it = item.find(key);
            return it != item.end() && it->is_string() ? &*it : nullptr;
        };
        const auto* deviceID = text("deviceID");
        const auto* name = text("name");
        const auto* route = text("route");
        const auto* start = text("start");
        const auto takenOver = item.find("takenOver");
        if (!deviceID || !name || !route || !start || takenOver == item.end() || !takenOver->is_boolean())
            return notAList;
        SessionRecord record;
        record.deviceID = deviceID->get<std::string>();
        record.name = name->get<std::string>();
        record.route = route->get<std::string>();
        record.takenOver = takenOver->get<bool>();
        const auto startDate = morvane::parseIsoDate(start->get<std::string>());
        if (!startDate) return notAList;
        record.start = *startDate;
        if (const auto endIt = item.find("end"); endIt != item.end()) {
            if (!endIt->is_string()) return notAList;
            const auto endDate = morvane::parseIsoDate(endIt->get<std::string>());
            if (!endDate) return notAList;
            record.end = *endDate;
        }
        records.push_back(std::move(record));
    }
    if (records.size() > SessionHistory::maxRecords) records.resize(SessionHistory::maxRecords);
    return records;
}

}  // namespace

std::string SessionHistory::isoDate(std::int64_t wallMillis) { return morvane::isoDate(wallMillis); }

std::optional<std::int64_t> SessionHistory::parseIsoDate(const std::string& text) { return morvane::parseIsoDate(text); }

SessionHistory::SessionHistory(std::optional<std::string> stored, std::optional<std::int64_t> seen, Save save,
                               SaveSeen saveSeen, WallClock clock)
    : seen_(seen), save_(std::move(save)), saveSeen_(std::move(saveSeen)), clock_(std::move(clock)) {
    if (stored) {
        auto records = read(*stored);
        if (auto* kept = std::get_if<std::vector<SessionRecord>>(&records))
            records_ = std::move(*kept);
        else
            storedProblem_ = std::get<std::string>(records);
    }
}

std::optional<std::vector<SessionRecord>> SessionHistory::decode(const std::string& json) {
    auto records = read(json);
    if (auto* kept = std::get_if<std::vector<SessionRecord>>(&records)) return std::move(*kept);
    return std::nullopt;
}

std::string SessionHistory::encode(const std::vector<SessionRecord>& records) {
    try {
        auto list = nlohmann::json::array();
        for (const auto& r : records) {
            nlohmann::json item = nlohmann::json::object();
            item["deviceID"] = r.deviceID;
            if (r.end) item["end"] = isoDate(*r.end);
            item["name"] = r.name;
            item["route"] = r.route;
            item["start"] = isoDate(r.start);
            item["takenOver"] = r.takenOver;
            list.push_back(std::move(item));
        }
        return list.dump();
    } catch (const nlohmann::json::exception&) {
        return "[]";
    }
}

void SessionHistory::persist() {
    if (save_) save_(encode(records_));
}

SessionHistory::StartResult SessionHistory::started(const std::string& deviceID, const std::string& name,
                                                    const std::string& route) {
    const std::int64_t now = clock_();
    const std::string cleaned = SessionLog::clean(name, nameLimit);
    const auto it = std::find_if(records_.begin(), records_.end(),
                                 [&](const SessionRecord& r) { return r.deviceID == deviceID; });
    if (it != records_.end() && it->route == route && it->end && now - *it->end >= 0 &&
        now - *it->end < mergeMillis) {
        SessionRecord record = *it;
        records_.erase(it);
        record.end.reset();
        record.takenOver = false;
        record.name = cleaned;
        records_.insert(records_.begin(), record);
        running_ = true;
        persist();
        return {record, true};
    }
    SessionRecord record{deviceID, cleaned, now, std::nullopt, route, false};
    records_.insert(records_.begin(), record);
    if (records_.size() > maxRecords) records_.resize(maxRecords);
    running_ = true;
    persist();
    return {record, false};
}

std::optional<SessionRecord> SessionHistory::ended(const std::string& deviceID, bool takenOver) {
    if (!running_ || records_.empty() || records_.front().deviceID != deviceID || records_.front().end)
        return std::nullopt;
    records_.front().end = clock_();
    records_.front().takenOver = takenOver;
    running_ = false;
    persist();
    return records_.front();
}

void SessionHistory::closeRunning() {
    if (running_ && !records_.empty()) ended(records_.front().deviceID, false);
}

void SessionHistory::markSeen() {
    seen_ = clock_();
    if (saveSeen_) saveSeen_(*seen_);
}

bool SessionHistory::isNew(const SessionRecord& record) const { return !seen_ || record.start > *seen_; }

SessionHistory::MenuLines SessionHistory::menuLines(bool connected, const HistoryCalendar& calendar,
                                                    const Tag& tag) const {
    const std::int64_t now = clock_();
    MenuLines out;
    const std::size_t from = connected && running_ ? 1 : 0;
    if (records_.size() <= from) return out;
    const auto tagOf = [&](const SessionRecord& r) { return tag ? tag(r) : std::nullopt; };
    const SessionRecord& first = records_[from];
    const std::string prefix = connected ? "Before this" : (isNew(first) ? "New" : "Last connected");
    out.line = line(first, now, calendar, tagOf(first), prefix);
    for (std::size_t i = from + 1; i < records_.size() && i <= from + 4; ++i) {
        const SessionRecord& r = records_[i];
        if (isNew(r))
            out.alsoNew.push_back(line(r, now, calendar, tagOf(r), std::string("New")));
        else
            out.earlier.push_back(line(r, now, calendar, tagOf(r), std::nullopt));
    }
    return out;
}

std::string SessionHistory::line(const SessionRecord& record, std::int64_t now, const HistoryCalendar& calendar,
                                 const std::optional<std::string>& tag, const std::optional<std::string>& prefix) {
    std::string name = trimBlanks(record.name);
    if (name.empty()) name = "Unnamed device";
    if (tag && !tag->empty()) name += " (" + *tag + ")";
    std::string text;
    if (prefix) text = *prefix + ": ";
    text += name + ", " + when(record.start, now, calendar);
    if (record.end)
        text += ", " + length(static_cast<double>(*record.end - record.start) / 1000.0);
    else
        text += ", length unknown";
    if (record.route == "relay") text += ", over the relay";
    return text;
}

std::string SessionHistory::when(std::int64_t date, std::int64_t now, const HistoryCalendar& calendar) {
    const std::string time = format(date, "HH:mm", calendar);
    const auto dayOfDate = dayNumber(date, calendar);
    const auto dayOfNow = dayNumber(now, calendar);
    const std::optional<std::int32_t> days =
        dayOfDate && dayOfNow ? std::optional<std::int32_t>(*dayOfNow - *dayOfDate) : std::nullopt;
    if (!days || *days == 0) return "today " + time;
    if (*days == 1) return "yesterday " + time;
    return format(date, "d MMM", calendar) + " " + time;
}

std::string SessionHistory::length(double seconds) {
    const std::int64_t s = seconds > 0 ? static_cast<std::int64_t>(seconds) : 0;
    if (s < 60) return "under 1 min";
    const std::int64_t m = s / 60;
    if (s < 3600) return std::to_string(m) + " min";
    const std::int64_t h = m / 60, r = m % 60;
    if (r == 0) return std::to_string(h) + " h";
    return std::to_string(h) + " h " + std::to_string(r) + " min";
}

std::string SessionHistory::pairedTag(std::int64_t date, const HistoryCalendar& calendar) {
    return "paired " + format(date, "d MMM", calendar);
}

}  // namespace morvane
