// The relay's close codes and error words, written once for every program
// that speaks them: the relay service sends them, the host reads those of
// its link and account calls, the test relay imitates them, and a test
// holds the relay's page to the list of what a device may be sent.
#pragma once

#include <array>
#include <string_view>

namespace morvane {

// A WebSocket close code with the word sent as its reason ("" for none).
struct RelayCloseWord {
    int code = 0;
    std::string_view word;
};

// How a device's socket at the relay is closed.
namespace RelayDeviceClose {
inline constexpr RelayCloseWord goingAway{1001, ""};  // the relay is stopping
// Its queue of bytes to write ran over its budget: it stopped reading.
inline constexpr RelayCloseWord slow{1008, "slow"};
// The relay could not judge its ticket in time (the store is slow or out of reach).
inline constexpr RelayCloseWord tryLater{1011, "try-later"};
// No ticket, or one spent, expired or for another room.
inline constexpr RelayCloseWord ticketRefused{4401, "ticket-refused"};
inline constexpr RelayCloseWord refused{4403, "refused"};  // the host dropped it
inline constexpr RelayCloseWord unknownHost{4404, "unknown-host"};
inline constexpr RelayCloseWord rate{4408, "rate"};  // more sent than is held while it waits for its link
inline constexpr RelayCloseWord tooLarge{4413, "too-large"};  // a record over the limit, or text
inline constexpr RelayCloseWord tooMany{4429, "too-many"};
inline constexpr RelayCloseWord macOffline{4503, "mac-offline"};
inline constexpr std::array all{goingAway, slow, tryLater, ticketRefused, refused, unknownHost, rate, tooLarge, tooMany,
                                macOffline};
}  // namespace RelayDeviceClose

// How a host's link is closed.
namespace RelayLinkClose {
inline constexpr RelayCloseWord goingAway{1001, ""};
inline constexpr RelayCloseWord slow{1008, "slow"};
inline constexpr RelayCloseWord badMessage{4400, "bad-message"};
inline constexpr RelayCloseWord refused{4401, "refused"};  // a prove that does not hold
inline constexpr RelayCloseWord replaced{4409, "replaced"};
inline constexpr RelayCloseWord notOnAccount{4410, "not-on-account"};
// Another instance of the relay now serves the room: the host dials again
// within a second, without counting it as an attempt, and the proxy in
// front sends it there.
inline constexpr RelayCloseWord moved{4421, "moved"};
}  // namespace RelayLinkClose

// The account interface's error words ({"error": word}), and those of a
// refused upgrade.
namespace RelayError {
inline constexpr std::string_view tryLater = "try-later";  // 429 with retry_after, or 503
inline constexpr std::string_view notFound = "not-found";
inline constexpr std::string_view method = "method";
inline constexpr std::string_view badRequest = "bad-request";
inline constexpr std::string_view unauthorized = "unauthorized";
inline constexpr std::string_view invalidEmail = "invalid-email";
inline constexpr std::string_view invalidCode = "invalid-code";
inline constexpr std::string_view invalidToken = "invalid-token";
inline constexpr std::string_view notConfigured = "not-configured";
inline constexpr std::string_view badProof = "bad-proof";
inline constexpr std::string_view hostTaken = "host-taken";
inline constexpr std::string_view hostLimit = "host-limit";
inline constexpr std::string_view unknownHost = "unknown-host";
// The address is not among those the relay's operator lets sign in (403):
// a code asked for it, its sign-in, and the refresh of a sign-in made
// before it was taken off the list.
inline constexpr std::string_view notInvited = "not-invited";
// A refused upgrade.
inline constexpr std::string_view subprotocol = "subprotocol";
inline constexpr std::string_view refused = "refused";
inline constexpr std::string_view notOnAccount = "not-on-account";

// What the calls a device's page makes (a code, sign-in, refresh, sign-out,
// the list of computers, a ticket), made as the page makes them, may be
// refused with.
inline constexpr std::array toDevices{tryLater,     invalidEmail, invalidCode, invalidToken,
                                      notConfigured, unauthorized, unknownHost, notInvited};
}  // namespace RelayError

// Beside "invalid-code", what a device's page is told of the code it sent,
// when the relay knows: that it expired (true), or how many tries it has
// left (a whole number). The host reads only the word.
namespace RelayCodeRefusal {
inline constexpr std::string_view expired = "expired";
inline constexpr std::string_view triesLeft = "tries_left";
inline constexpr std::array fields{expired, triesLeft};
}  // namespace RelayCodeRefusal

// Beside "ok" in the answer to a code request: whether a new code was
// mailed (true), or none was and the code mailed earlier to the address,
// while it lives, signs this login in too (false). A relay that says
// nothing mailed one.
namespace RelayCodeSent {
inline constexpr std::string_view sent = "sent";
}  // namespace RelayCodeSent

}  // namespace morvane
