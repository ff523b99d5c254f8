#include "protocol/http_response.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace morvane {
namespace {

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

const std::string securityLines =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "connect-src 'self'; manifest-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-store\r\n"
    "Cross-Origin-Opener-Policy: same-origin\r\n";

TEST(HTTPResponse, BuildWritesStatusHeadersInOrderAndBody) {
    const std::string body = "<p>hi</p>";
    const auto out = HTTPResponse::build(200, "text/html; charset=utf-8",
                                         Bytes(body.begin(), body.end()), {{"X-Extra", "1"}, {"Allow", "GET"}});
    EXPECT_EQ(text(out), "HTTP/1.1 200 OK\r\n"
                         "Content-Type: text/html; charset=utf-8\r\n"
                         "Content-Length: 9\r\n"
                         "Connection: close\r\n" +
                             securityLines + "X-Extra: 1\r\nAllow: GET\r\n\r\n<p>hi</p>");

    EXPECT_EQ(text(HTTPResponse::build(418, "text/plain", Bytes{})),
              "HTTP/1.1 418 Error\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: close\r\n" +
                  securityLines + "\r\n");

    // Binary bodies go out untouched.
    const Bytes png = {0x89, 'P', 'N', 'G', 0x00, 0xFF};
    const auto image = HTTPResponse::build(200, "image/png", png);
    EXPECT_TRUE(std::equal(png.begin(), png.end(), image.end() - 6));
}

TEST(HTTPResponse, UpgradeAnswerHasNoBodyAndCarriesTheAcceptKey) {
    const auto out = HTTPResponse::upgrade("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", {HTTPResponse::strictTransport()});
    EXPECT_EQ(text(out), "HTTP/1.1 101 Switching Protocols\r\n"
                         "Upgrade: websocket\r\n"
                         "Connection: Upgrade\r\n"
                         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n" +
                             securityLines + "Strict-Transport-Security: max-age=31536000\r\n\r\n");
}

TEST(HTTPResponse, ErrorAndJsonAnswersAreCompleteResponses) {
    EXPECT_EQ(text(HTTPResponse::error(405, {{"Allow", "GET"}})),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 19\r\n"
              "Connection: close\r\n" +
                  securityLines + "Allow: GET\r\n\r\nMethod Not Allowed\n");
    EXPECT_EQ(text(HTTPResponse::jsonResponse(403, {{"error", "forbidden"}})),
              "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
              "Connection: close\r\n" +
                  securityLines + "\r\n{\"error\":\"forbidden\"}");

    // The refusals the parser and the host policy produce end with their
    // exact reason line.
    const std::pair<int, std::string> refusals[] = {{400, "Bad Request"}, {403, "Forbidden"}, {404, "Not Found"},
                                                    {413, "Content Too Large"}, {415, "Unsupported Media Type"},
                                                    {421, "Misdirected Request"},
                                                    {431, "Request Header Fields Too Large"},
                                                    {503, "Service Unavailable"}};
    for (const auto& [status, phrase] : refusals) {
        const std::string answer = text(HTTPResponse::error(status));
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + std::to_string(status) + " " + phrase + "\r\n")) << status;
        EXPECT_TRUE(answer.ends_with("\r\n\r\n" + phrase + "\n")) << status;
    }
}

TEST(HTTPResponse, JsonIsCompactWithSortedKeysAtEveryDepth) {
    nlohmann::json value = {{"t", "ready"},
                            {"b", {{"z", 1}, {"a", {1, 2.5, "x"}}, {"Z", nullptr}}},
                            {"a", true},
                            {"name", "Ünïcode \"q\" \n"}};
    EXPECT_EQ(text(HTTPResponse::json(value)),
              "{\"a\":true,\"b\":{\"Z\":null,\"a\":[1,2.5,\"x\"],\"z\":1},\"name\":\"Ünïcode \\\"q\\\" \\n\",\"t\":\"ready\"}");
    EXPECT_EQ(text(HTTPResponse::json(nlohmann::json::object())), "{}");
    EXPECT_EQ(HTTPResponse::jsonText({{"deviceId", "d"}, {"token", "t"}}), "{\"deviceId\":\"d\",\"token\":\"t\"}");
}

TEST(HTTPResponse, JsonFallsBackToEmptyObjectWhenTheValueCannotBeWritten) {
    EXPECT_EQ(text(HTTPResponse::json({{"name", std::string("bad \xFF utf-8")}})), "{}");
    EXPECT_EQ(text(HTTPResponse::json({{"x", {{"y", std::nan("")}}}})), "{}");
    EXPECT_EQ(text(HTTPResponse::json({{"x", std::numeric_limits<double>::infinity()}})), "{}");
    EXPECT_EQ(text(HTTPResponse::json(nlohmann::json::array({1, 2}))), "{}");
    EXPECT_EQ(text(HTTPResponse::json("text")), "{}");
}

}  // namespace
}  // namespace morvane
