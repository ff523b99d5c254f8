// Looking up the menu's lines by their titles, for the menu's tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "app/menu_model.h"

namespace morvane {

inline const MenuItem* find(const std::vector<MenuItem>& menu, const std::string& title) {
    const auto it = std::find_if(menu.begin(), menu.end(), [&](const MenuItem& i) { return i.title == title; });
    return it == menu.end() ? nullptr : &*it;
}

inline bool has(const std::vector<MenuItem>& menu, const std::string& title) { return find(menu, title) != nullptr; }

}  // namespace morvane
