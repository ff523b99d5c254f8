// Where the paired-device list is kept: one opaque block of bytes.
#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>

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
};

// Largest stored block any storage reads back; a bigger one is damaged.
inline constexpr std::size_t maxStoredBytes = 16 * 1024 * 1024;

}  // namespace morvane
