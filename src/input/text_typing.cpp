#include "input/text_typing.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>

namespace morvane::TextTyping {

namespace {

std::string normalisedLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace

std::vector<TextStep> plan(std::string_view text) {
    const std::string clean = normalisedLineBreaks(text);
    const icu::UnicodeString units = icu::UnicodeString::fromUTF8(clean);
    std::vector<TextStep> steps;

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> clusters(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    auto addCluster = [&](int32_t start, int32_t end) {
        std::u32string scalars;
        for (int32_t i = start; i < end;) {
            const UChar32 c = units.char32At(i);
            scalars.push_back(static_cast<char32_t>(c));
            i += U16_LENGTH(c);
        }
        if (scalars == U"\n")
            steps.emplace_back(text_step::Named{"Enter"});
        else if (scalars == U"\t")
            steps.emplace_back(text_step::Named{"Tab"});
        else
            steps.emplace_back(text_step::Characters{std::move(scalars)});
    };

    if (U_FAILURE(status) || !clusters) {
        // Without break rules every scalar stands alone.
        for (int32_t i = 0; i < units.length();) {
            const int32_t next = i + U16_LENGTH(units.char32At(i));
            addCluster(i, next);
            i = next;
        }
        return steps;
    }
    clusters->setText(units);
    int32_t start = clusters->first();
    for (int32_t end = clusters->next(); end != icu::BreakIterator::DONE; start = end, end = clusters->next())
        addCluster(start, end);
    return steps;
}

}  // namespace morvane::TextTyping
