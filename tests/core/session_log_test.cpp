#include "core/session_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdlib.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "../app/manual_executor.h"
#include "../support/full_disk.h"
#include "core/input_tally.h"
#include "core/loop_executor.h"
#include "core/paths.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t at = 1'772'356'502'417;  // 2026-03-01T09:15:02.417Z

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "morvane-log-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode & 07777;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(SessionLog, WritesOneLineOfTimeTagAndSentence) {
    TempFolder dir;
    testing::ManualExecutor queue;
    auto file = dir.path() / "Morvane" / "logs" / "host.log";
    {
        SessionLog log(file, queue, SessionLog::defaultMaxBytes, [] { return at; });
        log.write("app", "started");
        EXPECT_FALSE(fs::exists(file)) << "written on the queue, not by the caller";
        log.write("a-tag-of-twenty-chars", std::string(500, 'x'));
        log.write("input", "a\nb\tc\r");
        log.flush();
        EXPECT_EQ(readAll(file), "2026-03-01T09:15:02.417Z  app  started\n"
                                 "2026-03-01T09:15:02.417Z  a-tag-of-twenty-  " + std::string(149, 'x') + "\u2026" +
                                     std::string(150, 'x') + "\n"
                                 "2026-03-01T09:15:02.417Z  input  a b c \n");
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_EQ(modeOf(file.parent_path()), 0700u);
        EXPECT_EQ(modeOf(file.parent_path().parent_path()), 0700u);

        ::chmod(file.c_str(), 0644);
        log.write("app", "tightened");
        log.flush();
        EXPECT_EQ(modeOf(file), 0600u);
        log.write("app", "queued before the log goes");
    }
    auto text = readAll(file);
    EXPECT_NE(text.find("queued before the log goes\n"), std::string::npos);

    EXPECT_EQ(SessionLog::timestamp(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(SessionLog::timestamp(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(SessionLog(file, queue, 0).maxBytes(), 1024);
    EXPECT_EQ(SessionLog(file, queue, 500).maxBytes(), 1024);
}

TEST(SessionLog, MovesTheFileAsideBeforeALineWouldPassTheLimit) {
    TempFolder dir;
    auto file = dir.path() / "host.log";
    auto older = dir.path() / "host.log.1";
    testing::ManualExecutor queue;
    SessionLog log(file, queue, SessionLog::defaultMaxBytes, [] { return at; });
    // Lines of 576 and 577 bytes: 32 bytes of time, blanks, "app" and line
    // feed, and a text of three-byte euro signs and letters.
    const std::string fits = repeat("\xe2\x82\xac", 180) + "abcd";
    const std::string oneMore = repeat("\xe2\x82\xac", 181) + "ab";

    std::ofstream(file, std::ios::binary) << std::string(1'048'000, '.');
    std::ofstream(older) << "the old generation";
    log.write("app", fits);
    log.flush();
    EXPECT_EQ(fs::file_size(file), 1'048'576u);
    EXPECT_EQ(readAll(older), "the old generation");

    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(1'048'000, '.');
    log.write("app", oneMore);
    log.flush();
    EXPECT_EQ(fs::file_size(older), 1'048'000u);
    EXPECT_EQ(fs::file_size(file), 577u);

    // A single line longer than the limit moves even an empty file aside and
    // is written whole.
    SessionLog small(file, queue, 1024, [] { return at; });
    std::ofstream(file, std::ios::trunc).close();
    const std::string huge = repeat("\xf0\x9f\x98\x80", 300);
    small.write("app", huge);
    small.flush();
    EXPECT_EQ(fs::file_size(older), 0u);
    EXPECT_EQ(readAll(file), "2026-03-01T09:15:02.417Z  app  " + huge + "\n");
}

TEST(SessionLog, NeverWritesThroughALinkOrIntoAFifo) {
    TempFolder dir;
    auto file = dir.path() / "host.log";
    auto target = dir.path() / "elsewhere";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, file);
    testing::ManualExecutor queue;
    SessionLog log(file, queue, 1024, [] { return at; });
    log.write("app", "dropped");
    log.flush();
    EXPECT_EQ(readAll(target), "keep");
    EXPECT_TRUE(fs::is_symlink(file));

    // When the size rule moves the link aside, a plain file begins.
    log.write("app", repeat("\xf0\x9f\x98\x80", 300));
    log.flush();
    EXPECT_TRUE(fs::is_symlink(dir.path() / "host.log.1"));
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(readAll(target), "keep");

    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    log.write("app", "no reader waits for this");
    log.flush();  // must come back: a FIFO without a reader never blocks the queue
    EXPECT_TRUE(fs::is_fifo(file));

    // A file removed from outside is begun again by the next line.
    fs::remove(file);
    log.write("app", "again");
    log.flush();
    EXPECT_EQ(readAll(file), "2026-03-01T09:15:02.417Z  app  again\n");
}

std::string readPipe(int fd) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

// Where the folder takes no line, the line goes to the fallback (standard
// error in the program), whole; the file never keeps part of one.
TEST(SessionLog, ALineTheFolderCannotTakeGoesWholeToTheFallbackAndNeverHalfIntoTheFile) {
    testing::SmallTmpfs disk;
    if (disk.needsRoot()) GTEST_SKIP() << "mounting a tmpfs needs root";
    ASSERT_TRUE(disk.mounted()) << std::strerror(disk.error());
    const std::string earlier = std::string(4096 - 21, 'x') + "\n";  // 20 bytes left in its last page
    struct Case {
        const char* name;
        std::function<void(const fs::path& file)> make;  // the folder and file as the lines find them
        std::function<void(const fs::path& file)> mend;  // room again, where it comes back
        bool takesLines;
    };
    // Read-only last: it is the whole disk's.
    const std::vector<Case> cases = {
        {"room", [](const fs::path&) {}, {}, true},
        {"full mid-line",
         [&](const fs::path& file) {
             std::ofstream(file) << earlier;
             disk.fill();
         },
         [&](const fs::path&) { disk.free(); }, false},
        {"a folder where the file belongs", [](const fs::path& file) { fs::create_directory(file); },
         [](const fs::path& file) { fs::remove(file); }, false},
        {"read-only",
         [&](const fs::path& file) {
             std::ofstream(file) << earlier;
             ASSERT_TRUE(disk.makeReadOnly());
         },
         {}, false},
    };
    const std::string lines = "2026-03-01T09:15:02.417Z  pairing  the revocation of “iPad” could not be saved\n"
                              "2026-03-01T09:15:02.417Z  app  quit\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = disk.path() / c.name / "host.log";
        fs::create_directories(file.parent_path());
        c.make(file);
        const std::string before = fs::is_regular_file(file) ? readAll(file) : "";
        int fallback[2];
        ASSERT_EQ(::pipe2(fallback, O_NONBLOCK | O_CLOEXEC), 0);
        testing::ManualExecutor queue;
        SessionLog log(file, queue, SessionLog::defaultMaxBytes, [] { return at; }, fallback[1]);
        log.write("pairing", "the revocation of “iPad” could not be saved");
        log.write("app", "quit");
        log.flush();
        EXPECT_EQ(readPipe(fallback[0]), c.takesLines ? "" : lines);
        if (fs::is_regular_file(file)) {
            EXPECT_EQ(readAll(file), c.takesLines ? lines : before);
        }
        if (c.mend) {
            c.mend(file);
            log.write("app", "again");
            log.flush();
            EXPECT_EQ(readAll(file), before + "2026-03-01T09:15:02.417Z  app  again\n");
            EXPECT_EQ(readPipe(fallback[0]), "");
        }
        ::close(fallback[0]);
        ::close(fallback[1]);
    }
}

// The quit line is the file's last, however it comes: written in turn
// (lines after it, from threads still speaking, go to the fallback whole),
// or at once from a fault handler (lines still queued go there too).
TEST(SessionLog, TheLastLineStaysLastAndWhatComesAfterGoesToTheFallback) {
    const std::string quit = "2026-03-01T09:15:02.417Z  app  quit\n";
    const std::string before = "2026-03-01T09:15:02.417Z  relay  before\n";
    const std::string late = "2026-03-01T09:15:02.417Z  relay  late\n";
    struct Case {
        const char* name;
        bool fromAFault;
        std::string file, fallback;
    };
    const Case cases[] = {
        {"in turn", false, before + quit, late},
        {"from a fault", true, quit, before + late},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        const fs::path file = dir.path() / "host.log";
        int fallback[2];
        ASSERT_EQ(::pipe2(fallback, O_NONBLOCK | O_CLOEXEC), 0);
        testing::ManualExecutor queue;
        SessionLog log(file, queue, SessionLog::defaultMaxBytes, [] { return at; }, fallback[1]);
        log.endWith("app", "quit");
        log.write("relay", "before");
        if (c.fromAFault)
            log.endNow();
        else
            log.write("app", "quit");
        log.write("relay", "late");
        log.flush();
        // A second quit, or a fault after the quit, adds nothing.
        log.endNow();
        EXPECT_EQ(readAll(file), c.file);
        EXPECT_EQ(readPipe(fallback[0]), c.fallback);
        ::close(fallback[0]);
        ::close(fallback[1]);
    }
    // The time as a fault handler writes it, with no call that may lock.
    const std::pair<std::int64_t, const char*> times[] = {
        {0, "1970-01-01T00:00:00.000Z"},           {-1, "1969-12-31T23:59:59.999Z"},
        {951'782'400'000, "2000-02-29T00:00:00.000Z"}, {951'868'799'999, "2000-02-29T23:59:59.999Z"},
        {1'709'251'199'000, "2024-02-29T23:59:59.000Z"}, {at, "2026-03-01T09:15:02.417Z"},
        {4'102'444'800'000, "2100-01-01T00:00:00.000Z"},
    };
    for (const auto& [millis, text] : times) EXPECT_EQ(SessionLog::timestamp(millis), text) << millis;
}

TEST(SessionLog, LinesFromManyThreadsStayWholeAndInOrder) {
    TempFolder dir;
    auto file = dir.path() / "host.log";
    LoopExecutor queue("log");
    SessionLog log(file, queue);
    constexpr int threads = 4, lines = 250;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < lines; ++i) log.write("t" + std::to_string(t), std::to_string(i));
        });
    for (auto& w : writers) w.join();
    log.flush();

    std::istringstream in(readAll(file));
    std::string line;
    std::vector<int> next(threads, 0);
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(line.size() > 28, true) << line;
        ASSERT_EQ(line.substr(23, 4), "Z  t") << line;
        auto rest = line.substr(27);
        auto gap = rest.find("  ");
        int t = std::stoi(rest.substr(0, gap));
        int i = std::stoi(rest.substr(gap + 2));
        ASSERT_EQ(i, next[t]++) << line;
    }
    EXPECT_EQ(count, threads * lines);
}

