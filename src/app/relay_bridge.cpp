#include "app/relay_bridge.h"

namespace morvane {

std::vector<MenuItem> relayMenuItems(const std::vector<RelayMenuItem>& lines) {
    std::vector<MenuItem> items;
    items.reserve(lines.size());
    for (const auto& line : lines) {
        switch (line.kind) {
        case RelayMenuItem::Kind::label:
            items.push_back(MenuItem::line(line.title));
            break;
        case RelayMenuItem::Kind::warning:
            items.push_back(MenuItem::warning(line.title));
            break;
        case RelayMenuItem::Kind::action: {
            auto item = MenuItem::command(line.title, MenuAction::relay, line.enabled);
            item.payload = line.action;
            items.push_back(std::move(item));
            break;
        }
        }
    }
    return items;
}

}  // namespace morvane
