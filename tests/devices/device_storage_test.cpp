#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "devices/file_device_storage.h"
#include "devices/keychain_device_storage.h"
#include "devices/refusing_device_storage.h"
#include "test_support.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using testing::bytes;
using testing::modeOf;
using testing::readText;
using testing::TempFolder;
using testing::writeText;

template <typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const DeviceStorageError& e) {
        return e.description();
    }
    return "(no error)";
}

bool runningAsRoot() { return ::geteuid() == 0; }

TEST(FileDeviceStorage, KeepsTheListPrivateAndTightensLooseModes) {
    TempFolder dir;
    auto folder = dir.path() / "support" / "Morvane";
    FileDeviceStorage storage(folder / "devices.json");
    EXPECT_EQ(storage.summary(), "file devices.json");
    EXPECT_EQ(storage.load(), std::nullopt);  // nothing stored is no failure

    storage.save(bytes("[1]"));
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder / "devices.json"), 0600u);
    EXPECT_EQ(storage.load(), bytes("[1]"));

    ::chmod((folder / "devices.json").c_str(), 0644);
    EXPECT_EQ(storage.load(), bytes("[1]"));
    EXPECT_EQ(modeOf(folder / "devices.json"), 0600u);

    ::chmod(folder.c_str(), 0755);
    storage.save(bytes("[2]"));
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(storage.load(), bytes("[2]"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "no temporary left";

    storage.remove();
    storage.remove();  // removing what is not there succeeds
    EXPECT_EQ(storage.load(), std::nullopt);
}

TEST(FileDeviceStorage, NeverReadsOrChangesThroughALinkOrASpecialFile) {
    TempFolder dir;
    auto victim = dir.path() / "victim";
    writeText(victim, "[]");
    ::chmod(victim.c_str(), 0644);
    auto path = dir.path() / "devices.json";
    fs::create_symlink(victim, path);
    FileDeviceStorage storage(path);
    EXPECT_EQ(errorOf([&] { storage.load(); }), "cannot look at the device file (errno " + std::to_string(ELOOP) + ")");
    EXPECT_EQ(modeOf(victim), 0644u) << "the link's target must not be touched";

    // Saving replaces the link itself, never writes into its target.
    storage.save(bytes("[3]"));
    EXPECT_EQ(readText(victim), "[]");
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(storage.load(), bytes("[3]"));

    // A FIFO at the path must not stall the reader; a folder is no list.
    auto fifo = dir.path() / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(errorOf([&] { FileDeviceStorage(fifo).load(); }), "the device file is not a regular file");
    fs::create_directory(dir.path() / "folder.json");
    EXPECT_EQ(errorOf([&] { FileDeviceStorage(dir.path() / "folder.json").load(); }),
              "the device file is not a regular file");
}

TEST(FileDeviceStorage, SaveReplacesLeftoversAndFailsWithoutLosingTheOldList) {
    TempFolder dir;
    auto path = dir.path() / "devices.json";
    FileDeviceStorage storage(path);
    storage.save(bytes("[old]"));

    // A leftover temporary of this process, and a link planted at that name.
    auto temp = dir.path() / (".devices.json.tmp-" + std::to_string(::getpid()));
    writeText(temp, "junk");
    storage.save(bytes("[a]"));
    EXPECT_EQ(storage.load(), bytes("[a]"));
    auto victim = dir.path() / "victim";
    writeText(victim, "keep");
    fs::create_symlink(victim, temp);
    storage.save(bytes("[b]"));
    EXPECT_EQ(readText(victim), "keep");
    EXPECT_EQ(storage.load(), bytes("[b]"));

    // The rename can't replace a non-empty folder: the temporary goes away.
    auto blocked = dir.path() / "blocked.json";
    fs::create_directories(blocked / "inside");
    EXPECT_EQ(errorOf([&] { FileDeviceStorage(blocked).save(bytes("[c]")); }), "cannot write the device file");
    EXPECT_FALSE(fs::exists(dir.path() / (".blocked.json.tmp-" + std::to_string(::getpid()))));

    // A folder of someone else is not tightened.
    if (runningAsRoot()) {
        auto foreign = dir.path() / "foreign";
        fs::create_directory(foreign);
        ::chmod(foreign.c_str(), 0755);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        FileDeviceStorage(foreign / "devices.json").save(bytes("[e]"));
        EXPECT_EQ(modeOf(foreign), 0755u);
        GTEST_SKIP() << "write-permission checks do not apply to root";
    }
    ::chmod(dir.path().c_str(), 0500);
    EXPECT_EQ(errorOf([&] { storage.save(bytes("[d]")); }),
              "cannot write the device file (errno " + std::to_string(EACCES) + ")");
    EXPECT_EQ(errorOf([&] { storage.remove(); }), "cannot remove the device file (errno " + std::to_string(EACCES) + ")");
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(storage.load(), bytes("[b]"));
}

// A process killed at any moment of a save leaves either the old list or
// the new one, whole.
TEST(FileDeviceStorage, KillingTheProcessMidSaveNeverLosesOrCorruptsTheList) {
    TempFolder dir;
    auto path = dir.path() / "devices.json";
    const Bytes first(256 * 1024, 'a');
    const Bytes second(200 * 1024, 'b');
    FileDeviceStorage(path).save(first);

    for (int round = 0; round < 30; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(ready[0]);
            FileDeviceStorage storage(path);
            for (long i = 0;; ++i) {
                storage.save(i % 2 ? first : second);
                if (i == 0) {
                    char one = 1;
                    (void)!::write(ready[1], &one, 1);
                }
            }
        }
        ::close(ready[1]);
        char one = 0;
        ASSERT_EQ(::read(ready[0], &one, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 10)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);

        auto stored = FileDeviceStorage(path).load();
        ASSERT_TRUE(stored.has_value());
        EXPECT_TRUE(*stored == first || *stored == second) << "round " << round << ": " << stored->size() << " bytes";
        // What the killed save was writing is gone with it.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "round " << round;
    }
}

