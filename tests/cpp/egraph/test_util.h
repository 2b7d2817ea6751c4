#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <variant>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "support/internal_error.h"

namespace morvalen::opt {
inline void PrintTo(const RecExpr& e, std::ostream* os) { *os << e.to_string(); }
inline void PrintTo(const MathLang& n, std::ostream* os) { *os << n.to_string(); }
inline void PrintTo(Id id, std::ostream* os) { *os << id.value; }
}  // namespace morvalen::opt

namespace morvalen::egraph::testing {

/// Reads a variable-free s-expression as a term, e.g. "(+ (param 0) 1)".
inline RecExpr term(std::string_view text) {
  auto pattern = Pattern::parse(text);
  if (!pattern) throw InternalError("bad test term: " + pattern.error().to_string());
  RecExpr expr;
  for (const ENodeOrVar& n : pattern->ast()) {
    const MathLang* node = std::get_if<MathLang>(&n);
    if (node == nullptr) throw InternalError("test term has a variable");
    expr.add(*node);
  }
  return expr;
}

/// The internal-failure text of `f()`, or "no failure".
template <typename F>
std::string internal_failure(F&& f) {
  try {
    f();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "no failure";
}

}  // namespace morvalen::egraph::testing
