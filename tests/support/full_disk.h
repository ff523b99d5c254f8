// Fills a small file system to its last byte, for the tests of what a save
// does when the disk is full. Header-only, like the other helpers here.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace morvane::testing {

// Appends to `filler` until nothing more fits: whole pages first, then single
// bytes, so that not even a short write of the code under test succeeds.
inline void fillUntilFull(const std::filesystem::path& filler) {
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string page(4096, 'x');
    while (::write(fd, page.data(), page.size()) > 0) {
    }
    while (::write(fd, "x", 1) > 0) {
    }
    ::close(fd);
}

}  // namespace morvane::testing
