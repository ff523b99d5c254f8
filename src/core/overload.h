// Builds one visitor out of several lambdas, for std::visit over the
// variants that stand for events, actions and messages.
#pragma once

namespace morvane {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace morvane
