// One file transfer that was accepted and then ended, as the session log
// and the menu see it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

struct FileTransferReport {
    enum class Direction { toMac, fromMac };

    Direction direction = Direction::toMac;
    std::int64_t bytes = 0;  // written on this computer, or sent
    std::int64_t size = 0;   // as announced or opened; 0 when a download never opened
    std::string outcome;     // "ok" or the word that ended it
    // Only for a completed upload: whether the saved file carries the
    // quarantine mark.
    std::optional<bool> quarantined;
    // The upload's file: as saved once it completed, else the cleaned name
    // it was being written under. Empty for downloads.
    std::string name;

    bool operator==(const FileTransferReport&) const = default;

    // e.g. "upload of \"photo.jpg\": 1200 of 1200 bytes, ok, quarantine set"
    std::string logLine() const;
};

std::string_view toString(FileTransferReport::Direction d);
// Accepts exactly "upload" and "download".
std::optional<FileTransferReport::Direction> fileDirectionFromString(std::string_view raw);

}  // namespace morvane
