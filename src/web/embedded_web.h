// The browser client's seven files as they travel inside the program, and
// its text files gzipped. The table is generated from the files in this
// folder at build time, so each recorded hash describes the bytes as
// written.
#pragma once

#include <span>
#include <string_view>

namespace morvane {

struct EmbeddedFile {
    std::string_view name;    // no directory part
    std::string_view bytes;   // the file as it is, in the program's read-only data
    std::string_view sha256;  // 64 lower-case hex digits of `bytes`
};

namespace EmbeddedWeb {
// Seven rows in the order "index.html", "app.js", "style.css",
// "manifest.webmanifest", "icon.svg", "apple-touch-icon.png",
// "audio-worklet.js"; then, for each but the picture, the same name with
// ".gz" after it: its bytes gzipped, served in its place to browsers that
// accept gzip, never at a path of their own. Static data: reading it
// cannot fail.
std::span<const EmbeddedFile> files();
}  // namespace EmbeddedWeb

}  // namespace morvane