// A pid that no process holds: a child that has exited and been reaped.
pid_t deadPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

// Whatever the storage, loading the list removes the temporary files of
// saves whose process died, and only those: a running process may be
// saving, and names the storage did not write are not its to touch.
TEST(DeviceStorageLeftovers, LoadRemovesThoseOfDeadProcessesAndKeepsEverythingElse) {
    const pid_t dead = deadPid();
    const std::string live = std::to_string(::getpid()), parent = std::to_string(::getppid());
    struct Kind {
        std::string label;
        std::function<std::unique_ptr<DeviceStorage>(const fs::path&)> make;
        std::string fileName;  // the list's own file in the folder
    };
    const std::vector<Kind> kinds = {
        {"file", [](const fs::path& f) { return std::make_unique<FileDeviceStorage>(f / "devices.json"); },
         "devices.json"},
        {"keychain",
         [](const fs::path& f) {
             return std::make_unique<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                            KeychainDeviceStorage::defaultAccount,
                                                            KeychainDeviceStorage::defaultLabel, f);
         },
         "local.morvane.host@paired-devices"},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.label);
        TempFolder dir;
        auto storage = kind.make(dir.path());
        storage->save(bytes("[1]"));
        const std::string prefix = "." + kind.fileName + ".tmp-";
        struct Case {
            std::string name;
            bool removed;
        };
        const std::vector<Case> cases = {
            {prefix + std::to_string(dead), true},
            {prefix + live, false},              // this process, perhaps mid-save
            {prefix + parent, false},            // another running process
            {prefix + "0", false},               // not a pid: 0 and below name process groups
            {prefix + "-1", false},
            {prefix + "00" + std::to_string(dead), false},
            {prefix + std::to_string(dead) + "x", false},
            {prefix + "99999999999", false},     // beyond any pid
            {prefix, false},
            {".other.tmp-" + std::to_string(dead), false},  // another item's
            {kind.fileName + ".tmp-" + std::to_string(dead), false},
        };
        for (const auto& c : cases) writeText(dir.path() / c.name, "[\"old hashes\"]");
        const auto victim = dir.path() / "victim";
        writeText(victim, "keep");
        fs::create_symlink(victim, dir.path() / (prefix + std::to_string(deadPid())));  // a link goes, not its target

        EXPECT_EQ(storage->load(), bytes("[1]"));
        for (const auto& c : cases) EXPECT_EQ(fs::exists(dir.path() / c.name), !c.removed) << c.name;
        EXPECT_EQ(readText(victim), "keep");
        std::size_t links = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) links += entry.is_symlink();
        EXPECT_EQ(links, 0u);
    }
}