TEST(SessionLog, CleanTurnsUnsafeCharactersIntoBlanksAndCountsScalars) {
    EXPECT_EQ(SessionLog::clean("", 10), "");
    EXPECT_EQ(SessionLog::clean("abc", 0), "");
    EXPECT_EQ(SessionLog::clean("a\nb\tc", 300), "a b c");
    // Emoji joined by U+200D (a format character).
    EXPECT_EQ(SessionLog::clean("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb", 40), "\xf0\x9f\x91\xa9 \xf0\x9f\x92\xbb");
    // Line and paragraph separators, private use, unassigned, a DEL.
    EXPECT_EQ(SessionLog::clean("a\xe2\x80\xa8" "b\xe2\x80\xa9" "c\xee\x80\x80" "d\xcd\xb8" "e\x7f", 40), "a b c d e ");
    // Ill-formed UTF-8 never reaches the line.
    EXPECT_EQ(SessionLog::clean("ok\xff\xfe!", 40), "ok  !");
    EXPECT_EQ(SessionLog::clean("\xed\xa0\x80x", 40).find('\xed'), std::string::npos);
    // Scalars, not bytes; blanks and runs are kept as they are.
    EXPECT_EQ(SessionLog::clean("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", 2), "\xe2\x82\xac\xe2\x82\xac");
    EXPECT_EQ(SessionLog::clean("  two  blanks ", 40), "  two  blanks ");
}

