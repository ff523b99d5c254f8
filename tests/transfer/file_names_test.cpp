#include "transfer/file_names.h"

#include <gtest/gtest.h>

#include <set>

namespace morvane {
namespace {

using FileName::isPlain;
using FileName::sanitise;

TEST(FileNameSanitise, KeepsOnlyTheLastPathPartAndNothingThatClimbsOrHides) {
    EXPECT_EQ(sanitise("a/b\\c.txt"), "c.txt");
    EXPECT_EQ(sanitise("../../etc/passwd"), "passwd");
    EXPECT_EQ(sanitise("dir/"), std::nullopt);
    EXPECT_EQ(sanitise("report: final.pdf"), "report- final.pdf");
    EXPECT_EQ(sanitise("  ..hidden"), "hidden");
    EXPECT_EQ(sanitise(". .x"), "x");
    for (const char* nothing : {"...", "   ", "\t\n\r", ".", "..", "", "\xE2\x80\x8B"})  // last: zero-width space
        EXPECT_EQ(sanitise(nothing), std::nullopt) << nothing;
    EXPECT_EQ(sanitise("name."), "name.");  // trailing dots stay
}

TEST(FileNameSanitise, InvisibleCharactersVanishAndSpacesCollapse) {
    EXPECT_EQ(sanitise("two\twords"), "twowords");
    EXPECT_EQ(sanitise("three   spaces"), "three spaces");
    EXPECT_EQ(sanitise("no\xC2\xA0" "break"), "no break");
    EXPECT_EQ(sanitise("line\xE2\x80\xA8sep"), "line sep");   // U+2028 is a separator: a space
    EXPECT_EQ(sanitise("a \t b"), "a b");                      // the dropped tab keeps the space flag
    EXPECT_EQ(sanitise("bi\xE2\x80\xAE" "di.txt"), "bidi.txt");  // right-to-left override
    EXPECT_EQ(sanitise("pua\xEE\x80\x80.txt"), "pua.txt");     // private use U+E000
    EXPECT_EQ(sanitise("trail  "), "trail");
    EXPECT_EQ(sanitise("e\xCC\x81"), "\xC3\xA9");              // decomposed é comes out composed
}

TEST(FileNameSanitise, ACleanNameStaysAsItIs) {
    // The store accepts only names that clean to themselves; a dropped
    // invisible joiner must not leave an uncomposed pair behind.
    for (const char* raw : {"e\xE2\x80\x8D\xCC\x81.txt", "a/\xCC\x81" "b", "  x\t:\xC2\xA0y.", "plain.txt"}) {
        const auto once = sanitise(raw);
        ASSERT_TRUE(once) << raw;
        EXPECT_EQ(sanitise(*once), once) << raw;
    }
    EXPECT_EQ(sanitise("e\xE2\x80\x8D\xCC\x81.txt"), "\xC3\xA9.txt");
}

TEST(FileNameSanitise, LongNamesAreCutAtWholeScalarsKeepingAShortExtension) {
    const auto cut = sanitise(std::string(250, 'a') + ".txt");
    EXPECT_EQ(cut, std::string(196, 'a') + ".txt");

    const std::string longExt = "." + std::string(19, 'e');  // 20 bytes: not an extension
    const auto whole = sanitise(std::string(250, 'a') + longExt);
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, std::string(200, 'a'));

    // 199 ASCII bytes then a 4-byte scalar: the scalar would cross 200.
    const auto emoji = sanitise(std::string(199, 'b') + "\xF0\x9F\x98\x80" + "tail");
    EXPECT_EQ(emoji, std::string(199, 'b'));

    // A stem that ends in a space once cut loses the space.
    const auto spaced = sanitise(std::string(195, 'c') + " d" + std::string(10, 'x') + ".txt");
    EXPECT_EQ(spaced, std::string(195, 'c') + ".txt");
    for (const auto& name : {*cut, *whole, *emoji}) EXPECT_LE(name.size(), 200u);
}

TEST(FileNameIsPlain, RefusesPathsHiddenNamesControlsAndOverlongNames) {
    EXPECT_TRUE(isPlain(std::string(255, 'p')));
    EXPECT_FALSE(isPlain(std::string(256, 'p')));
    EXPECT_TRUE(isPlain("time 10:30.txt"));
    EXPECT_TRUE(isPlain("back\\slash"));
    EXPECT_TRUE(isPlain("with space"));
    for (const char* bad : {"", ".", "..", ".DS_Store", "a/b", "line\nbreak", "para\xE2\x80\xA9", "nul\x01",
                            "fmt\xE2\x80\x8B", "\xFF\xFE", "half\xC3"})
        EXPECT_FALSE(isPlain(bad)) << bad;
}

TEST(FileNaming, SplitsOnlyShortExtensionsAndNumbersBeforeThem) {
    using FileNaming::Parts;
    EXPECT_EQ(FileNaming::split("archive.tar.gz"), (Parts{"archive.tar", ".gz"}));
    EXPECT_EQ(FileNaming::split("README"), (Parts{"README", ""}));
    EXPECT_EQ(FileNaming::split(".profile"), (Parts{".profile", ""}));
    EXPECT_EQ(FileNaming::split("a. b"), (Parts{"a. b", ""}));
    EXPECT_EQ(FileNaming::split("file."), (Parts{"file.", ""}));
    EXPECT_EQ(FileNaming::split("x." + std::string(16, 'e')), (Parts{"x", "." + std::string(16, 'e')}));
    EXPECT_EQ(FileNaming::split("x." + std::string(17, 'e')).ext, "");

    EXPECT_EQ(FileNaming::candidate("photo.jpg", 1), "photo.jpg");
    EXPECT_EQ(FileNaming::candidate("photo.jpg", 2), "photo (2).jpg");
    EXPECT_EQ(FileNaming::candidate("README", 3), "README (3)");

    std::set<std::string> existing = {"photo.jpg", "photo (2).jpg"};
    const auto taken = [&](const std::string& n) { return existing.count(n) > 0; };
    EXPECT_EQ(FileNaming::firstFree("photo.jpg", taken), "photo (3).jpg");
    int asked = 0;
    EXPECT_EQ(FileNaming::firstFree("x", [&](const std::string&) { return ++asked, true; }), std::nullopt);
    EXPECT_EQ(asked, 999);
}

TEST(FileListing, KeepsPlainEntriesNewestFirstAndCutsAtTwoHundred) {
    std::vector<OutboxEntry> entries;
    for (int i = 0; i < 201; ++i) entries.push_back({"f" + std::to_string(i), 1, i});
    entries.push_back({".DS_Store", 1, 10'000});
    entries.push_back({"negative", -1, 10'000});
    auto prepared = FileListing::prepare(entries);
    ASSERT_EQ(prepared.files.size(), 200u);
    EXPECT_TRUE(prepared.more);
    EXPECT_EQ(prepared.files.front().name, "f200");
    EXPECT_EQ(prepared.files.back().name, "f1");

    entries.resize(200);
    prepared = FileListing::prepare(entries);
    EXPECT_EQ(prepared.files.size(), 200u);
    EXPECT_FALSE(prepared.more);

    // Same time: names in order, with equivalent spellings side by side.
    prepared = FileListing::prepare({{"b", 1, 5}, {"e\xCC\x81", 1, 5}, {"a", 1, 5}, {"f", 1, 5}, {"z", 1, 6}});
    std::vector<std::string> names;
    for (const auto& e : prepared.files) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"z", "a", "b", "f", "e\xCC\x81"}));
}

}  // namespace
}  // namespace morvane
