// Reading a drawn code back with an independent decoder, zbarimg from
// zbar-tools (installed by scripts/setup: a missing tool fails the test).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "guide/qr_code.h"

namespace morvane::testing_tools {

inline std::string runAndRead(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return "(could not run " + command + ")";
    std::string out;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) out.append(buffer.data(), n);
    return out;
}

inline std::string zbarimg(const std::filesystem::path& picture) {
    if (std::system("command -v zbarimg >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << "zbarimg is missing: run scripts/setup";
        return {};
    }
    std::string out = runAndRead("zbarimg --quiet --raw -Sdisable -Sqrcode.enable -Sbinary '" + picture.string() +
                                 "' 2>/dev/null");
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// Writes the bitmap as a grey PGM and decodes it.
inline std::string decodeQR(const GreyBitmap& bitmap) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("morvane-qr-" + std::to_string(::getpid()) + ".pgm");
    {
        std::ofstream out(file, std::ios::binary);
        out << "P5\n" << bitmap.side << " " << bitmap.side << "\n255\n";
        out.write(reinterpret_cast<const char*>(bitmap.pixels.data()),
                  static_cast<std::streamsize>(bitmap.pixels.size()));
    }
    auto text = zbarimg(file);
    std::filesystem::remove(file);
    return text;
}

}  // namespace morvane::testing_tools
