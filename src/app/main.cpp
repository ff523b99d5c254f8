#include <iostream>

#include "core/heap.h"
#include "core/paths.h"
#include "app/process_entry.h"
#include "app/refusal_dialog_qt.h"
#include "app/shell_qt.h"

int main(int argc, char** argv) {
    morvane::heap::configureForStreaming();
    auto rows = morvane::EmbeddedWeb::files();
    return morvane::ProcessEntry::main(argc, argv, rows, [argc, argv]() -> int {
        // Without a display nothing could be shown, typed, paired or
        // stopped, and under Wayland nothing but a black screen: a server
        // there would only look like a working host.
        const auto session = morvane::ProcessEntry::Session::current();
        const auto refusal = morvane::ProcessEntry::sessionRefusal(session);
        if (!refusal) return morvane::runShell(argc, argv);
        const auto support = morvane::appSupportFolder();
        return morvane::ProcessEntry::refuse(
            *refusal, session, support ? std::optional(*support / "host.log") : std::nullopt, std::cerr,
            [argc, argv](const std::string& text) { morvane::showRefusalDialog(argc, argv, text); });
    });
}