TEST(SessionLog, ALongLineLosesItsMiddleAndKeepsWhyItWasWritten) {
    // Homes of 40 characters: the lines that embed paths run past what the
    // log keeps, and the reason at their end must stay.
    const std::string home = "/home/" + std::string(34, 'h');
    const std::string item = home + "/.local/share/Morvane/keychain/local.morvane.host@paired-devices";
    const std::string ellipsis = "\u2026";
    const struct {
        const char* name;
        std::string text;
        std::string starts;
        std::string ends;
    } cases[] = {
        {"a path in the middle, named again in the reason",
         "paired devices could not be read from " + item +
             ", so no device is accepted and nothing can be paired until you choose Start Fresh and Pair Again\u2026 in "
             "the Morvane menu: cannot read " + item + ": Permission denied",
         "paired devices could not be read from /home/hhh", "paired-devices: Permission denied"},
        {"a path at the end", "the settings file " + home + "/.config/Morvane/settings.json could not be used (" +
                                  std::string(120, 'r') + "); it was kept as " + home + "/.config/Morvane/settings.json.damaged.2",
         "the settings file /home/", "Morvane/settings.json.damaged.2"},
        {"no word long enough: its first third and its end", repeat("words ", 80) + "the reason",
         repeat("words ", 16) + "word" + ellipsis, "words words the reason"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = SessionLog::fit(c.text, SessionLog::textLimit);
        EXPECT_LE(SessionLog::characters(line).size(), static_cast<std::size_t>(SessionLog::textLimit)) << line;
        EXPECT_EQ(line.rfind(c.starts, 0), 0u) << line;
        EXPECT_TRUE(line.ends_with(c.ends)) << line;
    }
    // Characters, not bytes; and a huge text keeps its end too.
    const std::string euros = repeat("\xe2\x82\xac", 400) + " end";
    EXPECT_EQ(SessionLog::characters(SessionLog::fit(euros, 300)).size(), 300u);
    EXPECT_TRUE(SessionLog::fit(std::string(1'000'000, 'z') + " the end", 300).ends_with(" the end"));
}

TEST(InputTally, SummaryListsCountedKindsInTheirFixedOrder) {
    InputTally tally;
    EXPECT_EQ(tally.summary(), "");
    tally.count(ClipboardDirection::toMac);
    tally.count(InputEvent{input::Key{"KeyA", true}});
    tally.count(InputEvent{input::Move{0.5, 0.5}});
    tally.count(InputEvent{input::Move{0.1, 0.2}});
    EXPECT_EQ(tally.total(), 4);
    EXPECT_EQ(tally.take(), "move=2 key=1 clip-to-mac=1");
    EXPECT_EQ(tally.summary(), "");
    EXPECT_EQ(tally.total(), 0);

    for (const InputEvent& e : {InputEvent{input::Lock{}}, InputEvent{input::Text{"hi"}},
                                InputEvent{input::Scroll{0, 1}}, InputEvent{input::Button{0, true, 0, 0, 1}}})
        tally.count(e);
    tally.count(ClipboardDirection::fromMac);
    EXPECT_EQ(tally.summary(), "button=1 scroll=1 text=1 lock=1 clip-from-mac=1");
}

TEST(AppSupportFolder, FollowsXdgDataHomeOnlyWhenAbsolute) {
    const char* savedData = std::getenv("XDG_DATA_HOME");
    const char* savedHome = std::getenv("HOME");
    std::string data = savedData ? savedData : "", home = savedHome ? savedHome : "";
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(appSupportFolder(), fs::path("/data/Morvane"));
    ::setenv("XDG_DATA_HOME", "relative", 1);
    EXPECT_EQ(appSupportFolder(), fs::path("/home/someone/.local/share/Morvane"));
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(appSupportFolder(), fs::path("/home/someone/.local/share/Morvane"));
    if (savedData) ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    if (savedHome) ::setenv("HOME", home.c_str(), 1);
    else ::unsetenv("HOME");
}

}  // namespace
}  // namespace morvane
