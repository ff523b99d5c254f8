// Start at login as an XDG autostart entry: a .desktop file in the user's
// autostart folder that starts this executable when the desktop session
// begins. The menu's check mark is always read back from the file.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/menu_model.h"

namespace morvane {

class LoginItem {
public:
    // Where an installed host may be, in order, and how to tell a program
    // and a build folder.
    struct Places {
        std::vector<std::filesystem::path> installed;
        std::function<bool(const std::filesystem::path&)> isProgram;
        std::function<bool(const std::filesystem::path&)> inBuildFolder;
        // This build's install place, ~/.local/bin, /usr/local/bin and
        // /usr/bin; a build folder is one with CMakeCache.txt beside the
        // program.
        static Places standard();
    };

    // What the entry starts for the program running from `running`: the
    // running one when it is installed, else an installed copy where there
    // is one, so that the entry never points into a build folder that may
    // be cleaned away; else the running one, unless it runs from a build
    // folder: then nothing, and `unavailable` says why.
    struct Choice {
        std::optional<std::filesystem::path> program;
        std::optional<std::string> unavailable;
    };
    static Choice choose(const std::filesystem::path& running, const Places& places);

    LoginItem(std::filesystem::path desktopFile, const std::filesystem::path& running,
              Places places = Places::standard());

    // $XDG_CONFIG_HOME/autostart/morvane.desktop (or ~/.config/...).
    static std::optional<std::filesystem::path> standardPath();

    LoginItemStatus status() const;
    // Both answer the failure's description, or none on success.
    std::optional<std::string> registerItem();
    std::optional<std::string> unregisterItem();

    // Why Start at Login cannot be turned on from this program.
    const std::optional<std::string>& unavailable() const { return choice_.unavailable; }
    // A line for the menu while the entry starts a program that is neither
    // the one chosen nor installed: a build folder's, or one that is gone.
    std::optional<std::string> startsElsewhere() const;

    // At start: removes what a write killed half way left, and makes an
    // entry that starts another program than the one chosen, not itself an
    // installed one, start the chosen one. The log line, when it did or
    // could not.
    struct LogLine {
        std::string tag;
        std::string text;
    };
    std::optional<LogLine> mendAtStart();

    // The file's text; the executable is quoted as the desktop entry rules
    // ask.
    static std::string desktopEntry(const std::filesystem::path& executable);
    // The program an entry's text starts, when its Exec line is one absolute
    // program without arguments (as desktopEntry writes it).
    static std::optional<std::filesystem::path> programOf(const std::string& entry);

private:
    std::optional<std::filesystem::path> named() const;
    bool installed(const std::filesystem::path& program) const;

    std::filesystem::path file_;
    Places places_;
    Choice choice_;
};

}  // namespace morvane