TEST(RefusingDeviceStorage, RefusesEveryOperationWithItsReason) {
    RefusingDeviceStorage storage(RefusingDeviceStorage::notHardenedReason);
    EXPECT_EQ(storage.summary(), "no storage");
    const std::string reason = "this build is not hardened";
    EXPECT_EQ(errorOf([&] { storage.load(); }), reason);
    EXPECT_EQ(errorOf([&] { storage.save(bytes("[]")); }), reason);
    EXPECT_EQ(errorOf([&] { storage.remove(); }), reason);
    EXPECT_EQ(DeviceStorageError("x"), DeviceStorageError("x"));
    EXPECT_NE(DeviceStorageError("x"), DeviceStorageError("y"));
}

TEST(KeychainDeviceStorage, OneItemPerServiceAndAccountInAPrivateFolder) {
    TempFolder dir;
    auto folder = dir.path() / "keychain";
    KeychainDeviceStorage devices(KeychainDeviceStorage::defaultService, KeychainDeviceStorage::defaultAccount,
                                  KeychainDeviceStorage::defaultLabel, folder);
    KeychainDeviceStorage identity(KeychainDeviceStorage::defaultService, "relay-identity", "Morvane relay identity",
                                   folder);
    // The owner is told the file, which they can find, move away or back up.
    EXPECT_EQ(devices.summary(), (folder / "local.morvane.host@paired-devices").string());
    EXPECT_EQ(devices.load(), std::nullopt);

    devices.save(bytes("[1]"));
    identity.save(bytes("key"));
    devices.save(bytes("[1,2]"));  // updates in place
    EXPECT_EQ(devices.load(), bytes("[1,2]"));
    EXPECT_EQ(identity.load(), bytes("key"));
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder / "local.morvane.host@paired-devices"), 0600u);

    devices.remove();
    devices.remove();
    EXPECT_EQ(devices.load(), std::nullopt);
    EXPECT_EQ(identity.load(), bytes("key"));

    // Names can't leave the folder or collide through their separator.
    EXPECT_EQ(KeychainDeviceStorage::itemFileName("../x", "a@b/c"), "..%2Fx@a%40b%2Fc");
    KeychainDeviceStorage sneaky("..", "/../../escape", "label", folder);
    sneaky.save(bytes("s"));
    EXPECT_FALSE(fs::exists(dir.path() / "escape"));
    EXPECT_EQ(sneaky.load(), bytes("s"));

    // The folder is tightened when found loose.
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(identity.load(), bytes("key"));
    EXPECT_EQ(modeOf(folder), 0700u);
}

