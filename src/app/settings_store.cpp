#include "app/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/bounded_json.h"
#include "core/paths.h"
#include "devices/private_file.h"

namespace morvane {

namespace {

constexpr const char* dateMarker = "wallMillis";

using private_file::FileKind;

// What the stored file held: its text, nothing (no file yet), or why it
// cannot be used.
struct StoredText {
    std::optional<std::string> text;
    std::optional<std::string> unusable;
    // What is there is no regular file (a device, a FIFO, a socket, a
    // folder): not ours to move aside or replace.
    std::optional<FileKind> notRegular = std::nullopt;
};

// Nothing but a regular file is the store's to read, move or replace.
bool leftAsItIs(FileKind kind) { return private_file::isSpecial(kind) || kind == FileKind::folder; }

// A regular file of the user's own (or root's: a read-only store of
// dotfiles, as home-manager's) only, bounded, and never blocking: a FIFO put
// in the file's place must not hold the launch (opened without O_NONBLOCK,
// it waits for a writer that never comes), and a socket is asked about
// before it is opened (which fails, as damage would). `file` is where the
// links end, so no link is followed here.
StoredText readBounded(const std::filesystem::path& file) {
    if (const FileKind kind = private_file::kindAt(AT_FDCWD, file.string()); leftAsItIs(kind))
        return {std::nullopt, std::nullopt, kind};
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        // No file (or no folder for it) yet: a first start, not damage.
        if (errno == ENOENT || errno == ENOTDIR) return {};
        return {std::nullopt, std::string("cannot be opened: ") + std::strerror(errno)};
    }
    const auto refuse = [fd](std::string why) {
        ::close(fd);
        return StoredText{std::nullopt, std::move(why)};
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(std::string("cannot be examined: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) {
        auto refused = refuse("not a regular file");
        refused.notRegular = private_file::kindOf(st.st_mode);
        return refused;
    }
    // Another user could change what this host does (unpause it, say).
    if (st.st_uid != ::getuid() && st.st_uid != 0)
        return refuse("a file of another user (" + std::to_string(st.st_uid) + ")");
    const std::string tooLarge = "larger than " + std::to_string(SettingsLimits::maxFileBytes) + " bytes";
    if (st.st_size > SettingsLimits::maxFileBytes) return refuse(tooLarge);
    std::string data;
    char buffer[8192];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
        if (n == 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<std::int64_t>(data.size()) > SettingsLimits::maxFileBytes) return refuse(tooLarge);
    }
    ::close(fd);
    return {std::move(data), std::nullopt};
}

std::filesystem::path folderOf(const std::filesystem::path& file) {
    return file.parent_path().empty() ? "." : file.parent_path();
}

// A link at the file's place that leads to a folder, or names one (a link
// ending in "/", whether or not the folder is there yet). What it leads to
// is not a settings file, and the folder is the owner's, wherever it is:
// neither is moved aside or replaced.
bool linksToAFolder(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    if (::stat(file.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (errno == ELOOP) return false;
    // Not a loop, yet the links could not be followed to a file's name.
    return !linkedPath(file);
}

constexpr const char* folderLinkWords = "a link to a folder, not to a settings file";

// "is a link to T, which is a FIFO, not a regular file" or "is a FIFO, not
// a regular file": what is at the file's place, or where its link leads.
std::string notRegularWords(const std::filesystem::path& file, const std::filesystem::path& target, FileKind kind) {
    if (target == file) return private_file::notRegularWords(kind);
    return "is a link to " + target.string() + ", which " + private_file::notRegularWords(kind);
}

}  // namespace

SettingsStore::SettingsStore(std::filesystem::path file, Log log) : file_(std::move(file)), log_(std::move(log)) {
    if (linksToAFolder(file_)) {
        damaged_ = std::string(folderLinkWords) + "; left as it is";
        if (log_)
            log_("error", "the settings file " + file_.string() + " is " + folderLinkWords +
                              "; the link and the folder are left as they are, the default settings are in use and "
                              "changes are not saved until the link leads to a file");
        return;
    }
    const auto target = linkedPath(file_);
    // A write killed half way leaves its temporary file (as large as the
    // settings) beside the file it was replacing for good: beside the
    // link's target, and beside the link where it was once a plain file.
    private_file::removeLeftoversAtStart(folderOf(file_), file_.filename().string());
    if (target && *target != file_) private_file::removeLeftoversAtStart(folderOf(*target), target->filename().string());
    auto stored = target ? readBounded(*target) : StoredText{std::nullopt, "a loop of symbolic links"};
    if (stored.text) {
        // The document is written back whole at every change: a deep one
        // is not taken in.
        auto parsed = BoundedJson::parse(*stored.text, BoundedJson::storedFileDepth);
        if (const auto* problem = std::get_if<BoundedJson::Problem>(&parsed))
            stored.unusable = BoundedJson::describe(*problem, BoundedJson::storedFileDepth);
        else if (auto& value = std::get<nlohmann::json>(parsed); !value.is_object())
            stored.unusable = "not a JSON object";
        else
            values_ = std::move(value);
    }
    onDisk_ = values_;
    if (stored.notRegular && target) {
        // /dev/null, a FIFO or a program's socket, here or where a link
        // leads: moving it aside would take it from its owner, and writing
        // would put the settings in its place.
        const std::string words = notRegularWords(file_, *target, *stored.notRegular);
        damaged_ = words.substr(3) + "; left as it is";
        if (log_)
            log_("error", "the settings file " + file_.string() + " " + words + "; " +
                              (*target != file_ ? "the link and " + target->string() + " are left as they are"
                                                : std::string("it is left as it is")) +
                              ", the default settings are in use and changes are not saved until " +
                              (*target != file_ ? "the link leads to a file" : "it is a regular file"));
        return;
    }
    if (stored.unusable) keepAside(*stored.unusable, target.value_or(file_));
}

namespace {

// Moves `from` to `to` unless something is there already.
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system that cannot refuse to replace: look first.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

void SettingsStore::keepAside(const std::string& why, const std::filesystem::path& place) {
    // The next write would replace the file and with it whatever the owner
    // had chosen (a pause, say): keep it for them to look at, and say so.
    // A copy kept from an earlier launch is the owner's too: never replaced.
    // A link stays a link: what is kept aside is the file it leads to, and
    // the next write makes that file again.
    damaged_ = why;
    std::string line = "the settings file " + file_.string() +
                       (place != file_ ? " (a link to " + place.string() + ")" : std::string()) + " could not be used (" +
                       why + "); ";
    std::optional<std::filesystem::path> kept;
    int error = 0;
    for (int copy = 1; copy <= SettingsLimits::maxDamagedCopies && !kept; ++copy) {
        const std::filesystem::path aside =
            place.string() + ".damaged" + (copy == 1 ? std::string() : "." + std::to_string(copy));
        if (renameWithoutReplacing(place, aside))
            kept = aside;
        else if ((error = errno) != EEXIST)
            break;
    }
    if (kept) {
        line += "it was kept as " + kept->string();
        damaged_ = why + "; kept as " + kept->filename().string();
    } else if (error == EEXIST) {
        line += "it could not be kept aside: " + std::to_string(SettingsLimits::maxDamagedCopies) +
                " damaged copies are kept already";
    } else {
        line += std::string("it could not be kept aside: ") + std::strerror(error);
    }
    line += "; the default settings are in use";
    if (log_) log_("error", line);
}

std::optional<std::filesystem::path> SettingsStore::standardPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config && config[0] == '/') {
        base = config;
    } else {
        const auto home = homeFolder();
        if (!home) return std::nullopt;
        base = *home / ".config";
    }
    return base / "Morvane" / "settings.json";
}

const nlohmann::json* SettingsStore::typed(const std::string& key, bool (*is)(const nlohmann::json&),
                                           const char* expected) const {
    const auto it = values_.find(key);
    if (it == values_.end()) return nullptr;
    if (is(*it)) return &*it;
    // Said once: the same key is read again at every menu and change.
    if (reportedKeys_.insert(key).second && log_)
        log_("error", "the setting " + key + " in " + file_.string() + " is not " + expected +
                          "; it is ignored and its default is in use");
    return nullptr;
}

std::optional<bool> SettingsStore::boolValue(const std::string& key) const {
    const auto* value = typed(key, [](const nlohmann::json& v) { return v.is_boolean(); }, "true or false");
    if (!value) return std::nullopt;
    return value->get<bool>();
}

std::optional<std::string> SettingsStore::stringValue(const std::string& key) const {
    const auto* value = typed(key, [](const nlohmann::json& v) { return v.is_string(); }, "a text");
    if (!value) return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::int64_t> SettingsStore::dateValue(const std::string& key) const {
    // A date is an object {"wallMillis": n}, so a plain number stored by
    // something else never passes for one.
    const auto* value = typed(
        key,
        [](const nlohmann::json& v) {
            if (!v.is_object()) return false;
            const auto inner = v.find(dateMarker);
            return inner != v.end() && inner->is_number_integer();
        },
        "a date");
    if (!value) return std::nullopt;
    return value->at(dateMarker).get<std::int64_t>();
}

std::optional<std::int64_t> SettingsStore::intValue(const std::string& key) const {
    const auto* value = typed(key, [](const nlohmann::json& v) { return v.is_number_integer(); }, "a whole number");
    if (!value) return std::nullopt;
    return value->get<std::int64_t>();
}

bool SettingsStore::setInt(const std::string& key, std::int64_t value) {
    values_[key] = value;
    return write();
}

bool SettingsStore::setBool(const std::string& key, bool value) {
    values_[key] = value;
    return write();
}

bool SettingsStore::setString(const std::string& key, const std::string& value) {
    values_[key] = value;
    return write();
}

bool SettingsStore::setDate(const std::string& key, std::int64_t wallMillis) {
    values_[key] = nlohmann::json{{dateMarker, wallMillis}};
    return write();
}

bool SettingsStore::remove(const std::string& key) {
    values_.erase(key);
    return write();
}

std::optional<bool> SettingsStore::storedBoolValue(const std::string& key) const {
    const auto it = onDisk_.find(key);
    if (it == onDisk_.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

bool SettingsStore::write() {
    const auto fail = [&](const std::string& what) {
        if (log_) log_("error", "settings could not be saved to " + file_.string() + ": " + what);
        saveFailure_ = what;
        return false;
    };
    // Compact: indenting a file the reader took whole can multiply it past
    // what the reader takes, and the next launch would lose every setting.
    std::string text;
    try {
        text = values_.dump() + "\n";
    } catch (const nlohmann::json::exception& e) {
        return fail(e.what());
    }
    // What could not be read back is not written: the file keeps the last
    // settings that fit.
    if (static_cast<std::int64_t>(text.size()) > SettingsLimits::maxFileBytes)
        return fail("the file would take " + std::to_string(text.size()) + " bytes, more than the " +
                    std::to_string(SettingsLimits::maxFileBytes) + " it may hold");
    // Through a link, the file it leads to is replaced, in its own folder:
    // the link keeps naming the same file. Asked at each write, so a link
    // the owner moved meanwhile is followed where it leads now.
    if (linksToAFolder(file_)) return fail(std::string("it is ") + folderLinkWords + ", which is left as it is");
    const auto target = linkedPath(file_);
    if (!target) return fail("it is a loop of symbolic links");
    const auto folder = folderOf(*target);
    if (auto problem = makeFolders(folder, 0700)) return fail(*problem);
    const auto refused = [&] {
        const FileKind kind = private_file::kindAt(AT_FDCWD, target->string());
        return fail(*target != file_ ? "it " + notRegularWords(file_, *target, kind) + "; it is left as it is"
                                     : "what is in its place " + private_file::notRegularWords(kind) +
                                           "; it is left as it is");
    };
    if (leftAsItIs(private_file::kindAt(AT_FDCWD, target->string()))) return refused();
    const auto written = private_file::replace(
        folder, target->filename().string(), std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (written.kind == private_file::WriteResult::Kind::notRegular) return refused();
    if (written.kind != private_file::WriteResult::Kind::ok) return fail(std::strerror(written.error ? written.error : EIO));
    onDisk_ = values_;
    saveFailure_.reset();
    return true;
}

}  // namespace morvane
