#include "relay_service/relay_page.h"

#include <algorithm>

#include "relay_service/web/relay_web.h"

namespace morvane::relay_service {

namespace {

constexpr std::string_view gzipSuffix = ".gz";

std::string mediaType(std::string_view name) {
    const auto dot = name.rfind('.');
    const auto ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (ext == "html") return "text/html; charset=utf-8";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "webmanifest") return "application/manifest+json";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    if (ext == "json") return "application/json";
    return "application/octet-stream";
}

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

PageAnswer plainAnswer(int status, std::string_view text) {
    PageAnswer answer;
    answer.status = status;
    answer.headers.emplace_back("Content-Type", HTTPResponse::plainTextType);
    for (const auto& header : HTTPResponse::securityHeaders()) answer.headers.push_back(header);
    if (status == 405) answer.headers.emplace_back("Allow", "GET, HEAD");
    answer.body = text;
    return answer;
}

}  // namespace

RelayPage::RelayPage() {
    const auto rows = RelayWeb::files();
    const auto tag = [](std::string_view sha256) { return "\"" + std::string(sha256.substr(0, 32)) + "\""; };
    for (const auto& row : rows) {
        if (row.name.ends_with(gzipSuffix)) continue;
        File file{mediaType(row.name), Form{row.bytes, tag(row.sha256)}, std::nullopt};
        for (const auto& packed : rows) {
            if (packed.name.size() == row.name.size() + gzipSuffix.size() && packed.name.starts_with(row.name) &&
                packed.name.ends_with(gzipSuffix) && packed.bytes.size() < row.bytes.size())
                file.gzip = Form{packed.bytes, tag(packed.sha256)};
        }
        if (files_.empty()) files_.emplace("/", file);
        files_.emplace("/" + std::string(row.name), std::move(file));
    }
}

PageAnswer RelayPage::answer(std::string_view method, const std::string& path, std::string_view acceptEncoding,
                             std::string_view ifNoneMatch) const {
    const auto found = files_.find(path);
    if (found == files_.end()) return plainAnswer(404, "Not Found\n");
    if (method != "GET" && method != "HEAD") return plainAnswer(405, "Method Not Allowed\n");
    const File& file = found->second;
    const Form& form = file.gzip && acceptsGzip(acceptEncoding) ? *file.gzip : file.plain;

    PageAnswer answer;
    answer.status = namesTag(ifNoneMatch, form.etag) ? 304 : 200;
    if (answer.status == 200) {
        answer.headers.emplace_back("Content-Type", file.type);
        if (&form != &file.plain) answer.headers.emplace_back("Content-Encoding", "gzip");
        answer.body = form.bytes;
    }
    for (const auto& [name, value] : HTTPResponse::securityHeaders())
        answer.headers.emplace_back(name, name == "Cache-Control" ? "no-cache" : value);
    answer.headers.emplace_back("ETag", form.etag);
    if (file.gzip) answer.headers.emplace_back("Vary", "Accept-Encoding");
    return answer;
}

bool RelayPage::acceptsGzip(std::string_view acceptEncoding) {
    std::optional<int> gzip, any;
    anyItem(acceptEncoding, ',', [&](std::string_view item) {
        const auto coding = trimmed(item.substr(0, item.find(';')));
        if (equalsLower(coding, "gzip") || equalsLower(coding, "x-gzip")) gzip = std::max(gzip.value_or(0), weightOf(item));
        if (coding == "*") any = std::max(any.value_or(0), weightOf(item));
        return false;
    });
    return gzip ? *gzip > 0 : any.value_or(0) > 0;
}

bool RelayPage::namesTag(std::string_view ifNoneMatch, std::string_view etag) {
    if (trimmed(ifNoneMatch) == "*") return true;
    return anyItem(ifNoneMatch, ',', [&](std::string_view item) {
        if (item.starts_with("W/")) item.remove_prefix(2);
        return item == etag;
    });
}

}  // namespace morvane::relay_service
