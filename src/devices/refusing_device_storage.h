// A storage that refuses everything with one reason: used when this build
// must not keep paired devices at all.
#pragma once

#include "devices/device_storage.h"

namespace morvane {

class RefusingDeviceStorage final : public DeviceStorage {
public:
    static constexpr const char* notHardenedReason = "this build is not hardened";

    explicit RefusingDeviceStorage(std::string reason) : reason_(std::move(reason)) {}
    const std::string& reason() const { return reason_; }

    std::string summary() const override { return "no storage"; }
    std::optional<Bytes> load() override { throw DeviceStorageError(reason_); }
    void save(std::span<const std::uint8_t>) override { throw DeviceStorageError(reason_); }
    void remove() override { throw DeviceStorageError(reason_); }

private:
    std::string reason_;
};

}  // namespace morvane