TEST(DeviceStorageRecords, EachItemReadsBackOnlyItsOwnRevocationRecords) {
    TempFolder dir;
    const fs::path folder = dir.path() / "keychain";
    fs::create_directories(folder);
    struct Case {
        const char* name;
        std::shared_ptr<DeviceStorage> storage;
        std::shared_ptr<DeviceStorage> neighbour;  // another item in the same folder
        std::string item;                           // the item's file name
    };
    const std::vector<Case> cases = {
        {"file", std::make_shared<FileDeviceStorage>(folder / "devices.json"),
         std::make_shared<FileDeviceStorage>(folder / "devices.json.old"), "devices.json"},
        {"keychain",
         std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                 KeychainDeviceStorage::defaultAccount,
                                                 KeychainDeviceStorage::defaultLabel, folder),
         std::make_shared<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService, "relay-identity", "label", folder),
         "local.morvane.host@paired-devices"},
    };
    const auto sorted = [](std::vector<std::string> ids) {
        std::sort(ids.begin(), ids.end());
        return ids;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.storage->save(bytes("[]"));
        EXPECT_TRUE(c.storage->recordedRevocations().empty());
        c.storage->recordRevoked("0011223344556677");
        c.storage->recordRevoked("0011223344556677");  // twice is once
        c.storage->recordRevoked("odd/../id\n");        // any id a hand-made list may hold
        c.neighbour->recordRevoked("8899aabbccddeeff");
        // Names planted beside it that no record of ours has.
        fs::create_directory(folder / ("." + c.item + ".revoked-6869"));
        writeText(folder / ("." + c.item + ".revoked-zz"), "");
        writeText(folder / ("." + c.item + ".revoked-abc"), "");
        EXPECT_EQ(sorted(c.storage->recordedRevocations()),
                  (std::vector<std::string>{"0011223344556677", "odd/../id\n"}));
        EXPECT_EQ(c.neighbour->recordedRevocations(), std::vector<std::string>{"8899aabbccddeeff"});
        EXPECT_EQ(c.storage->load(), bytes("[]")) << "a record changes nothing stored";

        c.storage->forgetRevocations();
        c.neighbour->forgetRevocations();
        EXPECT_TRUE(c.storage->recordedRevocations().empty());
        EXPECT_TRUE(c.neighbour->recordedRevocations().empty());
        fs::remove(folder / ("." + c.item + ".revoked-6869"));
    }
    EXPECT_THROW(RefusingDeviceStorage("no").recordRevoked("x"), DeviceStorageError);
}

// Dotfiles or a synced folder: the items' folder, or an item itself, kept
// elsewhere behind a link. Read, written and removed where the link leads,
// and every link still says what it said.
TEST(KeychainDeviceStorage, ALinkedFolderOrItemIsUsedWhereItLeadsAndTheLinkStays) {
    const std::string name = KeychainDeviceStorage::itemFileName(KeychainDeviceStorage::defaultService,
                                                                 KeychainDeviceStorage::defaultAccount);
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link, what it says
        std::string stored;                                       // where the bytes are
    };
    const std::vector<Case> cases = {
        {"folder", {{"keychain", "dotfiles/keychain"}}, "dotfiles/keychain/" + name},
        {"item", {{"keychain/" + name, "../dotfiles/devices.json"}}, "dotfiles/devices.json"},
        {"both, the item through two links",
         {{"keychain", "sync/keychain"}, {"sync/keychain/" + name, "list"}, {"sync/keychain/list", "../../dotfiles/l"}},
         "dotfiles/l"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        // A folder the link leads to is the owner's, made private by them.
        for (const char* folder : {"dotfiles/keychain", "sync/keychain", "keychain"})
            if (std::none_of(c.links.begin(), c.links.end(), [&](const auto& l) { return l.first == folder; })) {
                fs::create_directories(dir.path() / folder);
                ::chmod((dir.path() / folder).c_str(), 0700);
            }
        for (const auto& [link, says] : c.links) fs::create_symlink(says, dir.path() / link);
        KeychainDeviceStorage item(KeychainDeviceStorage::defaultService, KeychainDeviceStorage::defaultAccount,
                                   KeychainDeviceStorage::defaultLabel, dir.path() / "keychain");
        writeText(dir.path() / c.stored, "[\"phone\"]");
        EXPECT_EQ(item.load(), bytes("[\"phone\"]"));
        item.save(bytes("[\"phone\",\"tablet\"]"));
        EXPECT_EQ(readText(dir.path() / c.stored), "[\"phone\",\"tablet\"]");
        item.remove();
        EXPECT_FALSE(fs::exists(dir.path() / c.stored));
        EXPECT_EQ(item.load(), std::nullopt);
        for (const auto& [link, says] : c.links) EXPECT_EQ(fs::read_symlink(dir.path() / link), says) << link;
    }
}

