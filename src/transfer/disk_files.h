// The file store on this computer's disk. Uploads land in a "Morvane" folder
// inside the user's Downloads folder; downloads are served only from its
// "Outbox" folder, into which the owner copies files. An upload is written
// to a hidden, locked temporary file and only moved to its final name once
// it is complete and verified, never over an existing file. Everything works
// on open folder descriptors and refuses to follow symbolic links.
//
// Nothing here throws or reports why: a failure gives nothing, false or an
// empty list, and the engine turns that into its reason word.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "core/file_access.h"

namespace morvane {

class DiskFiles final : public FileAccess {
public:
    static constexpr std::string_view outboxName = "Outbox";
    static constexpr std::string_view partialPrefix = ".morvane-upload-";
    static constexpr std::string_view partialSuffix = ".partial";
    // An upload must leave at least this much room on the disk.
    static constexpr std::uint64_t freeSpaceFloor = 2'147'483'648;

    // Bytes available to this user on the file system of an open folder, or
    // nothing when that cannot be told (the check is then skipped).
    using FreeSpace = std::function<std::optional<std::uint64_t>(int folder)>;
    static std::optional<std::uint64_t> systemFreeSpace(int folder);

    explicit DiskFiles(std::filesystem::path root, FreeSpace freeSpace = systemFreeSpace);

    // "Morvane" inside the user's Downloads folder: $XDG_DOWNLOAD_DIR when
    // that is an absolute path, else the folder user-dirs.dirs in the
    // settings folder names (as `xdg-user-dir DOWNLOAD` reads it), else
    // ~/Downloads. Absent when there is no home folder.
    static std::optional<std::filesystem::path> standardRoot();
    // The Downloads folder a user-dirs.dirs text names: its
    // XDG_DOWNLOAD_DIR line, "$HOME/…" or an absolute path, in double
    // quotes or bare. Absent when the text names none that is usable.
    static std::optional<std::filesystem::path> userDirsDownload(std::string_view text,
                                                                 const std::filesystem::path& home);
    // The freedesktop mark of a file's outside origin, which browsers put on
    // their downloads, and the value set on a file received from this
    // computer's own page (a page elsewhere, the relay's, names its own).
    static constexpr const char* originAttribute = "user.xdg.origin.url";
    static constexpr std::string_view originValue = "http://127.0.0.1:8722/";
    // A temporary upload name as this store makes them: the prefix, 1 to 16
    // lower-case hex digits, the suffix.
    static bool isPartial(std::string_view name);

    const std::filesystem::path& root() const { return root_; }

    // Removes the temporary files of uploads that no longer run: a host
    // that crashed mid-upload left one, up to the size limit, and nothing
    // else would remove it before the next upload. Called at launch; makes
    // no folder, and keeps a file an upload still holds.
    void removeLeftoverUploads() const;

    // `name` must already be clean (FileName::sanitise gives it back
    // unchanged) and `size` within 1...FileLimits::maxBytes.
    std::unique_ptr<IncomingFile> beginIncoming(const std::string& name, std::int64_t size,
                                                const std::string& origin) override;
    std::vector<OutboxEntry> listOutbox() override;
    std::unique_ptr<OutgoingFile> openOutbox(const std::string& name) override;

private:
    // The root folder opened for use, with the Outbox made inside it; -1 on
    // failure (including a root that is a symbolic link).
    int openRoot() const;
    int openOutboxFolder() const;
    void sweepPartials(int folder) const;

    std::filesystem::path root_;
    FreeSpace freeSpace_;
};

}  // namespace morvane
