#include "app/relay_bridge.h"

#include <unistd.h>

#include <fstream>
#include <iterator>

namespace morvane {

std::optional<std::string> prettyHostname(std::string_view info) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    while (!info.empty()) {
        const auto end = info.find('\n');
        std::string_view line = info.substr(0, end);
        info = end == std::string_view::npos ? std::string_view() : info.substr(end + 1);
        if (!line.starts_with(key)) continue;
        line.remove_prefix(key.size());
        std::string value;
        char quote = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
            } else if (c == quote) {
                quote = 0;
            } else if (c == '\\' && quote != '\'' && i + 1 < line.size()) {
                value.push_back(line[++i]);
            } else {
                value.push_back(c);
            }
        }
        found = value;  // the last assignment counts, as in a shell
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::string computerName(const std::filesystem::path& machineInfo) {
    std::ifstream in(machineInfo, std::ios::binary);
    if (in) {
        std::string text;
        text.resize(65'536);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        if (auto pretty = prettyHostname(text)) return *pretty;
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) return host;
    return {};
}

namespace {
// As wide as the menu's other failure lines.
constexpr int relayLineWidth = 90;
}  // namespace

std::vector<MenuItem> relayMenuItems(const std::vector<RelayMenuItem>& lines) {
    std::vector<MenuItem> items;
    items.reserve(lines.size());
    for (const auto& line : lines) {
        if (line.kind == RelayMenuItem::Kind::action) {
            auto item = MenuItem::command(line.title, MenuAction::relay, line.enabled);
            item.payload = line.action;
            items.push_back(std::move(item));
            continue;
        }
        // A reason from the link (an address and an error) may be longer
        // than a menu line: it goes on as many lines as it needs, never cut.
        for (auto& text : wrapLines(line.title, relayLineWidth)) {
            auto item = line.kind == RelayMenuItem::Kind::warning ? MenuItem::warning(std::move(text))
                                                                  : MenuItem::line(std::move(text));
            if (line.kind == RelayMenuItem::Kind::detail) {
                item.foldInto = MenuFolds::relayDetails;
                item.foldRank = MenuFolds::relayDetailsRank;
            }
            items.push_back(std::move(item));
        }
    }
    return items;
}

}  // namespace morvane
