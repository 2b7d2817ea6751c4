#pragma once

#include <vector>

#include "egraph/rewrite.h"

namespace morvalen::opt::rules::fusion {

/// Fusing `sigmoid(exp(x))` into `exp_sigmoid(x)` and `log(sigmoid(x))` into
/// `sigmoid_log(x)`, and the reverse of each (4 rules, in run order:
/// "fuse-exp-sigmoid", "unfuse-exp-sigmoid", "fuse-sigmoid-log",
/// "unfuse-sigmoid-log"). Built fresh on every call; a rule that does not build
/// throws `InternalError`.
std::vector<egraph::Rewrite> rules();

}  // namespace morvalen::opt::rules::fusion
