#include "input/likely_characters.h"

#include <unicode/ulocdata.h>
#include <unicode/uset.h>

#include <algorithm>
#include <memory>
#include <sstream>

namespace morvane::LikelyCharacters {

namespace {

constexpr char32_t apostrophe = U'\u2019';
constexpr char32_t eAcute = U'\u00E9';
constexpr std::size_t maxLetters = 64;

// The letters beyond ASCII of a locale's alphabet, in code point order;
// nothing for the C locale, whose exemplars would be the root's.
std::u32string lettersOf(const std::string& locale) {
    const std::string name = locale.substr(0, locale.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return {};
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<ULocaleData, decltype(&ulocdata_close)> data(ulocdata_open(name.c_str(), &status),
                                                                 &ulocdata_close);
    if (U_FAILURE(status) || !data) return {};
    std::unique_ptr<USet, decltype(&uset_close)> set(
        ulocdata_getExemplarSet(data.get(), nullptr, 0, ULOCDATA_ES_STANDARD, &status), &uset_close);
    if (U_FAILURE(status) || !set) return {};
    std::u32string letters;
    for (int32_t i = 0; i < uset_getItemCount(set.get()); ++i) {
        UChar32 start = 0, end = 0;
        UErrorCode itemStatus = U_ZERO_ERROR;
        // Strings (a cluster one language counts as a letter) have no key of their own.
        if (uset_getItem(set.get(), i, &start, &end, nullptr, 0, &itemStatus) != 0 || U_FAILURE(itemStatus)) continue;
        for (UChar32 c = std::max<UChar32>(start, 0x80); c <= end; ++c) letters.push_back(static_cast<char32_t>(c));
    }
    // An alphabet of hundreds (a syllabary, Han characters) is more than
    // keys hold: a guess among them is as good as none.
    return letters.size() <= maxLetters ? letters : std::u32string();
}

}  // namespace

std::u32string forLocales(const std::vector<std::string>& locales) {
    std::u32string letters;
    for (const auto& locale : locales) letters += lettersOf(locale);
    std::u32string out;
    const auto add = [&](char32_t c) {
        if (out.find(c) == std::u32string::npos) out.push_back(c);
    };
    add(apostrophe);
    if (letters.empty() || letters.find(eAcute) != std::u32string::npos) add(eAcute);
    for (char32_t c : letters) add(c);
    for (char32_t c : {eAcute, U'\u201C', U'\u201D'}) add(c);
    return out;
}

std::vector<std::string> userLocales(const std::function<const char*(const char*)>& variable) {
    std::vector<std::string> out;
    if (const char* list = variable("LANGUAGE")) {
        std::istringstream names(list);
        for (std::string name; std::getline(names, name, ':');)
            if (!name.empty()) out.push_back(name);
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = variable(name); value && *value) out.emplace_back(value);
    return out;
}

}  // namespace morvane::LikelyCharacters
