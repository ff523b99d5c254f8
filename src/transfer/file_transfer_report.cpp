#include "transfer/file_transfer_report.h"

namespace morvane {

std::string_view toString(FileTransferReport::Direction d) {
    return d == FileTransferReport::Direction::toMac ? "upload" : "download";
}

std::optional<FileTransferReport::Direction> fileDirectionFromString(std::string_view raw) {
    if (raw == "upload") return FileTransferReport::Direction::toMac;
    if (raw == "download") return FileTransferReport::Direction::fromMac;
    return std::nullopt;
}

std::string FileTransferReport::logLine() const {
    std::string line(toString(direction));
    if (!name.empty()) line += " of \"" + name + "\"";
    line += ": " + std::to_string(bytes) + " of " + std::to_string(size) + " bytes, " + outcome;
    if (quarantined) line += *quarantined ? ", quarantine set" : ", quarantine NOT set";
    return line;
}

}  // namespace morvane
