// Where the paired-device list is kept: one opaque block of bytes.
#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/types.h"

namespace morvane {

// The one-sentence error of every device storage; what() is the sentence.
class DeviceStorageError : public std::runtime_error {
public:
    explicit DeviceStorageError(const std::string& text) : std::runtime_error(text) {}
    std::string description() const { return what(); }
    bool operator==(const DeviceStorageError& other) const { return description() == other.description(); }
};

class DeviceStorage {
public:
    virtual ~DeviceStorage() = default;
    // Short description of where the list lives, for log lines and messages.
    virtual std::string summary() const = 0;
    // The stored bytes, or absent when nothing is stored. Throws
    // DeviceStorageError when they cannot be read.
    virtual std::optional<Bytes> load() = 0;
    // Replaces the stored bytes; throws DeviceStorageError. A failed save
    // leaves what was stored before.
    virtual void save(std::span<const std::uint8_t> data) = 0;
    // Removing what is not there succeeds.
    virtual void remove() = 0;

    // Revocation records, for when the stored bytes cannot be replaced (a
    // full disk): the id of a revoked device is kept beside them in a form
    // that needs no room of its own, so that the list read at the next
    // launch leaves that device out and keeps every other. The default
    // storage keeps none: `recordRevoked` throws DeviceStorageError.
    virtual void recordRevoked(const std::string& id);
    // The ids recorded so far; none when none can be read.
    virtual std::vector<std::string> recordedRevocations() { return {}; }
    // Drops every record, once the stored bytes hold the revocations
    // themselves. Best effort: what stays is dropped at a later call.
    virtual void forgetRevocations() {}
};

inline void DeviceStorage::recordRevoked(const std::string&) {
    throw DeviceStorageError("revocations cannot be recorded here");
}

// Largest stored block any storage reads back; a bigger one is damaged, so
// no storage writes one.
inline constexpr std::size_t maxStoredBytes = 16 * 1024 * 1024;

// Why a block of `bytes` is not stored.
inline std::string tooLargeToStore(std::size_t bytes) {
    return std::to_string(bytes) + " bytes, more than the " + std::to_string(maxStoredBytes) +
           " that would be read back";
}

}  // namespace morvane
