#include <cstdlib>
#include <iostream>

#include "app/process_entry.h"
#include "app/shell_qt.h"

int main(int argc, char** argv) {
    auto rows = morvane::EmbeddedWeb::files();
    return morvane::ProcessEntry::main(argc, argv, rows, [argc, argv, rows]() -> int {
        const char* display = std::getenv("DISPLAY");
        if (display && *display) return morvane::runShell(argc, argv);
        // Without a display there is no status icon to run the host from;
        // the server still serves paired devices.
        std::cerr << "no X display (DISPLAY is not set): running the server without its menu\n";
        return morvane::ProcessEntry::runApplication(rows);
    });
}
