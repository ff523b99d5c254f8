// The display-effects request reader over arbitrary JSON: it never throws,
// and whatever it accepts lies inside the ranges the machine relies on. Each
// accepted request then goes through a machine, whose answers must build.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "effects/fx_machine.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {


void checkWindow(int id, int width, int height, int scale) {
    require(FxLimits::idRange.contains(id));
    require(FxLimits::sizeRange.contains(width) && FxLimits::sizeRange.contains(height));
    require(FxLimits::scaleRange.contains(scale));
}

FxFacts facts() {
    const DisplayModeInfo own{1, 1512, 982, 3024, 1964, 60, true, false};
    const DisplayModeInfo wide{2, 1920, 1080, 1920, 1080, 60, true, false};
    const DisplayModeInfo tall{3, 1024, 1280, 2048, 2560, 60, true, false};
    return FxFacts{1u, std::vector<DisplayModeInfo>{own, wide, tall}, own, 0, false};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16'384) return 0;
    const auto object = nlohmann::json::parse(data, data + size, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return 0;
    const auto t = object.find("t");
    if (t == object.end() || !t->is_string()) return 0;

    const auto request = FxMessage::parse(t->get<std::string>(), object);
    if (!request) return 0;
    std::visit(
        [](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, fx_request::Probe> || std::is_same_v<R, fx_request::Match>)
                checkWindow(r.id, r.width, r.height, r.scale);
            else if constexpr (std::is_same_v<R, fx_request::Restore> || std::is_same_v<R, fx_request::Hide>)
                require(FxLimits::idRange.contains(r.id));
        },
        *request);

    FxMachine machine(true);
    machine.handle(fx_machine_event::Allowed{true, true, false});
    machine.handle(fx_machine_event::SessionEnd{true, 0});
    for (const auto& action : machine.handle(fx_machine_event::Request{*request, facts(), false, 10'000})) {
        if (const auto* result = std::get_if<fx_action::Result>(&action)) {
            require(result->result.before >= 0 && result->result.before <= 1000);
            require(result->result.after >= 0 && result->result.after <= 1000);
            (void)FxMessage::result(result->result).dump();
        } else if (const auto* state = std::get_if<fx_action::State>(&action)) {
            (void)FxMessage::state(machine.state(facts()), state->ended, state->soon).dump();
        }
    }
    return 0;
}