TEST(KeychainDeviceStorage, ReportsEachFailureWithItsSentence) {
    TempFolder dir;
    auto folder = dir.path() / "keychain";
    const std::string service = KeychainDeviceStorage::defaultService;
    KeychainDeviceStorage item(service, "paired-devices", KeychainDeviceStorage::defaultLabel, folder);
    item.save(bytes("[]"));
    auto file = folder / KeychainDeviceStorage::itemFileName(service, "paired-devices");

    // A link at the item's place into a folder others may change is not
    // followed: whoever replaces the file there could let any device in.
    auto shared = dir.path() / "shared";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    auto victim = shared / "victim";
    writeText(victim, "[\"other\"]");
    fs::remove(file);
    fs::create_symlink(victim, file);
    const std::string othersMayChange =
        "the link " + file.string() + " leads into " + shared.string() + ", which others may change";
    EXPECT_EQ(errorOf([&] { item.load(); }), othersMayChange);
    EXPECT_EQ(errorOf([&] { item.save(bytes("[]")); }), othersMayChange);
    EXPECT_EQ(readText(victim), "[\"other\"]");
    fs::remove(file);

    // Something at the item's place that holds no data, or more than an
    // item may: each says which.
    fs::create_directory(file);
    EXPECT_EQ(errorOf([&] { item.load(); }), file.string() + " is not a regular file");
    EXPECT_EQ(errorOf([&] { item.save(bytes("[]")); }).rfind("cannot update " + file.string() + ": ", 0), 0u);
    fs::remove(file);
    writeText(file, "[]");
    fs::resize_file(file, maxStoredBytes + 1);
    EXPECT_EQ(errorOf([&] { item.load(); }),
              file.string() + " is larger than the " + std::to_string(maxStoredBytes) + " bytes an item may hold");
    fs::remove(file);

    // The folder itself replaced by a loop of links.
    fs::rename(folder, dir.path() / "moved");
    fs::create_directory_symlink(dir.path() / "keychain.other", folder);
    fs::create_directory_symlink(folder, dir.path() / "keychain.other");
    EXPECT_EQ(errorOf([&] { item.load(); }),
              "the folder of private items " + folder.string() + " is a loop of symbolic links");
    fs::remove(folder);
    fs::remove(dir.path() / "keychain.other");
    fs::rename(dir.path() / "moved", folder);

    // An item or a folder that belongs to another user is not ours to read.
    item.save(bytes("[]"));
    if (runningAsRoot()) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        EXPECT_EQ(errorOf([&] { item.load(); }), "this build cannot read the stored list (-25293)");
        ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        EXPECT_EQ(errorOf([&] { item.load(); }), "the folder of private items is not available: " + TrustedCLI::describe(EACCES));
        ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
        EXPECT_EQ(item.load(), bytes("[]"));
        GTEST_SKIP() << "write-permission checks do not apply to root";
    }
    ::chmod(file.c_str(), 0);
    EXPECT_EQ(errorOf([&] { item.load(); }), "this build cannot read the stored list (-25293)");
    ::chmod(file.c_str(), 0600);

    KeychainDeviceStorage fresh(service, "new-account", "label", folder);
    ::chmod(folder.c_str(), 0500);
    EXPECT_EQ(errorOf([&] { fresh.save(bytes("x")); }),
              "cannot create " + (folder / "local.morvane.host@new-account").string() + ": " +
                  TrustedCLI::describe(EACCES));
    EXPECT_EQ(errorOf([&] { item.remove(); }), "cannot remove " + file.string() + ": " + TrustedCLI::describe(EACCES));
    ::chmod(folder.c_str(), 0700);
}

