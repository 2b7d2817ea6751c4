#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace morvalen::support {

/// An interned text: equal texts always get the same index. The table is
/// process-wide, append-only and never emptied, so a `Symbol` stays valid for the
/// life of the process. Indices are handed out in first-interning order, which is
/// fixed but says nothing about the alphabetical order of the texts.
class Symbol {
 public:
  /// Interns `text` (thread-safe) and returns its symbol.
  static Symbol intern(std::string_view text);

  /// Rebuilds a symbol from an index previously returned by `index()`.
  /// An index that was never handed out is an internal invariant failure
  /// when the text is read.
  static constexpr Symbol from_index(std::uint32_t index) { return Symbol(index); }

  /// The interned text; the view stays valid for the life of the process.
  std::string_view text() const;

  constexpr std::uint32_t index() const { return index_; }

  friend constexpr bool operator==(Symbol, Symbol) = default;
  friend constexpr auto operator<=>(Symbol, Symbol) = default;

 private:
  constexpr explicit Symbol(std::uint32_t index) : index_(index) {}
  std::uint32_t index_;
};

/// Number of distinct texts interned so far.
std::size_t interned_symbol_count();

}  // namespace morvalen::support

template <>
struct std::hash<morvalen::support::Symbol> {
  std::size_t operator()(morvalen::support::Symbol s) const noexcept { return std::hash<std::uint32_t>{}(s.index()); }
};
