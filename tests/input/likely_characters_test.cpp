#include "input/likely_characters.h"

#include <gtest/gtest.h>

#include <map>

namespace morvane {
namespace {

TEST(LikelyCharacters, PhonePunctuationTheLanguagesLettersBeyondAsciiAndEAcuteMostLikelyFirst) {
    struct Row {
        const char* what;
        std::vector<std::string> locales;
        std::u32string want;
    };
    const Row rows[] = {
        {"no locale", {}, U"’é“”"},
        {"the C locale", {"C.UTF-8", "POSIX"}, U"’é“”"},
        {"English has no letter beyond ASCII", {"en_US.UTF-8"}, U"’é“”"},
        {"German letters, é after them as German lacks it", {"de_DE.UTF-8"}, U"’ßäöüé“”"},
        {"Spanish has é: it comes first", {"es_ES.UTF-8"}, U"’éáíñóúü“”"},
        {"two languages, the first wanted first, each letter once", {"pt_BR", "de_DE@euro"},
         U"’éàáâãçêíòóôõúßäöü“”"},
        {"Japanese writes with more characters than keys hold", {"ja_JP.UTF-8"}, U"’é“”"},
    };
    for (const auto& row : rows) EXPECT_EQ(LikelyCharacters::forLocales(row.locales), row.want) << row.what;
}

TEST(LikelyCharacters, TheUsersLocalesAreLanguagesListThenTheVariablesThatNameOne) {
    std::map<std::string, std::string> environment = {
        {"LANGUAGE", "pt_BR:de::fr"}, {"LC_ALL", ""}, {"LC_MESSAGES", "es_ES.UTF-8"}, {"LANG", "C.UTF-8"}};
    const auto variable = [&](const char* name) -> const char* {
        const auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
    };
    EXPECT_EQ(LikelyCharacters::userLocales(variable),
              (std::vector<std::string>{"pt_BR", "de", "fr", "es_ES.UTF-8", "C.UTF-8"}));
    environment.clear();
    EXPECT_TRUE(LikelyCharacters::userLocales(variable).empty());
}

}  // namespace
}  // namespace morvane
