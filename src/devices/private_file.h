// File work shared by the storages: reading without following a link at
// the file's place, and replacing a file so that a crash leaves either the
// old bytes or the new ones.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"

namespace morvane::private_file {

// What is at a stored file's place, a link there followed to its end: the
// one question asked before any stored file is opened, moved, replaced or
// removed. Only a regular file is the host's to touch.
enum class FileKind { absent, regular, folder, fifo, socket, characterDevice, blockDevice, unknown };
// A dangling link is absent; a loop of links, or a place that cannot be
// looked at, unknown.
FileKind kindAt(int dirfd, const std::string& name);
FileKind kindOf(mode_t mode);
// A FIFO, a socket or a device node: opening one may block or reach a
// program, and moving or removing it takes it from its owner.
bool isSpecial(FileKind kind);
// How a line names what is there instead of a regular file: "is a FIFO,
// not a regular file"; "is not a regular file" for a folder or the unknown.
std::string notRegularWords(FileKind kind);

struct ReadResult {
    enum class Kind { ok, missing, openFailed, notRegular, othersMayWrite, tooLarge, readFailed };
    Kind kind = Kind::ok;
    int error = 0;  // errno of openFailed and readFailed
    FileKind found = FileKind::regular;  // what was there, for notRegular
    Bytes data;
    struct stat status {};  // of the opened file, when it was opened
};

// Asks what is at `name` relative to `dirfd` (AT_FDCWD for a path) first: a
// FIFO, socket or device node there, or where a link there leads, is never
// opened (`notRegular`). Opens it with no-follow and without blocking,
// checks the opened file is a regular file of at most `maxBytes`, optionally
// tightens it to 0600, and reads it whole. A file to be kept private
// (`tighten`) that others may write is not read and keeps its mode
// (`othersMayWrite`): whatever it holds may be theirs, and tightening it now
// would hide that.
ReadResult read(int dirfd, const std::string& name, std::size_t maxBytes, bool tighten);

struct WriteResult {
    enum class Kind { ok, openFailed, writeFailed, renameFailed, notRegular };
    Kind kind = Kind::ok;
    int error = 0;
};

// Writes "." + name + ".tmp-" + pid in the folder (exclusive, no-follow,
// 0600), flushes it, renames it over `name` and flushes the folder. Every
// failure after the temporary file exists removes it again. Something at
// `name` that is a device node, a FIFO or a socket, or a link to one, is
// never replaced: `notRegular`, and nothing is written.
WriteResult replace(int dirfd, const std::string& name, std::span<const std::uint8_t> data);
// The same in the folder at that path (an open failure of the folder is
// `openFailed`).
WriteResult replace(const std::filesystem::path& folder, const std::string& name,
                    std::span<const std::uint8_t> data);

// Whether a device node, a FIFO or a socket is at `name`, or where a link
// there leads: what `replace` refuses to replace and a removal must leave.
bool holdsSpecialFile(int dirfd, const std::string& name);

// The temporary name `replace` writes `name` under for process `pid`.
std::string temporaryName(const std::string& name, long pid);

// When a process started, in seconds of the wall clock: its start in ticks
// after boot from `stat` (the text of /proc/PID/stat) and the boot time
// from `kernelStat` (the text of /proc/stat), at `hertz` ticks a second.
std::optional<double> processStart(std::string_view stat, std::string_view kernelStat, long hertz);

// A process killed between creating its temporary file and renaming it
// leaves that file behind for good, holding whatever it was writing (for the
// device list: token hashes, revoked ones included). Removes the temporary
// files of `name` whose process no longer runs, or runs but started after
// the file was written (its id came round again); those of a running
// process may be a save under way and stay. Best effort: what can't be
// removed now is tried again at the next call.
void removeDeadLeftovers(int dirfd, const std::string& name);
void removeDeadLeftovers(const std::filesystem::path& folder, const std::string& name);
// Earlier versions wrote the settings and the login item through mkstemp:
// "." + name + "." + six letters or digits, named after no process. Only
// one host runs per user (its instance lock), so one found when the host
// starts was left by a crash. Removes those, and the dead ones above.
void removeLeftoversAtStart(const std::filesystem::path& folder, const std::string& name);

// Revocation records of `name`: empty files named "." + name + ".revoked-"
// + the id in hex, beside it. Making one needs a name in the folder and no
// data, so it can be made where the disk has no byte left for a new list.
// False (errno set) when it cannot be made and flushed.
bool recordRevoked(int dirfd, const std::string& name, const std::string& id);
// The ids of the regular files among them.
std::vector<std::string> recordedRevocations(int dirfd, const std::string& name);
// Removes them all, as far as it can.
void forgetRevocations(int dirfd, const std::string& name);

}  // namespace morvane::private_file
