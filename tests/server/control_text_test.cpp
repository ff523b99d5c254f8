#include "server/control_text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "protocol/http_response.h"
#include "server/client_message.h"

namespace morvane {
namespace {

using nlohmann::json;

// The fast answers must read exactly as the general JSON encoder writes the
// same objects, since the page and the tests compare them as text.
TEST(ControlText, FixedAnswersAreByteForByteWhatTheJSONEncoderWrites) {
    // Ping ids as the parser hands them on: whole, negative, fractional,
    // huge and tiny numbers, and unsigned ones beyond a signed 64-bit.
    for (const char* ping : {R"({"t":"ping","id":0})", R"({"t":"ping","id":-7})", R"({"t":"ping","id":1.5})",
                             R"({"t":"ping","id":1e300})", R"({"t":"ping","id":-2.5e-310})",
                             R"({"t":"ping","id":18446744073709551615})", R"({"t":"ping","id":9007199254740993})",
                             R"({"t":"ping","id":3.0})", R"({"t":"ping","id":0.1})"}) {
        SCOPED_TRACE(ping);
        auto message = ClientMessage::parse(std::string_view(ping));
        auto parsed = message.get<ClientMessage::Ping>();
        ASSERT_TRUE(parsed);
        EXPECT_EQ(ControlText::pong(parsed->id), HTTPResponse::json({{"t", "pong"}, {"id", parsed->id}}));
    }
    EXPECT_EQ(ControlText::denied(), HTTPResponse::json({{"t", "denied"}}));
    for (std::string reason : {"disconnected-by-host", "paused", "", "say \"hi\"", "back\\slash", "tab\there",
                               "caf\xC3\xA9", "bad\xFF"}) {
        SCOPED_TRACE(reason);
        EXPECT_EQ(ControlText::bye(reason), HTTPResponse::json({{"t", "bye"}, {"reason", reason}}));
    }
}

}  // namespace
}  // namespace morvane
