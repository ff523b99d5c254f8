#include "app/build_version.h"

#include <gtest/gtest.h>

#include <regex>

namespace morvane {
namespace {

TEST(BuildVersion, TheStartLineNamesVersionAndBuildOrAQuestionMark) {
    EXPECT_EQ(versionText("0.1", "142"), "0.1 (142)");
    EXPECT_EQ(versionText("0.1", ""), "0.1 (?)");
    EXPECT_EQ(versionText("", ""), "? (?)");
    // This build was given the project's version; the build number may be
    // unknown outside a git checkout.
    EXPECT_TRUE(std::regex_match(programVersionText(), std::regex(R"([0-9]+(\.[0-9]+)+ \(([0-9A-Za-z._+-]+|\?)\))")))
        << programVersionText();
}

}  // namespace
}  // namespace morvane
