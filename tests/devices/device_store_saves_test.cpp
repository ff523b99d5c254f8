// The device list on a disk that takes no more bytes: what a pairing, a
// revocation and a rename do then, what a restart finds, and the retries
// until a save succeeds. Saves run on a queue the test turns by hand, as the
// program's save queue, or on the caller's thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "../app/manual_executor.h"
#include "../support/full_disk.h"
#include "devices/device_store.h"
#include "devices/keychain_device_storage.h"
#include "test_support.h"

namespace morvane {
namespace {

using testing::MemoryStorage;
namespace po = pair_outcome;
constexpr const char* noSpace = MemoryStorage::noSpaceText;

struct Rig {
    std::shared_ptr<DeviceStorage> storage;
    testing::ManualExecutor saves;
    bool background;
    std::unique_ptr<DeviceStore> store;

    Rig(std::shared_ptr<DeviceStorage> where, bool background) : storage(std::move(where)), background(background) {
        restart();
    }
    ~Rig() { store.reset(); }
    // The program starting again: a new store reads what is stored.
    void restart() {
        store.reset();
        store = std::make_unique<DeviceStore>(storage, background ? &saves : nullptr);
    }
    DeviceStore::PairOutcome tryPair(const std::string& name) {
        const auto code = store->openPairingWindow();
        return store->attemptPair(code, name);
    }
    po::Paired pair(const std::string& name) { return std::get<po::Paired>(tryPair(name)); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& d : store->devices()) out.push_back(d.name);
        return out;
    }
};

// What a host started over this storage now would find.
std::vector<std::string> storedNames(const std::shared_ptr<DeviceStorage>& storage) {
    std::vector<std::string> out;
    DeviceStore fresh(storage);
    for (const auto& d : fresh.devices()) out.push_back(d.name);
    return out;
}

bool acceptedAfterRestart(const std::shared_ptr<DeviceStorage>& storage, const std::string& token) {
    DeviceStore fresh(storage);
    return fresh.validate(token).has_value();
}

TEST(DeviceStoreSaves, APairingOrEnrolmentThatCannotBeSavedAddsNoDevice) {
    for (const bool background : {false, true}) {
        SCOPED_TRACE(background ? "background saves" : "saves on the caller's thread");
        auto disk = std::make_shared<MemoryStorage>();
        Rig rig(disk, background);
        rig.pair("a");
        disk->fillDisk();

        // A relay device enrolled now would be told it is in, then be a
        // stranger after a restart.
        EXPECT_FALSE(rig.store->enrolRelayDevice(Bytes(DeviceStore::relayKeyBytes, 4), "phone"));
        EXPECT_EQ(rig.tryPair("b"), DeviceStore::PairOutcome(po::NotSaved{noSpace}));
        EXPECT_EQ(rig.names(), std::vector<std::string>{"a"}) << "a device whose token nobody holds is not kept";
        EXPECT_FALSE(rig.store->pairingWindowOpen()) << "the code was used";
        EXPECT_EQ(rig.store->lastSaveFailure(), noSpace);
        EXPECT_EQ(storedNames(disk), std::vector<std::string>{"a"});

        // Room again: the next pairing is saved before its token is handed out.
        disk->freeDisk();
        rig.pair("c");
        EXPECT_EQ(rig.store->lastSaveFailure(), std::nullopt);
        EXPECT_TRUE(rig.store->enrolRelayDevice(Bytes(DeviceStore::relayKeyBytes, 4), "phone"));
        EXPECT_EQ(storedNames(disk), (std::vector<std::string>{"a", "c", "phone"}));
    }
}

// Runs `body` with three devices paired on a disk held in memory, once for
// each way of saving.
template <typename Body>
void withThreeDevices(Body body) {
    for (const bool background : {false, true}) {
        SCOPED_TRACE(background ? "background saves" : "saves on the caller's thread");
        auto disk = std::make_shared<MemoryStorage>();
        Rig rig(disk, background);
        const auto a = rig.pair("a");
        const auto b = rig.pair("b");
        const auto c = rig.pair("c");
        body(disk, rig, a, b, c);
    }
}

TEST(DeviceStoreSaves, ARevocationOnAFullDiskIsSavedInTheRoomTheOldListFrees) {
    withThreeDevices([](const std::shared_ptr<MemoryStorage>& disk, Rig& rig, const po::Paired& a,
                        const po::Paired& b, const po::Paired& c) {
        disk->fillDisk();
        disk->recordError = noSpace;  // where no record can be made either

        EXPECT_EQ(rig.store->revoke(a.device.id), std::nullopt) << "the revocation was saved after all";
        EXPECT_EQ(rig.store->unsavedRevocation(), DeviceStore::UnsavedRevocation::none);
        EXPECT_EQ(storedNames(disk), (std::vector<std::string>{"b", "c"}));
        EXPECT_FALSE(acceptedAfterRestart(disk, a.token));
        EXPECT_TRUE(acceptedAfterRestart(disk, b.token));

        EXPECT_EQ(rig.store->revokeAll(), std::nullopt);
        EXPECT_TRUE(storedNames(disk).empty());
        EXPECT_FALSE(acceptedAfterRestart(disk, c.token));
    });
}

TEST(DeviceStoreSaves, AnUnsavedRevocationIsRetriedAndARestartNeverTrustsTheOldList) {
    struct Case {
        const char* name;
        bool recordWorks;
        bool removalWorks;
        DeviceStore::UnsavedRevocation meanwhile;
        bool restartAcceptsRevoked;  // while nothing could be saved
        bool restartAcceptsOthers;
    };
    const std::vector<Case> cases = {
        // The list cannot be written, even in the room its removal would
        // free (another writer takes it), but a record beside it keeps the
        // device out: a restart accepts every other.
        {"only a record can be made", true, true, DeviceStore::UnsavedRevocation::none, false, true},
        // Not even a record: no list is stored, and a restart accepts nobody
        // rather than the revoked one.
        {"no room even after the old list went", false, true, DeviceStore::UnsavedRevocation::listRemoved, false, false},
        // A disk that takes no change at all (read-only) keeps the old list;
        // the owner is told, and only the running host can save it later.
        {"nothing can be written or removed", false, false, DeviceStore::UnsavedRevocation::listKept, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto disk = std::make_shared<MemoryStorage>();
        Rig rig(disk, true);
        const auto a = rig.pair("a");
        const auto b = rig.pair("b");
        disk->saveError = noSpace;
        if (!c.recordWorks) disk->recordError = "cannot update private item x: Read-only file system (30)";
        if (!c.removalWorks) disk->removeError = "cannot remove private item x: Read-only file system (30)";

        // Answered by what a restart would find.
        EXPECT_EQ(rig.store->revoke(a.device.id),
                  c.meanwhile == DeviceStore::UnsavedRevocation::none ? std::nullopt : std::optional<std::string>(noSpace));
        EXPECT_EQ(rig.store->lastSaveFailure(), noSpace) << "the list itself is not saved";
        EXPECT_FALSE(rig.store->validate(a.token)) << "denied at once, saved or not";
        EXPECT_EQ(rig.store->unsavedRevocation(), c.meanwhile);
        EXPECT_EQ(acceptedAfterRestart(disk, a.token), c.restartAcceptsRevoked);
        EXPECT_EQ(acceptedAfterRestart(disk, b.token), c.restartAcceptsOthers);

        // Still failing: each beat tries once more.
        const int before = disk->saves;
        rig.saves.advance(DeviceStore::retryMillis - 1);
        EXPECT_EQ(disk->saves, before);
        rig.saves.advance(1);
        EXPECT_GT(disk->saves, before);
        EXPECT_EQ(rig.store->lastSaveFailure(), noSpace);

        // Room again, and no further change: one beat saves the list.
        disk->saveError.reset();
        disk->removeError.reset();
        disk->recordError.reset();
        rig.saves.advance(DeviceStore::retryMillis);
        EXPECT_EQ(rig.store->lastSaveFailure(), std::nullopt);
        EXPECT_EQ(rig.store->unsavedRevocation(), DeviceStore::UnsavedRevocation::none);
        EXPECT_EQ(storedNames(disk), std::vector<std::string>{"b"});
        EXPECT_FALSE(acceptedAfterRestart(disk, a.token));
        EXPECT_TRUE(acceptedAfterRestart(disk, b.token));
        EXPECT_TRUE(disk->recorded.empty()) << "the saved list holds what the records kept";
        const int saved = disk->saves;
        rig.saves.advance(10 * DeviceStore::retryMillis);
        EXPECT_EQ(disk->saves, saved) << "nothing is retried once saved";
        EXPECT_EQ(rig.saves.pendingTimers(), 0u);
    }
}

TEST(DeviceStoreSaves, AnUnsavedRenameKeepsTheStoredListAndIsSavedAtTheNextBeatOrChange) {
    auto disk = std::make_shared<MemoryStorage>();
    Rig rig(disk, true);
    const auto key = [] {
        Bytes k(DeviceStore::relayKeyBytes, 7);
        k[0] = 0x04;
        return k;
    }();
    rig.store->enrolRelayDevice(key, "phone");
    rig.saves.runAll();
    disk->fillDisk();
    rig.store->enrolRelayDevice(key, "Anna's phone");
    rig.saves.runAll();
    EXPECT_EQ(rig.store->lastSaveFailure(), noSpace);
    EXPECT_EQ(disk->removes, 0) << "a list naming no revoked device is never removed";
    EXPECT_EQ(storedNames(disk), std::vector<std::string>{"phone"});
    disk->freeDisk();
    rig.saves.advance(DeviceStore::retryMillis);
    EXPECT_EQ(storedNames(disk), std::vector<std::string>{"Anna's phone"});

    // On the caller's thread there is no beat: the next change saves it all.
    Rig now(disk, false);
    disk->fillDisk();
    now.store->enrolRelayDevice(key, "tablet");
    EXPECT_EQ(now.store->lastSaveFailure(), noSpace);
    disk->freeDisk();
    now.store->revoke("no-such-id");
    EXPECT_EQ(storedNames(disk), std::vector<std::string>{"tablet"});
}

TEST(DeviceStoreSaves, RecordedRevocationsHoldAcrossRestartsUntilTheListIsWrittenBack) {
    withThreeDevices([](const std::shared_ptr<MemoryStorage>& disk, Rig& rig, const po::Paired& a,
                        const po::Paired& b, const po::Paired& c) {
        // Full, and the room a removed list would free is taken at once.
        disk->saveError = noSpace;

        EXPECT_EQ(rig.store->revoke(a.device.id), std::nullopt);
        EXPECT_EQ(disk->removes, 0) << "the list naming the others stays";
        EXPECT_EQ(disk->recorded, std::vector<std::string>{a.device.id});

        // Restarts on the still full disk: the revoked device stays out,
        // every other is in, and a further revocation is recorded the same.
        rig.restart();
        rig.saves.runAll();
        EXPECT_EQ(rig.names(), (std::vector<std::string>{"b", "c"}));
        EXPECT_FALSE(rig.store->validate(a.token));
        EXPECT_TRUE(rig.store->validate(b.token));
        EXPECT_EQ(rig.store->lastSaveFailure(), noSpace) << "the launch tried to write the list back";
        EXPECT_EQ(rig.store->revoke(b.device.id), std::nullopt);
        rig.restart();
        rig.saves.runAll();
        EXPECT_EQ(rig.names(), std::vector<std::string>{"c"});

        // Room again: the list is written back (at the next beat, or at the
        // next launch without a save queue) and the records go.
        disk->saveError.reset();
        if (rig.background)
            rig.saves.advance(DeviceStore::retryMillis);
        else
            rig.restart();
        EXPECT_EQ(rig.store->lastSaveFailure(), std::nullopt);
        EXPECT_TRUE(disk->recorded.empty());
        ASSERT_TRUE(disk->stored);
        const auto stored = DeviceStore::decode(*disk->stored);
        ASSERT_TRUE(stored);
        ASSERT_EQ(stored->size(), 1u);
        EXPECT_EQ(stored->front().name, "c");
        EXPECT_TRUE(acceptedAfterRestart(disk, c.token));
    });
}

TEST(DeviceStoreSaves, OnAFullTmpfsNoTokenIsHandedOutAndARevokedDeviceStaysOut) {
    // A real file system with no byte left.
    testing::SmallTmpfs disk;
    if (disk.needsRoot()) GTEST_SKIP() << "mounting a tmpfs needs root";
    ASSERT_TRUE(disk.mounted()) << std::strerror(disk.error());
    auto storage = std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                           KeychainDeviceStorage::defaultAccount,
                                                           KeychainDeviceStorage::defaultLabel, disk.path() / "keychain");
    Rig rig(storage, true);
    const auto a = rig.pair("a");
    const auto b = rig.pair("b");
    disk.fill();

    const auto refused = rig.tryPair("c");
    const auto* notSaved = std::get_if<po::NotSaved>(&refused);
    ASSERT_NE(notSaved, nullptr);
    EXPECT_NE(notSaved->reason.find("No space left on device"), std::string::npos) << notSaved->reason;
    EXPECT_EQ(storedNames(storage), (std::vector<std::string>{"a", "b"}));

    EXPECT_EQ(rig.store->revoke(a.device.id), std::nullopt);
    // A restart on the still full disk.
    EXPECT_FALSE(acceptedAfterRestart(storage, a.token));
    EXPECT_TRUE(acceptedAfterRestart(storage, b.token));

    disk.free();
    rig.pair("c");
    EXPECT_EQ(storedNames(storage), (std::vector<std::string>{"b", "c"}));
}

}  // namespace
}  // namespace morvane
