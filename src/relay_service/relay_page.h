// The page a device opens at the relay, as the server answers it: each
// embedded file at "/<name>", and the first one (the page itself) at "/".
//
// The browser may keep it, as the host's own page (protocol/page_cache.h):
// every answer carries its ETag with "Cache-Control: no-cache", so a
// repeat visit asks again and gets 304 without the bytes while nothing
// changed, and a new build's page on the next load. A text file goes out
// gzipped (compressed when the page was built) to a browser that accepts it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/http_response.h"

namespace morvane::relay_service {

// What the server sends back for one request of the page.
struct PageAnswer {
    int status = 404;  // 200, 304, 404 or 405
    // Every header but Content-Length, which follows from `body`.
    HTTPResponse::Headers headers;
    // What a GET carries (a HEAD is told its length); static data.
    std::string_view body;
};

class RelayPage {
public:
    RelayPage();

    // `path` is the request's target without its query; the other two are
    // the request's Accept-Encoding and If-None-Match values ("" when
    // absent).
    PageAnswer answer(std::string_view method, const std::string& path, std::string_view acceptEncoding,
                      std::string_view ifNoneMatch) const;

private:
    struct Form {
        std::string_view bytes;
        std::string etag;  // quoted
    };
    struct File {
        std::string type;  // the Content-Type
        Form plain;
        std::optional<Form> gzip;
    };
    std::map<std::string, File, std::less<>> files_;
};

}  // namespace morvane::relay_service
