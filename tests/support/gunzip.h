// The bytes gzip itself unpacks from a gzipped form, for tests of what a
// page sends gzipped: a form that does not unpack, or unpacks to other
// bytes, gives something else than the file.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace morvane::testing {

inline std::string gunzip(std::string_view packed) {
    static int serial = 0;
    const auto path = std::filesystem::temp_directory_path() /
                      ("morvane-gunzip-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".gz");
    std::ofstream(path, std::ios::binary).write(packed.data(), static_cast<std::streamsize>(packed.size()));
    std::string out;
    if (FILE* pipe = ::popen(("gzip -dc '" + path.string() + "'").c_str(), "r")) {
        char chunk[65536];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
        if (::pclose(pipe) != 0) out = "(gzip -dc failed)";
    }
    std::filesystem::remove(path);
    return out;
}

}  // namespace morvane::testing
