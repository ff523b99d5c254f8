// The one owner of the list of devices that may control this machine: the
// pairing window and its code, token checks, relay devices, revocation and
// the stored form of the list. Only hashes of codes and tokens are kept.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/types.h"
#include "devices/device_storage.h"

namespace morvane {

namespace pair_outcome {
// The code matched; the token is handed out this once.
struct Paired {
    std::string token;
    PairedDevice device;
    bool operator==(const Paired&) const = default;
};
// No pairing window is open.
struct Closed {
    bool operator==(const Closed&) const = default;
};
// A window is open and the code did not match.
struct WrongCode {
    bool operator==(const WrongCode&) const = default;
};
// The code matched, but the list holding the new device could not be saved:
// a token handed out now would not survive a restart, so none is, and the
// device is not kept.
struct NotSaved {
    std::string reason;  // why the save failed
    bool operator==(const NotSaved&) const = default;
};
}  // namespace pair_outcome

class DeviceStore {
public:
    using PairOutcome =
        std::variant<pair_outcome::Paired, pair_outcome::Closed, pair_outcome::WrongCode, pair_outcome::NotSaved>;

    // What the stored list holds while a revocation is not saved yet.
    enum class UnsavedRevocation {
        none,        // every revocation holds after a restart: saved in the list, or recorded beside it
        listRemoved, // the stored list, which still named the device, was removed: none is accepted after a restart
        listKept,    // not even that worked: the stored list still names the device
    };

    static constexpr std::string_view codeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    static constexpr int codeLength = 8;
    static constexpr std::int64_t windowMillis = 120'000;
    static constexpr int maxWrongAttempts = 5;
    static constexpr int maxNameLength = 40;
    static constexpr std::size_t relayKeyBytes = 65;
    static constexpr const char* invalidListText = "the stored device list is not valid";
    static constexpr const char* unencodableListText = "the device list cannot be encoded";
    // A failed save is tried again this long after it failed, on the save
    // queue, until one succeeds; every change also saves the whole list.
    static constexpr std::int64_t retryMillis = 10'000;

    // Loads the list at once. With a save queue, every save runs in order
    // on it, and a failed one is tried again there every retryMillis;
    // otherwise saves run on the caller's thread and a failed one is tried
    // again only with the next change.
    explicit DeviceStore(std::shared_ptr<DeviceStorage> storage, Executor* saveQueue = nullptr);
    // A synchronous store over a FileDeviceStorage at that file.
    explicit DeviceStore(const std::filesystem::path& fileURL);
    // Finishes the background saves already queued.
    ~DeviceStore();
    DeviceStore(const DeviceStore&) = delete;
    DeviceStore& operator=(const DeviceStore&) = delete;

    // Wall clock in milliseconds since the Unix epoch; stored dates are its
    // whole seconds.
    void setClock(WallClock clock);
    // Told on the save queue, with no lock held, when the outcome of the
    // background saves changes: the reason when a save fails (again only
    // when the reason differs from the last one, not at every retry), and
    // absent when a save succeeds after failures. Must not destroy the store.
    void setOnSaveChange(std::function<void(const std::optional<std::string>&)> callback);

    std::vector<PairedDevice> devices() const;
    // Why the stored list could not be read; absent when it loaded.
    std::optional<std::string> storageFailure() const;
    // Why the list in memory is not saved; absent once a save succeeded.
    std::optional<std::string> lastSaveFailure() const;
    UnsavedRevocation unsavedRevocation() const;
    bool pairingWindowOpen();
    const DeviceStorage& storage() const { return *storage_; }

    // Pairing. The returned code is shown to the owner; while the stored
    // list is unreadable no window is armed and every attempt is `Closed`.
    std::string openPairingWindow();
    void closePairingWindow();
    PairOutcome attemptPair(std::string_view code, std::string_view name);
    struct Pairing {
        std::string token;
        PairedDevice device;
    };
    std::optional<Pairing> pair(std::string_view code, std::string_view name);

    // Sessions: a match stamps lastSeen and saves.
    std::optional<PairedDevice> validate(std::string_view token);
    std::optional<PairedDevice> touch(std::string_view id);

    // Relay devices; keys are 65-byte uncompressed P-256 points. A new
    // device is kept only once the list naming it is saved (absent
    // otherwise, with lastSaveFailure() saying why).
    std::optional<PairedDevice> relayDevice(std::span<const std::uint8_t> key);
    std::optional<PairedDevice> enrolRelayDevice(std::span<const std::uint8_t> key, std::string_view name);

