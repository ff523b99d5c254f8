#include "protocol/page_cache.h"

#include <algorithm>

namespace morvane::PageCache {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Calls `each` with every element of a list, trimmed, empty ones left
// out; stops when it returns true and says so.
template <class Each>
bool anyItem(std::string_view list, char separator, Each each) {
    while (true) {
        const auto at = list.find(separator);
        const auto item = trimmed(list.substr(0, at));
        if (!item.empty() && each(item)) return true;
        if (at == std::string_view::npos) return false;
        list.remove_prefix(at + 1);
    }
}

bool equalsLower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

// A weight ("0" to "1" with at most three decimals) in thousandths, or
// nothing when the text is not one.
std::optional<int> thousandths(std::string_view q) {
    if (q.empty() || (q[0] != '0' && q[0] != '1') || (q.size() > 1 && q[1] != '.') || q.size() > 5) return std::nullopt;
    int value = (q[0] - '0') * 1000;
    int unit = 100;
    for (std::size_t i = 2; i < q.size(); ++i, unit /= 10) {
        if (q[i] < '0' || q[i] > '9') return std::nullopt;
        value += (q[i] - '0') * unit;
    }
    if (value > 1000) return std::nullopt;
    return value;
}

// The weight of one Accept-Encoding element ("gzip;q=0.5") in thousandths:
// 1000 without a "q"; an element whose "q" is not a weight counts as 0.
int weightOf(std::string_view item) {
    int weight = 1000;
    const auto semicolon = item.find(';');
    if (semicolon == std::string_view::npos) return weight;
    anyItem(item.substr(semicolon + 1), ';', [&](std::string_view parameter) {
        const auto eq = parameter.find('=');
        if (eq == std::string_view::npos || !equalsLower(trimmed(parameter.substr(0, eq)), "q")) return false;
        weight = thousandths(trimmed(parameter.substr(eq + 1))).value_or(0);
        return true;
    });
    return weight;
}

}  // namespace

std::string tagOf(std::string_view sha256Hex) { return "\"" + std::string(sha256Hex.substr(0, 32)) + "\""; }

Choice choose(std::string_view plainTag, std::optional<std::string_view> gzipTag, std::string_view acceptEncoding,
              std::string_view ifNoneMatch) {
    Choice choice;
    choice.gzip = gzipTag && acceptsGzip(acceptEncoding);
    const std::string_view tag = choice.gzip ? *gzipTag : plainTag;
    choice.notModified = namesTag(ifNoneMatch, tag);
    if (choice.gzip && !choice.notModified) choice.headers.emplace_back("Content-Encoding", "gzip");
    choice.headers.emplace_back("ETag", std::string(tag));
    // A cache between the two keeps each form apart.
    if (gzipTag) choice.headers.emplace_back("Vary", "Accept-Encoding");
    return choice;
}

bool acceptsGzip(std::string_view acceptEncoding) {
    std::optional<int> gzip, any;
    anyItem(acceptEncoding, ',', [&](std::string_view item) {
        const auto coding = trimmed(item.substr(0, item.find(';')));
        if (equalsLower(coding, "gzip") || equalsLower(coding, "x-gzip")) gzip = std::max(gzip.value_or(0), weightOf(item));
        if (coding == "*") any = std::max(any.value_or(0), weightOf(item));
        return false;
    });
    return gzip ? *gzip > 0 : any.value_or(0) > 0;
}

bool namesTag(std::string_view ifNoneMatch, std::string_view etag) {
    if (trimmed(ifNoneMatch) == "*") return true;
    return anyItem(ifNoneMatch, ',', [&](std::string_view item) {
        if (item.starts_with("W/")) item.remove_prefix(2);
        return item == etag;
    });
}

}  // namespace morvane::PageCache
