// Copies the files the owner chose into the Outbox, where paired devices can
// fetch them. Only regular files are copied, never more than the size limit
// (a file that grows past it while being copied is dropped), and an existing
// file is never overwritten.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

namespace OutboxLimits {
inline constexpr std::int64_t maxBytes = 209'715'200;
inline constexpr int maxAttempts = 999;
}  // namespace OutboxLimits

struct OutboxCopyResult {
    int copied = 0;
    int tooLarge = 0;
    int failed = 0;
    bool operator==(const OutboxCopyResult&) const = default;
};

struct OutboxNaming {
    // The cleaned name of a chosen file, or none when nothing usable is left.
    std::function<std::optional<std::string>(const std::string&)> sanitise;
    // The name to try at an attempt (1 is the name itself).
    std::function<std::string(const std::string& name, int attempt)> candidate;
    // Plain rules for when the transfer module's naming isn't wired in.
    static OutboxNaming basic();
    // The rules received files are named by, so a name offered to devices
    // is one they would accept back.
    static OutboxNaming transfer();
};

// Creates the folder (0700, with its parents) when missing; a failure is
// left for the copies to find.
std::filesystem::path prepareOutbox(const std::filesystem::path& outbox);

OutboxCopyResult copyIntoOutbox(const std::vector<std::filesystem::path>& chosen,
                                const std::filesystem::path& outbox, const OutboxNaming& naming,
                                std::int64_t maxBytes = OutboxLimits::maxBytes);

// The alert's informative text after a batch, or none when nothing needs
// saying.
std::optional<std::string> outboxProblemText(const OutboxCopyResult& result);

}  // namespace morvane