    // Changes by the owner. Each waits for its save and answers why the
    // revocation would not hold after a restart (absent: it holds). A list
    // that cannot be saved (a full disk) is kept, and the revoked ids are
    // recorded beside it (records need no room): the next launch reads the
    // list without them and saves it, and lastSaveFailure() still says the
    // list itself is not saved. Where not even a record can be made, the
    // stored list, which still names the device, is removed and the list
    // written again in the room that frees; when that fails too, no list is
    // stored rather than one that lets the device back in after a restart.
    std::optional<std::string> revoke(std::string_view id);
    std::optional<std::string> revokeAll();
    // Closes the window and reads the stored list again; the new load failure.
    std::optional<std::string> reload();
    // Removes the stored item (errors pass to the caller and change nothing),
    // then empties the list; nothing is saved.
    void resetStorage();
    // Returns once every background save queued so far has finished. Not on
    // the save queue.
    void waitForSaves();
    // Saves the list again now when the last save failed (the retry does
    // this by itself on a save queue).
    void retrySave();

    static std::string normalize(std::string_view code);
    static std::string clean(std::string_view name);
    // Base64url without padding (RFC 4648 section 5).
    static std::string base64url(std::span<const std::uint8_t> bytes);

    // The stored form: a pretty-printed JSON array (compact where indenting
    // would pass the storages' limit), keys sorted, dates as
    // whole-second UTC "Z" strings. Absent when a record can't be written
    // (text that is not UTF-8): nothing must then be stored.
    static std::optional<Bytes> encode(const std::vector<PairedDevice>& devices);
    static std::optional<std::vector<PairedDevice>> decode(std::span<const std::uint8_t> data);
    // "2026-03-01T09:15:02Z" <-> seconds since the Unix epoch.
    static std::string formatDate(std::int64_t seconds);
    static std::optional<std::int64_t> parseDate(std::string_view text);

private:
    struct Written {
        std::optional<std::string> failure;
        bool recorded = false;      // the revocations are recorded beside the old list
        bool listRemoved = false;   // no list is stored
        bool recordsGone = false;   // no record is left beside the list
    };
    void loadLocked();
    void saveLocked();
    // Saves, then waits with the lock released for the queued save to land;
    // answers the save's failure, if any.
    std::optional<std::string> saveAndWaitLocked(std::unique_lock<std::mutex>& guard);
    // Writes the list; `toRecord` are the revocations it carries that hold
    // nowhere yet, `forget` says records are left from before.
    Written write(std::span<const std::uint8_t> data, const std::vector<std::string>& toRecord, bool forget);
    // The ids of the first `revocations` revocations that hold nowhere yet.
    std::vector<std::string> idsToRecordLocked(std::uint64_t revocations) const;
    // Records a save's outcome; true when the outcome changed.
    bool recordLocked(const Written& written, std::uint64_t revocations);
    UnsavedRevocation unsavedRevocationLocked() const;
    void scheduleRetryLocked();
    bool windowOpenLocked();
    void closeWindowLocked();
    std::int64_t nowSeconds() const;

    std::shared_ptr<DeviceStorage> storage_;
    mutable std::mutex lock_;
    WallClock clock_ = systemWallMillis;
    std::vector<PairedDevice> list_;
    std::optional<Bytes> codeHash_;
    std::int64_t codeExpiryMillis_ = INT64_MIN;
    int wrongAttempts_ = 0;
    std::optional<std::string> loadFailure_;
    std::optional<std::string> saveFailure_;
    // Revocations made, and how many of them hold after a restart (saved in
    // the list or recorded beside it); the ids of the others, each with the
    // number of its revocation.
    std::uint64_t revocations_ = 0;
    std::uint64_t savedRevocations_ = 0;
    std::vector<std::pair<std::uint64_t, std::string>> unsavedIds_;
    // No list is stored: the old one was removed and the new one not written.
    bool listRemoved_ = false;
    // Revocation records lie beside the stored list.
    bool recordsKept_ = false;
    bool retryScheduled_ = false;
    std::function<void(const std::optional<std::string>&)> onSaveChange_;
    Executor* saveQueue_;
    // Held weakly by the delayed retry, which drain does not wait for.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace morvane
