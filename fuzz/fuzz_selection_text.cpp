// The text of X selections, read as the clipboard reads what other clients
// offer and written as it offers the host's text. The first byte picks the
// way: 0 a UTF8_STRING offer, 1 a STRING (Latin-1) offer, 2 the host's text
// offered as STRING. The checks lean on the tool-output reader, which
// repairs UTF-8 by its own code: whatever comes out of an offer is valid
// UTF-8 and repairs to itself, valid text passes unchanged, Latin-1 goes
// to UTF-8 and back unchanged, and the host's text offered as STRING keeps
// one character for each of its own.
#include "fuzz_support.h"
#include "platform/linux/clipboard_x11_text.h"
#include "tailnet/trusted_cli.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

bool valid(const std::string& text) { return TrustedCLI::decodeOutput(text) == text; }

std::size_t characters(const std::string& utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            const auto text = X11SelectionText::validUtf8(bytes);
            require(valid(text));
            require(X11SelectionText::validUtf8(text) == text);
            if (valid(bytes)) require(text == bytes);
            break;
        }
        case 1: {
            const auto text = X11SelectionText::latin1ToUtf8(bytes);
            require(valid(text) && characters(text) == bytes.size());
            require(X11SelectionText::utf8ToLatin1(text) == bytes);
            break;
        }
        default: {
            const auto text = X11SelectionText::validUtf8(bytes);
            const auto latin1 = X11SelectionText::utf8ToLatin1(text);
            require(latin1.size() == characters(text));
            require(X11SelectionText::utf8ToLatin1(X11SelectionText::latin1ToUtf8(latin1)) == latin1);
            break;
        }
    }
    return 0;
}
