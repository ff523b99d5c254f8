#include "transfer/clipboard_text.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
const std::string eAcute = "\xC3\xA9";          // U+00E9, one unit, two bytes

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(ClipboardText, LengthCountsUtf16Units) {
    EXPECT_EQ(ClipboardText::length(""), 0);
    EXPECT_EQ(ClipboardText::length("abc"), 3);
    EXPECT_EQ(ClipboardText::length(eAcute + "\xE2\x82\xAC"), 2);  // é€
    EXPECT_EQ(ClipboardText::length(emoji), 2);
    // Broken bytes count once each and never stall the count.
    EXPECT_EQ(ClipboardText::length("a\xFF\xC3"), 3);
    EXPECT_EQ(ClipboardText::length("\xED\xA0\x80"), 3);  // an encoded surrogate is not a scalar
}

TEST(ClipboardText, LimitedNeverSplitsASurrogatePair) {
    EXPECT_EQ(ClipboardText::limited("abc", 3), (ClipboardText::Limited{"abc", false}));
    EXPECT_EQ(ClipboardText::limited("abcd", 3), (ClipboardText::Limited{"abc", true}));
    EXPECT_EQ(ClipboardText::limited("", 0), (ClipboardText::Limited{"", false}));

    // The 100000th unit is the first half of a pair: the pair goes whole.
    const std::string text = std::string(99'999, 'x') + emoji + "y";
    const auto cut = ClipboardText::limited(text, 100'000);
    EXPECT_TRUE(cut.cut);
    EXPECT_EQ(ClipboardText::length(cut.text), 99'999);
    EXPECT_EQ(cut.text, std::string(99'999, 'x'));

    const auto exact = ClipboardText::limited(std::string(99'998, 'x') + emoji, 100'000);
    EXPECT_FALSE(exact.cut);
    EXPECT_EQ(ClipboardText::length(exact.text), 100'000);
}

TEST(ClipboardText, ChunksCloseBeforeAScalarThatWouldOverflow) {
    const auto pieces = ClipboardText::chunks(std::string(8001, 'a'), 4000);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].size(), 4000u);
    EXPECT_EQ(pieces[1].size(), 4000u);
    EXPECT_EQ(pieces[2].size(), 1u);

    // A pair straddling the boundary moves whole into the next piece.
    const auto straddle = ClipboardText::chunks(std::string(3999, 'a') + emoji + "b", 4000);
    ASSERT_EQ(straddle.size(), 2u);
    EXPECT_EQ(straddle[0], std::string(3999, 'a'));
    EXPECT_EQ(straddle[1], emoji + "b");

    EXPECT_TRUE(ClipboardText::chunks("", 4000).empty());
    // A size below two is raised so that a pair still fits.
    const auto tiny = ClipboardText::chunks(emoji + emoji + eAcute, 0);
    EXPECT_EQ(tiny, (std::vector<std::string>{emoji, emoji, eAcute}));

    // Pieces put back together give the text, multi-byte scalars included.
    const std::string mixed = repeat("a" + eAcute + emoji, 3000);
    std::string joined;
    for (const auto& piece : ClipboardText::chunks(mixed, 4000)) {
        EXPECT_LE(ClipboardText::length(piece), 4000);
        joined += piece;
    }
    EXPECT_EQ(joined, mixed);
}

TEST(ClipboardPrivacy, AnyMarkerInAnyLetterCaseMakesItPrivate) {
    EXPECT_FALSE(ClipboardPrivacy::isPrivate({}));
    EXPECT_FALSE(ClipboardPrivacy::isPrivate({"UTF8_STRING", "TARGETS", "text/plain"}));
    EXPECT_TRUE(ClipboardPrivacy::isPrivate({"UTF8_STRING", "ORG.NSPASTEBOARD.CONCEALEDTYPE"}));
    EXPECT_TRUE(ClipboardPrivacy::isPrivate({"org.nspasteboard.TransientType"}));
    EXPECT_TRUE(ClipboardPrivacy::isPrivate({"com.agilebits.onepassword"}));
    EXPECT_TRUE(ClipboardPrivacy::isPrivate({"de.petermaurer.TransientPasteboardType"}));
    EXPECT_FALSE(ClipboardPrivacy::isPrivate({"org.nspasteboard.ConcealedType2"}));
    EXPECT_EQ(std::string_view(ClipboardPrivacy::markers[3]).size(), 38u);
}

}  // namespace
}  // namespace morvane
