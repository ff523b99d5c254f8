// The shell's few settings, kept as one JSON object in
// $XDG_CONFIG_HOME/Morvane/settings.json (0600 in a 0700 folder). Every
// change is written to a temporary file and renamed over the old one; a
// write that fails is logged and kept in view (saveFailure, unsaved), never
// passed off as done. A settings.json that is a symbolic link (dotfiles
// kept with stow or home-manager) is read and written where it leads, so
// the link stays a link to the same file. A device node, a FIFO, a socket
// or a folder, at the file's place or where its link leads (/dev/null, a
// program's socket), is left as it is and nothing is written through it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace morvane {

namespace SettingsKeys {
inline constexpr const char* lockOnDisconnect = "lockOnDisconnect";
inline constexpr const char* allowResolutionMatch = "allowResolutionMatch";
inline constexpr const char* paused = "paused";
inline constexpr const char* sessionHistory = "sessionHistory";
inline constexpr const char* sessionHistorySeen = "sessionHistorySeen";
inline constexpr const char* askedForPermissions = "askedForPermissions";
inline constexpr const char* welcomeHidden = "welcomeHidden";
inline constexpr const char* welcomeOffered = "welcomeOffered";
}  // namespace SettingsKeys

namespace SettingsLimits {
// A settings file larger than this is not read (it is kept aside as
// damaged), and settings that would make a larger one are not written.
inline constexpr std::int64_t maxFileBytes = 262'144;
// Damaged files kept aside: "settings.json.damaged", then ".damaged.2" and
// on; past this many the file is left in place (and replaced by the next
// write) rather than filling the folder.
inline constexpr int maxDamagedCopies = 20;
}

class SettingsStore {
public:
    using Log = std::function<void(const std::string& tag, const std::string& text)>;

    // Reads the file once, never blocking. A missing file gives empty
    // settings, and so does what is no regular file (left as it is, one
    // "error" line naming its kind). A file that cannot be used (another
    // user's, oversized, unreadable, not a JSON object, nested
    // deeper than a settings file ever is) gives empty settings too; it is
    // renamed to "settings.json.damaged" beside itself (an earlier damaged
    // copy is kept: the next is numbered) and one "error" line says why.
    // Temporary files that a write killed half way left beside it are
    // removed.
    SettingsStore(std::filesystem::path file, Log log);

    // Why the stored file could not be used at launch, when it could not.
    const std::optional<std::string>& damaged() const { return damaged_; }

    // $XDG_CONFIG_HOME/Morvane/settings.json, or ~/.config/Morvane/... when
    // XDG_CONFIG_HOME is unset or not absolute. Absent without a home folder.
    static std::optional<std::filesystem::path> standardPath();

    // Typed reads: absent when the key is missing or holds another type; a
    // value of another type is ignored with one "error" line naming the key
    // (once per key).
    std::optional<bool> boolValue(const std::string& key) const;
    std::optional<std::string> stringValue(const std::string& key) const;
    // Dates are wall-clock milliseconds since the Unix epoch.
    std::optional<std::int64_t> dateValue(const std::string& key) const;
    std::optional<std::int64_t> intValue(const std::string& key) const;

    // Each change is kept in memory and written at once; false (and an
    // "error" line) when the file could not be written.
    bool setBool(const std::string& key, bool value);
    bool setString(const std::string& key, const std::string& value);
    bool setDate(const std::string& key, std::int64_t wallMillis);
    bool setInt(const std::string& key, std::int64_t value);
    bool remove(const std::string& key);

    // Why the last write failed, while it did. Each write takes the whole
    // document, so one that succeeds saves every change before it too.
    const std::optional<std::string>& saveFailure() const { return saveFailure_; }
    // What the next launch reads for `key`, as far as this process knows:
    // while writes fail, a change in use holds only until the host quits.
    std::optional<bool> storedBoolValue(const std::string& key) const;

    const std::filesystem::path& file() const { return file_; }

private:
    bool write();
    // `place` is where the file's bytes are: the file, or where its links lead.
    void keepAside(const std::string& why, const std::filesystem::path& place);
    // The stored value of `key` when it has the type `is` checks; otherwise
    // absent, and a value of another type is reported once.
    const nlohmann::json* typed(const std::string& key, bool (*is)(const nlohmann::json&), const char* expected) const;

    std::filesystem::path file_;
    Log log_;
    nlohmann::json values_ = nlohmann::json::object();
    // What the file holds, as far as this process knows.
    nlohmann::json onDisk_ = nlohmann::json::object();
    std::optional<std::string> saveFailure_;
    std::optional<std::string> damaged_;
    mutable std::set<std::string> reportedKeys_;
};

}  // namespace morvane
