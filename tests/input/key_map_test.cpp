#include "input/key_map.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace morvane {
namespace {

TEST(KeyMap, NamesMatchExactlyAndOnlyFourCodesHaveTwoNames) {
    std::set<std::string_view> names;
    std::map<std::uint16_t, int> uses;
    for (const auto& e : KeyMap::entries()) {
        EXPECT_TRUE(names.insert(e.code).second) << e.code;
        EXPECT_EQ(KeyMap::keyCode(e.code), e.keyCode);
        ++uses[e.keyCode];
    }
    EXPECT_EQ(names.size(), 121u);
    for (const auto& [code, count] : uses) {
        if (code == 114 || code == 55 || code == 54 || code == 105)
            EXPECT_EQ(count, 2) << code;
        else
            EXPECT_EQ(count, 1) << code;
    }
    EXPECT_EQ(KeyMap::keyCode("KeyA"), 0);
    EXPECT_EQ(KeyMap::keyCode("Enter"), 36);
    EXPECT_EQ(KeyMap::keyCode("NumpadEnter"), 76);
    EXPECT_EQ(KeyMap::keyCode("Delete"), 117);
    EXPECT_EQ(KeyMap::keyCode("PrintScreen"), KeyMap::keyCode("F13"));
    EXPECT_FALSE(KeyMap::keyCode("keya"));
    EXPECT_FALSE(KeyMap::keyCode("Key A"));
    EXPECT_FALSE(KeyMap::keyCode(""));
    EXPECT_FALSE(KeyMap::keyCode("AudioVolumeUp"));
}

TEST(KeyMap, ModifiersAndTheFlagsKeysCarryThemselves) {
    EXPECT_EQ(KeyMap::keyCode("Insert"), 114);
    EXPECT_EQ(KeyMap::keyCode("Help"), 114);
    EXPECT_EQ(KeyMap::intrinsicFlags(114), KeyMap::Flags::secondaryFunction);
    EXPECT_EQ(KeyMap::keyCode("NumLock"), 71);
    EXPECT_EQ(KeyMap::intrinsicFlags(71), KeyMap::Flags::numericPad);
    EXPECT_EQ(KeyMap::intrinsicFlags(*KeyMap::keyCode("ArrowUp")), 0xA00000u);
    EXPECT_EQ(KeyMap::intrinsicFlags(*KeyMap::keyCode("F1")), KeyMap::Flags::secondaryFunction);
    EXPECT_EQ(KeyMap::intrinsicFlags(*KeyMap::keyCode("IntlYen")), 0u);
    EXPECT_EQ(KeyMap::intrinsicFlags(63), 0u);
    EXPECT_EQ(KeyMap::intrinsicFlags(0), 0u);
    EXPECT_EQ(KeyMap::intrinsicFlags(127), 0u);
    EXPECT_EQ(KeyMap::intrinsicFlags(65535), 0u);

    EXPECT_EQ(KeyMap::modifierFlag("CapsLock"), KeyMap::Flags::capsLock);
    EXPECT_EQ(KeyMap::modifierFlag("Fn"), KeyMap::Flags::secondaryFunction);
    EXPECT_EQ(KeyMap::modifierFlag("OSRight"), KeyMap::Flags::command);
    EXPECT_EQ(KeyMap::modifierFlag("AltRight"), KeyMap::Flags::option);
    EXPECT_FALSE(KeyMap::isModifier("ContextMenu"));
    int modifiers = 0;
    for (const auto& e : KeyMap::entries()) modifiers += KeyMap::isModifier(e.code) ? 1 : 0;
    EXPECT_EQ(modifiers, 12);
}

}  // namespace
}  // namespace morvane
