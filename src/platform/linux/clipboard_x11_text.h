// The text of an X selection: what another client offers, made fit for the
// rest of the host, and what the host offers to clients that only take the
// older Latin-1 form. Pure functions, apart from the X connection.
#pragma once

#include <string>

namespace morvane::X11SelectionText {

// Malformed UTF-8 from another client becomes U+FFFD, so nothing further on
// (JSON writing above all) meets bytes it cannot handle.
std::string validUtf8(const std::string& in);
// A STRING selection's bytes as UTF-8.
std::string latin1ToUtf8(const std::string& in);
// Text offered as STRING: characters beyond Latin-1 become "?".
std::string utf8ToLatin1(const std::string& in);

}  // namespace morvane::X11SelectionText
