// The characters beyond ASCII that a person typing at this computer is
// likely to send, most likely first, for keys to hold them before a text
// needs them: a key bound while a text waits costs that text the time
// applications take over the news of it, and one bound ahead costs nothing.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace morvane::LikelyCharacters {

// For the user's locales, most wanted first ("de_DE.UTF-8", "pt_BR", "C"):
// the right single quote a phone types for every apostrophe; é, the letter
// beyond ASCII that most languages written in Latin letters share and the
// one English borrows most, first where the languages have it or have none
// beyond ASCII; the languages' own letters beyond ASCII (their exemplar
// letters); then é, and the quotation marks a phone types for straight ones.
// Each character once.
std::u32string forLocales(const std::vector<std::string>& locales);

// The user's locales as the environment names them: LANGUAGE's list, then
// LC_ALL, LC_MESSAGES and LANG.
std::vector<std::string> userLocales(const std::function<const char*(const char*)>& variable);

}  // namespace morvane::LikelyCharacters
