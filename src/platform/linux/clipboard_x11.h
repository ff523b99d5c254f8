// The clipboard on X11: the CLIPBOARD selection read and owned in UTF-8.
// Writing makes a thread of ours the selection owner, serving other clients
// (large texts incrementally); reading asks the current owner on the read
// queue it is given and always answers by its deadline, even when the owner
// never does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/clipboard_access.h"
#include "core/executor.h"

namespace morvane {

namespace X11ClipboardLimits {
// The whole of one read: asking for the types, then for the text.
inline constexpr std::int64_t readDeadlineMillis = 3000;
// How long writing waits for the owner thread to take the selection.
inline constexpr std::int64_t writeWaitMillis = 2000;
}  // namespace X11ClipboardLimits

// Nothing, with a log line, when the display cannot be opened. `readQueue`
// must outlive the clipboard, which waits for its read in flight on going.
std::unique_ptr<ClipboardAccess> makeX11Clipboard(Executor& readQueue, std::function<void(const std::string&)> log,
                                                  const std::string& displayName = "",
                                                  std::int64_t readDeadlineMillis =
                                                      X11ClipboardLimits::readDeadlineMillis);

}  // namespace morvane
