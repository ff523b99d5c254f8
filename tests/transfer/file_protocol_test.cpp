#include "transfer/file_protocol.h"

#include <gtest/gtest.h>

#include "transfer/file_transfer_report.h"

namespace morvane {
namespace {

using nlohmann::json;

std::optional<FileRequest> parse(std::string_view type, const std::string& text) {
    return FileRequest::parse(type, json::parse(text));
}

std::optional<FileRequest> request(FileRequest::Value value) { return FileRequest{std::move(value)}; }

TEST(FileRequestParse, IdsAreWholeNumbersInRangeAndNothingElse) {
    EXPECT_EQ(parse("file-list", R"({"id":1})"), request(file_request::List{1}));
    EXPECT_EQ(parse("file-list", R"({"id":1.0})"), request(file_request::List{1}));
    EXPECT_EQ(parse("file-list", R"({"id":999999})"), request(file_request::List{999999}));
    for (const char* bad : {R"({"id":0})", R"({"id":1000000})", R"({"id":1.5})", R"({"id":"1"})", R"({"id":true})",
                            R"({"id":-1})", R"({"id":null})", R"({})", R"({"id":1e300})", R"({"id":-0.5})"})
        EXPECT_EQ(parse("file-list", bad), std::nullopt) << bad;
    EXPECT_EQ(FileRequest::parse("file-list", json::array({1})), std::nullopt);
    EXPECT_EQ(parse("file-other", R"({"id":1})"), std::nullopt);
    EXPECT_EQ(parse("file-cancel", R"({"id":42})"), request(file_request::Cancel{42}));
}

TEST(FileRequestParse, PutNeedsANameOfBoundedLengthAndAWholeSize) {
    EXPECT_EQ(parse("file-put", R"({"id":3,"name":"a.txt","size":0})"), request(file_request::Put{3, "a.txt", 0}));
    EXPECT_EQ(parse("file-put", R"({"id":3,"name":"a.txt","size":9007199254740991})"),
              request(file_request::Put{3, "a.txt", 9007199254740991}));
    EXPECT_EQ(parse("file-put", R"({"id":3,"name":"a.txt","size":9007199254740992})"), std::nullopt);
    EXPECT_EQ(parse("file-put", R"({"id":3,"name":"a.txt","size":-1})"), std::nullopt);
    EXPECT_EQ(parse("file-put", R"({"id":3,"name":"a.txt","size":"5"})"), std::nullopt);
    EXPECT_EQ(parse("file-put", R"({"id":3,"size":5})"), std::nullopt);
    EXPECT_EQ(parse("file-put", R"({"id":3,"name":"","size":5})"), std::nullopt);
    EXPECT_EQ(parse("file-put", R"({"id":3,"name":7,"size":5})"), std::nullopt);

    const std::string longest(1024, 'x');
    EXPECT_EQ(FileRequest::parse("file-put", json{{"id", 1}, {"name", longest}, {"size", 1}}),
              request(file_request::Put{1, longest, 1}));
    EXPECT_EQ(FileRequest::parse("file-put", json{{"id", 1}, {"name", longest + "x"}, {"size", 1}}), std::nullopt);
    // Bytes, not characters: 512 two-byte letters fit, one more does not.
    std::string wide;
    for (int i = 0; i < 512; ++i) wide += "\xC3\xA9";
    EXPECT_TRUE(FileRequest::parse("file-get", json{{"id", 1}, {"name", wide}}).has_value());
    EXPECT_FALSE(FileRequest::parse("file-get", json{{"id", 1}, {"name", wide + "\xC3\xA9"}}).has_value());
    // The name is passed on uncleaned.
    EXPECT_EQ(parse("file-get", R"({"id":2,"name":"../x"})"), request(file_request::Get{2, "../x"}));
}

TEST(FileRequestParse, EndDigestIsExactlySixtyFourLowerCaseHexDigits) {
    const std::string digest(64, 'a');
    EXPECT_EQ(FileRequest::parse("file-put-end", json{{"id", 5}, {"sha256", digest}}),
              request(file_request::PutEnd{5, digest}));
    EXPECT_EQ(FileRequest::parse("file-put-end", json{{"id", 5}, {"sha256", std::string(64, 'A')}}), std::nullopt);
    EXPECT_EQ(FileRequest::parse("file-put-end", json{{"id", 5}, {"sha256", std::string(63, 'a')}}), std::nullopt);
    EXPECT_EQ(FileRequest::parse("file-put-end", json{{"id", 5}, {"sha256", std::string(65, 'a')}}), std::nullopt);
    EXPECT_EQ(FileRequest::parse("file-put-end", json{{"id", 5}, {"sha256", std::string(63, 'a') + "g"}}),
              std::nullopt);
    EXPECT_EQ(FileRequest::parse("file-put-end", json{{"id", 5}}), std::nullopt);
}

TEST(FileChunk, FramesCarryIdAndOffsetBigEndianAndAtLeastOneByte) {
    const Bytes data = {0xAA, 0xBB};
    const auto frame = FileChunk::encode(FileChunk::downloadTag, 0x0A0B0C, 0x01020304, data);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, (Bytes{0x10, 0x00, 0x0A, 0x0B, 0x0C, 0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB}));
    const auto back = FileChunk::decode(FileChunk::downloadTag, *frame, 2);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, 0x0A0B0C);
    EXPECT_EQ(back->offset, 0x01020304);
    EXPECT_EQ(Bytes(back->data.begin(), back->data.end()), data);

