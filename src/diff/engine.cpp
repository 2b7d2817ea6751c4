#include "diff/engine.h"

#include "support/internal_error.h"

namespace morvalen::diff {

TypedDagDifferentiator::TypedDagDifferentiator(const ir::TypedDag& dag) : dag_(dag) {}

Result<CanonFunction, DiffError> TypedDagDifferentiator::differentiate(std::string_view) {
  throw InternalError("differentiation: not implemented");
}

}  // namespace morvalen::diff
