#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <algorithm>

#include "app/display_wake.h"
#include "app/login_item.h"
#include "app/outbox.h"
#include "app/reopen.h"
#include "transfer/disk_files.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

struct FilesFolder {
    fs::path path;
    explicit FilesFolder(const std::string& name)
        : path(fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~FilesFolder() { fs::remove_all(path); }
};

void writeSized(const fs::path& p, std::size_t size) {
    std::ofstream out(p, std::ios::binary);
    out << std::string(size, 'x');
}

TEST(Outbox, CopiesRegularFilesUnderFreeNamesWithinTheLimit) {
    FilesFolder dir("outbox-test");
    const fs::path outbox = prepareOutbox(dir.path / "Morvane" / "Outbox");
    struct stat st {};
    ASSERT_EQ(::stat(outbox.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    writeSized(outbox / "a.txt", 1);
    writeSized(outbox / "a (2).txt", 1);
    writeSized(outbox / "notes", 1);
    fs::create_directories(dir.path / "chosen");
    writeSized(dir.path / "chosen" / "a.txt", 10);
    writeSized(dir.path / "chosen" / "notes", 10);
    writeSized(dir.path / "chosen" / "exact.bin", 100);
    writeSized(dir.path / "chosen" / "over.bin", 101);
    fs::create_directories(dir.path / "chosen" / "folder");
    const auto result = copyIntoOutbox({dir.path / "chosen" / "a.txt", dir.path / "chosen" / "notes",
                                        dir.path / "chosen" / "exact.bin", dir.path / "chosen" / "over.bin",
                                        dir.path / "chosen" / "folder", dir.path / "chosen" / "missing"},
                                       outbox, OutboxNaming::basic(), 100);
    EXPECT_EQ(result, (OutboxCopyResult{3, 1, 2}));
    EXPECT_EQ(fs::file_size(outbox / "a (3).txt"), 10u);
    EXPECT_EQ(fs::file_size(outbox / "notes (2)"), 10u);
    EXPECT_EQ(fs::file_size(outbox / "exact.bin"), 100u);
    EXPECT_FALSE(fs::exists(outbox / "over.bin"));
    EXPECT_EQ(fs::file_size(outbox / "a.txt"), 1u);  // never overwritten

    EXPECT_EQ(outboxProblemText(result), "1 larger than 200 MB, the most a device can fetch.\n2 could not be copied.");
    EXPECT_FALSE(outboxProblemText({4, 0, 0}));
}

TEST(Outbox, CopiesAreNamedAsReceivedFilesAreSoTheStoreOffersThem) {
    FilesFolder dir("outbox-naming-test");
    const fs::path root = dir.path / "Morvane";
    const fs::path outbox = prepareOutbox(root / std::string(DiskFiles::outboxName));
    fs::create_directories(dir.path / "chosen");
    const std::string hidden = "bi\xE2\x80\xAE" "di.txt";  // a right-to-left override inside
    const std::string longName = std::string(230, 'a') + ".txt";
    writeSized(dir.path / "chosen" / hidden, 3);
    writeSized(dir.path / "chosen" / longName, 4);
    writeSized(outbox / "bidi.txt", 1);
    const auto result =
        copyIntoOutbox({dir.path / "chosen" / hidden, dir.path / "chosen" / longName}, outbox, OutboxNaming::transfer());
    EXPECT_EQ(result, (OutboxCopyResult{2, 0, 0}));

    std::vector<std::string> offered;
    for (const auto& entry : DiskFiles(root).listOutbox()) offered.push_back(entry.name);
    std::sort(offered.begin(), offered.end());
    EXPECT_EQ(offered, (std::vector<std::string>{std::string(196, 'a') + ".txt", "bidi (2).txt", "bidi.txt"}));
}

TEST(Outbox, AStreamWithoutATrustworthySizeIsNotCopied) {
    FilesFolder dir("outbox-fifo-test");
    const fs::path outbox = prepareOutbox(dir.path / "Outbox");
    const fs::path fifo = dir.path / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // /dev/zero reports a size of 0 and never ends.
    const auto result = copyIntoOutbox({fifo, "/dev/zero"}, outbox, OutboxNaming::basic());
    EXPECT_EQ(result, (OutboxCopyResult{0, 0, 2}));
    EXPECT_TRUE(fs::is_empty(outbox));
}

TEST(LoginItem, WritesReadsBackAndRemovesTheAutostartEntry) {
    FilesFolder dir("login-item-test");
    LoginItem item(dir.path / "autostart" / "morvane.desktop", "/opt/Mor vane/morvane-host", LoginItem::Places{});
    EXPECT_EQ(item.status(), LoginItemStatus::off);
    EXPECT_FALSE(item.registerItem());
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    std::ifstream in(dir.path / "autostart" / "morvane.desktop");
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/Mor vane/morvane-host\"\n"), std::string::npos);
    EXPECT_FALSE(item.unregisterItem());
    EXPECT_EQ(item.status(), LoginItemStatus::off);
    EXPECT_FALSE(item.unregisterItem());  // already gone is no failure
    EXPECT_NE(LoginItem::desktopEntry("/a\"b$c").find("Exec=\"/a\\\\\"b\\\\$c\""), std::string::npos);
}

TEST(Reopen, TheNewProcessStartsOnlyAfterTheOldEndsAndInheritsNoDescriptors) {
    FilesFolder dir("reopen-test");
    // A stand-in program that records its open descriptors.
    const fs::path program = dir.path / "program.sh";
    const fs::path report = dir.path / "report";
    {
        std::ofstream out(program);
        out << "#!/bin/sh\nls /proc/self/fd > '" << report.string() << ".tmp'; mv '" << report.string() << ".tmp' '"
            << report.string() << "'\n";
    }
    fs::permissions(program, fs::perms::owner_all);
    // Something that stands for the old host, waited for by pid. It lives
    // until the test closes its pipe, not for a time: a test held up longer
    // than such a time on a busy machine would see the new program already.
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    const pid_t old = ::fork();
    if (old == 0) {
        ::close(hold[1]);
        char byte;
        while (::read(hold[0], &byte, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(hold[0]);
    // A descriptor of ours that must not reach the new program.
    const int leaked = ::dup(1);
    EXPECT_FALSE(startReopen(program, old));
    ::usleep(100'000);
    EXPECT_FALSE(fs::exists(report));  // still waiting for the old one
    ::close(hold[1]);
    int status = 0;
    ::waitpid(old, &status, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(report) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(report));
    std::ifstream in(report);
    std::vector<int> fds;
    for (int fd; in >> fd;) fds.push_back(fd);
    for (const int fd : fds) EXPECT_LE(fd, 3) << "descriptor " << fd << " was inherited";
    ::close(leaked);
}

// What the fake saw lives with the test, not in the backend, so it can
// still be read after the holder has destroyed its backend.
struct WakeRecord {
    int activity = 0, inhibits = 0, uninhibits = 0, ends = 0;
    bool refuse = false;
};

struct FakeWake final : DisplayWakeBackend {
    explicit FakeWake(WakeRecord& record) : r(record) {}
    WakeRecord& r;
    void declareActivity(const std::string&) override { ++r.activity; }
    void endActivity() override { ++r.ends; }
    bool inhibit(const std::string&) override {
        ++r.inhibits;
        return !r.refuse;
    }
    void uninhibit() override { ++r.uninhibits; }
};

TEST(DisplayWake, HoldsOnceReleasesOnceAndWakesOnEveryHold) {
    WakeRecord fake;
    {
        DisplayWake wake(std::make_unique<FakeWake>(fake));
        wake.release();  // nothing held: nothing happens
        EXPECT_EQ(fake.uninhibits, 0);
        EXPECT_TRUE(wake.hold(DisplayWake::reason));
        EXPECT_TRUE(wake.hold(DisplayWake::reason));
        EXPECT_EQ(fake.inhibits, 1);
        EXPECT_EQ(fake.activity, 2);
        wake.release();
        EXPECT_EQ(fake.uninhibits, 1);
        EXPECT_FALSE(wake.held());
        fake.refuse = true;
        EXPECT_FALSE(wake.hold(DisplayWake::reason));
        EXPECT_FALSE(wake.held());
        fake.refuse = false;
        EXPECT_TRUE(wake.hold(DisplayWake::reason));
    }
    EXPECT_EQ(fake.uninhibits, 2);  // dropping the holder lets go
}

}  // namespace
}  // namespace morvane
