#include <cstdlib>
#include <iostream>

#include "core/heap.h"
#include "app/process_entry.h"
#include "app/shell_qt.h"

int main(int argc, char** argv) {
    morvane::heap::configureForStreaming();
    auto rows = morvane::EmbeddedWeb::files();
    return morvane::ProcessEntry::main(argc, argv, rows, [argc, argv]() -> int {
        // Without a display nothing could be shown, typed, paired or
        // stopped, and under Wayland nothing but a black screen: a server
        // there would only look like a working host.
        const auto refusal = morvane::sessionRefusal(std::getenv("DISPLAY"), std::getenv("XDG_SESSION_TYPE"),
                                                     std::getenv("WAYLAND_DISPLAY"));
        if (!refusal) return morvane::runShell(argc, argv);
        std::cerr << *refusal << "\n";
        return 1;
    });
}
