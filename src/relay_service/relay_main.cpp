// morvane-relay: the relay service a person runs where their devices and
// their computers can both reach it. The program is its command line; what
// it runs is runRelay, with the machine's own clock and store.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "relay_service/relay_config.h"
#include "relay_service/relay_program.h"

#ifndef MORVANE_VERSION
#define MORVANE_VERSION "0"
#endif
// Where the package or `cmake --install` puts docs/relay.md, and where it
// lies in the tree this program was built from.
#ifndef MORVANE_RELAY_GUIDE
#define MORVANE_RELAY_GUIDE "docs/relay.md"
#endif
#ifndef MORVANE_RELAY_SOURCE_GUIDE
#define MORVANE_RELAY_SOURCE_GUIDE "docs/relay.md"
#endif
#ifndef MORVANE_RELAY_BUILD_DIR
#define MORVANE_RELAY_BUILD_DIR ""
#endif

int main(int argc, char** argv) {
    namespace relay = morvane::relay_service;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = relay::parseCommand(arguments);
    if (const auto* error = std::get_if<relay::CommandError>(&parsed)) {
        std::cerr << "morvane-relay: " << error->text << '\n';
        if (!error->usage) return 1;
        std::cerr << "Try morvane-relay --help.\n";
        return 2;
    }
    const auto& command = std::get<relay::RelayCommand>(parsed);
    if (command.action == relay::RelayCommand::Action::help) {
        // A relay tried from its build folder has nothing installed: the guide
        // it names is the one beside its sources. Told by where this program
        // lies, as an installed copy names its own guide wherever it is.
        std::error_code ignored;
        const auto self = std::filesystem::canonical("/proc/self/exe", ignored).parent_path();
        const auto build = std::filesystem::canonical(MORVANE_RELAY_BUILD_DIR, ignored);
        const bool inTree = !build.empty() && self == build && std::filesystem::exists(MORVANE_RELAY_SOURCE_GUIDE, ignored);
        std::cout << relay::usageText(inTree ? MORVANE_RELAY_SOURCE_GUIDE : MORVANE_RELAY_GUIDE);
        return 0;
    }
    if (command.action == relay::RelayCommand::Action::version) {
        std::cout << "morvane-relay " << MORVANE_VERSION << '\n';
        return 0;
    }
    relay::RelayProgramParts parts;
    parts.version = MORVANE_VERSION;
    // Without a config file, a reload has nothing to read but the
    // certificate's files.
    if (std::find(arguments.begin(), arguments.end(), "--config") != arguments.end())
        parts.readConfigAgain = [arguments] { return relay::readConfigAgain(arguments); };
    return relay::runRelay(command.config, std::move(parts));
}
