#include "protocol/static_site.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "core/secure.h"
#include "protocol/http_request.h"
#include "protocol/page_cache.h"

namespace morvane {

const std::map<std::string, StaticFile>& StaticFiles::table() {
    static const std::map<std::string, StaticFile> entries = {
        {"/", {"index.html", "text/html; charset=utf-8"}},
        {"/app.js", {"app.js", "text/javascript; charset=utf-8"}},
        {"/style.css", {"style.css", "text/css; charset=utf-8"}},
        {"/manifest.webmanifest", {"manifest.webmanifest", "application/manifest+json"}},
        {"/icon.svg", {"icon.svg", "image/svg+xml"}},
        {"/apple-touch-icon.png", {"apple-touch-icon.png", "image/png"}},
        {"/audio-worklet.js", {"audio-worklet.js", "text/javascript; charset=utf-8"}},
    };
    return entries;
}

const std::set<std::string>& StaticSite::expectedNames() {
    static const std::set<std::string> names = [] {
        std::set<std::string> out;
        for (const auto& [path, entry] : StaticFiles::table()) out.insert(entry.file);
        return out;
    }();
    return names;
}

std::string StaticSite::sha256Hex(std::span<const std::uint8_t> data) { return Secure::sha256Hex(data); }

SiteFile::SiteFile(Bytes owned) : owned_(std::move(owned)), etag_(PageCache::tagOf(Secure::sha256Hex(owned_))) {}

SiteFile SiteFile::ofStaticData(std::span<const std::uint8_t> fixed, std::string_view sha256Hex) {
    SiteFile file;
    file.fixed_ = fixed;
    file.etag_ = PageCache::tagOf(sha256Hex);
    return file;
}

bool SiteFile::operator==(const SiteFile& other) const { return std::ranges::equal(bytes(), other.bytes()); }

StaticSite StaticSite::fromEmbedded(std::span<const EmbeddedFile> rows) {
    constexpr std::string_view gzipSuffix = ".gz";
    StaticSite site;
    for (const auto& row : rows) {
        const std::string name(row.name);
        const bool packed = name.ends_with(gzipSuffix);
        const std::string plainName = packed ? name.substr(0, name.size() - gzipSuffix.size()) : name;
        auto& into = packed ? site.gzipped : site.files;
        if (!expectedNames().contains(plainName) || into.contains(plainName)) throw Problem("unexpected file " + name);
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(row.bytes.data()),
                                                  row.bytes.size());
        if (bytes.empty() || bytes.size() > HTTPLimits::maxStaticFileBytes) throw Problem(name + " cannot be served");
        std::string recorded(row.sha256);
        std::transform(recorded.begin(), recorded.end(), recorded.begin(),
                       [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
        if (sha256Hex(bytes) != recorded) throw Problem(name + " does not match its recorded hash");
        into.emplace(plainName, SiteFile::ofStaticData(bytes, recorded));
    }
    std::string missing;
    for (const auto& name : expectedNames()) {  // a std::set: already ascending
        if (site.files.contains(name)) continue;
        if (!missing.empty()) missing += ", ";
        missing += name;
    }
    if (!missing.empty()) throw Problem("missing " + missing);
    // A form no smaller than the file is not worth a browser's unpacking.
    std::erase_if(site.gzipped, [&](const auto& packed) {
        return packed.second.bytes().size() >= site.files.at(packed.first).bytes().size();
    });
    return site;
}

StaticSite StaticSite::fromDirectory(const std::filesystem::path& directory) {
    StaticSite site;
    for (const auto& name : expectedNames()) {
        const auto path = directory / name;
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec || size > HTTPLimits::maxStaticFileBytes) continue;
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        // The file may have changed since its size was taken: read in
        // pieces and give up past the limit.
        Bytes bytes;
        bytes.reserve(static_cast<std::size_t>(size));
        char chunk[65536];
        bool tooLarge = false;
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
            bytes.insert(bytes.end(), chunk, chunk + in.gcount());
            if (bytes.size() > HTTPLimits::maxStaticFileBytes) {
                tooLarge = true;
                break;
            }
        }
        if (tooLarge || in.bad()) continue;
        site.files.emplace(name, std::move(bytes));
    }
    return site;
}

std::vector<std::string> StaticSite::hashLines() const {
    std::vector<std::string> lines;
    lines.reserve(files.size());
    for (const auto& [name, file] : files) lines.push_back(sha256Hex(file.bytes()) + "  " + name);
    return lines;
}

}  // namespace morvane
