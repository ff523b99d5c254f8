// The device message reader over arbitrary bytes: it never throws, refuses
// oversized or non-object input as malformed, and whatever it accepts
// stays within the ranges the rest of the host relies on.
#include <cmath>
#include <cstdlib>
#include <span>

#include "fuzz_support.h"
#include "server/client_message.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {


bool unit(double v) { return v >= 0.0 && v <= 1.0; }

void checkInput(const InputEvent& event) {
    if (auto m = std::get_if<input::Move>(&event)) {
        require(unit(m->x) && unit(m->y));
    } else if (auto b = std::get_if<input::Button>(&event)) {
        require(b->button >= 0 && b->button <= 2 && b->clicks >= 1 && b->clicks <= 3);
        require(unit(b->x) && unit(b->y));
    } else if (auto s = std::get_if<input::Scroll>(&event)) {
        require(std::fabs(s->dx) <= ClientMessage::maxScroll && std::fabs(s->dy) <= ClientMessage::maxScroll);
    } else if (auto k = std::get_if<input::Key>(&event)) {
        require(!k->code.empty() && k->code.size() <= ClientMessage::maxKeyCodeLength);
    } else if (auto t = std::get_if<input::Text>(&event)) {
        require(!t->text.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto message = ClientMessage::parse(std::span<const std::uint8_t>(data, size));
    if (size > 16'384) require(message.is<ClientMessage::Malformed>());
    if (auto input = message.get<ClientMessage::Input>()) checkInput(input->event);
    if (auto auth = message.get<ClientMessage::Auth>()) require(auth->token.size() <= ClientMessage::maxTokenBytes);
    if (auto hello = message.get<ClientMessage::Hello>()) require(std::abs(hello->version) < 1'000'000);
    if (auto ping = message.get<ClientMessage::Ping>()) require(ping->id.is_number());
    if (auto video = message.get<ClientMessage::Video>()) {
        if (auto h264 = std::get_if<video_request::H264>(&video->request))
            require(h264->maxWidth >= 64 && h264->maxWidth <= 16'384 && h264->maxHeight >= 64 && h264->maxHeight <= 16'384);
    }
    return 0;
}
