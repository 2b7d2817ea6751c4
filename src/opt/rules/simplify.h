#pragma once

#include <vector>

#include "egraph/rewrite.h"

namespace morvalen::opt::rules::simplify {

/// The 11 unconditional simplifications, in run order: "add-zero-r",
/// "add-zero-l", "mul-one-r", "mul-one-l", "sub-zero", "double-neg",
/// "double-not", "log-exp", "if-true", "if-false", "cast-same".
/// The literals 0 and 1 are `Int` leaves, so float constants never match.
/// Built fresh on every call; a rule text that does not build throws
/// `InternalError`.
std::vector<egraph::Rewrite> rules();

/// The 2 re-association rules used only in aggressive mode: "add-assoc",
/// "mul-assoc". Built fresh; a rule that does not build throws `InternalError`.
std::vector<egraph::Rewrite> aggressive_rules();

}  // namespace morvalen::opt::rules::simplify
