#pragma once

#include <cstddef>

namespace morvalen {

/// A half-open range of byte offsets into the whole source text.
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;

  friend bool operator==(const Span&, const Span&) = default;
};

}  // namespace morvalen
