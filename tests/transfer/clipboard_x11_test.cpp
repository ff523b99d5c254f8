// Google Test comes before the X headers, whose macros would clash with it.
#include <gtest/gtest.h>

#include "platform/linux/clipboard_x11.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <future>
#include <thread>

#include "../support/xvfb.h"
#include "core/loop_executor.h"
#include "platform/linux/locker_linux.h"
#include "transfer/clipboard_assembler.h"
#include "transfer/clipboard_message.h"
#include "transfer/clipboard_text.h"

extern char** environ;

namespace morvane {
namespace {

// A text put through the device's side of a put: the host's answer messages
// fed to the assembler. (Before the X headers: their None is a macro.)
std::optional<std::string> assembled(const std::string& text) {
    const auto messages = ClipboardMessage::text(1, text, false);
    ClipboardAssembler assembler;
    if (assembler.begin(1, messages[0]["n"].get<int>(), messages[0]["len"].get<int>(), 0) !=
        ClipboardAssembler::Outcome(clipboard_outcome::None{}))
        return std::nullopt;
    ClipboardAssembler::Outcome outcome;
    for (std::size_t i = 1; i < messages.size(); ++i)
        outcome = assembler.chunk(1, messages[i]["i"].get<int>(), messages[i]["s"].get<std::string>());
    const auto* complete = std::get_if<clipboard_outcome::Complete>(&outcome);
    if (!complete) return std::nullopt;
    return complete->text;
}

}  // namespace
}  // namespace morvane

#include "x_selection_owner.h"

namespace morvane {
namespace {

using Offers = std::map<std::string, std::string>;

using namespace std::chrono_literals;

// Reads through the adapter and waits for its one answer.
ClipboardRead readClipboard(ClipboardAccess& clipboard, int limit = ClipboardLimits::maxCharacters) {
    std::promise<ClipboardRead> answer;
    clipboard.readPlainText(limit, [&](ClipboardRead read) { answer.set_value(std::move(read)); });
    auto future = answer.get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
        ADD_FAILURE() << "the read never answered";
        std::abort();
    }
    return future.get();
}

// Another X client offering text: xclip in the foreground, fed on its input.
class XclipOwner {
public:
    explicit XclipOwner(const std::string& text) {
        int in[2];
        if (pipe(in) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        const char* argv[] = {"xclip", "-quiet", "-selection", "clipboard", "-i", nullptr};
        if (posix_spawnp(&pid_, "xclip", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
            throw std::runtime_error("xclip");
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        [[maybe_unused]] auto n = write(in[1], text.data(), text.size());
        close(in[1]);
    }
    ~XclipOwner() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

struct X11ClipboardFixture : ::testing::Test {
    morvane::testing::Xvfb xvfb{"640x480x24"};
    std::vector<std::string> log;
    LoopExecutor reads{"clipboard"};
    std::unique_ptr<ClipboardAccess> clipboard =
        // Long enough that a silent owner's read is still out while a busy
        // machine runs the next few lines of a test.
        makeX11Clipboard(reads, [this](const std::string& line) { log.push_back(line); }, "", 4000);

    // Waits until some client owns the selection (xclip starts on its own).
    void waitForOwner() {
        for (int i = 0; i < 500; ++i) {
            if (std::holds_alternative<clipboard_read::Text>(readClipboard(*clipboard))) return;
            std::this_thread::sleep_for(20ms);
        }
    }
};

TEST_F(X11ClipboardFixture, AssembledPutIsWhatOtherClientsRead) {
    ASSERT_TRUE(clipboard);
    // 100000 UTF-16 units with two- and three-byte characters and pairs, so
    // the text also goes out in pieces to readers.
    std::string text;
    int units = 0;
    for (int i = 0; units < ClipboardLimits::maxCharacters - 4; ++i) {
        text += "w\xC3\xA9\xE2\x82\xAC";
        units += 3;
        if (i % 7 == 0) text += "\xF0\x9F\x98\x80", units += 2;
    }
    for (; units < ClipboardLimits::maxCharacters; ++units) text += "z";
    ASSERT_EQ(ClipboardText::length(text), ClipboardLimits::maxCharacters);

    const auto put = assembled(text);
    ASSERT_EQ(put, text);
    ASSERT_TRUE(clipboard->writePlainText(*put));

    char folder[] = "/tmp/morvane-clip-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string file = std::string(folder) + "/out";
    const auto read =
        runCommand({"sh", "-c", "xclip -selection clipboard -o -target UTF8_STRING > " + file}, 20'000);
    ASSERT_EQ(read.kind, CommandResult::Kind::exited);
    std::ifstream in(file, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    rmdir(folder);
    EXPECT_TRUE(got == text) << got.size() << " bytes of " << text.size();

    // The adapter reads its own text back whole, and cut to a limit.
    EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::Text{text}));
    // The fourth and fifth units are one pair: the cut leaves it out whole.
    EXPECT_EQ(readClipboard(*clipboard, 4), ClipboardRead(clipboard_read::Cut{"w\xC3\xA9\xE2\x82\xAC"}));

    // Older clients asking for STRING get Latin-1.
    ASSERT_TRUE(clipboard->writePlainText("caf\xC3\xA9 \xE2\x82\xAC"));
    const auto latin1 = runCommand({"xclip", "-selection", "clipboard", "-o", "-target", "STRING"}, 20'000);
    EXPECT_EQ(latin1.output, "caf\xE9 ?");
}

TEST_F(X11ClipboardFixture, TextSetByAnotherClientComesBack) {
    ASSERT_TRUE(clipboard);
    EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::Empty{}));  // nobody owns it
    {
        XclipOwner other("h\xC3\xA9llo, w\xC3\xB6rld\n");
        waitForOwner();
        EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::Text{"h\xC3\xA9llo, w\xC3\xB6rld\n"}));
        EXPECT_EQ(readClipboard(*clipboard, 5), ClipboardRead(clipboard_read::Cut{"h\xC3\xA9llo"}));
    }
    {
        // Broken bytes from another client arrive as replacement characters.
        testing::XSelectionOwner broken(Offers{{"UTF8_STRING", "ok\xFF"}});
        EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::Text{"ok\xEF\xBF\xBD"}));
    }
    {
        testing::XSelectionOwner picture(Offers{{"image/png", "\x89PNG"}});
        EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::Empty{}));
    }
}

