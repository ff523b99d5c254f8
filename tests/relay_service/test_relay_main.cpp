// morvane-test-relay: morvane-relay's own body (runRelay) with the hooks the
// tests need and the installed program does not have:
//
//   morvane-test-relay [--clock-offset-seconds N] [--carried FILE] -- ARGUMENTS
//
// ARGUMENTS are morvane-relay's. --clock-offset-seconds puts its wall clock
// N seconds off the machine's (negative: behind), as a machine whose clock is
// off, so a fleet's tests can show that instances do not judge each other by
// their own clocks. --carried writes every record the rooms carry, either
// way, to FILE as it goes, each behind its length (4 bytes, big-endian), so
// a test can show none of it is plaintext.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "relay_service/relay_config.h"
#include "relay_service/relay_program.h"

namespace {

int usage(const std::string& why) {
    std::cerr << "morvane-test-relay: " << why
              << "\nusage: morvane-test-relay [--clock-offset-seconds N] [--carried FILE] -- ARGUMENTS\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    namespace relay = morvane::relay_service;
    relay::RelayProgramParts parts;
    std::vector<std::string> rest;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--") break;
        if (i + 1 == argc) return usage(flag + " needs a value");
        const std::string value = argv[++i];
        if (flag == "--clock-offset-seconds") {
            char* end = nullptr;
            const std::int64_t millis = std::strtoll(value.c_str(), &end, 10) * 1000;
            if (value.empty() || *end) return usage("not a number of seconds: " + value);
            parts.wallMillis = [millis] { return morvane::systemWallMillis() + millis; };
        } else if (flag == "--carried") {
            auto out = std::make_shared<std::ofstream>(value, std::ios::binary | std::ios::trunc);
            if (!*out) return usage("cannot write " + value);
            // Each behind its length (4 bytes, big-endian), so that a test
            // can tell a record's clear header from what it carries sealed.
            parts.carried = [out](std::span<const std::uint8_t> record) {
                const auto size = static_cast<std::uint32_t>(record.size());
                const char length[] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                                       static_cast<char>(size >> 8), static_cast<char>(size)};
                out->write(length, sizeof length);
                out->write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
                out->flush();
            };
        } else {
            return usage("unknown hook " + flag);
        }
    }
    if (i == argc) return usage("no -- before the relay's arguments");
    const std::vector<std::string> arguments(argv + i + 1, argv + argc);
    const auto parsed = relay::parseCommand(arguments);
    if (const auto* error = std::get_if<relay::CommandError>(&parsed)) return usage(error->text);
    const auto& command = std::get<relay::RelayCommand>(parsed);
    if (command.action != relay::RelayCommand::Action::run) return usage("only runs the relay");
    parts.readConfigAgain = [arguments] { return relay::readConfigAgain(arguments); };
    return relay::runRelay(command.config, std::move(parts));
}