// What a special file looks like, so a test can tell it was left as it was.
struct Special {
    ino_t inode = 0;
    mode_t mode = 0;
    dev_t device = 0;
    bool operator==(const Special&) const = default;
};
// The host's own item, kept in `folder`, and its file's name there.
std::unique_ptr<KeychainDeviceStorage> hostItemIn(const fs::path& folder) {
    return std::make_unique<KeychainDeviceStorage>(KeychainDeviceStorage::defaultService,
                                                   KeychainDeviceStorage::defaultAccount,
                                                   KeychainDeviceStorage::defaultLabel, folder);
}
std::string hostItemName() {
    return KeychainDeviceStorage::itemFileName(KeychainDeviceStorage::defaultService,
                                               KeychainDeviceStorage::defaultAccount);
}

Special specialAt(const fs::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return {};
    return {st.st_ino, st.st_mode, st.st_rdev};
}

// A device node or a FIFO where the list's bytes would be, at the item's
// own place or where a link leads (/dev/null linked in, the host running as
// root): every save, Start Fresh and read leaves it as it was, and each
// refusal says why.
TEST(DeviceStorages, ASpecialFileOrALinkToOneIsNeverReplacedNorRemoved) {
    const std::string item = hostItemName();
    struct Case {
        bool device;     // a character device of our own, else a FIFO
        bool linked;     // the item a link to it, else it at the item's place
        bool keychain;   // else the file storage, which follows no link
    };
    std::vector<Case> cases;
    for (bool device : {false, true})
        for (bool linked : {false, true})
            for (bool keychain : {false, true}) {
                if (!device || runningAsRoot()) cases.push_back({device, linked, keychain});
            }
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device ? "device" : "fifo") + (c.linked ? ", linked" : "") +
                     (c.keychain ? ", keychain" : ", file"));
        TempFolder dir;
        const fs::path folder = dir.path() / "keychain", elsewhere = dir.path() / "dev";
        fs::create_directories(folder);
        fs::create_directories(elsewhere);
        ::chmod(folder.c_str(), 0700);
        ::chmod(elsewhere.c_str(), 0755);
        const fs::path at = folder / (c.keychain ? item : "devices.json");
        const fs::path special = c.linked ? elsewhere / "null" : at;
        if (c.device) {
            ASSERT_EQ(::mknod(special.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
        } else {
            ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0);
        }
        if (c.linked) fs::create_symlink(special, at);
        const Special before = specialAt(special);
        std::unique_ptr<DeviceStorage> storage;
        if (c.keychain)
            storage = hostItemIn(folder);
        else
            storage = std::make_unique<FileDeviceStorage>(at);
        const std::string loaded = errorOf([&] { storage->load(); });
        const std::string saved = errorOf([&] { storage->save(bytes("[]")); });
        const std::string removed = errorOf([&] { storage->remove(); });
        EXPECT_EQ(specialAt(special), before);
        if (c.linked) {
            EXPECT_EQ(fs::read_symlink(at), special);
        }
        EXPECT_FALSE(fs::exists(elsewhere / (".null.tmp-" + std::to_string(::getpid()))));
        for (const auto& said : {saved, removed}) EXPECT_NE(said.find("it is left as it is"), std::string::npos) << said;
        const std::string kind = c.device ? "a character device" : "a FIFO";
        if (c.keychain && c.linked) {
            const std::string words = "the link " + at.string() + " leads to " + special.string() + ", which is " +
                                      kind + ", not a regular file; it is left as it is";
            EXPECT_EQ(loaded, words);
            EXPECT_EQ(saved, "cannot update " + at.string() + ": " + words);
            EXPECT_EQ(removed, "cannot remove " + at.string() + ": " + words);
        } else if (c.keychain) {
            const std::string words = "is " + kind + ", not a regular file; it is left as it is";
            EXPECT_EQ(loaded, at.string() + " " + words);
            EXPECT_EQ(saved, "cannot update " + at.string() + ": it " + words);
            EXPECT_EQ(removed, "cannot remove " + at.string() + ": it " + words);
        } else {
            EXPECT_NE(loaded, "(no error)");
            EXPECT_EQ(removed, "the device file is not a regular file; it is left as it is");
        }
    }
}

