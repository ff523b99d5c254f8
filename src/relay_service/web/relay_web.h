// The page a device opens at the relay's origin, as it travels inside the
// relay service: the same embedded form as the host's own page, generated
// at build time from the files in this folder (and the joined script).
#pragma once

#include <span>

#include "web/embedded_web.h"

namespace morvane::RelayWeb {
// Every file the relay serves below "/", "index.html" first; a request for
// "/" is answered with it. Static data: reading it cannot fail.
std::span<const EmbeddedFile> files();
}  // namespace morvane::RelayWeb
