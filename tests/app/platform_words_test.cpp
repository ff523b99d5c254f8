// What the host shows and logs speaks of this machine as a computer, its
// tray and what X offers, never of a Mac, its menu bar or its settings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/lock_scheduler.h"
#include "app/menu_model.h"
#include "app/shell_lines.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

// The string literals of a C++ source, comments left out.
std::vector<std::string> literals(const std::string& code) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < code.size()) {
        if (code.compare(i, 2, "//") == 0) {
            i = code.find('\n', i);
            if (i == std::string::npos) break;
            continue;
        }
        if (code.compare(i, 2, "/*") == 0) {
            i = code.find("*/", i + 2);
            if (i == std::string::npos) break;
            i += 2;
            continue;
        }
        if (code[i] == '\'') {  // a character literal, which may be '"'
            i += code[i + 1] == '\\' ? 4 : 3;
            continue;
        }
        if (code[i] != '"') {
            ++i;
            continue;
        }
        std::string text;
        for (++i; i < code.size() && code[i] != '"'; ++i) {
            if (code[i] == '\\' && i + 1 < code.size()) text += code[i++];
            text += code[i];
        }
        ++i;
        out.push_back(text);
    }
    return out;
}

// Each rule: what another platform's words look like, and the source
// folders it holds for (empty: every folder under src). Wire words (such as
// "mac-offline") are not displayed texts and match none of them.
TEST(PlatformWords, NoTextTheHostShowsOrLogsNamesAnotherPlatformsThings) {
    struct Rule {
        const char* what;
        std::regex words;
        std::vector<std::string> folders;
    };
    const std::vector<Rule> rules = {
        {"a Mac, its menu bar or its settings",
         std::regex(R"(\bMac\b|\bmacOS\b|menu bar|System Settings|Privacy & Security|login keychain)"), {}},
        {"its phones and tablets, or an app in its store", std::regex(R"(iPhone|iPad|App Store|Morvane app)"),
         {"src/app", "src/guide", "src/relay"}},
        {"its code signing", std::regex(R"(hardened runtime|code identity|\bunsigned\b)"),
         {"src/app", "src/guide", "src/devices"}},
        // The folder on disk keeps its name ("keychain"): stored files rely on it.
        {"its bundles and keychain", std::regex(R"(^(?!keychain$).*(\b[Bb]undle\b|[Kk]eychain))"),
         {"src/app", "src/guide", "src/relay", "src/devices"}},
        {"its queue names", std::regex(R"(^mac-[a-z]+\.)"), {}},
    };
    std::vector<std::string> found;
    std::size_t seen = 0;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(MORVANE_SOURCE_DIR) / "src")) {
        const auto extension = entry.path().extension();
        if (extension != ".cpp" && extension != ".h") continue;
        const std::string file = fs::relative(entry.path(), MORVANE_SOURCE_DIR).string();
        std::ifstream in(entry.path());
        std::stringstream code;
        code << in.rdbuf();
        for (const auto& text : literals(code.str())) {
            ++seen;
            // Include lines name files, not things a person reads.
            if (text.ends_with(".h")) continue;
            for (const auto& rule : rules) {
                const bool applies = rule.folders.empty() || std::any_of(rule.folders.begin(), rule.folders.end(),
                                                                         [&](const std::string& f) {
                                                                             return file.rfind(f + "/", 0) == 0;
                                                                         });
                if (applies && std::regex_search(text, rule.words))
                    found.push_back(std::string(rule.what) + ": " + file + ": " + text);
            }
        }
    }
    EXPECT_GT(seen, 1000u) << "the sources were not read";
    EXPECT_EQ(found, std::vector<std::string>{});
}

// An item's name ends in its ellipsis, which also ends a sentence that ends
// with the name: a full stop after it ("Add Device Over Relay….") is a
// stray one, in the host's texts and in the pages alike.
TEST(PlatformWords, NoShownTextPutsAFullStopAfterAnItemsEllipsis) {
    std::vector<std::string> found;
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(MORVANE_SOURCE_DIR) / "src")) {
        const auto extension = entry.path().extension();
        if (extension != ".cpp" && extension != ".h" && extension != ".js" && extension != ".html") continue;
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        for (int n = 1; std::getline(in, line); ++n)
            if (line.find("\u2026.") != std::string::npos || line.find("\\u2026.") != std::string::npos)
                found.push_back(fs::relative(entry.path(), MORVANE_SOURCE_DIR).string() + ":" + std::to_string(n));
    }
    EXPECT_GT(files, 100u) << "the sources were not read";
    EXPECT_EQ(found, std::vector<std::string>{});
}

TEST(PlatformWords, TheChangedTextsReadAsThisPlatformHasThem) {
    MenuSnapshot ready;
    std::vector<std::string> menu;
    for (const auto& item : buildMenu(ready)) menu.push_back(item.title);
    for (const char* title : {"Open in a Browser on This Computer", "Pair a Browser on This Computer…",
                              "Copy This Computer’s Local Address (127.0.0.1:8722)",
                              "Lock Computer When the Controller Disconnects", "Screen Capture: available",
                              "Keyboard and Pointer Control: available"})
        EXPECT_NE(std::find(menu.begin(), menu.end(), title), menu.end()) << title;

    const std::pair<std::string, std::string> rows[] = {
        {ShellLines::pairingRouteWords(false), "from this computer"},
        {ShellLines::pairingInformative(std::nullopt, 8722).substr(0, 49),
         "Only a browser on this computer can use this code"},
        {ShellLines::permissions(true, false, true, false), "screen-capture=yes input-injection=no key-watch=yes"},
    };
    for (const auto& [shown, wanted] : rows) EXPECT_EQ(shown, wanted);
}

}  // namespace
}  // namespace morvane
