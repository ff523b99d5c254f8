#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "transfer/disk_files.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

class DiskFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/morvane-files-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base = pattern;
        root = base / "Downloads" / "Morvane";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(base, ec);
    }

    static void writeFile(const fs::path& path, std::string_view text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(root)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::string> partials() const {
        auto all = names();
        std::erase_if(all, [](const std::string& n) { return !DiskFiles::isPartial(n); });
        return all;
    }
    std::optional<IncomingFile::Committed> upload(DiskFiles& store, const std::string& name, const std::string& text,
                                                  const std::string& origin = "") {
        auto in = store.beginIncoming(name, static_cast<std::int64_t>(text.size()), origin);
        if (!in) return std::nullopt;
        if (!in->write(Bytes(text.begin(), text.end()))) return std::nullopt;
        return in->commit();
    }

    fs::path base;
    fs::path root;
    // Plenty of room, whatever the test machine's disk holds.
    DiskFiles::FreeSpace roomy = [](int) { return std::optional<std::uint64_t>(UINT64_MAX / 2); };
};

TEST_F(DiskFilesTest, UploadsGetAFreeNameAndNeverReplaceAFile) {
    DiskFiles store(root, roomy);
    for (const char* expected : {"photo.jpg", "photo (2).jpg", "photo (3).jpg"}) {
        const auto saved = upload(store, "photo.jpg", expected);
        ASSERT_TRUE(saved);
        EXPECT_EQ(saved->name, expected);
        EXPECT_EQ(readFile(root / expected), expected);
        struct stat st {};
        ASSERT_EQ(::stat((root / expected).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    struct stat folder {};
    ASSERT_EQ(::stat(root.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((root / "Outbox").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    for (int i = 1; i <= 999; ++i) writeFile(root / (i == 1 ? "x.txt" : "x (" + std::to_string(i) + ").txt"), "old");
    EXPECT_FALSE(upload(store, "x.txt", "new"));
    EXPECT_TRUE(partials().empty());
    EXPECT_EQ(readFile(root / "x.txt"), "old");
    EXPECT_EQ(readFile(root / "x (999).txt"), "old");

    // Names must come clean; sizes must be within the limit.
    EXPECT_EQ(store.beginIncoming("../escape.txt", 3, ""), nullptr);
    EXPECT_EQ(store.beginIncoming(".hidden", 3, ""), nullptr);
    EXPECT_EQ(store.beginIncoming("ok.txt", 0, ""), nullptr);
    EXPECT_EQ(store.beginIncoming("ok.txt", 209715201, ""), nullptr);
    EXPECT_TRUE(partials().empty());
}

TEST_F(DiskFilesTest, UnfinishedUploadsLeaveNothingBehind) {
    DiskFiles store(root, roomy);
    {
        auto in = store.beginIncoming("short.txt", 10, "");
        ASSERT_TRUE(in);
        EXPECT_EQ(partials().size(), 1u);
        EXPECT_TRUE(in->write(Bytes(4, 'a')));
        EXPECT_FALSE(in->write(Bytes(7, 'b')));  // more than remains: nothing written
        EXPECT_TRUE(in->write(Bytes(6, 'c')));
        in->discard();
        EXPECT_TRUE(partials().empty());
        EXPECT_FALSE(in->write(Bytes(1, 'd')));
        EXPECT_FALSE(in->commit());
    }
    {
        auto in = store.beginIncoming("short.txt", 10, "");
        ASSERT_TRUE(in);
        EXPECT_TRUE(in->write(Bytes(9, 'a')));
        EXPECT_FALSE(in->commit());
        EXPECT_TRUE(partials().empty());
    }
    {
        auto in = store.beginIncoming("dropped.txt", 10, "");
        ASSERT_TRUE(in);
        ASSERT_EQ(partials().size(), 1u);
    }  // dropped without a word
    EXPECT_TRUE(partials().empty());
    EXPECT_EQ(names(), (std::vector<std::string>{"Outbox"}));
}

TEST_F(DiskFilesTest, StaleTemporaryFilesAreSweptButLockedOnesAndLookAlikesStay) {
    DiskFiles store(root, roomy);
    auto running = store.beginIncoming("running.txt", 5, "");
    ASSERT_TRUE(running);
    const auto runningName = partials().at(0);
    writeFile(root / ".morvane-upload-0123abcd.partial", "crash");
    writeFile(root / ".morvane-upload-ABCD.partial", "upper");
    writeFile(root / ".morvane-upload-.partial", "empty middle");
    writeFile(root / ".morvane-upload-12345678901234567.partial", "17 digits");
    ASSERT_TRUE(upload(store, "next.txt", "hello"));
    const auto left = names();
    EXPECT_TRUE(std::count(left.begin(), left.end(), runningName));
    EXPECT_FALSE(std::count(left.begin(), left.end(), ".morvane-upload-0123abcd.partial"));
    EXPECT_TRUE(std::count(left.begin(), left.end(), ".morvane-upload-ABCD.partial"));
    EXPECT_TRUE(std::count(left.begin(), left.end(), ".morvane-upload-.partial"));
    EXPECT_TRUE(std::count(left.begin(), left.end(), ".morvane-upload-12345678901234567.partial"));
    EXPECT_TRUE(running->write(Bytes(5, 'r')));
    ASSERT_TRUE(running->commit());
    EXPECT_EQ(readFile(root / "running.txt"), "rrrrr");

    EXPECT_TRUE(DiskFiles::isPartial(".morvane-upload-f.partial"));
    EXPECT_TRUE(DiskFiles::isPartial(".morvane-upload-ffffffffffffffff.partial"));
    EXPECT_FALSE(DiskFiles::isPartial(".morvane-upload-0g.partial"));
    EXPECT_FALSE(DiskFiles::isPartial("morvane-upload-0.partial"));
    EXPECT_FALSE(DiskFiles::isPartial(".morvane-upload-0.part"));
}

TEST_F(DiskFilesTest, AtLaunchLeftoverUploadsAreRemovedWithoutWaitingForTheNextUpload) {
    DiskFiles missing(base / "nowhere" / "Morvane", roomy);
    missing.removeLeftoverUploads();
    EXPECT_FALSE(fs::exists(base / "nowhere")) << "no folder is made just to look into it";

    DiskFiles store(root, roomy);
    auto running = store.beginIncoming("running.txt", 5, "");
    ASSERT_TRUE(running);
    const auto runningName = partials().at(0);
    struct Case {
        const char* name;
        bool removed;
    };
    const std::vector<Case> cases = {
        {".morvane-upload-0123abcd.partial", true},  // a crashed upload's file
        {".morvane-upload-ffffffffffffffff.partial", true},
        {".morvane-upload-ABCD.partial", false},  // not a name this store makes
        {"photo.partial", false},
        {"report.pdf", false},
    };
    for (const auto& c : cases) writeFile(root / c.name, "left behind");
    fs::create_directory(root / ".morvane-upload-abc.partial");  // a folder is never removed

    store.removeLeftoverUploads();
    for (const auto& c : cases) EXPECT_EQ(fs::exists(root / c.name), !c.removed) << c.name;
    EXPECT_TRUE(fs::is_directory(root / ".morvane-upload-abc.partial"));
    EXPECT_TRUE(fs::exists(root / runningName)) << "an upload that still runs keeps its file";
    EXPECT_TRUE(running->write(Bytes(5, 'r')));
    ASSERT_TRUE(running->commit());
    EXPECT_EQ(readFile(root / "running.txt"), "rrrrr");
}

TEST_F(DiskFilesTest, AnUploadMustLeaveTheFreeSpaceFloor) {
    std::uint64_t available = 0;
    DiskFiles store(root, [&](int) { return std::optional<std::uint64_t>(available); });
    available = 1000 + DiskFiles::freeSpaceFloor;
    EXPECT_NE(store.beginIncoming("fits.bin", 1000, ""), nullptr);
    available -= 1;
    EXPECT_EQ(store.beginIncoming("fits.bin", 1000, ""), nullptr);
    DiskFiles unknown(root, [](int) { return std::optional<std::uint64_t>(); });
    EXPECT_NE(unknown.beginIncoming("fits.bin", 1000, ""), nullptr);
    const int tmp = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_TRUE(DiskFiles::systemFreeSpace(tmp).has_value());
    ::close(tmp);
}

TEST_F(DiskFilesTest, OnlyPlainSingleLinkedRegularOutboxFilesAreListedOrOpened) {
    DiskFiles store(root, roomy);
    EXPECT_TRUE(store.listOutbox().empty());  // makes the folders
    const auto outbox = root / "Outbox";
    writeFile(outbox / "plain.txt", "0123456789");
    writeFile(base / "secret.txt", "secret");
    fs::create_symlink(base / "secret.txt", outbox / "link.txt");
    fs::create_directory(outbox / "folder");
    writeFile(outbox / "linked.txt", "two names");
    fs::create_hard_link(outbox / "linked.txt", base / "elsewhere.txt");
    writeFile(outbox / ".hidden", "dot");
    ASSERT_EQ(::mkfifo((outbox / "pipe").c_str(), 0600), 0);

    const auto listed = store.listOutbox();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "plain.txt");
    EXPECT_EQ(listed[0].size, 10);
    EXPECT_GT(listed[0].modified, 1'600'000'000);

    for (const char* refused : {"link.txt", "folder", "linked.txt", ".hidden", "pipe", "missing", "../secret.txt"})
        EXPECT_EQ(store.openOutbox(refused), nullptr) << refused;

    auto out = store.openOutbox("plain.txt");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 10);
    writeFile(outbox / "plain.txt", "0123456789 and more");  // truncates and grows the same file
    const auto first = out->read(4);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::string(first->begin(), first->end()), "0123");
    EXPECT_FALSE(out->read(0));
    out->close();
    EXPECT_FALSE(out->read(4));
}

TEST_F(DiskFilesTest, ARootThatIsASymbolicLinkRefusesEverything) {
    fs::create_directories(base / "real" / "Outbox");
    writeFile(base / "real" / "Outbox" / "a.txt", "a");
    fs::create_directories(root.parent_path());
    fs::create_directory_symlink(base / "real", root);
    DiskFiles store(root, roomy);
    EXPECT_EQ(store.beginIncoming("a.txt", 1, ""), nullptr);
    EXPECT_TRUE(store.listOutbox().empty());
    EXPECT_EQ(store.openOutbox("a.txt"), nullptr);
}

// Whether the file system under `folder` keeps user attributes at all.
bool keepsUserAttributes(const fs::path& folder) {
    const auto probe = folder / "attribute-probe";
    std::ofstream(probe) << "x";
    const bool kept = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    fs::remove(probe);
    return kept;
}

TEST_F(DiskFilesTest, EveryReceivedFileCarriesTheOriginMarkWhereTheFileSystemKeepsIt) {
    DiskFiles store(root, roomy);
    // This computer's own page, or the page the device is on elsewhere.
    const struct {
        const char* name;
        const char* origin;
        std::string_view marked;
    } cases[] = {
        {"letter.pdf", "", DiskFiles::originValue},
        {"relayed.pdf", "https://relay.example.org/", "https://relay.example.org/"},
    };
    for (const auto& c : cases) {
        const auto saved = upload(store, c.name, "%PDF", c.origin);
        ASSERT_TRUE(saved) << c.name;
        const bool supported = keepsUserAttributes(root);
        EXPECT_EQ(saved->quarantined, supported) << c.name;
        char value[256] = {};
        const auto length = ::getxattr((root / c.name).c_str(), DiskFiles::originAttribute, value, sizeof value);
        if (supported) {
            ASSERT_GT(length, 0) << c.name;
            EXPECT_EQ(std::string_view(value, static_cast<std::size_t>(length)), c.marked);
        } else {
            EXPECT_LT(length, 0) << c.name;
        }
    }
    // A second file of the same name is marked as well.
    const auto second = upload(store, "letter.pdf", "%PDF-2");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->quarantined, keepsUserAttributes(root));
}

TEST(UserDirs, TheDownloadsLineNamesTheFolderAndAnythingUnsafeIsIgnored) {
    const fs::path home = "/home/ann";
    const struct {
        const char* text;
        std::optional<fs::path> folder;
    } table[] = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", "/home/ann/Downloads"},
        {"# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n",
         "/home/ann/Téléchargements"},
        {"XDG_DOWNLOAD_DIR=\"/data/incoming\"", "/data/incoming"},
        {"XDG_DOWNLOAD_DIR=$HOME/Dl\r\n", "/home/ann/Dl"},
        {"  XDG_DOWNLOAD_DIR=\"$HOME/a\"\nXDG_DOWNLOAD_DIR=\"$HOME/b\"\n", "/home/ann/b"},
        {"XDG_DOWNLOAD_DIR=\"$HOME\"", "/home/ann"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/x/../Downloads\"", "/home/ann/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"Downloads\"", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$HOMEBOY/Downloads\"", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$OTHER/Downloads\"", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$HOME/$(rm -rf x)\"", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"/tmp/`id`\"", std::nullopt},
        {"#XDG_DOWNLOAD_DIR=\"/elsewhere\"", std::nullopt},
        {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(DiskFiles::userDirsDownload(row.text, home), row.folder);
    }
}

TEST_F(DiskFilesTest, StandardRootIsMorvaneInTheDownloadsFolder) {
    const auto saved = [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto home = saved("HOME");
    const auto downloads = saved("XDG_DOWNLOAD_DIR");
    const auto config = saved("XDG_CONFIG_HOME");
    ::setenv("HOME", base.c_str(), 1);
    ::unsetenv("XDG_DOWNLOAD_DIR");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DiskFiles::standardRoot(), base / "Downloads" / "Morvane");
    // The user's folder list, in the default settings folder or the one
    // XDG_CONFIG_HOME names.
    fs::create_directories(base / ".config");
    writeFile(base / ".config" / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Descargas\"\n");
    EXPECT_EQ(DiskFiles::standardRoot(), base / "Descargas" / "Morvane");
    fs::create_directories(base / "cfg");
    writeFile(base / "cfg" / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"/srv/in\"\n");
    ::setenv("XDG_CONFIG_HOME", (base / "cfg").c_str(), 1);
    EXPECT_EQ(DiskFiles::standardRoot(), fs::path("/srv/in/Morvane"));
    writeFile(base / "cfg" / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"elsewhere\"\n");
    EXPECT_EQ(DiskFiles::standardRoot(), base / "Downloads" / "Morvane");
    config ? ::setenv("XDG_CONFIG_HOME", config->c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    fs::remove(base / ".config" / "user-dirs.dirs");
    ::setenv("XDG_DOWNLOAD_DIR", (base / "Incoming").c_str(), 1);
    EXPECT_EQ(DiskFiles::standardRoot(), base / "Incoming" / "Morvane");
    ::setenv("XDG_DOWNLOAD_DIR", "relative", 1);
    EXPECT_EQ(DiskFiles::standardRoot(), base / "Downloads" / "Morvane");
    home ? ::setenv("HOME", home->c_str(), 1) : ::unsetenv("HOME");
    downloads ? ::setenv("XDG_DOWNLOAD_DIR", downloads->c_str(), 1) : ::unsetenv("XDG_DOWNLOAD_DIR");
}

}  // namespace
}  // namespace morvane
