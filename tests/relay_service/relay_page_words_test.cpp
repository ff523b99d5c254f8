// The relay's page and the relay agree on their words: every close a
// device's socket may get, every refusal of the page's account calls and
// every field a refused code comes with that the relay sends is one the
// page handles, and the page handles no word the relay never sends. node reads the page's own modules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "relay/relay_words.h"

namespace morvane::relay_service::testing {
namespace {

using json = nlohmann::json;

// What node printed, or why it printed nothing. scripts/setup installs
// node, so a missing one fails.
std::string readPageWords(std::string& problem) {
    const std::string node = MORVANE_NODE;
    if (node.empty() || node.find("NOTFOUND") != std::string::npos) {
        problem = "node is not installed (scripts/setup installs it)";
        return "";
    }
    const std::string command = "'" + node + "' '" + MORVANE_PAGE_WORDS + "' '" + MORVANE_RELAY_CLIENT + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        problem = "could not start node";
        return "";
    }
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    if (::pclose(pipe) != 0) problem = "node failed: " + command;
    return output;
}

// What one side has that the other lacks, both ways.
template <class T>
void expectSame(const std::set<T>& relay, const std::set<T>& page, const std::string& what) {
    std::set<T> unhandled, unsent;
    std::set_difference(relay.begin(), relay.end(), page.begin(), page.end(), std::inserter(unhandled, unhandled.end()));
    std::set_difference(page.begin(), page.end(), relay.begin(), relay.end(), std::inserter(unsent, unsent.end()));
    EXPECT_TRUE(unhandled.empty()) << what << " the page does not handle: " << json(unhandled).dump();
    EXPECT_TRUE(unsent.empty()) << what << " the page handles that the relay never sends: " << json(unsent).dump();
}

TEST(RelayPageWords, ThePageHandlesEveryWordTheRelaySendsItAndNoOther) {
    std::string problem;
    const auto printed = json::parse(readPageWords(problem), nullptr, false);
    ASSERT_TRUE(problem.empty()) << problem;
    ASSERT_TRUE(printed.is_object()) << "node printed no JSON object";

    std::set<std::pair<int, std::string>> relayCloses, pageCloses;
    for (const auto& close : RelayDeviceClose::all) relayCloses.emplace(close.code, std::string(close.word));
    for (const auto& close : printed["closes"]) pageCloses.emplace(close[0].get<int>(), close[1].get<std::string>());
    expectSame(relayCloses, pageCloses, "closes");

    std::set<std::string> relayWords, pageWords;
    for (const auto& word : RelayError::toDevices) relayWords.emplace(word);
    for (const auto& word : printed["refusals"]) pageWords.insert(word.get<std::string>());
    expectSame(relayWords, pageWords, "refusals");

    std::set<std::string> relayFields, pageFields;
    for (const auto& field : RelayCodeRefusal::fields) relayFields.emplace(field);
    for (const auto& field : printed["codeFields"]) pageFields.insert(field.get<std::string>());
    expectSame(relayFields, pageFields, "fields of a refused code");
    EXPECT_EQ(printed.value("sentField", ""), RelayCodeSent::sent) << "the field saying whether a code was mailed";
}

}  // namespace
}  // namespace morvane::relay_service::testing
