#pragma once

namespace morvalen::support {

/// One visitor out of several lambdas, one per alternative:
/// `std::visit(Overloaded{[](const A&) {...}, [](const B&) {...}}, v)`.
/// A variant that gains an alternative no lambda takes no longer compiles,
/// which is the point: visits over closed variants stay exhaustive.
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace morvalen::support