    EXPECT_FALSE(FileChunk::encode(0x10, 1, 0, {}));
    EXPECT_FALSE(FileChunk::encode(0x10, 0, 0, data));
    EXPECT_FALSE(FileChunk::encode(0x10, 1000000, 0, data));
    EXPECT_FALSE(FileChunk::encode(0x10, 1, 209715201, data));
    EXPECT_FALSE(FileChunk::encode(0x10, 1, -1, data));
    EXPECT_TRUE(FileChunk::encode(0x10, 1, 209715200, data));
}

TEST(FileChunk, UploadFramesAreBoundedAndCheckedBeforeUse) {
    auto frame = [](std::size_t dataBytes, std::uint8_t tag = 0x11) {
        Bytes f = {tag, 0, 0, 0, 1, 0, 0, 0, 0};
        f.resize(9 + dataBytes, 0x5A);
        return f;
    };
    EXPECT_FALSE(FileChunk::decodeUpload(frame(0)));
    EXPECT_TRUE(FileChunk::decodeUpload(frame(1)));
    EXPECT_TRUE(FileChunk::decodeUpload(frame(16000)));
    EXPECT_FALSE(FileChunk::decodeUpload(frame(16001)));
    EXPECT_FALSE(FileChunk::decodeUpload(frame(5, 0x10)));
    EXPECT_FALSE(FileChunk::decodeUpload(Bytes{0x11, 0, 0, 0}));

    auto withHeader = [](std::uint32_t id, std::uint32_t offset) {
        Bytes f = {0x11};
        for (const std::uint32_t v : {id, offset})
            for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<std::uint8_t>(v >> shift));
        f.push_back(7);
        return f;
    };
    EXPECT_FALSE(FileChunk::decodeUpload(withHeader(0, 0)));
    EXPECT_FALSE(FileChunk::decodeUpload(withHeader(1000000, 0)));
    EXPECT_FALSE(FileChunk::decodeUpload(withHeader(0xFFFFFFFF, 0)));
    EXPECT_FALSE(FileChunk::decodeUpload(withHeader(1, 209715201)));
    EXPECT_FALSE(FileChunk::decodeUpload(withHeader(1, 0xFFFFFFFF)));
    const auto last = FileChunk::decodeUpload(withHeader(999999, 209715200));
    ASSERT_TRUE(last);
    EXPECT_EQ(last->id, 999999);
    EXPECT_EQ(last->offset, 209715200);
}

TEST(FileMessage, AnswersHaveTheShapesTheDeviceReads) {
    EXPECT_EQ(FileMessage::putReady(4), json::parse(R"({"t":"file-put-ready","id":4,"chunk":16000,"window":8})"));
    EXPECT_EQ(FileMessage::ack(4, 32000), json::parse(R"({"t":"file-ack","id":4,"n":32000})"));
    EXPECT_EQ(FileMessage::putDone(4, "a (2).txt"),
              json::parse(R"({"t":"file-put-result","id":4,"ok":true,"name":"a (2).txt"})"));
    EXPECT_EQ(FileMessage::getReady(9, 70000),
              json::parse(R"({"t":"file-get-ready","id":9,"size":70000,"chunk":32768})"));
    EXPECT_EQ(FileMessage::getDone(9, std::string(64, 'c')),
              json({{"t", "file-get-result"}, {"id", 9}, {"ok", true}, {"sha256", std::string(64, 'c')}}));
    EXPECT_EQ(FileMessage::failure("file-list-result", 2, "too-soon"),
              json::parse(R"({"t":"file-list-result","id":2,"ok":false,"error":"too-soon"})"));

    const auto listed = FileMessage::list(3, {{"old.txt", 10, 100}, {".hidden", 1, 999}, {"new.txt", 20, 200}});
    EXPECT_EQ(listed, json::parse(R"({"t":"file-list-result","id":3,"ok":true,"more":false,"files":[
        {"name":"new.txt","size":20,"mtime":200},{"name":"old.txt","size":10,"mtime":100}]})"));
    EXPECT_TRUE(listed["files"][0]["size"].is_number_integer());
}

TEST(FileTransferReport, LogLineNamesDirectionFileBytesOutcomeAndQuarantine) {
    using D = FileTransferReport::Direction;
    EXPECT_EQ((FileTransferReport{D::toMac, 1200, 1200, "ok", true, "photo 2.jpg"}).logLine(),
              "upload of \"photo 2.jpg\": 1200 of 1200 bytes, ok, quarantine set");
    EXPECT_EQ((FileTransferReport{D::toMac, 1200, 1200, "ok", false, {}}).logLine(),
              "upload: 1200 of 1200 bytes, ok, quarantine NOT set");
    EXPECT_EQ((FileTransferReport{D::fromMac, 65536, 100000, "timeout", std::nullopt, {}}).logLine(),
              "download: 65536 of 100000 bytes, timeout");
    EXPECT_EQ(fileDirectionFromString("upload"), D::toMac);
    EXPECT_EQ(fileDirectionFromString("download"), D::fromMac);
    EXPECT_EQ(fileDirectionFromString("Upload"), std::nullopt);
}

TEST(FileRateLimiter, AllowsOncePerSecondAndWhenTheClockGoesBack) {
    FileRateLimiter limiter;
    EXPECT_TRUE(limiter.allow(0));
    EXPECT_FALSE(limiter.allow(999));
    EXPECT_TRUE(limiter.allow(1000));
    EXPECT_TRUE(limiter.allow(5000));
    EXPECT_TRUE(limiter.allow(4000));  // earlier than the last
    EXPECT_FALSE(limiter.allow(4500));
}

}  // namespace
}  // namespace morvane
