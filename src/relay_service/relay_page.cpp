#include "relay_service/relay_page.h"

#include "protocol/page_cache.h"
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
    for (const auto& row : rows) {
        if (row.name.ends_with(gzipSuffix)) continue;
        File file{mediaType(row.name), Form{row.bytes, PageCache::tagOf(row.sha256)}, std::nullopt};
        for (const auto& packed : rows) {
            if (packed.name.size() == row.name.size() + gzipSuffix.size() && packed.name.starts_with(row.name) &&
                packed.name.ends_with(gzipSuffix) && packed.bytes.size() < row.bytes.size())
                file.gzip = Form{packed.bytes, PageCache::tagOf(packed.sha256)};
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
    const auto choice = PageCache::choose(file.plain.etag,
                                          file.gzip ? std::optional<std::string_view>(file.gzip->etag) : std::nullopt,
                                          acceptEncoding, ifNoneMatch);

    PageAnswer answer;
    answer.status = choice.notModified ? 304 : 200;
    if (answer.status == 200) {
        answer.headers.emplace_back("Content-Type", file.type);
        answer.body = choice.gzip ? file.gzip->bytes : file.plain.bytes;
    }
    for (const auto& header : HTTPResponse::pageSecurityHeaders()) answer.headers.push_back(header);
    answer.headers.insert(answer.headers.end(), choice.headers.begin(), choice.headers.end());
    return answer;
}

}  // namespace morvane::relay_service
