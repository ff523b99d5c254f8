// The built-in browser client as the server serves it: the map from request
// paths to files, and the site value that holds the files' bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"
#include "web/embedded_web.h"

namespace morvane {

struct StaticFile {
    std::string file;  // name in the site
    std::string type;  // media type sent with it
    bool operator==(const StaticFile&) const = default;
};

namespace StaticFiles {
// Request path to file and media type; exactly seven entries. The page is
// served only at "/".
const std::map<std::string, StaticFile>& table();
}  // namespace StaticFiles

// A file's bytes as the site serves them: either the program's own
// read-only data (the embedded page, never copied) or bytes read from a
// folder, which the value owns. Copies stay valid either way. Its ETag
// (protocol/page_cache.h) follows from the bytes.
class SiteFile {
public:
    SiteFile() = default;
    SiteFile(Bytes owned);  // NOLINT: bytes read, or written by a test
    // `fixed` outlives every site: static data of the program, whose
    // SHA-256 hex is `sha256Hex`.
    static SiteFile ofStaticData(std::span<const std::uint8_t> fixed, std::string_view sha256Hex);

    std::span<const std::uint8_t> bytes() const { return fixed_.data() ? fixed_ : std::span<const std::uint8_t>(owned_); }
    const std::string& etag() const { return etag_; }
    bool operator==(const SiteFile& other) const;

private:
    Bytes owned_;
    std::span<const std::uint8_t> fixed_;
    std::string etag_;
};

class StaticSite {
public:
    // Why an embedded site was refused; `what()` is the readable reason.
    class Problem : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
        std::string description() const { return what(); }
    };

    // The file names of `StaticFiles::table()`.
    static const std::set<std::string>& expectedNames();

    // Checks every row against its recorded hash and serves its bytes where
    // they are; the first bad row, or the expected files no row supplied,
    // throw `Problem`. A row named after an expected file with ".gz" after
    // it is that file gzipped, kept in `gzipped` when it is smaller.
    static StaticSite fromEmbedded(std::span<const EmbeddedFile> rows);
    // Reads whichever expected files the folder holds, without a hash check;
    // never fails (unreadable or oversized files are skipped).
    static StaticSite fromDirectory(const std::filesystem::path& directory);

    StaticSite() = default;

    // One line per file in name order (the gzipped forms left out): the
    // SHA-256 hex, two spaces, the name.
    std::vector<std::string> hashLines() const;

    static std::string sha256Hex(std::span<const std::uint8_t> data);

    // File name to bytes; an absent name is answered 404 by the router.
    std::map<std::string, SiteFile> files;
    // File name to the same bytes gzipped, for the files that have such a
    // form; sent to browsers that accept gzip.
    std::map<std::string, SiteFile> gzipped;
};

}  // namespace morvane
