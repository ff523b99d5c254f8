// Folding the tray menu: which rarely used items gather into submenus, in
// which order, and what always stays in sight.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/menu_model.h"

namespace morvane {
namespace {

// A menu's shape after folding: each top-level title, a submenu as
// "Title[a|b]".
std::vector<std::string> shape(const std::vector<MenuItem>& menu) {
    std::vector<std::string> out;
    for (const auto& i : menu) {
        std::string line = i.kind == MenuItem::Kind::separator ? "---" : i.title;
        if (!i.submenu.empty()) {
            line += "[";
            for (std::size_t j = 0; j < i.submenu.size(); ++j) line += (j ? "|" : "") + i.submenu[j].title;
            line += "]";
        }
        out.push_back(line);
    }
    return out;
}

MenuItem foldable(MenuItem item, const char* into, int rank) {
    item.foldInto = into;
    item.foldRank = rank;
    return item;
}

TEST(StatusMenuFolds, RunsFoldByRankIntoOneSubmenuAndProblemsStayInSight) {
    const std::vector<MenuItem> menu = {
        MenuItem::command("Pause Morvane", MenuAction::pauseMorvane),
        foldable(MenuItem::line("a1"), "A", 1),
        foldable(MenuItem::line("a2"), "A", 1),
        MenuItem::separator(),
        foldable(MenuItem::header("B"), "B", 2),
        foldable(MenuItem::line("b1"), "B", 2),
        foldable(MenuItem::line("b2"), "B", 2),
        MenuItem::separator(),
        foldable(MenuItem::line("c1"), "C", 1),
        foldable(MenuItem::warning("c-problem"), "C", 1),
        foldable(MenuItem::line("c2"), "C", 1),
        foldable(MenuItem::line("c3"), "C", 1),
    };
    struct Case {
        int level;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {0, {"Pause Morvane", "a1", "a2", "---", "B", "b1", "b2", "---", "c1", "c-problem", "c2", "c3"}},
        // A lone item stays; a warning splits its run and never folds.
        {1, {"Pause Morvane", "A[a1|a2]", "---", "B", "b1", "b2", "---", "c1", "c-problem", "C[c2|c3]"}},
        // The header goes: the submenu's title says it.
        {2, {"Pause Morvane", "A[a1|a2]", "---", "B[b1|b2]", "---", "c1", "c-problem", "C[c2|c3]"}},
        {7, {"Pause Morvane", "A[a1|a2]", "---", "B[b1|b2]", "---", "c1", "c-problem", "C[c2|c3]"}},
    };
    for (const auto& c : cases) EXPECT_EQ(shape(foldMenu(menu, c.level)), c.want) << "level " << c.level;
    EXPECT_EQ(maxFoldLevel(menu), 2);
    EXPECT_EQ(maxFoldLevel({MenuItem::line("x")}), 0);
}

TEST(StatusMenuFolds, TheBuiltMenuFoldsTheLocalItemsSettingsAndFinePermissionsOnly) {
    const auto built = buildMenu(MenuSnapshot{});
    const auto folded = shape(foldMenu(built, maxFoldLevel(built)));
    for (const std::string want :
         {"This Computer[Open in a Browser on This Computer|Pair a Browser on This Computer…|Copy This Computer’s "
          "Local Address (127.0.0.1:8722)]",
          "Permissions[Screen Capture: available|Keyboard and Pointer Control: available]",
          "Settings[Lock Computer When the Controller Disconnects|Devices May Change the Resolution|Devices May Hide "
          "This Screen|Start at Login]"})
        EXPECT_NE(std::find(folded.begin(), folded.end(), want), folded.end()) << want;

    // A permission that is missing keeps its whole section in the menu.
    MenuSnapshot missing{};
    missing.accessibility = false;
    const auto kept = shape(foldMenu(buildMenu(missing), 9));
    EXPECT_NE(std::find(kept.begin(), kept.end(), "Permissions"), kept.end());
    EXPECT_NE(std::find(kept.begin(), kept.end(), "Keyboard and Pointer Control: the X server has no XTEST extension"),
              kept.end());
}

}  // namespace
}  // namespace morvane
