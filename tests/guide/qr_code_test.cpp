#include "guide/qr_code.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "guide_test_tools.h"

namespace morvane {
namespace {

// A symbol-sized matrix with finders drawn where asked.
QRModules withFinders(int n, bool tl, bool tr, bool bl, bool br) {
    QRModules m(static_cast<std::size_t>(n), std::vector<bool>(static_cast<std::size_t>(n), false));
    const auto put = [&](int row, int col) {
        for (int r = 0; r < 7; ++r)
            for (int c = 0; c < 7; ++c)
                m[row + r][col + c] = r == 0 || r == 6 || c == 0 || c == 6 || (r >= 2 && r <= 4 && c >= 2 && c <= 4);
    };
    if (tl) put(0, 0);
    if (tr) put(0, n - 7);
    if (bl) put(n - 7, 0);
    if (br) put(n - 7, n - 7);
    // A mark that tells orientations apart: one dark cell right of the
    // top-left finder's row 10.
    m[10][3] = true;
    return m;
}

QRModules reversedRows(QRModules m) {
    std::reverse(m.begin(), m.end());
    return m;
}
QRModules reversedEach(QRModules m) {
    for (auto& row : m) std::reverse(row.begin(), row.end());
    return m;
}

TEST(QRMatrix, FinderIsTheExact7By7PatternInsideTheMatrix) {
    const auto m = withFinders(21, true, false, false, false);
    EXPECT_TRUE(QRMatrix::finder(m, 0, 0));
    EXPECT_FALSE(QRMatrix::finder(m, 0, 1));
    EXPECT_FALSE(QRMatrix::finder(m, -1, 0));
    EXPECT_FALSE(QRMatrix::finder(m, 0, -1));
    EXPECT_FALSE(QRMatrix::finder(m, 15, 0));  // runs past the last row
    auto shortRow = m;
    shortRow[3].resize(6);
    EXPECT_FALSE(QRMatrix::finder(shortRow, 0, 0));
    auto lightCore = m;
    lightCore[3][3] = false;
    EXPECT_FALSE(QRMatrix::finder(lightCore, 0, 0));
    auto darkGap = m;
    darkGap[1][1] = true;
    EXPECT_FALSE(QRMatrix::finder(darkGap, 0, 0));
}

TEST(QRMatrix, UprightTurnsMirroredAndTurnedSymbolsBackAndRefusesTheRest) {
    const auto upright = withFinders(21, true, true, true, false);
    EXPECT_EQ(QRMatrix::upright(upright), upright);
    // The same symbol as a generator might hand it over.
    EXPECT_EQ(QRMatrix::upright(reversedEach(reversedRows(upright))), upright);  // turned 180
    EXPECT_EQ(QRMatrix::upright(reversedRows(upright)), upright);                // mirrored top to bottom
    EXPECT_EQ(QRMatrix::upright(reversedEach(upright)), upright);                // mirrored left to right

    struct Refused {
        const char* why;
        QRModules m;
    };
    auto ragged = upright;
    ragged[20].pop_back();
    const std::vector<Refused> refused = {
        {"under 21 modules", withFinders(20, true, true, true, false)},
        {"not square", ragged},
        {"four finders", withFinders(21, true, true, true, true)},
        {"top-left and top-right only", withFinders(21, true, true, false, false)},
        {"top-left and bottom-left only", withFinders(21, true, false, true, false)},
        {"top-right and bottom-left only", withFinders(21, false, true, true, false)},
        {"only one", withFinders(21, false, false, false, true)},
        {"none", withFinders(21, false, false, false, false)},
    };
    for (const auto& r : refused) EXPECT_EQ(QRMatrix::upright(r.m), std::nullopt) << r.why;
}

TEST(QRMatrix, PixelsPerModuleIsEvenAndAtLeastTwo) {
    const std::vector<std::array<int, 3>> cases = {
        {0, 200, 2}, {37, 200, 10}, {400, 200, 2}, {29, 200, 14}, {-3, 200, 2}, {1, 200, 400}, {80, 200, 6},
    };
    for (const auto& [count, points, want] : cases)
        EXPECT_EQ(QRMatrix::pixelsPerModule(count, points), want) << count << " " << points;
}

TEST(QRImage, DrawingPutsModulesInsideAQuietZoneTopRowFirst) {
    auto m = withFinders(21, true, true, true, false);
    const int p = 3;
    const auto bitmap = QRImage::draw(m, p);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->side, (21 + 8) * p);
    // Module (0, 0) is dark and covers pixels 4p … 5p − 1 both ways.
    for (int y = 0; y < bitmap->side; ++y)
        for (int x = 0; x < bitmap->side; ++x) {
            const int r = y / p - 4, c = x / p - 4;
            const bool dark = r >= 0 && r < 21 && c >= 0 && c < 21 && m[r][c];
            ASSERT_EQ(bitmap->at(x, y), dark ? 0 : 255) << x << "," << y;
        }
    EXPECT_EQ(bitmap->at(4 * p, 4 * p), 0);
    EXPECT_EQ(bitmap->at(4 * p - 1, 4 * p), 255);
    EXPECT_EQ(QRImage::draw(m, 0), std::nullopt);
    EXPECT_EQ(QRImage::draw({}, 2), std::nullopt);
}

TEST(QRImage, ReadBackTrimsTheBorderAndRefusesWhatIsNotASymbol) {
    const auto m = withFinders(21, true, true, true, false);
    const auto drawn = QRImage::draw(m, 1);
    ASSERT_TRUE(drawn);
    EXPECT_EQ(QRImage::readBack(*drawn), m);
    // A generator that hands the symbol over turned half round.
    EXPECT_EQ(QRImage::readBack(*QRImage::draw(reversedEach(reversedRows(m)), 1)), m);

    GreyBitmap blank{30, std::vector<std::uint8_t>(900, 255)};
    EXPECT_EQ(QRImage::readBack(blank), std::nullopt);
    auto wide = blank;
    for (int x = 2; x < 28; ++x) wide.pixels[5 * 30 + x] = 0;  // dark area 26 x 1
    EXPECT_EQ(QRImage::readBack(wide), std::nullopt);
    GreyBitmap huge{400, std::vector<std::uint8_t>(400 * 400, 0)};
    EXPECT_EQ(QRImage::readBack(huge), std::nullopt);
    GreyBitmap torn{30, std::vector<std::uint8_t>(10, 0)};
    EXPECT_EQ(QRImage::readBack(torn), std::nullopt);
}

// Byte-mode capacities at level M are 14, 26, 42 and 62 bytes for versions
// 1 to 4 (level L would take 17 bytes into version 1, Q only 11): each text
// on a boundary must come out in exactly that version and decode to itself.
TEST(QRImage, PayloadsOnVersionBoundariesDecodeToTheExactTextAtLevelM) {
    struct Case {
        std::size_t bytes;
        int version;
    };
    const std::vector<Case> cases = {{1, 1}, {14, 1}, {15, 2}, {26, 2}, {27, 3}, {42, 3}, {43, 4}, {62, 4}, {63, 5}};
    const std::string base = "https://relay.example/abcdefghijklmnopqrstuvwxyz0123456789-abcdefghijklmnopqrstuvwxyz";
    for (const auto& c : cases) {
        const std::string text = base.substr(0, c.bytes);
        const auto m = QRImage::modules(text);
        ASSERT_TRUE(m) << text;
        EXPECT_EQ(m->size(), static_cast<std::size_t>(17 + 4 * c.version)) << text;
        const auto bitmap = QRImage::image(text, 4);
        ASSERT_TRUE(bitmap);
        EXPECT_EQ(testing_tools::decodeQR(*bitmap), text) << "version " << c.version;
    }
    const std::string utf8 = "https://r\u00E9lais.example/\u00FC";
    EXPECT_EQ(testing_tools::decodeQR(*QRImage::image(utf8, 4)), utf8);
}

TEST(QRImage, TextBeyondTheLargestSymbolGivesNoCode) {
    EXPECT_EQ(QRImage::modules(std::string(3000, 'a')), std::nullopt);
    EXPECT_EQ(QRImage::fit(std::string(3000, 'a'), 200), std::nullopt);
    const auto fitted = QRImage::fit("https://relay.example", 200);
    ASSERT_TRUE(fitted);
    // 25 modules and the quiet zone: 33 a side, 12 pixels each, 198 points.
    EXPECT_EQ(fitted->image.side, 33 * 12);
    EXPECT_EQ(fitted->points, 198);
}

TEST(QRCache, MakesEachCodeOnceAndKeepsTheLastOneThatCouldBeMade) {
    int made = 0;
    QRCache cache([&](const std::string& text) -> std::optional<QRImage::Fitted> {
        ++made;
        if (text == "broken") return std::nullopt;
        return QRImage::Fitted{GreyBitmap{1, {static_cast<std::uint8_t>(text.size())}}, 1};
    });
    EXPECT_TRUE(cache.code("a"));
    EXPECT_TRUE(cache.code("a"));
    EXPECT_EQ(made, 1);
    EXPECT_EQ(cache.code("bb")->image.pixels[0], 2);
    EXPECT_EQ(made, 2);
    EXPECT_EQ(cache.code("broken"), std::nullopt);
    EXPECT_EQ(made, 3);
    EXPECT_TRUE(cache.code("bb"));
    EXPECT_EQ(made, 3);
}

}  // namespace
}  // namespace morvane
