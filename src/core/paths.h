// Where the host keeps its own files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// The user's home folder: $HOME when it is an absolute path, else the home
// folder of the real user id's account entry. Absent when neither exists.
std::optional<std::filesystem::path> homeFolder();

// $XDG_DATA_HOME/Morvane, or ~/.local/share/Morvane when XDG_DATA_HOME is
// unset or not absolute. Absent when no home folder can be found.
std::optional<std::filesystem::path> appSupportFolder();

// Creates the folder and every missing parent; folders made here get `mode`
// (existing ones are left as they are). True when the folder exists at the
// end.
bool createFolders(const std::filesystem::path& folder, mode_t mode = 0700);
// The same, saying why when the folder is not there at the end: "a file is
// in the place of the folder /a/b" (naming the first of the path that is
// no folder), "cannot create the folder /a/b: Permission denied".
std::optional<std::string> makeFolders(const std::filesystem::path& folder, mode_t mode = 0700);

// Where the bytes of `file` live: the path itself, or, when it is a
// symbolic link (dotfiles kept with stow or home-manager), the path its
// links end at, followed one after the other, whether or not a file is
// there yet. Absent for a loop of links or a link that cannot be read.
std::optional<std::filesystem::path> linkedPath(const std::filesystem::path& file);

// The whole text of a small file the host reads for a fact (a setting of
// the desktop, a kernel state): at most `limit` bytes. Absent when it cannot
// be read or is longer, so a huge or endless file is never taken in.
std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t limit);
// A field of such a text that is a whole decimal number, or absent: at most
// 19 digits, so that any of them fits.
std::optional<std::uint64_t> decimalField(std::string_view text);

}  // namespace morvane
