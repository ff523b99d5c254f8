#include <cstdlib>
#include <iostream>

#include "core/heap.h"
#include "app/process_entry.h"
#include "app/shell_qt.h"

int main(int argc, char** argv) {
    morvane::heap::configureForStreaming();
    auto rows = morvane::EmbeddedWeb::files();
    return morvane::ProcessEntry::main(argc, argv, rows, [argc, argv]() -> int {
        const char* display = std::getenv("DISPLAY");
        if (display && *display) return morvane::runShell(argc, argv);
        // Without a display nothing could be shown, typed, paired or
        // stopped: a server there would only look like a working host.
        std::cerr << morvane::noDisplayMessage << "\n";
        return 1;
    });
}
