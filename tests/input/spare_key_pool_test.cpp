#include "input/spare_key_pool.h"

#include <gtest/gtest.h>

#include <string>

namespace morvane {
namespace {

constexpr SpareKeyPool::Tuning tuning{250, 2000, 2, 3};

struct Bound {
    int key;
    char32_t character;
    std::int64_t at;
    std::optional<std::int64_t> pressedAt = std::nullopt;
};

// A keyboard with `empty` keys with nothing on them and the pool's own
// bindings, each made and pressed at the time given.
struct Keyboard {
    std::vector<int> empty;
    std::vector<Bound> bound;
};

SpareKeyPool poolWith(const Keyboard& keyboard) {
    SpareKeyPool pool(tuning);
    auto empty = keyboard.empty;
    for (const auto& b : keyboard.bound) empty.push_back(b.key);
    pool.refresh(empty, [](int, char32_t) { return true; });
    for (const auto& b : keyboard.bound) {
        pool.bind(b.key, b.character, b.at);
        if (b.pressedAt) pool.pressed(b.character, *b.pressedAt);
    }
    return pool;
}

TEST(SpareKeyPool, ACharacterNewToThePoolTakesAnEmptyKeyElseTheKeyIdleSoonestNeverOneStillBeingRead) {
    struct Row {
        const char* what;
        Keyboard keyboard;
        std::u32string rest;
        std::int64_t now;
        std::optional<SpareKeyPool::Choice> want;
    };
    using C = SpareKeyPool::Choice;
    const Row rows[] = {
        {"the lowest empty key while the pool may grow", {{30, 10, 40, 20}, {}}, U"", 0, C{10, 0, 0, {}}},
        {"no spare key at all", {{}, {}}, U"", 0, std::nullopt},
        {"a keyboard with one spare key lends it", {{10}, {}}, U"", 0, C{10, 0, 0, {}}},
        {"two keys are left to other programs: with four, the pool has two",
         {{30, 40}, {{10, U'é', 0, 100}, {20, U'ö', 0, 200}}}, U"", 5000, C{10, 5000, U'é', {}}},
        {"a key pressed within the idle time goes only once idle, the one pressed longest ago first",
         {{30, 40}, {{10, U'é', 0, 1500}, {20, U'ö', 0, 1000}}}, U"", 1600, C{20, 3000, U'ö', {}}},
        {"of keys idle alike, the one pressed longest ago",
         {{40, 50}, {{10, U'é', 0, 300}, {20, U'ö', 0, 100}, {30, U'ñ', 0, 200}}}, U"", 9000, C{20, 9000, U'ö', {}}},
        {"a character still to be typed keeps its key while another is free as soon",
         {{30, 40}, {{10, U'é', 0, 100}, {20, U'ö', 0, 200}}}, U"xé", 5000, C{20, 5000, U'ö', {}}},
        {"...and gives it up when it is the only one free now",
         {{30, 40}, {{10, U'é', 0, 100}, {20, U'ö', 0, 4500}}}, U"xé", 5000, C{10, 5000, U'é', 1}},
        {"of characters still to be typed, the one typed last gives up its key",
         {{40, 50}, {{10, U'é', 0, 100}, {20, U'ö', 0, 50}, {30, U'ñ', 0, 200}}}, U"xöñé", 5000, C{10, 5000, U'é', 3}},
        {"a key bound but never pressed has nothing left to read: free at once",
         {{30, 40}, {{10, U'é', 4900}, {20, U'ö', 0, 4000}}}, U"", 5000, C{10, 5000, U'é', {}}},
    };
    for (const auto& row : rows) {
        const auto pool = poolWith(row.keyboard);
        const auto got = pool.choose(row.rest, row.now);
        ASSERT_EQ(got.has_value(), row.want.has_value()) << row.what;
        if (!got) continue;
        EXPECT_EQ(got->key, row.want->key) << row.what;
        EXPECT_EQ(got->at, row.want->at) << row.what;
        EXPECT_EQ(got->replaced, row.want->replaced) << row.what;
        EXPECT_EQ(got->neededAt, row.want->neededAt) << row.what;
    }
}

TEST(SpareKeyPool, ATextBindsWhatItLacksOnFreeKeysBeforeItsFirstKeyAndWaitsForNoOne) {
    struct Row {
        const char* what;
        Keyboard keyboard;
        std::u32string text;
        std::vector<SpareKeyPool::Binding> want;
        // When a key comes free for what is still lacking.
        std::optional<std::int64_t> next;
    };
    const Row rows[] = {
        {"each character the layout lacks once, in order", {{10, 20, 30, 40, 50}, {}}, U"héllo wörld é ✓",
         {{10, U'é'}, {20, U'ö'}, {30, U'✓'}}, {}},
        {"characters the pool holds cost nothing", {{30, 40, 50}, {{10, U'é', 0, 100}, {20, U'ö', 0, 100}}},
         U"éöñ", {{30, U'ñ'}}, {}},
        {"an idle key of a character the text does not type is taken",
         {{30, 40}, {{10, U'é', 0, 100}, {20, U'ö', 0, 100}}}, U"éñ", {{20, U'ñ'}}, {}},
        {"a key is taken from a character typed after the new one, not before it",
         {{30, 40}, {{10, U'é', 0, 100}, {20, U'ö', 0, 100}}}, U"ñéö", {{20, U'ñ'}}, {}},
        {"no key is taken from a character typed before the new one, nor one still being read",
         {{30, 40}, {{10, U'é', 0, 100}, {20, U'ö', 0, 4500}}}, U"éñ", {}, {}},
        {"a key still being read is taken once idle", {{30, 40}, {{10, U'é', 0, 4000}, {20, U'ö', 0, 4500}}}, U"ñ",
         {}, 6000},
        {"keys bound for this text are kept for it: the rest waits", {{10, 20, 30}, {}}, U"αβγ", {{10, U'α'}}, {}},
    };
    const auto lacks = [](char32_t c) { return c > 0x7f; };
    for (const auto& row : rows) {
        auto pool = poolWith(row.keyboard);
        EXPECT_EQ(pool.bindFree(row.text, lacks, 5000), row.want) << row.what;
        EXPECT_EQ(pool.nextFree(row.text, lacks, 5000), row.next) << row.what;
        for (const auto& b : row.want) {
            EXPECT_EQ(pool.keyOf(b.character), b.key) << row.what;
            EXPECT_EQ(pool.readyAt(b.character), 5000 + tuning.settleMillis) << row.what;
        }
    }
}

TEST(SpareKeyPool, CapitalsTakeOnlyKeysNothingElseAsksForAndKeepThemForTheTextsAfter) {
    struct Row {
        const char* what;
        Keyboard keyboard;
        std::u32string likely;  // bound ahead, before the text
        std::u32string text;
        std::vector<SpareKeyPool::Binding> want;
    };
    const Row rows[] = {
        {"each capital once, in order, on empty keys", {{10, 20, 30, 40, 50}, {}}, U"", U"Ask Ben, Eva: Ask!",
         {{10, U'A'}, {20, U'B'}, {30, U'E'}}},
        {"capitals held from a text before cost nothing", {{30, 40, 50}, {{10, U'A', 0, 100}}}, U"", U"aB A",
         {{30, U'B'}}},
        {"a full pool gives the key idle longest of a character the text does not type",
         {{40, 50}, {{10, U'é', 0, 300}, {20, U'X', 0, 100}, {30, U'ñ', 0, 200}}}, U"", U"éB", {{20, U'B'}}},
        {"never a key still being read, nor one of a character still to be typed",
         {{40, 50}, {{10, U'é', 0, 100}, {20, U'X', 0, 4500}, {30, U'ñ', 0, 200}}}, U"", U"Bñé", {}},
        {"never a likely character's key: a capital has Shift to fall back on",
         {{30, 40, 50, 60}, {{10, U'X', 0, 4500}, {20, U'Y', 0, 4500}}}, U"é’", U"B", {}},
    };
    const auto lacks = [](char32_t c) { return c > 0x7f; };
    const auto capital = [](char32_t c) { return c >= U'A' && c <= U'Z'; };
    for (const auto& row : rows) {
        auto pool = poolWith(row.keyboard);
        pool.prepare(row.likely);
        pool.bindPrepared(lacks, 0);
        EXPECT_EQ(pool.bindSpare(row.text, capital, 5000), row.want) << row.what;
        EXPECT_TRUE(pool.bindSpare(row.text, capital, 5000).empty()) << row.what << ": bound twice";
        // The next text's capitals find their keys bound.
        for (const auto& b : row.want) pool.pressed(b.character, 5100);
        pool.bindSpare(row.text, capital, 9000);
        for (const auto& b : row.want) EXPECT_EQ(pool.keyOf(b.character), b.key) << row.what;
    }
}

TEST(SpareKeyPool, KeysGoBackOnlyOnceEveryPressOfThemMayHaveBeenRead) {
    auto pool = poolWith({{40, 50}, {{10, U'é', 0, 1000}, {20, U'ö', 0, 2500}, {30, U'ñ', 2900}}});
    auto given = pool.giveBack(3000);
    EXPECT_EQ(given.keys, (std::vector<int>{10, 30}));
    EXPECT_EQ(given.nextAt, 4500);
    EXPECT_FALSE(pool.keyOf(U'é'));
    EXPECT_EQ(pool.keyOf(U'ö'), 20);
    given = pool.giveBack(4500);
    EXPECT_EQ(given.keys, std::vector<int>{20});
    EXPECT_FALSE(given.nextAt);
    // Given back, they are empty keys the pool may take again.
    EXPECT_EQ(pool.choose(U"", 4600)->key, 10);
}

TEST(SpareKeyPool, AKeyTheLayoutOrAnotherProgramChangedIsForgottenNotGivenBack) {
    auto pool = poolWith({{40, 50, 60}, {{10, U'é', 0, 100}, {20, U'ö', 0, 100}, {30, U'ñ', 0, 100}}});
    // A new layout put a symbol of its own on 10 and emptied 30, whose
    // binding went with it.
    pool.refresh({30, 40, 50, 60}, [](int key, char32_t) { return key == 20; });
    EXPECT_FALSE(pool.owns(10));
    EXPECT_FALSE(pool.keyOf(U'é'));
    EXPECT_FALSE(pool.owns(30));
    EXPECT_EQ(pool.keyOf(U'ö'), 20);
    EXPECT_EQ(pool.giveBack(10'000).keys, std::vector<int>{20});
    EXPECT_EQ(pool.choose(U"", 10'000)->key, 20);
    // A key re-bound replaces its character.
    pool.bind(30, U'é', 10'000);
    pool.bind(30, U'ß', 10'100);
    EXPECT_FALSE(pool.keyOf(U'é'));
    EXPECT_EQ(pool.keyOf(U'ß'), 30);
    EXPECT_EQ(pool.readyAt(U'ß'), 10'100 + tuning.settleMillis);
}

TEST(SpareKeyPool, LikelyCharactersTakeEmptyKeysUpToHalfOfThePoolNeverAKeyOfAnotherCharacter) {
    struct Row {
        const char* what;
        Keyboard keyboard;
        std::vector<SpareKeyPool::Binding> want;
    };
    const std::vector<int> plenty = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    const Row rows[] = {
        {"those the layout lacks, in order, as many as the tuning says", {plenty, {}},
         {{10, U'’'}, {20, U'é'}, {30, U'ö'}}},
        {"at most half of the keys the pool may hold", {{10, 20, 30, 40}, {}}, {{10, U'’'}}},
        {"one typed before is held already and counts", {plenty, {{5, U'é', 0, 100}}}, {{10, U'’'}, {20, U'ö'}}},
        {"a full pool gives none of its keys", {{}, {{10, U'α', 0}, {20, U'β', 0}, {30, U'γ', 0}, {40, U'δ', 0}}},
         {}},
    };
    const auto lacks = [](char32_t c) { return c > 0x7f; };
    for (const auto& row : rows) {
        auto pool = poolWith(row.keyboard);
        pool.prepare(U"’aéöñü");
        EXPECT_EQ(pool.bindPrepared(lacks, 1000), row.want) << row.what;
        EXPECT_TRUE(pool.bindPrepared(lacks, 2000).empty()) << row.what << ": bound twice";
    }
}

TEST(SpareKeyPool, LikelyCharactersStayWhenASessionsKeysGoBackAndComeBackWhenATextTookTheirKeys) {
    auto pool = poolWith({{10, 20, 30, 40, 50, 60}, {}});
    const auto lacks = [](char32_t c) { return c > 0x7f; };
    pool.prepare(U"’é");
    ASSERT_EQ(pool.bindPrepared(lacks, 0).size(), 2u);
    pool.pressed(U'é', 100);
    // A text needs more keys than are empty: it takes the likely one never
    // pressed, rather than wait.
    const auto bound = pool.bindFree(U"αβγ", lacks, 3000);
    ASSERT_EQ(bound.size(), 3u);
    EXPECT_EQ(bound[2], (SpareKeyPool::Binding{10, U'γ'}));
    EXPECT_FALSE(pool.keyOf(U'’'));
    for (char32_t c : std::u32string_view(U"αβγ")) pool.pressed(c, 3300);

    // The session ends: what the text bound goes once idle, é stays, and
    // ’ is bound again on a key given back.
    auto given = pool.giveBack(3400);
    EXPECT_TRUE(given.keys.empty());
    EXPECT_EQ(given.nextAt, 5300);
    EXPECT_EQ(pool.giveBack(5300).keys, (std::vector<int>{10, 30, 40}));
    EXPECT_EQ(pool.keyOf(U'é'), 20);
    EXPECT_EQ(pool.bindPrepared(lacks, 5300), (std::vector<SpareKeyPool::Binding>{{10, U'’'}}));
    // When the host quits, they go too.
    EXPECT_EQ(pool.giveBack(9000, SpareKeyPool::Keep::nothing).keys.size(), 2u);
    EXPECT_FALSE(pool.keyOf(U'é'));
}

TEST(SpareKeyPool, BindingsOfKeysThatFollowOneAnotherGoTogether) {
    using B = SpareKeyPool::Binding;
    struct Row {
        const char* what;
        std::vector<B> bindings;
        std::vector<std::vector<B>> want;
    };
    const Row rows[] = {
        {"nothing to bind", {}, {}},
        {"keys apart, each alone, lowest first", {{93, U'ö'}, {8, U'é'}}, {{{8, U'é'}}, {{93, U'ö'}}}},
        {"keys next to one another, in one run however they came",
         {{184, U'ñ'}, {97, U'ö'}, {183, U'é'}, {185, U'✓'}},
         {{{97, U'ö'}}, {{183, U'é'}, {184, U'ñ'}, {185, U'✓'}}}},
    };
    for (const auto& row : rows) EXPECT_EQ(SpareKeyPool::runs(row.bindings), row.want) << row.what;
}

}  // namespace
}  // namespace morvane
