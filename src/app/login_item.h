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
    LoginItem(std::filesystem::path desktopFile, std::filesystem::path executable);

    // $XDG_CONFIG_HOME/autostart/morvane.desktop (or ~/.config/...).
    static std::optional<std::filesystem::path> standardPath();

    LoginItemStatus status() const;
    // Both answer the failure's description, or none on success.
    std::optional<std::string> registerItem();
    std::optional<std::string> unregisterItem();

    // The program the entry starts: the running one when it is installed,
    // else an installed copy where there is one, so that the entry never
    // points into a build tree that may be cleaned away; the running one
    // when nothing is installed. `installed` lists the places in order.
    static std::filesystem::path autostartProgram(const std::filesystem::path& running,
                                                  const std::vector<std::filesystem::path>& installed,
                                                  const std::function<bool(const std::filesystem::path&)>& isProgram);
    // The same with this build's install place, ~/.local/bin, /usr/local/bin
    // and /usr/bin.
    static std::filesystem::path autostartProgram(const std::filesystem::path& running);

    // The file's text; the executable is quoted as the desktop entry rules
    // ask.
    static std::string desktopEntry(const std::filesystem::path& executable);

private:
    std::filesystem::path file_;
    std::filesystem::path executable_;
};

}  // namespace morvane