TEST_F(X11ClipboardFixture, PasswordManagersSecretsStayPrivate) {
    ASSERT_TRUE(clipboard);
    {
        testing::XSelectionOwner secret(Offers{{"UTF8_STRING", "hunter2"}, {"x-kde-passwordManagerHint", "secret"}});
        EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::MarkedPrivate{}));
    }
    {
        testing::XSelectionOwner concealed(Offers{{"UTF8_STRING", "hunter2"}, {"ORG.NSPASTEBOARD.CONCEALEDTYPE", ""}});
        EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::MarkedPrivate{}));
    }
    {
        testing::XSelectionOwner plain(Offers{{"UTF8_STRING", "not secret"}, {"x-kde-passwordManagerHint", "public"}});
        EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::Text{"not secret"}));
    }
}

TEST_F(X11ClipboardFixture, SilentOwnerIsAnsweredByTheDeadlineAndBlocksNothingLater) {
    ASSERT_TRUE(clipboard);
    {
        testing::XSelectionOwner silent(Offers{}, true);
        const auto start = std::chrono::steady_clock::now();
        std::promise<ClipboardRead> first;
        clipboard->readPlainText(100, [&](ClipboardRead r) { first.set_value(std::move(r)); });
        // A second read while the first is out is told at once.
        EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::NeedsPermission{}));
        // That answer comes outside the adapter's own lock: whoever hears it
        // may ask again straight away.
        std::promise<ClipboardRead> again;
        clipboard->readPlainText(100, [&](ClipboardRead) {
            clipboard->readPlainText(100, [&](ClipboardRead r) { again.set_value(std::move(r)); });
        });
        auto asked = again.get_future();
        ASSERT_EQ(asked.wait_for(0s), std::future_status::ready);
        EXPECT_EQ(asked.get(), ClipboardRead(clipboard_read::NeedsPermission{}));
        auto answer = first.get_future();
        ASSERT_EQ(answer.wait_for(20s), std::future_status::ready);
        EXPECT_EQ(answer.get(), ClipboardRead(clipboard_read::Denied{}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
        EXPECT_GE(silent.requests(), 1);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "the clipboard's owner did not answer in time");
    }
    ASSERT_TRUE(clipboard->writePlainText("after"));
    EXPECT_EQ(readClipboard(*clipboard), ClipboardRead(clipboard_read::Text{"after"}));
}

TEST(X11Clipboard, ALostServerEndsTheClipboardButNotTheProcess) {
    auto xvfb = std::make_unique<morvane::testing::Xvfb>("640x480x24");
    const std::string display = xvfb->display();
    LoopExecutor reads("clipboard");
    auto clipboard = makeX11Clipboard(reads, {}, display, 1000);
    ASSERT_TRUE(clipboard);
    ASSERT_TRUE(clipboard->writePlainText("before"));
    xvfb.reset();
    std::this_thread::sleep_for(200ms);  // the owner's thread meets the loss first, or the write does
    EXPECT_FALSE(clipboard->writePlainText("after"));
    // Reads open a connection of their own, and a test running beside this
    // one may already have a new server under the same display name: the
    // read must answer, but never with what the lost server held.
    const auto read = readClipboard(*clipboard);
    EXPECT_NE(read, ClipboardRead(clipboard_read::Text{"before"}));
    clipboard.reset();
}

TEST(X11Clipboard, NoDisplayGivesNothingAndSaysWhy) {
    std::vector<std::string> log;
    LoopExecutor reads("clipboard");
    EXPECT_FALSE(makeX11Clipboard(reads, [&](const std::string& line) { log.push_back(line); }, ":4711"));
    EXPECT_EQ(log, (std::vector<std::string>{"the clipboard is not available: the X display cannot be opened"}));
}

}  // namespace
}  // namespace morvane
