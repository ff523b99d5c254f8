#include "transfer/file_names.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>

#include "transfer/file_protocol.h"

namespace morvane {

namespace {

// Canonical composed form; ill-formed bytes become U+FFFD on the way in.
std::string nfc(std::string_view text) {
    if (text.size() > INT32_MAX) return {};
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    const auto source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    icu::UnicodeString composed;
    if (U_SUCCESS(status)) composed = normalizer->normalize(source, status);
    if (U_FAILURE(status)) composed = source;
    std::string out;
    composed.toUTF8String(out);
    return out;
}

// Calls visit(scalar, start, length) for each scalar; a negative scalar
// marks an ill-formed byte sequence.
template <typename Visit>
void eachScalar(std::string_view text, Visit visit) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::int32_t i = 0;
    while (i < length) {
        const std::int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (!visit(c, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start))) return;
    }
}

// Categories that never belong in a file name: invisible, control, unpaired
// or unassigned scalars. Line and paragraph separators are refused by the
// plain-name test; cleaning turns them into spaces first.
bool isHiddenCategory(UChar32 c) {
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
            return true;
        default:
            return false;
    }
}

bool isSeparatorCategory(UChar32 c) {
    const auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

void trimTrailingSpaces(std::string& text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
}

}  // namespace

namespace FileName {

std::optional<std::string> sanitise(std::string_view raw) {
    const std::string composed = nfc(raw);
    std::string_view last = composed;
    if (const auto slash = last.find_last_of("/\\"); slash != std::string_view::npos) last = last.substr(slash + 1);

    std::string cleaned;
    bool afterSpace = true;  // leading spaces vanish
    eachScalar(last, [&](UChar32 c, std::size_t start, std::size_t length) {
        if (c < 0 || isHiddenCategory(c)) return true;  // dropped; the flag stays
        if (isSeparatorCategory(c)) {
            if (!afterSpace) cleaned += ' ';
            afterSpace = true;
            return true;
        }
        if (c == ':')
            cleaned += '-';
        else
            cleaned.append(last.substr(start, length));
        afterSpace = false;
        return true;
    });
    // Dropping an invisible scalar can bring a letter and its accent
    // together; composing again keeps a cleaned name clean on a second pass,
    // which the store relies on.
    cleaned = nfc(cleaned);

    const auto lead = cleaned.find_first_not_of(". ");
    cleaned.erase(0, lead == std::string::npos ? cleaned.size() : lead);
    trimTrailingSpaces(cleaned);

    const auto limit = static_cast<std::size_t>(FileLimits::maxNameBytes);
    if (cleaned.size() > limit) {
        const auto parts = FileNaming::split(cleaned);
        std::size_t count = parts.ext.size();
        std::string stem;
        eachScalar(parts.stem, [&](UChar32, std::size_t start, std::size_t length) {
            if (count + length > limit) return false;
            stem.append(parts.stem.substr(start, length));
            count += length;
            return true;
        });
        trimTrailingSpaces(stem);
        cleaned = stem + parts.ext;
    }
    if (!isPlain(cleaned)) return std::nullopt;
    return cleaned;
}

bool isPlain(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == '.') return false;
    if (name.find('/') != std::string_view::npos) return false;
    bool plain = true;
    eachScalar(name, [&](UChar32 c, std::size_t, std::size_t) {
        if (c < 0 || isHiddenCategory(c) || u_charType(c) == U_LINE_SEPARATOR ||
            u_charType(c) == U_PARAGRAPH_SEPARATOR)
            plain = false;
        return plain;
    });
    return plain;
}

}  // namespace FileName

namespace FileNaming {

Parts split(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) {
        const auto ext = name.substr(dot);
        if (ext.size() >= 2 && ext.size() <= 17 && ext.find(' ') == std::string_view::npos)
            return {std::string(name.substr(0, dot)), std::string(ext)};
    }
    return {std::string(name), {}};
}

std::string candidate(std::string_view name, int attempt) {
    if (attempt < 2) return std::string(name);
    const auto parts = split(name);
    return parts.stem + " (" + std::to_string(attempt) + ")" + parts.ext;
}

std::optional<std::string> firstFree(std::string_view name, const std::function<bool(const std::string&)>& taken) {
    for (int attempt = 1; attempt <= FileLimits::maxCollisionAttempts; ++attempt) {
        auto next = candidate(name, attempt);
        if (!taken(next)) return next;
    }
    return std::nullopt;
}

}  // namespace FileNaming

namespace FileListing {

Prepared prepare(std::vector<OutboxEntry> entries) {
    struct Keyed {
        OutboxEntry entry;
        std::string key;  // the name in composed form: equal names sort equal
    };
    std::vector<Keyed> kept;
    kept.reserve(entries.size());
    for (auto& e : entries) {
        if (e.size < 0 || !FileName::isPlain(e.name)) continue;
        auto key = nfc(e.name);
        kept.push_back({std::move(e), std::move(key)});
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Keyed& a, const Keyed& b) {
        if (a.entry.modified != b.entry.modified) return a.entry.modified > b.entry.modified;
        return a.key < b.key;  // UTF-8 byte order is scalar order
    });
    Prepared out;
    const auto limit = static_cast<std::size_t>(FileLimits::maxListed);
    out.more = kept.size() > limit;
    if (out.more) kept.resize(limit);
    out.files.reserve(kept.size());
    for (auto& k : kept) out.files.push_back(std::move(k.entry));
    return out;
}

}  // namespace FileListing

}  // namespace morvane
