// How the files of a built-in page go out so that a browser may keep them:
// the host's own page and the relay's alike. Each form of a file (its
// bytes, and for a text file the same bytes gzipped when the program was
// built) has an ETag of its own, and every answer says "Cache-Control:
// no-cache": a repeat visit asks again and is told 304 without the bytes
// while nothing changed, and a new build's page arrives on the next load.
// A browser that accepts gzip is sent the gzipped form. Pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/http_response.h"

namespace morvane::PageCache {

// The tag of a form whose SHA-256 is `sha256Hex`: its first 128 bits,
// quoted.
std::string tagOf(std::string_view sha256Hex);

// What to send for one request of a file.
struct Choice {
    bool gzip = false;         // the gzipped form rather than the plain one
    bool notModified = false;  // 304 without a body: the browser holds that form
    // Content-Encoding when gzipped, the form's ETag, and Vary when the
    // file has a gzipped form; the security headers are not among them.
    HTTPResponse::Headers headers;
};

// `gzipTag` is the gzipped form's tag, none when the file has no such
// form; the other two are the request's Accept-Encoding and If-None-Match
// values ("" when absent).
Choice choose(std::string_view plainTag, std::optional<std::string_view> gzipTag, std::string_view acceptEncoding,
              std::string_view ifNoneMatch);

// Whether an Accept-Encoding value lets gzip through: named with a nonzero
// weight, or not named while "*" has one.
bool acceptsGzip(std::string_view acceptEncoding);
// Whether an If-None-Match value names `etag` (weakly: a "W/" in front
// counts as the same tag), or is "*".
bool namesTag(std::string_view ifNoneMatch, std::string_view etag);

}  // namespace morvane::PageCache
