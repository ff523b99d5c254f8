// A private folder for the fuzz targets that must go through files, made
// once per process and removed at its end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <span>

namespace morvane::fuzz {

class ScratchFolder {
public:
    static const std::filesystem::path& path() {
        static const ScratchFolder folder;
        return folder.path_;
    }
    // Writes the bytes to a file of that name in the folder, replacing it.
    static std::filesystem::path write(const char* name, std::span<const std::uint8_t> bytes) {
        auto file = path() / name;
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

private:
    ScratchFolder() {
        // Memory-backed when the system has it: a run writes thousands of files.
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "morvane-fuzz-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::filesystem::path path_;
};

}  // namespace morvane::fuzz