// A list others may write may hold a device of theirs: it is refused as it
// is, its mode and bytes untouched, and so is a linked folder of items that
// others may read or change, which is the owner's to set. The host's own
// folder is still made private again when found loose.
TEST(KeychainDeviceStorage, AListOrALinkedFolderOthersMayChangeIsRefusedAndLeftAsItIs) {
    const std::string name = hostItemName();
    struct Case {
        const char* name;
        bool linkFolder;   // the items' folder a link to "dotfiles", else the item a link to "dotfiles/list"
        mode_t folderMode;
        mode_t fileMode;
        std::string says;  // after the path of what is refused; empty when it is used
    };
    const std::vector<Case> cases = {
        {"item linked to a file anyone may write", false, 0700, 0666, ", which others may change; it is left as it is and not used"},
        {"item linked to a file its group may write", false, 0700, 0620, ", which others may change; it is left as it is and not used"},
        {"item linked to a private file", false, 0700, 0600, ""},
        {"folder linked to one others may read", true, 0755, 0600, "(mode 0755); it is left as it is and not used until it is 0700"},
        {"folder linked to one others may change", true, 0777, 0600, "(mode 0777); it is left as it is and not used until it is 0700"},
        {"folder linked to a private one", true, 0700, 0600, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        const fs::path dotfiles = dir.path() / "dotfiles", keychain = dir.path() / "keychain";
        fs::create_directories(dotfiles);
        const fs::path stored = c.linkFolder ? dotfiles / name : dotfiles / "list";
        writeText(stored, "[\"theirs\"]");
        ::chmod(stored.c_str(), c.fileMode);
        if (c.linkFolder) {
            fs::create_directory_symlink(dotfiles, keychain);
        } else {
            fs::create_directories(keychain);
            fs::create_symlink(stored, keychain / name);
        }
        ::chmod(dotfiles.c_str(), c.folderMode);
        const auto list = hostItemIn(keychain);
        const std::string said = errorOf([&] { list->load(); });
        if (c.says.empty()) {
            EXPECT_EQ(said, "(no error)");
        } else if (c.linkFolder) {
            EXPECT_EQ(said, "the link " + keychain.string() + " leads to the folder of private items " +
                                dotfiles.string() + ", which others may read or change " + c.says);
            EXPECT_NE(errorOf([&] { list->save(bytes("[]")); }), "(no error)");
        } else {
            EXPECT_EQ(said, "the link " + (keychain / name).string() + " leads to " + stored.string() + c.says);
        }
        EXPECT_EQ(modeOf(dotfiles), c.folderMode & 0777);
        EXPECT_EQ(modeOf(stored), c.says.empty() ? 0600u : c.fileMode);
        EXPECT_EQ(readText(stored), "[\"theirs\"]");
    }
    // An item at its own place that others may write, too.
    TempFolder dir;
    const auto own = hostItemIn(dir.path() / "keychain");
    own->save(bytes("[]"));
    ::chmod((dir.path() / "keychain" / name).c_str(), 0666);
    EXPECT_EQ(errorOf([&] { own->load(); }),
              (dir.path() / "keychain" / name).string() + " may be changed by others; it is left as it is and not used");
    EXPECT_EQ(modeOf(dir.path() / "keychain" / name), 0666u);
}

TEST(TrustedCLI, DescribesKnownStatusesWithTheirNumberAndOthersAsOSStatus) {
    EXPECT_EQ(TrustedCLI::describe(EACCES), "Permission denied (13)");
    EXPECT_EQ(TrustedCLI::describe(-25300), "the item could not be found (-25300)");
    EXPECT_EQ(TrustedCLI::describe(-12345), "OSStatus -12345");
}

}  // namespace
}  // namespace morvane
