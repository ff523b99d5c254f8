#include "app/build_version.h"

#include <gtest/gtest.h>

#include <regex>

namespace morvane {
namespace {

TEST(BuildVersion, TheProgramSaysTheVersionItsPackageCarries) {
    // 0.1+642.g1a2b3c4 in a checkout, 0.1+642 or 0.1+0.d<time> outside one:
    // the form dpkg orders, never the older "0.1 (642)".
    EXPECT_TRUE(std::regex_match(programVersionText(), std::regex(R"([0-9]+(\.[0-9]+)+\+[0-9]+(\.[gd][0-9a-f]+)?)")))
        << programVersionText();
}

}  // namespace
}  // namespace morvane
