#pragma once

#include <vector>

#include "egraph/rewrite.h"

namespace morvalen::opt::rules::identity {

/// Commutativity and associativity of `+` and `*`, each as a forward rule and
/// its "-rev" reverse (8 rules, in run order: "comm-add", "comm-add-rev",
/// "comm-mul", "comm-mul-rev", "assoc-add", "assoc-add-rev", "assoc-mul",
/// "assoc-mul-rev"). Built fresh on every call; a rule that does not build
/// throws `InternalError`.
std::vector<egraph::Rewrite> rules();

}  // namespace morvalen::opt::rules::identity
