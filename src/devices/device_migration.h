// Moves the devices of an older device file into the current storage once,
// with the owner's consent, checks that the storage gives back exactly what
// was written, and then deletes the file. Never merges: a storage that
// already holds a list wins.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "core/types.h"
#include "devices/device_storage.h"

namespace morvane {

namespace migration_outcome {
struct AlreadyStored {
    bool fileRemoved = false;
    bool operator==(const AlreadyStored&) const = default;
};
struct Imported {
    int count = 0;
    bool operator==(const Imported&) const = default;
};
struct Failed {
    std::string reason;
    bool operator==(const Failed&) const = default;
};
struct NoFile {
    bool operator==(const NoFile&) const = default;
};
struct Declined {
    bool operator==(const Declined&) const = default;
};
}  // namespace migration_outcome

namespace DeviceMigration {

using Outcome = std::variant<migration_outcome::AlreadyStored, migration_outcome::Imported,
                             migration_outcome::Failed, migration_outcome::NoFile, migration_outcome::Declined>;

inline constexpr std::size_t maxFileBytes = 1'048'576;

// Blocks for file and storage work and for `authorize`, which is asked once
// with the devices found. The caller reloads its DeviceStore afterwards.
Outcome run(const std::filesystem::path& file, DeviceStorage& storage,
            const std::function<bool(const std::vector<PairedDevice>&)>& authorize,
            const std::function<void(const std::string&)>& log);

}  // namespace DeviceMigration

}  // namespace morvane
