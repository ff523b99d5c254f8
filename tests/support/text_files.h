// A file's whole text, read or written at once, for the tests' own files.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace morvane::testing {

inline std::string readText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeText(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace morvane::testing
