// The relay's page as the server answers it: which form of a file goes to
// which browser, and when a repeat visit is told nothing changed.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "protocol/page_cache.h"
#include "relay_service/relay_page.h"
#include "relay_service/web/relay_web.h"
#include "../support/gunzip.h"

namespace morvane::relay_service {
namespace {

std::map<std::string, std::string> headersOf(const PageAnswer& answer) {
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : answer.headers) {
        EXPECT_FALSE(out.contains(name)) << name << " twice";
        out[name] = value;
    }
    return out;
}

TEST(RelayPage, AcceptEncodingLetsGzipThroughOnlyWithAWeight) {
    const struct {
        const char* header;
        bool gzip;
    } cases[] = {
        {"gzip, deflate, br", true},
        {"GZIP", true},
        {"deflate, br", false},
        {"", false},
        {"identity", false},
        {"gzip;q=0", false},
        {"gzip; q=0.000", false},
        {"gzip;Q=0.001", true},
        {"gzip;q=1.0", true},
        {"gzip;q=0.5, *;q=0", true},
        {"*", true},
        {"*;q=0", false},
        {"*, gzip;q=0", false},
        {"x-gzip", true},
        {"br;q=1, gzip;q=0.1", true},
        {"gzip;q=2", false},
        {"gzip;q=1.5", false},
        {"gzip;q=0.0001", false},
        {"gzip;q=abc", false},
        {"gzip;level=9", true},
        {"gzipped", false},
        {",,gzip,,", true},
    };
    for (const auto& c : cases) EXPECT_EQ(PageCache::acceptsGzip(c.header), c.gzip) << c.header;
}

TEST(RelayPage, IfNoneMatchNamesATagWeaklyOrEveryTag) {
    const std::string tag = "\"0123abcd\"";
    const struct {
        const char* header;
        bool names;
    } cases[] = {
        {"\"0123abcd\"", true},
        {"W/\"0123abcd\"", true},
        {"\"other\", \"0123abcd\"", true},
        {"  *  ", true},
        {"", false},
        {"0123abcd", false},
        {"\"0123abcd", false},
        {"\"0123ABCD\"", false},
        {"\"other\"", false},
        {"w/\"0123abcd\"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(PageCache::namesTag(c.header, tag), c.names) << c.header;
}

// Every file as the page was built, plain or gzipped (a stale gzipped
// form would unpack to other bytes), and each form's tag revalidates it.
TEST(RelayPage, EachFileIsServedPlainOrGzippedAndRevalidatedByItsTag) {
    RelayPage page;
    for (const auto& row : RelayWeb::files()) {
        const auto path = "/" + std::string(row.name);
        if (row.name.ends_with(".gz")) {
            EXPECT_EQ(page.answer("GET", path, "gzip", "").status, 404) << path;
            continue;
        }
        const auto plain = page.answer("GET", path, "", "");
        const auto zipped = page.answer("GET", path, "gzip, deflate", "");
        ASSERT_EQ(plain.status, 200) << path;
        EXPECT_EQ(plain.body, row.bytes) << path;
        auto plainHeaders = headersOf(plain), zippedHeaders = headersOf(zipped);
        EXPECT_EQ(plainHeaders["Content-Encoding"], "") << path;
        if (row.name.ends_with(".png")) {
            EXPECT_EQ(zipped.body, row.bytes) << path;
        } else {
            EXPECT_EQ(zippedHeaders["Content-Encoding"], "gzip") << path;
            EXPECT_LT(zipped.body.size(), row.bytes.size()) << path;
            EXPECT_EQ(morvane::testing::gunzip(zipped.body), row.bytes) << path;
            EXPECT_EQ(zippedHeaders["Vary"], "Accept-Encoding") << path;
            EXPECT_NE(zippedHeaders["ETag"], plainHeaders["ETag"]) << path;
            // The other form's tag is no match.
            EXPECT_EQ(page.answer("GET", path, "", zippedHeaders["ETag"]).status, 200) << path;
        }
        for (auto* headers : {&plainHeaders, &zippedHeaders}) {
            EXPECT_EQ((*headers)["Cache-Control"], "no-cache") << path;
            const auto again = page.answer("GET", path, headers == &plainHeaders ? "" : "gzip", (*headers)["ETag"]);
            EXPECT_EQ(again.status, 304) << path;
            EXPECT_TRUE(again.body.empty()) << path;
            EXPECT_EQ(headersOf(again)["ETag"], (*headers)["ETag"]) << path;
        }
        EXPECT_EQ(page.answer("GET", path, "", "\"0000\"").status, 200) << path;
    }
    EXPECT_EQ(page.answer("GET", "/", "gzip", "").body, page.answer("GET", "/index.html", "gzip", "").body);
}

TEST(RelayPage, WhatIsNotThePageIsRefusedAndNeverKept) {
    RelayPage page;
    const struct {
        const char* method;
        const char* path;
        int status;
    } cases[] = {
        {"GET", "/../etc/passwd", 404},
        {"GET", "/nothing.js", 404},
        {"GET", "", 404},
        {"POST", "/", 405},
        {"PUT", "/app.js", 405},
        {"DELETE", "/nothing", 404},
    };
    for (const auto& c : cases) {
        const auto answer = page.answer(c.method, c.path, "gzip", "*");
        EXPECT_EQ(answer.status, c.status) << c.method << " " << c.path;
        auto headers = headersOf(answer);
        EXPECT_EQ(headers["Cache-Control"], "no-store") << c.path;
        EXPECT_EQ(headers["ETag"], "") << c.path;
        EXPECT_EQ(headers["Content-Type"], "text/plain; charset=utf-8") << c.path;
        EXPECT_EQ(headers["Allow"], c.status == 405 ? "GET, HEAD" : "") << c.path;
    }
}

}  // namespace
}  // namespace morvane::relay_service
