#include "core/paths.h"

#include <gtest/gtest.h>

#include <fstream>

namespace morvane {
namespace {

namespace fs = std::filesystem;

TEST(Paths, ASmallFileIsReadWholeAndALongerOneNotAtAll) {
    const fs::path folder = fs::temp_directory_path() / ("morvane-paths-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const struct {
        std::string text;
        std::size_t limit;
        std::optional<std::string> read;
    } table[] = {
        {"", 16, std::string()},
        {"mem disk\n", 16, std::string("mem disk\n")},
        {std::string(16, 'x'), 16, std::string(16, 'x')},
        {std::string(17, 'x'), 16, std::nullopt},
        {std::string(100'000, 'y'), 65'536, std::nullopt},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text.size());
        std::ofstream(folder / "fact", std::ios::binary | std::ios::trunc) << row.text;
        EXPECT_EQ(readSmallFile(folder / "fact", row.limit), row.read);
    }
    EXPECT_EQ(readSmallFile(folder / "missing", 16), std::nullopt);
    EXPECT_EQ(readSmallFile(folder, 16), std::nullopt) << "a folder is no file";
    fs::remove_all(folder);
}

}  // namespace
}  // namespace morvane
