// The page a device opens at the relay's origin, as it travels inside the
// relay service: the same embedded form as the host's own page, generated
// at build time from the host's page and modules joined with the relay's
// own (see CMakeLists.txt here).
#pragma once

#include <span>

#include "web/embedded_web.h"

namespace morvane::RelayWeb {
// Every file the relay serves below "/", "index.html" first; a request for
// "/" is answered with it. Eight rows: "index.html", "app.js", "style.css",
// "relay.css", "manifest.webmanifest", "icon.svg", "apple-touch-icon.png",
// "audio-worklet.js", the same kinds of file (and media types) as the
// host's page; then, for each but the picture, the same name with ".gz"
// after it: its bytes gzipped, served in its place to browsers that accept
// gzip, never at a path of their own. Static data: reading it cannot fail.
std::span<const EmbeddedFile> files();
}  // namespace morvane::RelayWeb
