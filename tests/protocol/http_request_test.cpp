#include "protocol/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include "../support/text_bytes.h"

namespace morvane {
namespace {

HTTPParseResult parse(std::string_view text) { return HTTPParser::parse(bytes(text)); }

int failureStatus(const HTTPParseResult& result) {
    auto* failure = std::get_if<http_parse::Failure>(&result);
    return failure ? failure->status : 0;
}

bool needsMore(const HTTPParseResult& result) { return std::holds_alternative<http_parse::NeedMore>(result); }

http_parse::Request request(const HTTPParseResult& result) {
    auto* r = std::get_if<http_parse::Request>(&result);
    if (!r) {
        ADD_FAILURE() << "no request; failure status " << failureStatus(result);
        return {};
    }
    return *r;
}

// A request whose header block is exactly `size` bytes long, the blank line
// included.
std::string requestOfHeaderSize(std::size_t size) {
    std::string head = "GET / HTTP/1.1\r\nX-Fill: ";
    const std::size_t fixed = head.size() + 4;
    head.append(size - fixed, 'a');
    head.append("\r\n\r\n");
    return head;
}

TEST(HTTPParser, ParsesMethodPathHeadersAndBody) {
    auto r = request(parse("POST /api/pair?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8722\r\nContent-Type: \t application/json "
                           "\r\nContent-Length: 5\r\n\r\nhello"));
    EXPECT_EQ(r.request.method, "POST");
    EXPECT_EQ(r.request.path, "/api/pair");
    EXPECT_EQ(r.request.headers, (HTTPHeaders{{"host", "127.0.0.1:8722"},
                                              {"content-type", "application/json"},
                                              {"content-length", "5"}}));
    EXPECT_EQ(r.request.body, bytes("hello"));
    EXPECT_TRUE(r.leftover.empty());

    // Later colons belong to the value; an empty value is kept.
    r = request(parse("GET /app.js?v=3 HTTP/1.1\r\nX-A: b:c: d\r\nX-Empty:\r\n\r\n"));
    EXPECT_EQ(r.request.path, "/app.js");
    EXPECT_EQ(r.request.headers.at("x-a"), "b:c: d");
    EXPECT_EQ(r.request.headers.at("x-empty"), "");

    // A request line followed directly by the blank line.
    r = request(parse("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(r.request.headers.empty());
    EXPECT_TRUE(r.request.body.empty());

    // Trimming is what makes "13 " arrive as "13".
    r = request(parse("GET /ws HTTP/1.1\r\nSec-WebSocket-Version: 13 \r\n\r\n"));
    EXPECT_EQ(r.request.headers.at("sec-websocket-version"), "13");
}

TEST(HTTPParser, WaitsForTheWholeBodyAndHandsBackWhatFollows) {
    const std::string head = "POST /api/pair HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    EXPECT_TRUE(needsMore(parse("POST /api/pair HTTP/1.1\r\nContent-Len")));
    EXPECT_TRUE(needsMore(parse(head)));
    EXPECT_TRUE(needsMore(parse(head + "abc")));
    auto r = request(parse(head + "abcdefgh"));
    EXPECT_EQ(r.request.body, bytes("abcde"));
    EXPECT_EQ(r.leftover, bytes("fgh"));

    // Frames sent right behind an upgrade request come back as leftover.
    r = request(parse(std::string("GET /ws HTTP/1.1\r\n\r\n") + "\x81\x80"));
    EXPECT_EQ(r.leftover, bytes("\x81\x80"));
    EXPECT_TRUE(needsMore(parse("")));
}

TEST(HTTPParser, RefusesAHeaderBlockOverTheLimitWith431) {
    EXPECT_TRUE(needsMore(parse(std::string(8192, 'a'))));
    EXPECT_EQ(failureStatus(parse(std::string(8193, 'a'))), 431);

    EXPECT_EQ(requestOfHeaderSize(8192).size(), 8192u);
    EXPECT_EQ(request(parse(requestOfHeaderSize(8192))).request.headers.at("x-fill").size(), 8192u - 28);
    // Complete, but the blank line ends one byte too late.
    EXPECT_EQ(failureStatus(parse(requestOfHeaderSize(8193))), 431);
    // The terminator straddling the limit counts the same way.
    std::string straddling = requestOfHeaderSize(8194);
    EXPECT_EQ(failureStatus(parse(straddling.substr(0, 8193))), 431);
    // A small block followed by a large body-less tail is not 431.
    auto r = request(parse("GET / HTTP/1.1\r\n\r\n" + std::string(20000, 'x')));
    EXPECT_EQ(r.leftover.size(), 20000u);
}

TEST(HTTPParser, RefusesMalformedRequestLinesWith400) {
    for (const char* line : {"GET / HTTP/1.0", "get / HTTP/1.1", "GET  / HTTP/1.1", "GET * HTTP/1.1",
                             "GET http://127.0.0.1:8722/ HTTP/1.1", "GET / http/1.1", "GET / HTTP/1.1 ",
                             "GET /", "G3T / HTTP/1.1", " GET / HTTP/1.1", "", "GET /a\nb HTTP/1.1",
                             "GET /a\rb HTTP/1.1"}) {
        EXPECT_EQ(failureStatus(parse(std::string(line) + "\r\nHost: x\r\n\r\n")), 400) << line;
    }
    // An empty line before the request line is not skipped.
    EXPECT_EQ(failureStatus(parse("\r\nGET / HTTP/1.1\r\n\r\n")), 400);
}

TEST(HTTPParser, RefusesMalformedHeaderLinesWith400) {
    for (const char* header : {"Host : x", " Host: x", "\tHost: x", "NoColon", ": value", "Na me: x", "X-A: b\nc",
                               "X-A: b\rc", "X-(a): b"}) {
        EXPECT_EQ(failureStatus(parse(std::string("GET / HTTP/1.1\r\n") + header + "\r\n\r\n")), 400) << header;
    }
    // Every token character is allowed in a name.
    auto r = request(parse("GET / HTTP/1.1\r\nA!#$%&'*+-.^_|~`z9: v\r\n\r\n"));
    EXPECT_EQ(r.request.headers.at("a!#$%&'*+-.^_|~`z9"), "v");
    // A byte outside printable ASCII anywhere before the blank line.
    EXPECT_EQ(failureStatus(parse("GET / HTTP/1.1\r\nX-Name: caf\xC3\xA9\r\n\r\n")), 400);
    EXPECT_EQ(failureStatus(parse("GET / HTTP/1.1\r\nX-A: \x7F\r\n\r\n")), 400);
    static constexpr char withNul[] = "GET / HTTP/1.1\r\nX-A: a\0b\r\n\r\n";
    EXPECT_EQ(failureStatus(parse(std::string_view(withNul, sizeof withNul - 1))), 400);
    // The body is not subject to the character rule.
    r = request(parse("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n\xC3\xA9"));
    EXPECT_EQ(r.request.body, bytes("\xC3\xA9"));
}

TEST(HTTPParser, MergesRepeatableHeadersAndRefusesRepeatedSingleOnes) {
    auto r = request(parse("GET / HTTP/1.1\r\nAccept: a\r\nACCEPT: b\r\naccept: c\r\n\r\n"));
    EXPECT_EQ(r.request.headers.at("accept"), "a, b, c");
    EXPECT_EQ(failureStatus(parse("GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n")), 400);
    for (const char* name : {"Origin", "Content-Length", "Content-Type", "Upgrade", "Sec-WebSocket-Key",
                             "Sec-WebSocket-Version", "Tailscale-User-Login"}) {
        const std::string line = std::string(name) + ": 1\r\n";
        EXPECT_EQ(failureStatus(parse("GET / HTTP/1.1\r\n" + line + line + "\r\n")), 400) << name;
    }
}

TEST(HTTPParser, RefusesCodedBodiesAndBadOrLargeLengths) {
    EXPECT_EQ(failureStatus(parse("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")), 400);
    EXPECT_EQ(failureStatus(parse("POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n")), 400);
    EXPECT_EQ(failureStatus(parse("POST / HTTP/1.1\r\nTransfer-Encoding:\r\n\r\n")), 400);

    auto withLength = [](std::string value) {
        return "POST / HTTP/1.1\r\nContent-Length:" + value + "\r\n\r\n";
    };
    EXPECT_TRUE(needsMore(parse(withLength("  4096  "))));
    EXPECT_TRUE(needsMore(parse(withLength("000004096"))));
    EXPECT_EQ(failureStatus(parse(withLength("4097"))), 413);
    EXPECT_EQ(failureStatus(parse(withLength("000004097"))), 413);
    EXPECT_EQ(failureStatus(parse(withLength("999999999"))), 413);
    for (const char* bad : {"+5", "", "-1", "5 5", "0x10", "1234567890", "0000000001"})
        EXPECT_EQ(failureStatus(parse(withLength(bad))), 400) << bad;

    auto r = request(parse(withLength("4096") + std::string(4096, 'b')));
    EXPECT_EQ(r.request.body.size(), 4096u);
    r = request(parse(withLength("0") + "rest"));
    EXPECT_TRUE(r.request.body.empty());
    EXPECT_EQ(r.leftover, bytes("rest"));
}

}  // namespace
}  // namespace morvane
